// Which ports are present on Windows: COM1..COM50, each probed by opening it
// (selection/PortSelection.h).
#include "selection/PortSelection.h"

#include "devices/win32/Win32Dispatcher.h"

namespace sio {

std::string PortDevicePath(int n) { return n > 0 ? PortDeviceName(n) : std::string(); }

bool IsPortAvailable(int n)
{
    if (n <= 0)
        return false;
    // A dispatcher of no port component opens and closes the device; a port
    // that another program holds answers "access denied" and is listed too.
    TSioWin32Dispatcher probe(nullptr);
    if (probe.DeviceOpen(PortDeviceName(n), 64, 64) >= 0) {
        probe.DeviceClose();
        return true;
    }
    return probe.LastOsError() == 5;
}

std::string DescribePort(int n) { return PortDevicePath(n); }

void SetDeviceRootsForTesting(const std::string&, const std::string&) {}

}  // namespace sio
