// Which ports are present on Linux, and what is behind them (selection/PortSelection.h).
#include "selection/PortSelection.h"

#include "port/DispatcherFactory.h"
#include "devices/posix/PosixDispatcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace sio {

namespace {

std::mutex g_lock;  // guards the test roots
std::string g_devRoot = "/dev";
std::string g_sysRoot = "/sys";

std::string DevRoot()
{
    std::lock_guard lock(g_lock);
    return g_devRoot;
}

std::string SysRoot()
{
    std::lock_guard lock(g_lock);
    return g_sysRoot;
}

const char* PortDir()
{
    const char* dir = std::getenv("SIO_PORT_DIR");
    return (dir && *dir) ? dir : nullptr;
}

bool IsCharDevice(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string ReadFirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    if (in)
        std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::string BaseName(const std::string& path)
{
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ResolvedPath(const std::string& path)
{
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf))
        return buf;
    return path;
}

// The tty's name in /sys/class/tty. A SIO_PORT_DIR entry is a link to the
// real device; a /dev name is the tty itself.
std::string TtyName(int n)
{
    std::string path = PortDevicePath(n);
    if (path.empty())
        return {};
    return BaseName(PortDir() ? ResolvedPath(path) : path);
}

}  // namespace

std::string PortDevicePath(int n) { return PosixPortPath(n, DevRoot()); }

bool IsPortAvailable(int n)
{
    if (n <= 0)
        return false;
    // A link to a network address: present, without a look at the network
    // (a probe must neither wait nor disturb a server's only connection).
    if (!NetworkPortAddress(n).empty())
        return true;
    std::string path = PortDevicePath(n);
    if (path.empty() || !IsCharDevice(path))
        return false;
    // Any character device that the folder points to counts.
    if (PortDir())
        return true;
    // A /dev/ttySn node exists for every possible 8250 line; only those
    // with a driver behind them and a known UART type are real ports.
    std::string cls = SysRoot() + "/class/tty/" + BaseName(path);
    if (!Exists(cls + "/device"))
        return false;
    if (Exists(cls + "/type") && ReadFirstLine(cls + "/type") == "0")
        return false;
    return true;
}

std::string DescribePort(int n)
{
    if (std::string address = NetworkPortAddress(n); !address.empty())
        return "network port " + address;
    std::string path = PortDevicePath(n);
    if (path.empty() || !Exists(path))
        return {};
    std::string shown = PortDir() ? ResolvedPath(path) : path;
    std::string dev = SysRoot() + "/class/tty/" + TtyName(n) + "/device";
    if (!Exists(dev))
        return shown;
    // The USB device's own folder, a few levels above the tty's interface,
    // holds the product text.
    std::string dir = ResolvedPath(dev);
    for (int level = 0; level < 5 && dir.size() > 1; ++level) {
        if (Exists(dir + "/product")) {
            std::string product = ReadFirstLine(dir + "/product");
            std::string maker = ReadFirstLine(dir + "/manufacturer");
            std::string text = maker.empty() ? product : maker + " " + product;
            return text.empty() ? shown : shown + " (" + text + ")";
        }
        auto slash = dir.find_last_of('/');
        if (slash == std::string::npos || slash == 0)
            break;
        dir.resize(slash);
    }
    return shown;
}

void SetDeviceRootsForTesting(const std::string& devRoot, const std::string& sysRoot)
{
    std::lock_guard lock(g_lock);
    g_devRoot = devRoot.empty() ? "/dev" : devRoot;
    g_sysRoot = sysRoot.empty() ? "/sys" : sysRoot;
}

}  // namespace sio
