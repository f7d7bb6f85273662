// The network dispatcher. Sockets are Linux calls: this unit is built only
// where the platform has them (serial/CMakeLists.txt).
#include "SioNetwork.h"

#include "SioFactory.h"
#include "SioPort.h"

#include "SioExcept.h"
#include "SioMisc.h"
#include "SioStrMap.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sio {

namespace {

constexpr std::uint32_t kForever = 0xFFFFFFFFu;
constexpr int kStopPollMs = 100;  // every wait sees the stop flag this often
constexpr std::size_t kMaxNotes = 64;
constexpr int kPurgeMissesToGiveUp = 3;
constexpr char kSignature[] = "Tarnell Console";

using namespace telnet;

std::uint32_t Now() { return MillisecondClock(); }

// The system's own text for an errno ("Connection refused").
std::string SystemText(int err)
{
    char buffer[256];
    return ::strerror_r(err, buffer, sizeof buffer);
}

// Milliseconds left until deadline (a MillisecondClock value), 0 when past.
int MsLeft(std::uint32_t deadline)
{
    const std::int32_t left = static_cast<std::int32_t>(deadline - Now());
    return left > 0 ? left : 0;
}

// The groups of SET-CONTROL values: flow, break, DTR, RTS, inbound flow.
int ControlGroup(std::uint8_t v)
{
    if (v <= 3 || v >= 17)
        return 0;
    if (v <= 6)
        return 4;
    if (v <= 9)
        return 1;
    if (v <= 12)
        return 2;
    return 3;
}

std::string ParityName(std::uint32_t v)
{
    static const char* const names[] = {"?", "none", "odd", "even", "mark", "space"};
    return v < 6 ? names[v] : std::to_string(v);
}

std::string ShownValue(std::uint8_t command, std::uint32_t value)
{
    switch (command) {
    case cpSetParity: return ParityName(value);
    case cpSetStopSize: return value == cpStop15 ? "1.5" : std::to_string(value);
    case cpSetControl: return ControlName(static_cast<std::uint8_t>(value));
    default: return std::to_string(value);
    }
}

std::int32_t SendNoSignal(int fd, const void* data, std::size_t count)
{
    // MSG_NOSIGNAL: a server that went away is a failed write, not SIGPIPE.
    return static_cast<std::int32_t>(sys::RetryEintr([&] { return ::send(fd, data, count, MSG_NOSIGNAL); }));
}

// Resolves host within the deadline. The look-up of a name may hang on a
// dead name server, so it runs on a thread of its own that is left behind
// when the deadline passes.
struct TLookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int rc = 0;
    addrinfo* result = nullptr;
    ~TLookup()
    {
        if (result)
            ::freeaddrinfo(result);
    }
};

std::shared_ptr<TLookup> Resolve(const std::string& host, std::uint16_t port, std::uint32_t deadline)
{
    auto lookup = std::make_shared<TLookup>();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    // An address written as numbers needs no name server.
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &lookup->result) == 0) {
        lookup->finished = true;
        return lookup;
    }
    lookup->result = nullptr;
    hints.ai_flags = AI_NUMERICSERV;
    try {
        std::thread([lookup, host, service, hints] {
            addrinfo* result = nullptr;
            const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
            std::lock_guard l(lookup->lock);
            lookup->rc = rc;
            lookup->result = result;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        lookup->finished = true;
        lookup->rc = EAI_AGAIN;
        return lookup;
    }
    std::unique_lock l(lookup->lock);
    lookup->done.wait_for(l, std::chrono::milliseconds(MsLeft(deadline)), [&] { return lookup->finished; });
    return lookup;
}

}  // namespace

// ---------------------------------------------------------------------------
// Addresses.

std::string TNetworkAddress::Text() const
{
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(mode == Rfc2217 ? "rfc2217://" : "tcp://") + (v6 ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

bool LooksLikeNetworkAddress(const std::string& text)
{
    return text.rfind("rfc2217://", 0) == 0 || text.rfind("tcp://", 0) == 0;
}

std::optional<TNetworkAddress> ParseNetworkAddress(const std::string& text)
{
    TNetworkAddress a;
    std::string rest;
    if (text.rfind("rfc2217://", 0) == 0) {
        a.mode = TNetworkAddress::Rfc2217;
        rest = text.substr(10);
    } else if (text.rfind("tcp://", 0) == 0) {
        a.mode = TNetworkAddress::RawTcp;
        rest = text.substr(6);
    } else {
        return std::nullopt;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return std::nullopt;
        a.host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos)
            return std::nullopt;
        a.host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (a.host.find(':') != std::string::npos)
            return std::nullopt;  // IPv6 without brackets
    }
    if (a.host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    for (char c : a.host)
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == '[' || c == ']')
            return std::nullopt;
    const long n = std::strtol(port.c_str(), nullptr, 10);
    if (n < 1 || n > 65535)
        return std::nullopt;
    a.port = static_cast<std::uint16_t>(n);
    return a;
}

std::string NetworkPortAddress(int n)
{
    const char* dir = std::getenv("SIO_PORT_DIR");
    if (n < 1 || !dir || !*dir)
        return {};
    const std::string entry = std::string(dir) + "/COM" + std::to_string(n);
    char target[512];
    const ssize_t len = ::readlink(entry.c_str(), target, sizeof target - 1);
    if (len <= 0)
        return {};
    std::string text(target, static_cast<std::size_t>(len));
    return LooksLikeNetworkAddress(text) ? text : std::string();
}

// ---------------------------------------------------------------------------
// The three connection threads (TDeviceThread runs each loop).

std::int32_t TSioNetworkDispatcher::ReaderLoop()
{
    SignalThreadReady(TSioDispatcherThread::Reader);
    const int fd = fd_.Get();
    // Serial data hands over in records, as a tty's reader hands it.
    auto queue = [&](const std::vector<std::uint8_t>& data) {
        for (std::size_t at = 0; at < data.size(); at += ReadRecordSize) {
            const auto n = static_cast<std::int32_t>(std::min<std::size_t>(ReadRecordSize, data.size() - at));
            if (!QueueReceived(data.data() + at, n))
                return false;
        }
        return true;
    };
    if (!queue(early_)) {
        RequestStop();
        return ecTapiNoMem;
    }
    early_.clear();
    std::uint8_t chunk[4096];
    std::vector<std::uint8_t> data;
    std::vector<TTelnetEvent> events;
    while (!StopRequested()) {
        pollfd p[2] = {{fd, POLLIN, 0}, {readerWake_.Fd(), POLLIN, 0}};
        int r = sys::RetryEintr([&] { return ::poll(p, 2, kStopPollMs); });
        if (r < 0) {
            lastOsError_ = errno;
            RequestStop();
            return ecDeviceRead;
        }
        if (p[1].revents)
            readerWake_.Consume();
        if (StopRequested())
            break;
        if (!p[0].revents)
            continue;
        if (p[0].revents & POLLNVAL) {
            RequestStop();
            return 0;
        }
        const ssize_t n = sys::RetryEintr([&] { return ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT); });
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0) {
            // The server closed the connection, or it broke (reset, the
            // keep-alive found nobody): the device has gone away.
            const int err = n == 0 ? ECONNRESET : errno;
            Note(n == 0 ? "The server closed the connection." : "The connection failed: " + SystemText(err));
            RequestStop();
            if (err == EBADF)
                return 0;
            lastOsError_ = err;
            return ecDeviceRead;
        }
        // Acknowledged at once: a server that sends without TCP_NODELAY
        // holds a reply behind its unacknowledged last segment (a telnet
        // answer, say) until our delayed acknowledgement, some 40 ms. The
        // kernel drops quick-ack mode again by itself, so it is set anew.
        int quick = 1;
        (void)::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
        data.clear();
        events.clear();
        if (rfc2217_.load())
            decoder_.Feed(chunk, static_cast<std::size_t>(n), data, events);
        else
            data.assign(chunk, chunk + n);
        if (!queue(data)) {
            RequestStop();
            return ecTapiNoMem;
        }
        HandleEvents(events);
    }
    return 0;
}

std::int32_t TSioNetworkDispatcher::WriterLoop()
{
    SignalThreadReady(TSioDispatcherThread::Writer);
    while (!StopRequested()) {
        pollfd p[2] = {{outputReady_.Fd(), POLLIN, 0}, {writerWake_.Fd(), POLLIN, 0}};
        int r = sys::RetryEintr([&] { return ::poll(p, 2, kStopPollMs); });
        if (r < 0) {
            lastOsError_ = errno;
            RequestStop();
            return ecDeviceWrite;
        }
        if (p[1].revents) {
            writerWake_.Consume();
            SignalAbandoned();
        }
        // Output held for a purge's answer is looked at again as its time
        // runs out.
        if (p[0].revents || purgeWait_.load() != 0) {
            outputReady_.Consume();
            if (StopRequested())
                break;
            std::int32_t pass = WritePass();
            if (pass != 0) {
                RequestStop();
                return pass;
            }
        }
    }
    return 0;
}

std::int32_t TSioNetworkDispatcher::StatusLoop()
{
    SignalThreadReady(TSioDispatcherThread::Status);
    while (!StopRequested()) {
        // Awake only while there is something to watch: an answer awaited,
        // or notes waiting for the log to be switched on.
        int wait = -1;
        {
            std::lock_guard l(ackLock_);
            if (!pending_.empty()) {
                const std::uint32_t age = Now() - pending_.front().tick;
                wait = age >= AckLimitMs ? 0 : static_cast<int>(AckLimitMs - age) + 1;
            }
            if (!notes_.empty())
                wait = wait < 0 ? kStopPollMs : std::min(wait, kStopPollMs);
        }
        statusWake_.Wait(wait);
        if (StopRequested())
            break;
        CheckAcks();
        FlushNotes();
    }
    FlushNotes();
    return 0;
}

// ---------------------------------------------------------------------------

TSioNetworkDispatcher::TSioNetworkDispatcher(TSioBaseComponent* owner) : TSioBaseDispatcher(owner) {}

TSioNetworkDispatcher::~TSioNetworkDispatcher() { Shutdown(); }

std::string TSioNetworkDispatcher::DeviceLocation() const
{
    TGuard g(mainLock_);
    return location_;
}

std::string TSioNetworkDispatcher::OpenFailureText() const
{
    TGuard g(mainLock_);
    return failureText_;
}

std::optional<std::uint32_t> TSioNetworkDispatcher::ServerValue(std::uint8_t command, std::uint8_t controlGroup) const
{
    std::lock_guard l(ackLock_);
    if (command == cpSetControl) {
        const int group = ControlGroup(controlGroup);
        const int slot = group == 4 ? -1 : group;
        if (slot < 0 || serverControl_[slot] == 0)
            return std::nullopt;
        return serverControl_[slot];
    }
    if (command >= 8 || !haveServerValue_[command])
        return std::nullopt;
    return serverValues_[command];
}

std::vector<std::string> TSioNetworkDispatcher::Unacknowledged() const
{
    std::lock_guard l(ackLock_);
    return unacknowledged_;
}

std::int32_t TSioNetworkDispatcher::Fail(int err, const std::string& text)
{
    lastOsError_ = err;
    TGuard g(mainLock_);
    failureText_ = text;
    return -err;
}

std::int32_t TSioNetworkDispatcher::DeviceOpen(const std::string& name, std::uint32_t, std::uint32_t)
{
    for (const sys::TEventFd* e : {&readerWake_, &outputReady_, &writerWake_, &statusWake_}) {
        if (!e->Valid()) {
            lastOsError_ = e->CreateError();
            return -e->CreateError();
        }
    }
    const std::uint32_t deadline = Now() + ConnectLimitMs;
    {
        TGuard g(mainLock_);
        failureText_.clear();
    }
    // A port name is looked up in the port folder; anything else must be an
    // address itself.
    std::string text = name;
    if (!LooksLikeNetworkAddress(text)) {
        std::string rest = text.rfind("\\\\.\\", 0) == 0 ? text.substr(4) : text;
        int n = 0;
        if (rest.size() > 3 && rest.size() < 9 && rest.compare(0, 3, "COM") == 0 &&
            rest.find_first_not_of("0123456789", 3) == std::string::npos)
            n = std::atoi(rest.c_str() + 3);
        text = NetworkPortAddress(n);
        if (text.empty()) {
            {
                TGuard g(mainLock_);
                location_.clear();
            }
            return Fail(ENOENT, "not a network port: $SIO_PORT_DIR/" + rest +
                                    " must be a link to rfc2217://HOST:PORT or tcp://HOST:PORT");
        }
    }
    {
        TGuard g(mainLock_);
        location_ = text;
    }
    const auto address = ParseNetworkAddress(text);
    if (!address)
        return Fail(EINVAL, "not a network address (rfc2217://HOST:PORT or tcp://HOST:PORT, PORT 1..65535)");
    address_ = *address;
    rfc2217_ = address_.mode == TNetworkAddress::Rfc2217;

    readerWake_.Consume();
    outputReady_.Consume();
    writerWake_.Consume();
    statusWake_.Consume();
    decoder_.Reset();
    early_.clear();
    writerHolds_ = false;
    lineErrors_ = 0;
    modemLines_ = 0;
    comPort_ = kOff;
    sendCrNul_ = false;
    {
        std::lock_guard l(purgeLock_);
        purgesOwed_ = 0;
        purgeWait_ = 0;
    }
    purgeMisses_ = 0;
    {
        std::lock_guard l(controlLock_);
        controlOut_.clear();
    }
    {
        std::lock_guard l(ackLock_);
        pending_.clear();
        unacknowledged_.clear();
        std::fill(std::begin(haveServerValue_), std::end(haveServerValue_), false);
        std::fill(std::begin(serverControl_), std::end(serverControl_), 0);
    }
    {
        TGuard g(mainLock_);
        sent_ = {};
        // Nothing is known of the server's settings: the opening's line
        // settings all differ from these, so that all of them are sent.
        settings_ = TSioDcb{};
        settings_.BaudRate = 0;
    }

    std::int32_t r = Connect(address_, deadline);
    if (r < 0)
        return r;
    if (rfc2217_.load())
        Negotiate(deadline);
    else
        Note("Raw TCP to " + address_.Text() + ": the line settings are the server's.");
    if (!fd_.Valid())
        return -lastOsError_.load();  // the server hung up during the negotiation
    return fd_.Get();
}

std::int32_t TSioNetworkDispatcher::Connect(const TNetworkAddress& address, std::uint32_t deadline)
{
    auto lookup = Resolve(address.host, address.port, deadline);
    std::unique_lock l(lookup->lock);
    if (!lookup->finished)
        return Fail(ETIMEDOUT, "cannot connect: the name " + address.host + " was not resolved within " +
                                   std::to_string(ConnectLimitMs / 1000) + " s");
    if (lookup->rc != 0 || !lookup->result)
        return Fail(EHOSTUNREACH, "cannot connect: " + address.host + ": " + ::gai_strerror(lookup->rc));
    int lastErr = ECONNREFUSED;
    for (addrinfo* ai = lookup->result; ai; ai = ai->ai_next) {
        sys::TFileDescriptor fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                         ai->ai_protocol));
        if (!fd) {
            lastErr = errno;
            continue;
        }
        int rc = ::connect(fd.Get(), ai->ai_addr, ai->ai_addrlen);
        if (rc != 0 && errno != EINPROGRESS) {
            lastErr = errno;
            continue;
        }
        if (rc != 0) {
            pollfd p{fd.Get(), POLLOUT, 0};
            int pr;
            do {
                pr = sys::RetryEintr([&] { return ::poll(&p, 1, MsLeft(deadline)); });
            } while (pr == 0 && MsLeft(deadline) > 0);
            if (pr == 0) {
                return Fail(ETIMEDOUT, "cannot connect: no answer within " + std::to_string(ConnectLimitMs / 1000) +
                                           " s (" + SystemText(ETIMEDOUT) + ")");
            }
            int err = 0;
            socklen_t len = sizeof err;
            if (pr < 0)
                err = errno;
            else if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
            if (err != 0) {
                lastErr = err;
                continue;
            }
        }
        // Small frames go out at once; a server that vanishes without a
        // word (power, cable) is noticed within about 20 s, also while a
        // frame waits to be taken.
        int on = 1, idle = 5, interval = 2, count = 3;
        unsigned int userTimeout = 15000;
        (void)::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        (void)::setsockopt(fd.Get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        (void)::setsockopt(fd.Get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        (void)::setsockopt(fd.Get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        (void)::setsockopt(fd.Get(), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        (void)::setsockopt(fd.Get(), IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
        std::unique_lock fl(fdLock_);
        fd_ = std::move(fd);
        return 0;
    }
    return Fail(lastErr, "cannot connect: " + SystemText(lastErr));
}

void TSioNetworkDispatcher::Negotiate(std::uint32_t deadline)
{
    {
        std::lock_guard l(negLock_);
        std::fill(std::begin(local_), std::end(local_), kOff);
        std::fill(std::begin(remote_), std::end(remote_), kOff);
        local_[OptBinary] = local_[OptSuppressGoAhead] = local_[OptComPort] = kAsked;
        remote_[OptBinary] = remote_[OptSuppressGoAhead] = kAsked;
    }
    comPort_ = kAsked;
    std::vector<std::uint8_t> offer;
    NegotiationInto(WILL, OptBinary, offer);
    NegotiationInto(DO, OptBinary, offer);
    NegotiationInto(WILL, OptSuppressGoAhead, offer);
    NegotiationInto(DO, OptSuppressGoAhead, offer);
    NegotiationInto(WILL, OptComPort, offer);
    QueueControl(offer);

    // No thread runs yet: what is queued is written here, and what comes
    // is read here, until COM-PORT-OPTION has its answer.
    const int fd = fd_.Get();
    std::uint8_t chunk[1024];
    std::vector<TTelnetEvent> events;
    for (;;) {
        std::vector<std::uint8_t> out;
        {
            std::lock_guard l(controlLock_);
            out.swap(controlOut_);
        }
        std::size_t done = 0;
        while (done < out.size()) {
            const std::int32_t n = SendNoSignal(fd, out.data() + done, out.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && MsLeft(deadline) > 0) {
                pollfd p{fd, POLLOUT, 0};
                (void)::poll(&p, 1, MsLeft(deadline));
                continue;
            }
            break;  // a failure shows at the first read or write of the threads
        }
        if (comPort_.load() != kAsked || MsLeft(deadline) == 0)
            break;
        pollfd p{fd, POLLIN, 0};
        int r = sys::RetryEintr([&] { return ::poll(&p, 1, MsLeft(deadline)); });
        if (r <= 0)
            break;
        const ssize_t n = sys::RetryEintr([&] { return ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT); });
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0) {
            const int err = n == 0 ? ECONNRESET : errno;
            Fail(err, "the server closed the connection at once (" + SystemText(err) + ")");
            std::unique_lock fl(fdLock_);
            fd_.Reset();
            return;
        }
        events.clear();
        decoder_.Feed(chunk, static_cast<std::size_t>(n), early_, events);
        HandleEvents(events);
    }
    if (comPort_.load() == kAsked)
        Note("No answer to COM-PORT-OPTION within " + std::to_string(ConnectLimitMs / 1000) +
             " s; line settings are sent, should the server take them later.");
    else if (comPort_.load() == kOn)
        Note("The server " + address_.Text() + " takes COM-PORT-OPTION.");
    if (comPort_.load() != kOff) {
        // Line errors and modem lines, as the server can report them.
        std::vector<std::uint8_t> masks;
        ComPortInto(cpSetLineStateMask, lsBreakDetect | lsFramingError | lsParityError | lsOverrunError, masks);
        ComPortInto(cpSetModemStateMask, 0xFF, masks);
        QueueControl(masks);
    }
}

std::int32_t TSioNetworkDispatcher::DeviceClose()
{
    {
        TGuard g(mainLock_);
        if (closing_)
            return 0;
        closing_ = true;
    }
    if (Active()) {
        RequestStop();
        statusWake_.Set();
        WaitThreadEnd(TSioDispatcherThread::Status, kForever);
        writerWake_.Set();
        WaitThreadEnd(TSioDispatcherThread::Writer, kForever);
        readerWake_.Set();
        WaitThreadEnd(TSioDispatcherThread::Reader, kForever);
        // A window handler may hold the dispatcher thread for up to 3000 ms.
        const std::uint32_t wait = 36 * MsPerTick;
        if (!WaitThreadEnd(TSioDispatcherThread::Dispatch, wait))
            WaitThreadEnd(TSioDispatcherThread::Dispatch, wait);
    }
    std::int32_t result = 0;
    {
        std::unique_lock l(fdLock_);
        if (fd_.Valid())
            result = fd_.Reset() == 0 ? 0 : -1;
    }
    deviceOpen_ = false;
    {
        TGuard g(mainLock_);
        closing_ = false;
    }
    return result;
}

void TSioNetworkDispatcher::StartThreads()
{
    {
        TGuard g(mainLock_);
        if (Active())
            throw ESioException(std::string("Dispatcher already started."));
        active_ = true;
        stop_ = false;
    }
    using TThread = TDeviceThread<TSioNetworkDispatcher>;
    SetStarting(true);
    try {
        StartThread(std::make_unique<TThread>(*this, TThread::Reader, &TSioNetworkDispatcher::ReaderLoop));
        StartThread(std::make_unique<TDispThread>(*this));
        StartThread(std::make_unique<TThread>(*this, TThread::Writer, &TSioNetworkDispatcher::WriterLoop));
        StartThread(std::make_unique<TThread>(*this, TThread::Status, &TSioNetworkDispatcher::StatusLoop));
    } catch (...) {
        SetStarting(false);
        throw;
    }
    SetStarting(false);
    // What the opening queued (line settings, control lines) goes now.
    outputReady_.Set();
}

void TSioNetworkDispatcher::StopThreads()
{
    if (Active())
        DeviceClose();
}

void TSioNetworkDispatcher::WakeThreads()
{
    readerWake_.Set();
    writerWake_.Set();
    statusWake_.Set();
}

void TSioNetworkDispatcher::ApplyThreadPriority(TSioDispatcherThread& thread, int priority)
{
    static constexpr int nice[7] = {19, 10, 5, 0, -5, -10, -15};
    const int tid = thread.Tid();
    if (tid <= 0)
        return;
    priority = std::clamp(priority, 0, 6);
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice[priority]);
}

std::uint16_t TSioNetworkDispatcher::Rs485Setup(bool on)
{
    if (on)
        Note("RS-485: the device server switches the direction itself.");
    return 0;
}

// ---------------------------------------------------------------------------
// Telnet.

void TSioNetworkDispatcher::QueueControl(const std::vector<std::uint8_t>& bytes)
{
    {
        std::lock_guard l(controlLock_);
        controlOut_.insert(controlOut_.end(), bytes.begin(), bytes.end());
    }
    outputReady_.Set();
}

bool TSioNetworkDispatcher::ControlPending() const
{
    std::lock_guard l(controlLock_);
    return !controlOut_.empty();
}

void TSioNetworkDispatcher::SendComPort(std::uint8_t command, const std::vector<std::uint8_t>& value,
                                        std::uint32_t shown)
{
    std::vector<std::uint8_t> bytes;
    ComPortInto(command, value.data(), value.size(), bytes);
    if (command >= cpSetBaudRate && command <= cpSetControl) {
        std::lock_guard l(ackLock_);
        pending_.push_back({command, command == cpSetControl ? value[0] : std::uint8_t{0}, shown, Now()});
    }
    QueueControl(bytes);
    statusWake_.Set();
}

void TSioNetworkDispatcher::Note(const std::string& text)
{
    {
        std::lock_guard l(ackLock_);
        if (notes_.size() >= kMaxNotes)
            notes_.erase(notes_.begin());
        notes_.push_back(text);
    }
    statusWake_.Set();
}

void TSioNetworkDispatcher::FlushNotes()
{
    if (!log_.LogOn())
        return;
    std::vector<std::string> notes;
    {
        std::lock_guard l(ackLock_);
        notes.swap(notes_);
    }
    for (const std::string& n : notes)
        log_.AddLogEntry(ltDispatch, lsStatus, 0, n.data(), static_cast<std::uint32_t>(n.size()));
}

void TSioNetworkDispatcher::CheckAcks()
{
    std::vector<std::string> late;
    {
        std::lock_guard l(ackLock_);
        const std::uint32_t now = Now();
        while (!pending_.empty() && now - pending_.front().tick >= AckLimitMs) {
            const TPending& p = pending_.front();
            std::string name = CommandName(p.command) + " " + ShownValue(p.command, p.shown);
            unacknowledged_.push_back(name);
            late.push_back(std::move(name));
            pending_.erase(pending_.begin());
        }
    }
    for (const std::string& name : late)
        Note("No answer from the server to " + name + "; going on without it.");
}

void TSioNetworkDispatcher::HandleEvents(std::vector<TTelnetEvent>& events)
{
    for (TTelnetEvent& e : events) {
        if (e.kind == TTelnetEvent::Negotiation)
            HandleNegotiation(e.verb, e.option);
        else if (e.kind == TTelnetEvent::Subnegotiation && e.option == OptComPort && !e.payload.empty())
            HandleComPort(e.payload);
    }
}

void TSioNetworkDispatcher::HandleNegotiation(std::uint8_t verb, std::uint8_t option)
{
    // Only what we want is agreed to; everything else is refused, and a
    // request for what is already in force is not answered, so that the two
    // sides never loop.
    const bool wantLocal = option == OptBinary || option == OptSuppressGoAhead || option == OptComPort;
    const bool wantRemote = option == OptBinary || option == OptSuppressGoAhead;
    std::vector<std::uint8_t> reply;
    std::string note;
    {
        std::lock_guard l(negLock_);
        int& local = local_[option];
        int& remote = remote_[option];
        switch (verb) {
        case DO:
            if (!wantLocal) {
                NegotiationInto(WONT, option, reply);
            } else if (local != kOn) {
                if (local == kOff)
                    NegotiationInto(WILL, option, reply);
                local = kOn;
                if (option == OptComPort)
                    comPort_ = kOn;
                if (option == OptBinary)
                    sendCrNul_ = false;
            }
            break;
        case DONT:
            if (local != kOff) {
                if (local == kOn)
                    NegotiationInto(WONT, option, reply);
                local = kOff;
                if (option == OptComPort) {
                    comPort_ = kOff;
                    note = "The server refuses COM-PORT-OPTION: the line settings are the server's.";
                }
                if (option == OptBinary)
                    sendCrNul_ = true;
            }
            break;
        case WILL:
            if (!wantRemote) {
                NegotiationInto(DONT, option, reply);
            } else if (remote != kOn) {
                if (remote == kOff)
                    NegotiationInto(DO, option, reply);
                remote = kOn;
                if (option == OptBinary)
                    decoder_.SetCrNul(false);
            }
            break;
        case WONT:
            if (remote != kOff) {
                if (remote == kOn)
                    NegotiationInto(DONT, option, reply);
                remote = kOff;
                if (option == OptBinary)
                    decoder_.SetCrNul(true);
            }
            break;
        default:
            break;
        }
    }
    if (!reply.empty())
        QueueControl(reply);
    if (!note.empty())
        Note(note);
}

void TSioNetworkDispatcher::HandleComPort(const std::vector<std::uint8_t>& payload)
{
    const std::uint8_t command = payload[0];
    if (command < ServerOffset)
        return;  // a server never sends client commands; ignored
    const std::uint8_t c = static_cast<std::uint8_t>(command - ServerOffset);
    const std::uint8_t* v = payload.data() + 1;
    const std::size_t n = payload.size() - 1;
    switch (c) {
    case cpSignature:
        if (n == 0) {
            std::vector<std::uint8_t> reply;
            ComPortInto(cpSignature, reinterpret_cast<const std::uint8_t*>(kSignature),
                        sizeof kSignature - 1, reply);
            QueueControl(reply);
        } else {
            Note("Server signature: " + std::string(reinterpret_cast<const char*>(v), n));
        }
        return;
    case cpSetBaudRate:
    case cpSetDataSize:
    case cpSetParity:
    case cpSetStopSize:
    case cpSetControl: {
        if (n == 0 || (c == cpSetBaudRate && n < 4))
            return;
        const std::uint32_t value = c == cpSetBaudRate
                                        ? (std::uint32_t{v[0]} << 24) | (std::uint32_t{v[1]} << 16) |
                                              (std::uint32_t{v[2]} << 8) | v[3]
                                        : v[0];
        std::string note;
        {
            std::lock_guard l(ackLock_);
            if (c == cpSetControl) {
                const int group = ControlGroup(v[0]);
                if (group < 4)
                    serverControl_[group] = v[0];
            } else {
                serverValues_[c] = value;
                haveServerValue_[c] = true;
            }
            auto it = std::find_if(pending_.begin(), pending_.end(), [&](const TPending& p) {
                return p.command == c && (c != cpSetControl || ControlGroup(p.value) == ControlGroup(v[0]));
            });
            if (it != pending_.end()) {
                const std::uint32_t asked = it->shown;
                pending_.erase(it);
                if (asked != value)
                    note = "The server answered " + CommandName(c) + " " + ShownValue(c, asked) + " with " +
                           ShownValue(c, value) + ".";
            }
        }
        if (!note.empty())
            Note(note);
        return;
    }
    case cpNotifyLineState: {
        if (n == 0)
            return;
        std::uint32_t errors = 0;
        if (v[0] & lsBreakDetect)
            errors |= CE_BREAK;
        if (v[0] & lsFramingError)
            errors |= CE_FRAME;
        if (v[0] & lsParityError)
            errors |= CE_RXPARITY;
        if (v[0] & lsOverrunError)
            errors |= CE_OVERRUN;
        if (errors == 0)
            return;
        lineErrors_.fetch_or(errors);
        const std::uint32_t word = EV_ERR | ((errors & CE_BREAK) ? EV_BREAK : 0);
        if (auto* record = new (std::nothrow) TStatusBuffer(word))
            inputQueue_.Push(std::unique_ptr<TIOBuffer>(record));
        return;
    }
    case cpNotifyModemState: {
        if (n == 0)
            return;
        const std::uint32_t lines = ((v[0] & msCts) ? MS_CTS_ON : 0) | ((v[0] & msDsr) ? MS_DSR_ON : 0) |
                                    ((v[0] & msRi) ? MS_RING_ON : 0) | ((v[0] & msCd) ? MS_RLSD_ON : 0);
        const std::uint32_t old = modemLines_.exchange(lines);
        const std::uint32_t changed = old ^ lines;
        std::uint32_t word = 0;
        if ((v[0] & msDeltaCts) || (changed & MS_CTS_ON))
            word |= EV_CTS;
        if ((v[0] & msDeltaDsr) || (changed & MS_DSR_ON))
            word |= EV_DSR;
        if ((v[0] & msDeltaCd) || (changed & MS_RLSD_ON))
            word |= EV_RLSD;
        if ((changed & MS_RING_ON) && (lines & MS_RING_ON))
            word |= EV_RING;
        if (v[0] & msRiTrailingEdge)
            word |= EV_RINGTE;
        if (word)
            if (auto* record = new (std::nothrow) TStatusBuffer(word))
                inputQueue_.Push(std::unique_ptr<TIOBuffer>(record));
        return;
    }
    case cpPurgeData:
        if (n > 0) {
            // Only a wait ended by all its answers counts as answered: a
            // server that answers one kind of purge and not the other is
            // given up on like one that answers none.
            std::lock_guard l(purgeLock_);
            if (purgesOwed_ > 0 && --purgesOwed_ == 0) {
                purgeMisses_ = 0;
                if (purgeWait_.exchange(0) != 0)
                    outputReady_.Set();
            }
        }
        return;
    case cpFlowControlSuspend:
        Note("The server asks to suspend sending (FLOWCONTROL-SUSPEND); its buffer is full.");
        return;
    default:
        return;
    }
}

// ---------------------------------------------------------------------------
// Writer.

std::int32_t TSioNetworkDispatcher::SendAll(const std::vector<std::uint8_t>& bytes, bool abandonable, bool crNul)
{
    const int fd = fd_.Get();
    std::size_t done = 0;
    bool abandoned = false;
    while (done < bytes.size()) {
        if (abandonable && !abandoned && writerWake_.Consume()) {
            // The rest is dropped, but never half an escape: the byte after
            // a lone IAC would be taken as a command.
            const std::size_t tail = BytesToCompletePair(bytes.data(), done, bytes.size(), crNul);
            if (tail == 0)
                return 1;
            abandoned = true;
            const std::vector<std::uint8_t> rest(bytes.begin() + static_cast<std::ptrdiff_t>(done),
                                                 bytes.begin() + static_cast<std::ptrdiff_t>(done + tail));
            std::int32_t r = SendAll(rest, false, false);
            return r == 0 ? 1 : r;
        }
        const std::int32_t n = SendNoSignal(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p[2] = {{fd, POLLOUT, 0}, {writerWake_.Fd(), POLLIN, 0}};
            int r = sys::RetryEintr([&] { return ::poll(p, abandonable ? 2 : 1, kStopPollMs); });
            if (r < 0) {
                lastOsError_ = errno;
                return ecDeviceWrite;
            }
            if (r == 0 && StopRequested())
                return 0;
            continue;
        }
        const int err = n == 0 ? EPIPE : errno;
        if (err == EBADF)
            return ecInvalidHandle;
        lastOsError_ = err;
        Note("The connection failed while sending: " + SystemText(err));
        return ecDeviceWrite;
    }
    return 0;
}

std::int32_t TSioNetworkDispatcher::WritePass()
{
    struct THolding {
        std::atomic<bool>& flag;
        ~THolding()
        {
            flag = false;
            WakeMainThread();
        }
    } holding{writerHolds_};
    for (;;) {
        // Telnet commands first: new line settings queued after the output
        // drained, answers to the server.
        std::vector<std::uint8_t> control;
        {
            std::lock_guard l(controlLock_);
            control.swap(controlOut_);
        }
        if (!control.empty()) {
            std::int32_t r = SendAll(control, false, false);
            if (r != 0)
                return r == ecInvalidHandle ? 0 : r;
        }
        if (purgeWait_.load() != 0) {
            bool missed = false;
            {
                std::lock_guard l(purgeLock_);
                const std::uint32_t wait = purgeWait_.load();
                if (wait != 0 && static_cast<std::int32_t>(wait - Now()) > 0)
                    break;  // the answer wakes the writer; its poll looks again
                missed = wait != 0;
                purgesOwed_ = 0;
                purgeWait_ = 0;
            }
            // A server still opening its device may let one pass; one that
            // never answers is not waited for again.
            if (missed && purgeMisses_.fetch_add(1) + 1 == kPurgeMissesToGiveUp)
                Note("No answer from the server to PURGE-DATA; the output no longer waits for one.");
        }
        std::vector<std::uint8_t> block;
        {
            TGuard o(outputLock_);
            if (outputRing_.empty() || (!outputFull_ && outputWrite_ == outputRead_)) {
                if (!ControlPending())
                    break;
                continue;
            }
            std::uint32_t used = outputFull_ ? outSize_ : (outputWrite_ + outSize_ - outputRead_) % outSize_;
            std::vector<std::uint8_t> raw(used);
            std::uint32_t first = std::min(used, outSize_ - outputRead_);
            std::memcpy(raw.data(), outputRing_.data() + outputRead_, first);
            if (used > first)
                std::memcpy(raw.data() + first, outputRing_.data(), used - first);
            outputWrite_ = outputRead_ = 0;
            outputFull_ = false;
            writerHolds_ = true;
            const bool crNul = sendCrNul_.load();
            if (rfc2217_.load())
                EscapeInto(raw.data(), raw.size(), block, crNul);
            else
                block.swap(raw);
        }
        std::int32_t r = SendAll(block, true, rfc2217_.load() && sendCrNul_.load());
        if (r == 1) {
            SignalAbandoned();
            return 0;
        }
        if (r != 0)
            return r == ecInvalidHandle ? 0 : r;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Device slots.

std::int32_t TSioNetworkDispatcher::DeviceEscape(std::uint32_t function)
{
    std::uint8_t value;
    switch (function) {
    case SETDTR: value = ctlDtrOn; break;
    case CLRDTR: value = ctlDtrOff; break;
    case SETRTS: value = ctlRtsOn; break;
    case CLRRTS: value = ctlRtsOff; break;
    default: return ecBadArgument;
    }
    if (!rfc2217_.load() || comPort_.load() == kOff)
        return 0;  // the server's lines are its own
    TGuard g(mainLock_);
    std::uint8_t& last = (value == ctlDtrOn || value == ctlDtrOff) ? sent_.dtr : sent_.rts;
    if (last != value) {
        last = value;
        SendComPort(cpSetControl, {value}, value);
    }
    return 0;
}

std::int32_t TSioNetworkDispatcher::DevicePurge(int which)
{
    if (which == PurgeOutput) {
        if (ThreadRunning(TSioDispatcherThread::Writer)) {
            bool writerIdle;
            {
                TGuard o(outputLock_);
                writerIdle = !writerHolds_.load();
                outputWrite_ = outputRead_ = 0;
                outputFull_ = false;
            }
            if (!writerIdle)
                AbandonWrite(5000, [this] { writerWake_.Set(); });
        }
        SendPurge(purgeTransmit);
        return 0;
    }
    inputQueue_.Clear();
    SendPurge(purgeReceive);
    return 0;
}

void TSioNetworkDispatcher::SendPurge(std::uint8_t which)
{
    if (!rfc2217_.load() || comPort_.load() == kOff)
        return;
    // A server may carry a purge out after it has passed on the data that
    // follows it (ser2net's transmit purge empties both directions), and so
    // drop the next frame or its answer: the output waits until every purge
    // has been answered (unless the server never answers purges).
    if (purgeMisses_.load() < kPurgeMissesToGiveUp) {
        std::lock_guard l(purgeLock_);
        ++purgesOwed_;
        const std::uint32_t until = Now() + PurgeWaitMs;
        purgeWait_ = until != 0 ? until : 1;
    }
    SendComPort(cpPurgeData, {which}, which);
}

std::uint32_t TSioNetworkDispatcher::DeviceReadErrors(TSioComStat& status)
{
    status.Flags = 0;
    status.cbInQue = 0;
    status.cbOutQue = static_cast<std::uint32_t>(OutputRingUsed());
    return lineErrors_.exchange(0);
}

std::int32_t TSioNetworkDispatcher::DeviceReportError(std::int32_t) { return 0; }

std::int32_t TSioNetworkDispatcher::DeviceGetSettings(TSioDcb& settings)
{
    TGuard g(mainLock_);
    settings = settings_;
    return 0;
}

std::int32_t TSioNetworkDispatcher::DeviceSetSettings(const TSioDcb& s)
{
    if (s.ByteSize < 5 || s.ByteSize > 8 || s.Parity > SPACEPARITY || s.StopBits > TWOSTOPBITS)
        return -EINVAL;
    const std::uint32_t bps = BaudToBitsPerSecond(s.BaudRate);
    if (bps == 0)
        return -EINVAL;
    TGuard g(mainLock_);
    if (rfc2217_.load() && comPort_.load() != kOff) {
        static constexpr std::uint8_t parity[] = {cpParityNone, cpParityOdd, cpParityEven, cpParityMark,
                                                  cpParitySpace};
        const std::uint8_t p = parity[s.Parity];
        const std::uint8_t stop = s.StopBits == ONESTOPBIT ? cpStop1 : s.StopBits == ONE5STOPBITS ? cpStop15 : cpStop2;
        const std::uint8_t flow = (s.fOutxCtsFlow || s.fRtsControl == RTS_CONTROL_HANDSHAKE) ? ctlFlowHardware
                                  : s.fOutX                                                  ? ctlFlowXonXoff
                                                                                             : ctlFlowNone;
        if (sent_.baud != bps) {
            sent_.baud = bps;
            const std::uint8_t b[4] = {static_cast<std::uint8_t>(bps >> 24), static_cast<std::uint8_t>(bps >> 16),
                                       static_cast<std::uint8_t>(bps >> 8), static_cast<std::uint8_t>(bps)};
            SendComPort(cpSetBaudRate, {b, b + 4}, bps);
        }
        if (sent_.dataSize != s.ByteSize) {
            sent_.dataSize = s.ByteSize;
            SendComPort(cpSetDataSize, {s.ByteSize}, s.ByteSize);
        }
        if (sent_.parity != p) {
            sent_.parity = p;
            SendComPort(cpSetParity, {p}, p);
        }
        if (sent_.stopSize != stop) {
            sent_.stopSize = stop;
            SendComPort(cpSetStopSize, {stop}, stop);
        }
        if (sent_.flow != flow) {
            sent_.flow = flow;
            SendComPort(cpSetControl, {flow}, flow);
        }
        // RS-485: the server keys its transmitter; RTS rests off so that a
        // server that follows RTS listens between frames.
        if (s.fRtsControl == RTS_CONTROL_TOGGLE && sent_.rts != ctlRtsOff) {
            sent_.rts = ctlRtsOff;
            SendComPort(cpSetControl, {ctlRtsOff}, ctlRtsOff);
        }
    }
    settings_ = s;
    return 0;
}

std::int32_t TSioNetworkDispatcher::DeviceWrite(const void* data, std::int32_t count)
{
    TGuard o(outputLock_);
    if (outputRing_.empty() || count <= 0)
        return 0;
    auto in = static_cast<const std::uint8_t*>(data);
    const std::uint32_t size = outSize_;
    const auto n = static_cast<std::uint32_t>(count);
    std::uint32_t first = std::min(n, size - outputWrite_);
    std::memcpy(outputRing_.data() + outputWrite_, in, first);
    if (n > first)
        std::memcpy(outputRing_.data(), in + first, n - first);
    outputWrite_ = (outputWrite_ + n) % size;
    if (outputWrite_ == outputRead_)
        outputFull_ = true;
    outputReady_.Set();
    return count;
}

bool TSioNetworkDispatcher::DeviceEventWord(std::uint32_t& word)
{
    word = 0;
    return true;
}

bool TSioNetworkDispatcher::DeviceSetQueues(std::uint32_t, std::uint32_t) { return true; }

std::int32_t TSioNetworkDispatcher::OutputRingUsed()
{
    TGuard o(outputLock_);
    if (outSize_ == 0 || outputRing_.empty())
        return 0;
    if (outputFull_)
        return static_cast<std::int32_t>(outSize_);
    return static_cast<std::int32_t>((outputWrite_ + outSize_ - outputRead_) % outSize_);
}

std::int32_t TSioNetworkDispatcher::DeviceYield()
{
    sched_yield();
    return 0;
}

std::unique_ptr<TSioBaseDispatcher> CreateNetworkDispatcher(TSioCustomComPort* owner)
{
    return std::make_unique<TSioNetworkDispatcher>(owner);
}

}  // namespace sio
