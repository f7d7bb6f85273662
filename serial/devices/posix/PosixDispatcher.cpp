// The Linux dispatcher. termios2 comes from the kernel's headers: glibc's
// <termios.h> cannot be included beside them, and its tcsetattr reports
// EINVAL when a pseudo-terminal ignores the parity asked for.
#include "devices/posix/PosixDispatcher.h"

#include "port/DispatcherFactory.h"
#include "port/ComPort.h"

#include "errors/Exceptions.h"
#include "errors/ErrorTexts.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <linux/serial.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

namespace sio {

namespace {

constexpr std::uint32_t kForever = 0xFFFFFFFFu;
constexpr int kStopPollMs = 100;  // a write blocked on a full driver sees the stop flag this often

// No modem lines, no RS-485, no counters: not an error for a device.
bool Unsupported(int err) { return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP; }

int Ioctl(int fd, unsigned long request, void* arg)
{
    return sys::RetryEintr([&] { return sys::Calls().Ioctl(fd, request, arg); });
}

struct TIcount {
    bool ok = false;
    serial_icounter_struct c{};
};

TIcount ReadIcount(int fd)
{
    TIcount r;
    r.ok = Ioctl(fd, TIOCGICOUNT, &r.c) == 0;
    return r;
}

void MakeRaw(termios2& t)
{
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK);
    t.c_cflag |= CLOCAL | CREAD;
    // A non-blocking read then reports EAGAIN when nothing is there, and 0
    // only when the device has gone away.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

std::uint32_t SpeedOf(const termios2& t)
{
    if ((t.c_cflag & CBAUD) == BOTHER)
        return t.c_ospeed;
    static constexpr struct {
        tcflag_t code;
        std::uint32_t bps;
    } table[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
                 {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
                 {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                 {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (auto& e : table)
        if ((t.c_cflag & CBAUD) == e.code)
            return e.bps;
    return t.c_ospeed ? t.c_ospeed : 9600;
}

// The settings a device reports, in the dispatcher's vocabulary.
TSioDcb DcbFromTermios(const termios2& t)
{
    TSioDcb d;
    d.BaudRate = SpeedOf(t);
    switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        d.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    d.StopBits = (t.c_cflag & CSTOPB) ? (d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS) : ONESTOPBIT;
    d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    d.fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fOutX = (t.c_iflag & IXON) != 0;
    d.fInX = (t.c_iflag & IXOFF) != 0;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return d;
}

}  // namespace

std::string PosixDevicePath(const std::string& name)
{
    if (!name.empty() && name[0] == '/')
        return name;
    std::string rest = name;
    if (rest.rfind("\\\\.\\", 0) == 0)
        rest = rest.substr(4);
    if (rest.size() < 4 || rest.compare(0, 3, "COM") != 0)
        return {};
    int n = 0;
    for (std::size_t i = 3; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9' || n > 100000)
            return {};
        n = n * 10 + (rest[i] - '0');
    }
    return PosixPortPath(n);
}

std::string PosixPortPath(int n, const std::string& devRoot)
{
    if (n < 1)
        return {};
    if (const char* dir = std::getenv("SIO_PORT_DIR"); dir && *dir)
        return std::string(dir) + "/COM" + std::to_string(n);
    if (n <= 32)
        return devRoot + "/ttyS" + std::to_string(n - 1);
    if (n <= 40)
        return devRoot + "/ttyUSB" + std::to_string(n - 33);
    if (n <= 48)
        return devRoot + "/ttyACM" + std::to_string(n - 41);
    return {};
}

std::int32_t TranslateErrno(int err, bool atOpen)
{
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return 2;
    case EIO:
        return atOpen ? 2 : EIO;
    case EBUSY:
    case EWOULDBLOCK:
        return 5;
    case EMFILE:
    case ENFILE:
        return 4;
    case ENOMEM:
        return 8;
    default:
        return err;
    }
}

// ---------------------------------------------------------------------------
// The three device threads (TDeviceThread runs each loop).

std::int32_t TSioPosixDispatcher::ReaderLoop()
{
    SignalThreadReady(TSioDispatcherThread::Reader);
    const int fd = fd_.Get();
    std::uint8_t chunk[ReadRecordSize];
    while (!StopRequested()) {
        // No time limit: every stop sets the reader wake.
        pollfd p[2] = {{fd, POLLIN, 0}, {readerWake_.Fd(), POLLIN, 0}};
        int r = sys::RetryEintr([&] { return sys::Calls().Poll(p, 2, -1); });
        if (r < 0) {
            lastOsError_ = errno;
            RequestStop();
            return ecDeviceRead;
        }
        if (p[1].revents)
            readerWake_.Consume();
        if (StopRequested())
            break;
        if (p[0].revents & POLLNVAL) {
            RequestStop();  // the handle was closed under us: end quietly
            return 0;
        }
        // Some drivers show a pulled device only as a hang-up, with reads
        // that find nothing; polling again would return at once, for ever.
        const bool hungUp = (p[0].revents & (POLLHUP | POLLERR)) != 0;
        // Drain the driver in 256-byte records until a read finds nothing
        // (or the close asks: a far end that never pauses must not keep
        // the reader from ending).
        while (!StopRequested()) {
            ssize_t n = sys::RetryEintr([&] { return sys::Calls().Read(fd, chunk, ReadRecordSize); });
            if (n > 0) {
                if (!QueueReceived(chunk, static_cast<std::int32_t>(n))) {
                    RequestStop();
                    return ecTapiNoMem;
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !hungUp)
                break;
            // 0, or nothing after a hang-up: the other side of a
            // pseudo-terminal closed, or the adapter was unplugged.
            int err = (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) ? EIO : errno;
            RequestStop();
            if (err == EBADF)
                return 0;
            lastOsError_ = err;
            return ecDeviceRead;
        }
    }
    return 0;
}

std::int32_t TSioPosixDispatcher::WriterLoop()
{
    SignalThreadReady(TSioDispatcherThread::Writer);
    while (!StopRequested()) {
        // No time limit: every stop sets the writer wake.
        pollfd p[2] = {{outputReady_.Fd(), POLLIN, 0}, {writerWake_.Fd(), POLLIN, 0}};
        int r = sys::RetryEintr([&] { return sys::Calls().Poll(p, 2, -1); });
        if (r < 0) {
            lastOsError_ = errno;
            RequestStop();
            return ecDeviceWrite;
        }
        if (p[1].revents) {
            writerWake_.Consume();
            SignalAbandoned();
        }
        if (p[0].revents) {
            outputReady_.Consume();
            if (StopRequested())
                break;
            std::int32_t pass = WritePass();
            if (pass != 0) {
                RequestStop();
                return pass == ecInvalidHandle ? 0 : pass;
            }
        }
        // Only after an event (a wait asks through outputReady_): a quiet
        // pass must not wake a waiting main thread again and again.
        if ((p[0].revents || p[1].revents) && DrainAwaited())
            WatchDriverQueue();
    }
    return 0;
}

std::int32_t TSioPosixDispatcher::StatusLoop()
{
    const int fd = fd_.Get();
    int lines = 0;
    bool haveLines = Ioctl(fd, TIOCMGET, &lines) == 0;
    TIcount counts = ReadIcount(fd);
    // Ready only now: a change after the open is measured from here.
    SignalThreadReady(TSioDispatcherThread::Status);
    // A device with neither (a pseudo-terminal) has nothing to watch: sleep
    // until the close.
    const int wait = (haveLines || counts.ok) ? kStopPollMs : -1;
    while (!StopRequested()) {
        statusWake_.Wait(wait);
        if (StopRequested())
            break;
        std::uint32_t word = 0;
        if (haveLines) {
            int now = 0;
            if (Ioctl(fd, TIOCMGET, &now) == 0) {
                int changed = now ^ lines;
                if (changed & TIOCM_CTS)
                    word |= EV_CTS;
                if (changed & TIOCM_DSR)
                    word |= EV_DSR;
                if (changed & TIOCM_CD)
                    word |= EV_RLSD;
                if ((changed & TIOCM_RI) && (now & TIOCM_RI))
                    word |= EV_RING;
                lines = now;
            }
        }
        if (counts.ok) {
            TIcount now = ReadIcount(fd);
            if (now.ok) {
                if (now.c.brk != counts.c.brk)
                    word |= EV_BREAK;
                if (now.c.frame != counts.c.frame || now.c.parity != counts.c.parity ||
                    now.c.overrun != counts.c.overrun || now.c.buf_overrun != counts.c.buf_overrun)
                    word |= EV_ERR;
                counts = now;
            }
        }
        if (word & EV_STATUSMASK) {
            auto* record = new (std::nothrow) TStatusBuffer(word);
            if (!record) {
                RequestStop();
                return ecTapiNoMem;
            }
            inputQueue_.Push(std::unique_ptr<TIOBuffer>(record));
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------

TSioPosixDispatcher::TSioPosixDispatcher(TSioBaseComponent* owner) : TSioDescriptorDispatcher(owner) {}

TSioPosixDispatcher::~TSioPosixDispatcher() { Shutdown(); }

std::string TSioPosixDispatcher::DevicePath() const
{
    TGuard g(mainLock_);
    return devicePath_;
}

namespace {
// Runs f(fd) while the descriptor cannot be closed under it; -1 and EBADF
// when the device is not open.
template <class F>
int WithFd(TRankedLock& lock, const sys::TFileDescriptor& fd, F&& f)
{
    std::lock_guard l(lock);
    if (!fd.Valid()) {
        errno = EBADF;
        return -1;
    }
    return f(fd.Get());
}
}  // namespace

std::int32_t TSioPosixDispatcher::DeviceOpen(const std::string& name, std::uint32_t, std::uint32_t)
{
    if (const int err = WakeEventsError()) {
        lastOsError_ = err;
        return -TranslateErrno(err, true);
    }
    std::string path = PosixDevicePath(name);
    if (path.empty()) {
        lastOsError_ = ENOENT;
        return -2;
    }
    {
        // For messages: a port folder's entry is a link, and the operator
        // knows the device by the name it points to.
        std::error_code ec;
        std::string shown = std::filesystem::canonical(path, ec).string();
        if (ec) {
            // A link to a device that has gone: where it points.
            shown = std::filesystem::read_symlink(path, ec).string();
            if (ec || shown.empty())
                shown = path;
        }
        TGuard g(mainLock_);
        location_ = shown;
    }
    sys::TFileDescriptor fd(sys::RetryEintr(
        [&] { return sys::Calls().Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd) {
        lastOsError_ = errno;
        return -TranslateErrno(errno, true);
    }
    // Exclusive: TIOCEXCL keeps other programs out (root ignores it), the
    // flock keeps out every cooperating opener, root and this process too.
    if (sys::RetryEintr([&] { return sys::Calls().Flock(fd.Get(), LOCK_EX | LOCK_NB); }) != 0) {
        lastOsError_ = errno;
        return -TranslateErrno(errno, true);
    }
    termios2 t{};
    if (Ioctl(fd.Get(), TCGETS2, &t) != 0) {
        lastOsError_ = errno;
        return -TranslateErrno(errno, true);
    }
    (void)Ioctl(fd.Get(), TIOCEXCL, nullptr);
    MakeRaw(t);
    if (Ioctl(fd.Get(), TCSETS2, &t) != 0) {
        lastOsError_ = errno;
        return -TranslateErrno(errno, true);
    }
    {
        std::lock_guard c(countLock_);
        TIcount ic = ReadIcount(fd.Get());
        haveCounters_ = ic.ok;
        if (ic.ok)
            lastCounters_ = {ic.c.frame, ic.c.parity, ic.c.overrun, ic.c.buf_overrun, ic.c.brk};
    }
    {
        int lines = 0;
        haveModemLines_ = Ioctl(fd.Get(), TIOCMGET, &lines) == 0;
    }
    readerWake_.Consume();
    outputReady_.Consume();
    writerWake_.Consume();
    statusWake_.Consume();
    rs485Path_ = TRs485Path::None;
    kernelRs485_ = false;
    {
        TGuard g(mainLock_);
        settings_ = DcbFromTermios(t);
        devicePath_ = path;
    }
    std::unique_lock l(fdLock_);
    fd_ = std::move(fd);
    return fd_.Get();
}

std::int32_t TSioPosixDispatcher::DeviceClose()
{
    return CloseAfterThreads([this](TSioDispatcherThread::TRole role) { WakeDeviceThread(role); },
                             [this] {
                                 // The driver keeps its RS-485 mode after the close: what this
                                 // opening switched on is switched off, or the next program
                                 // would inherit it.
                                 if (kernelRs485_.load())
                                     ApplyKernelRs485(false);
                                 std::int32_t result = 0;
                                 {
                                     std::unique_lock l(fdLock_);
                                     if (fd_.Valid()) {
                                         (void)Ioctl(fd_.Get(), TIOCNXCL, nullptr);
                                         result = fd_.Reset() == 0 ? 0 : -1;
                                     }
                                 }
                                 TGuard g(mainLock_);
                                 devicePath_.clear();
                                 return result;
                             });
}

void TSioPosixDispatcher::StartThreads()
{
    MarkActive();
    StartDeviceThreads(*this, &TSioPosixDispatcher::ReaderLoop, &TSioPosixDispatcher::WriterLoop,
                       &TSioPosixDispatcher::StatusLoop);
}

// ---------------------------------------------------------------------------
// Device slots.

std::int32_t TSioPosixDispatcher::DeviceEscape(std::uint32_t function)
{
    int bits;
    unsigned long request;
    switch (function) {
    case SETRTS: request = TIOCMBIS; bits = TIOCM_RTS; break;
    case CLRRTS: request = TIOCMBIC; bits = TIOCM_RTS; break;
    case SETDTR: request = TIOCMBIS; bits = TIOCM_DTR; break;
    case CLRDTR: request = TIOCMBIC; bits = TIOCM_DTR; break;
    default: return ecBadArgument;
    }
    int r = WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, request, &bits); });
    if (r == 0 || Unsupported(errno))
        return 0;  // a device without modem lines has nothing to switch
    lastOsError_ = errno;
    return -TranslateErrno(errno, false);
}

std::int32_t TSioPosixDispatcher::DevicePurge(int which)
{
    if (which == PurgeOutput) {
        if (!ThreadRunning(TSioDispatcherThread::Writer))
            return 0;
        bool writerIdle;
        {
            TGuard o(outputLock_);
            // The writer takes a block and shows that it holds one under
            // this lock: an empty ring with nothing held leaves it nothing
            // to abandon, and the hand-over to it and back is saved.
            writerIdle = ClearOutputRingLocked();
        }
        if (writerIdle) {
            int r = WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TCFLSH, reinterpret_cast<void*>(TCOFLUSH)); });
            return (r == 0 || Unsupported(errno)) ? 0 : -TranslateErrno(errno, false);
        }
        // Abandons a write in progress; the writer answers with ready. The
        // driver's queue is flushed only then, so that no piece of the
        // abandoned block reaches it after the flush.
        AbandonWrite(5000, [this] { writerWake_.Set(); });
        int r = WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TCFLSH, reinterpret_cast<void*>(TCOFLUSH)); });
        return (r == 0 || Unsupported(errno)) ? 0 : -TranslateErrno(errno, false);
    }
    int r = WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TCFLSH, reinterpret_cast<void*>(TCIFLUSH)); });
    std::int32_t result = (r == 0 || Unsupported(errno) || errno == EBADF) ? 0 : -TranslateErrno(errno, false);
    inputQueue_.Clear();
    return result;
}

std::uint32_t TSioPosixDispatcher::DeviceReadErrors(TSioComStat& status)
{
    std::uint32_t errors = 0;
    {
        std::lock_guard c(countLock_);
        if (haveCounters_) {
            serial_icounter_struct ic{};
            if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TIOCGICOUNT, &ic); }) == 0) {
                if (ic.buf_overrun != lastCounters_.bufOverrun)
                    errors |= CE_RXOVER;
                if (ic.overrun != lastCounters_.overrun)
                    errors |= CE_OVERRUN;
                if (ic.parity != lastCounters_.parity)
                    errors |= CE_RXPARITY;
                if (ic.frame != lastCounters_.frame)
                    errors |= CE_FRAME;
                if (ic.brk != lastCounters_.brk)
                    errors |= CE_BREAK;
                lastCounters_ = {ic.frame, ic.parity, ic.overrun, ic.buf_overrun, ic.brk};
            }
        }
    }
    int inQueue = 0;
    if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TIOCINQ, &inQueue); }) == 0)
        status.cbInQue = static_cast<std::uint32_t>(inQueue);
    status.Flags = 0;
    status.cbOutQue = static_cast<std::uint32_t>(OutputRingUsed());
    return errors;
}

std::uint32_t TSioPosixDispatcher::DeviceModemStatus()
{
    if (!haveModemLines_.load())
        return 0;
    int lines = 0;
    if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TIOCMGET, &lines); }) != 0)
        return 0;
    return ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
           ((lines & TIOCM_RI) ? MS_RING_ON : 0) | ((lines & TIOCM_CD) ? MS_RLSD_ON : 0);
}

std::int32_t TSioPosixDispatcher::DeviceSetSettings(const TSioDcb& s)
{
    const std::uint32_t bps = CheckedBitsPerSecond(s);
    if (bps == 0)
        return -EINVAL;
    TGuard g(mainLock_);
    termios2 t{};
    if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TCGETS2, &t); }) != 0) {
        lastOsError_ = errno;
        return -TranslateErrno(errno, false);
    }
    MakeRaw(t);
    t.c_iflag |= (s.fOutX ? IXON : 0) | (s.fInX ? IXOFF : 0);
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CLOCAL | CREAD;
    switch (s.ByteSize) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
    }
    switch (s.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (s.StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;  // 1.5 stop bits with 5 data bits
    if (s.fOutxCtsFlow || s.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    t.c_ispeed = t.c_ospeed = bps;
    t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
    if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TCSETS2, &t); }) != 0) {
        lastOsError_ = errno;
        return -TranslateErrno(errno, false);
    }
    // The driver's RS-485 mode follows RTS_CONTROL_TOGGLE.
    if (s.fRtsControl == RTS_CONTROL_TOGGLE)
        ApplyKernelRs485(true);
    else if (kernelRs485_.load())
        ApplyKernelRs485(false);
    settings_ = s;
    return 0;
}

bool TSioPosixDispatcher::ApplyKernelRs485(bool on)
{
    serial_rs485 conf{};
    if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TIOCGRS485, &conf); }) != 0)
        return false;
    if (on) {
        conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        conf.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    } else {
        conf.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    }
    if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TIOCSRS485, &conf); }) != 0)
        return false;
    kernelRs485_ = on;
    return true;
}

bool TSioPosixDispatcher::OutputDraining()
{
    if (writerHolds_.load())
        return true;
    // Only what this opening wrote: bytes a stalled device held before the
    // open must not hold up its first settings.
    if (!Active())
        return false;
    int queued = 0;
    return WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TIOCOUTQ, &queued); }) == 0 && queued > 0;
}

bool TSioPosixDispatcher::WatchDrain()
{
    // The writer looks at the driver's queue once it has done what it was
    // given (WatchDriverQueue); this pass of its finds the ring empty.
    outputReady_.Set();
    return true;
}

void TSioPosixDispatcher::WatchDriverQueue()
{
    const int fd = fd_.Get();
    while (!StopRequested() && DrainAwaited()) {
        {
            // New output: the writer's next pass sends it and watches again.
            TGuard o(outputLock_);
            if (outputFull_ || outputWrite_ != outputRead_)
                return;
        }
        int queued = 0;
        if (Ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        // A short sleep on this thread that new output, a discard and the
        // close cut; the writer's loop handles what woke it.
        pollfd p[2] = {{outputReady_.Fd(), POLLIN, 0}, {writerWake_.Fd(), POLLIN, 0}};
        if (sys::RetryEintr([&] { return sys::Calls().Poll(p, 2, 1); }) != 0)
            return;
    }
    WakeMainThread();
}

bool TSioPosixDispatcher::DriverDirection() const { return rs485Path_.load() == TRs485Path::Kernel; }

std::uint16_t TSioPosixDispatcher::Rs485Setup(bool on)
{
    if (!on) {
        rs485Path_ = TRs485Path::None;
        return 0;
    }
    // The driver's RS-485 mode, where it has one, switches the direction
    // itself; it is enabled by the settings write (RTS_CONTROL_TOGGLE).
    serial_rs485 conf{};
    if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TIOCGRS485, &conf); }) == 0) {
        rs485Path_ = TRs485Path::Kernel;
        return 0;
    }
    rs485Path_ = TRs485Path::Program;
    // Program-controlled direction needs to learn when the transmitter is
    // empty: from the line status register, or at least the output queue.
    unsigned int lsr = 0;
    if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TIOCSERGETLSR, &lsr); }) == 0)
        return 1;
    int queued = 0;
    if (WithFd(fdLock_, fd_, [&](int fd) { return Ioctl(fd, TIOCOUTQ, &queued); }) == 0)
        return 1;
    return 0;
}

std::int32_t TSioPosixDispatcher::DeviceWrite(const void* data, std::int32_t count)
{
    TGuard o(outputLock_);
    if (outputRing_.empty() || count <= 0)
        return 0;
    auto in = static_cast<const std::uint8_t*>(data);
    std::uint32_t n = static_cast<std::uint32_t>(count);
    // Nothing queued before the block and the line free: the device takes
    // it here, without a hand-over to the writer. What it does not take at
    // once, and a failure, go to the writer through the ring as before.
    // Under program-controlled direction the writer still drops RTS once
    // the transmitter is empty; until then later blocks queue behind it.
    if (!outputFull_ && outputWrite_ == outputRead_ && !writerHolds_.load() && !directDrain_.load() &&
        ThreadRunning(TSioDispatcherThread::Writer) && !StopRequested()) {
        int w = WithFd(fdLock_, fd_, [&](int fd) {
            return static_cast<int>(sys::RetryEintr([&] { return sys::Calls().Write(fd, in, n); }));
        });
        if (w > 0) {
            in += w;
            n -= static_cast<std::uint32_t>(w);
            OutputHandedOver(static_cast<std::uint32_t>(w));
        }
        if (n == 0) {
            if (ProgramDirection()) {
                directDrain_ = true;
                outputReady_.Set();
            }
            return count;
        }
    }
    PutOutputLocked(in, n);
    outputReady_.Set();
    return count;
}

// ---------------------------------------------------------------------------
// Writer.

std::int32_t TSioPosixDispatcher::WritePass()
{
    const int fd = fd_.Get();
    // A settings change may be waiting for the block in hand to leave.
    TWriterHolding holding{*this};
    // The rest of the block is dropped; the transceiver goes back to receive.
    auto abandon = [&] {
        SignalAbandoned();
        if (ProgramDirection())
            DropRtsWhenIdle();
        return 0;
    };
    for (;;) {
        std::vector<std::uint8_t> block;
        {
            TGuard o(outputLock_);
            if (!TakeOutputBlockLocked(block))
                break;
        }
        std::size_t done = 0;
        bool hungUp = false;
        while (done < block.size()) {
            // A discard or the close abandons the rest of the block, also
            // while the device is taking it piece by piece.
            if (writerWake_.Consume())
                return abandon();
            ssize_t n = sys::RetryEintr([&] { return sys::Calls().Write(fd, block.data() + done, block.size() - done); });
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                hungUp = false;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !hungUp) {
                // Wait for room; the writer wake abandons the rest.
                for (;;) {
                    pollfd p[2] = {{fd, POLLOUT, 0}, {writerWake_.Fd(), POLLIN, 0}};
                    int r = sys::RetryEintr([&] { return sys::Calls().Poll(p, 2, kStopPollMs); });
                    if (r < 0) {
                        lastOsError_ = errno;
                        return ecDeviceWrite;
                    }
                    if (p[1].revents) {
                        writerWake_.Consume();
                        return abandon();
                    }
                    if (r == 0) {
                        if (StopRequested())
                            return 0;
                        continue;
                    }
                    // Room, or a hang-up: a write that then finds no room
                    // either means the device has gone.
                    hungUp = (p[0].revents & (POLLHUP | POLLERR)) != 0;
                    break;
                }
                continue;
            }
            int err = (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) ? EIO : errno;
            if (err == EBADF)
                return ecInvalidHandle;
            lastOsError_ = err;
            return ecDeviceWrite;
        }
        OutputHandedOver(static_cast<std::uint32_t>(block.size()));
        if (ProgramDirection()) {
            WaitTransmitterEmpty();
            DropRtsWhenIdle();
        }
        // That wait covered a block that WriteBytes wrote before this one
        // (none is written while the writer holds a block).
        directDrain_ = false;
    }
    // A block that WriteBytes wrote itself: RTS drops once it has left.
    if (directDrain_.load()) {
        if (ProgramDirection()) {
            WaitTransmitterEmpty();
            DropRtsWhenIdle();
        }
        directDrain_ = false;
    }
    return 0;
}

void TSioPosixDispatcher::DropRtsWhenIdle()
{
    // WriteBytes raises RTS and queues a block under the main lock: a block
    // queued while the last one drained keeps RTS up for its own turn.
    TGuard g(mainLock_);
    {
        TGuard o(outputLock_);
        if (outputFull_ || outputWrite_ != outputRead_)
            return;
    }
    SetRts(false);
}

void TSioPosixDispatcher::WaitTransmitterEmpty()
{
    const int fd = fd_.Get();
    while (!StopRequested()) {
        unsigned int lsr = 0;
        if (Ioctl(fd, TIOCSERGETLSR, &lsr) == 0) {
            if (lsr & TIOCSER_TEMT)
                return;
        } else {
            int queued = 0;
            if (Ioctl(fd, TIOCOUTQ, &queued) != 0 || queued == 0)
                return;
        }
        // A short sleep that DiscardOutput and the close can cut.
        pollfd p{writerWake_.Fd(), POLLIN, 0};
        if (sys::RetryEintr([&] { return sys::Calls().Poll(&p, 1, 1); }) > 0)
            return;
    }
}

}  // namespace sio

namespace sio {

std::unique_ptr<TSioBaseDispatcher> CreateLocalDispatcher(TSioCustomComPort* owner)
{
    return std::make_unique<TSioPosixDispatcher>(owner);
}

}  // namespace sio
