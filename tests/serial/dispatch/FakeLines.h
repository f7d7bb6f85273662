// A system-call seam for the dispatcher tests: it passes everything to the
// real pseudo-terminal and answers, in its place, the ioctls a
// pseudo-terminal lacks (modem lines, error counters, line status, RS-485),
// so that the code paths of real serial hardware run on a pty. It records
// what the dispatcher asked for, in order, and can inject EINTR and write
// failures. Kept free of the kernel's termios headers, which clash with
// glibc's <termios.h> in the other test headers.
#pragma once

#include "base/SystemCalls.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sio::test {

// termios2 bits the assertions need, exported from FakeLines.cpp.
struct TermBits {
    static const std::uint32_t PARENB_, PARODD_, CMSPAR_, CSTOPB_, CRTSCTS_, CSIZE_, CS5_, CS7_, CS8_, BOTHER_, CBAUD_,
        IXON_, IXOFF_;
    static const std::uint32_t RS485_ENABLED, RS485_RTS_ON_SEND;
};

class TFakeLines : public sys::TSysCalls {
public:
    int Ioctl(int fd, unsigned long request, void* arg) override;
    ssize_t Read(int fd, void* buf, std::size_t count) override;
    ssize_t Write(int fd, const void* buf, std::size_t count) override;
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override;

    // What the dispatcher did, in order: "rts+", "rts-", "dtr+", "dtr-",
    // "write:<bytes>", "lsr", "tcsets", "rs485:<flags>".
    std::vector<std::string> Events();
    void ClearEvents();
    int SettingsWrites();
    // The last settings written.
    std::uint32_t LastCflag();
    std::uint32_t LastIflag();
    std::uint32_t LastSpeed();
    unsigned char LastVstart();
    unsigned char LastVstop();

    // Behaviour, set before the device is opened (or under SetLines etc.).
    bool modemLines = true;    // answer TIOCMGET/TIOCMBIS/TIOCMBIC
    bool counters = false;     // answer TIOCGICOUNT
    bool lineStatus = false;   // answer TIOCSERGETLSR
    int lsrBusyPolls = 0;      // TIOCSERGETLSR reports "not empty" this often after each write
    bool outQueue = true;      // let TIOCOUTQ through to the pty
    bool rs485 = false;        // answer TIOCGRS485/TIOCSRS485
    int eintrEveryRead = 0;    // every n-th read fails with EINTR first
    int failWritesWith = 0;    // every write fails with this errno

    void SetLines(int tiocmBits);
    // While held, TIOCSERGETLSR reports the transmitter busy and TIOCOUTQ
    // a byte still queued.
    void HoldTransmitter(bool held);
    // Holds the transmitter until threads other than the caller's have
    // asked TIOCOUTQ this many times: the wait on the caller's thread is
    // over only if another thread watched the driver's queue.
    void HoldTransmitterForLooks(int looks);
    // TIOCOUTQ looks of the caller of HoldTransmitterForLooks, and of the
    // other threads, since that call.
    int OwnLooks();
    int OtherLooks();
    // TIOCOUTQ looks, from any thread, that found the transmitter held.
    int LooksWhileHeld();
    // Settings written while the transmitter was held.
    int SettingsWritesWhileHeld();
    // While stalled, the device takes no bytes: writes fail with EAGAIN and
    // poll never reports room.
    void StallWrites(bool stalled);
    // Writes that reached the device and found no room (EAGAIN).
    int WritesWithoutRoom();
    void BumpCounters(int frame, int parity, int brk);

private:
    std::mutex lock_;
    std::vector<std::string> events_;
    int lines_ = 0;
    int frame_ = 0, parity_ = 0, brk_ = 0;
    int settingsWrites_ = 0;
    std::uint32_t cflag_ = 0, iflag_ = 0, speed_ = 0;
    unsigned char vstart_ = 0, vstop_ = 0;
    int lsrLeft_ = 0;
    bool transmitterHeld_ = false;
    int looksLeft_ = 0;  // 0: the hold is not released by looks
    int ownLooks_ = 0, otherLooks_ = 0, looksWhileHeld_ = 0;
    std::thread::id holder_;
    int writesWhileHeld_ = 0;
    bool writesStalled_ = false;
    int writesWithoutRoom_ = 0;
    std::uint32_t rs485Flags_ = 0;
    int reads_ = 0;
};

// TIOCM bits for SetLines.
extern const int kTiocmCts, kTiocmDsr, kTiocmCd, kTiocmRi;

}  // namespace sio::test
