// Records every line setting written to a device through the system-call
// seam. Pseudo-terminals drop parity and data bits, so the write itself is
// the evidence that a setting reached the device. Its own file because the
// kernel's termios2 cannot be declared beside glibc's <termios.h>.
#pragma once

#include "base/SystemCalls.h"

#include <cstdint>
#include <mutex>
#include <vector>

struct TWrittenSettings {
    bool Parity = false;      // PARENB
    bool OddParity = false;   // PARODD
    bool MarkSpace = false;   // CMSPAR
    bool TwoStopBits = false; // CSTOPB
    int DataBits = 0;
    std::uint32_t Baud = 0;   // c_ospeed
    bool RtsCts = false;      // CRTSCTS
};

class TSettingsSpy : public sio::sys::TSysCalls {
public:
    int Ioctl(int fd, unsigned long request, void* arg) override;
    std::size_t Count();
    TWrittenSettings Last();

private:
    std::mutex m_;
    std::vector<TWrittenSettings> written_;
};
