#include "FakeLines.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <linux/serial.h>

#include <cerrno>
#include <cstring>

namespace sio::test {

const std::uint32_t TermBits::PARENB_ = PARENB, TermBits::PARODD_ = PARODD, TermBits::CMSPAR_ = CMSPAR,
                    TermBits::CSTOPB_ = CSTOPB, TermBits::CRTSCTS_ = CRTSCTS, TermBits::CSIZE_ = CSIZE,
                    TermBits::CS5_ = CS5, TermBits::CS7_ = CS7, TermBits::CS8_ = CS8, TermBits::BOTHER_ = BOTHER,
                    TermBits::CBAUD_ = CBAUD, TermBits::IXON_ = IXON, TermBits::IXOFF_ = IXOFF;
const std::uint32_t TermBits::RS485_ENABLED = SER_RS485_ENABLED, TermBits::RS485_RTS_ON_SEND = SER_RS485_RTS_ON_SEND;
const int kTiocmCts = TIOCM_CTS, kTiocmDsr = TIOCM_DSR, kTiocmCd = TIOCM_CD, kTiocmRi = TIOCM_RI;

int TFakeLines::Ioctl(int fd, unsigned long request, void* arg)
{
    std::lock_guard l(lock_);
    switch (request) {
    case TIOCMGET:
        if (!modemLines)
            break;
        *static_cast<int*>(arg) = lines_;
        return 0;
    case TIOCMBIS:
    case TIOCMBIC:
        if (!modemLines)
            break;
        {
            int bits = *static_cast<int*>(arg);
            const char* sign = request == TIOCMBIS ? "+" : "-";
            if (bits & TIOCM_RTS)
                events_.push_back(std::string("rts") + sign);
            if (bits & TIOCM_DTR)
                events_.push_back(std::string("dtr") + sign);
        }
        return 0;
    case TIOCGICOUNT:
        if (!counters)
            break;
        {
            auto* c = static_cast<serial_icounter_struct*>(arg);
            std::memset(c, 0, sizeof *c);
            c->frame = frame_;
            c->parity = parity_;
            c->brk = brk_;
        }
        return 0;
    case TIOCSERGETLSR:
        if (!lineStatus)
            break;
        events_.push_back("lsr");
        if (transmitterHeld_) {
            *static_cast<unsigned int*>(arg) = 0;
        } else if (lsrLeft_ > 0) {
            --lsrLeft_;
            *static_cast<unsigned int*>(arg) = 0;
        } else {
            *static_cast<unsigned int*>(arg) = TIOCSER_TEMT;
        }
        return 0;
    case TIOCOUTQ:
        if (!outQueue) {
            errno = ENOTTY;
            return -1;
        }
        if (std::this_thread::get_id() == holder_) {
            ++ownLooks_;
        } else {
            ++otherLooks_;
            if (looksLeft_ > 0 && --looksLeft_ == 0)
                transmitterHeld_ = false;
        }
        if (transmitterHeld_) {
            ++looksWhileHeld_;
            *static_cast<int*>(arg) = 1;
            return 0;
        }
        break;
    case TIOCGRS485:
        if (!rs485)
            break;
        {
            auto* conf = static_cast<serial_rs485*>(arg);
            std::memset(conf, 0, sizeof *conf);
            conf->flags = rs485Flags_;
        }
        return 0;
    case TIOCSRS485:
        if (!rs485)
            break;
        rs485Flags_ = static_cast<serial_rs485*>(arg)->flags;
        events_.push_back("rs485:" + std::to_string(rs485Flags_));
        return 0;
    case TCSETS2: {
        int r = sys::TSysCalls::Ioctl(fd, request, arg);
        if (r == 0) {
            auto* t = static_cast<termios2*>(arg);
            ++settingsWrites_;
            if (transmitterHeld_)
                ++writesWhileHeld_;
            cflag_ = t->c_cflag;
            iflag_ = t->c_iflag;
            speed_ = t->c_ospeed;
            vstart_ = t->c_cc[VSTART];
            vstop_ = t->c_cc[VSTOP];
            events_.push_back("tcsets");
        }
        return r;
    }
    default:
        break;
    }
    return sys::TSysCalls::Ioctl(fd, request, arg);
}

ssize_t TFakeLines::Read(int fd, void* buf, std::size_t count)
{
    if (eintrEveryRead > 0) {
        std::lock_guard l(lock_);
        if (++reads_ % eintrEveryRead == 0) {
            errno = EINTR;
            return -1;
        }
    }
    return sys::TSysCalls::Read(fd, buf, count);
}

ssize_t TFakeLines::Write(int fd, const void* buf, std::size_t count)
{
    {
        std::lock_guard l(lock_);
        if (failWritesWith || writesStalled_) {
            errno = writesStalled_ ? EAGAIN : failWritesWith;
            return -1;
        }
    }
    ssize_t n = sys::TSysCalls::Write(fd, buf, count);
    const int err = errno;
    std::lock_guard l(lock_);
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK))
        ++writesWithoutRoom_;
    if (n > 0) {
        events_.push_back("write:" + std::string(static_cast<const char*>(buf), static_cast<std::size_t>(n)));
        lsrLeft_ = lsrBusyPolls;
    }
    errno = err;
    return n;
}

int TFakeLines::WritesWithoutRoom()
{
    std::lock_guard l(lock_);
    return writesWithoutRoom_;
}

int TFakeLines::Poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    {
        std::lock_guard l(lock_);
        if (writesStalled_)
            for (nfds_t i = 0; i < count; ++i)
                fds[i].events &= static_cast<short>(~POLLOUT);
    }
    return sys::TSysCalls::Poll(fds, count, timeoutMs);
}

std::vector<std::string> TFakeLines::Events()
{
    std::lock_guard l(lock_);
    return events_;
}

void TFakeLines::ClearEvents()
{
    std::lock_guard l(lock_);
    events_.clear();
}

int TFakeLines::SettingsWrites()
{
    std::lock_guard l(lock_);
    return settingsWrites_;
}

std::uint32_t TFakeLines::LastCflag()
{
    std::lock_guard l(lock_);
    return cflag_;
}

std::uint32_t TFakeLines::LastIflag()
{
    std::lock_guard l(lock_);
    return iflag_;
}

std::uint32_t TFakeLines::LastSpeed()
{
    std::lock_guard l(lock_);
    return speed_;
}

unsigned char TFakeLines::LastVstart()
{
    std::lock_guard l(lock_);
    return vstart_;
}

unsigned char TFakeLines::LastVstop()
{
    std::lock_guard l(lock_);
    return vstop_;
}

void TFakeLines::SetLines(int tiocmBits)
{
    std::lock_guard l(lock_);
    lines_ = tiocmBits;
}

void TFakeLines::HoldTransmitter(bool held)
{
    std::lock_guard l(lock_);
    transmitterHeld_ = held;
    looksLeft_ = 0;
}

void TFakeLines::HoldTransmitterForLooks(int looks)
{
    std::lock_guard l(lock_);
    transmitterHeld_ = true;
    looksLeft_ = looks;
    ownLooks_ = otherLooks_ = 0;
    holder_ = std::this_thread::get_id();
}

int TFakeLines::LooksWhileHeld()
{
    std::lock_guard l(lock_);
    return looksWhileHeld_;
}

int TFakeLines::OwnLooks()
{
    std::lock_guard l(lock_);
    return ownLooks_;
}

int TFakeLines::OtherLooks()
{
    std::lock_guard l(lock_);
    return otherLooks_;
}

int TFakeLines::SettingsWritesWhileHeld()
{
    std::lock_guard l(lock_);
    return writesWhileHeld_;
}

void TFakeLines::StallWrites(bool stalled)
{
    std::lock_guard l(lock_);
    writesStalled_ = stalled;
}

void TFakeLines::BumpCounters(int frame, int parity, int brk)
{
    std::lock_guard l(lock_);
    frame_ += frame;
    parity_ += parity;
    brk_ += brk;
}

}  // namespace sio::test
