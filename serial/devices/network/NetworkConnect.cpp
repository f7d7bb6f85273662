// The network dispatcher. Sockets are Linux calls: this unit is built only
// where the platform has them (serial/CMakeLists.txt).
#include "devices/network/NetworkDispatcher.h"

#include "port/DispatcherFactory.h"
#include "port/ComPort.h"

#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "errors/ErrorTexts.h"

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
constexpr int kStopPollMs = 100;  // a blocked send sees the stop flag this often
constexpr std::size_t kMaxNotes = 64;
constexpr char kSignature[] = "Tarnell Console";

template <typename T>
void RaiseTo(std::atomic<T>& peak, T value)
{
    T seen = peak.load(std::memory_order_relaxed);
    while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

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

// Opening: waits until until for the server's next bytes and reads them
// into chunk. The count read; 0 when the time ran out; -1 when the server
// closed the connection or the connection failed.
ssize_t ReceiveBefore(int fd, short events, std::uint8_t* chunk, std::size_t size, std::uint32_t until)
{
    for (;;) {
        pollfd p{fd, events, 0};
        if (sys::RetryEintr([&] { return ::poll(&p, 1, MsLeft(until)); }) <= 0)
            return 0;
        const ssize_t n = sys::RetryEintr([&] { return ::recv(fd, chunk, size, MSG_DONTWAIT); });
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        return n > 0 ? n : -1;
    }
}

// One address to connect to, and how messages name it ("127.0.0.1:4001",
// "[::1]:4001").
struct TSocketAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text;
};

std::mutex gResolverLock;
TNameResolver gResolver;

// The addresses of a look-up result, in its order.
void TakeAddresses(const addrinfo* list, std::vector<TSocketAddress>& out)
{
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        TSocketAddress a;
        std::memcpy(&a.address, ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        char host[NI_MAXHOST], service[NI_MAXSERV];
        if (::getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof host, service, sizeof service,
                          NI_NUMERICHOST | NI_NUMERICSERV) == 0)
            a.text = (ai->ai_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + service;
        out.push_back(std::move(a));
    }
}

// Resolves host within the deadline. The look-up of a name may hang on a
// dead name server, so it runs on a thread of its own that is left behind
// when the deadline passes.
struct TLookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int rc = 0;
    std::vector<TSocketAddress> addresses;
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
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &result) == 0) {
        TakeAddresses(result, lookup->addresses);
        ::freeaddrinfo(result);
        lookup->finished = true;
        return lookup;
    }
    TNameResolver resolver;
    {
        std::lock_guard l(gResolverLock);
        resolver = gResolver;
    }
    if (resolver) {
        for (const std::string& number : resolver(host)) {
            if (::getaddrinfo(number.c_str(), service.c_str(), &hints, &result) == 0) {
                TakeAddresses(result, lookup->addresses);
                ::freeaddrinfo(result);
            }
        }
        lookup->rc = lookup->addresses.empty() ? EAI_NONAME : 0;
        lookup->finished = true;
        return lookup;
    }
    hints.ai_flags = AI_NUMERICSERV;
    try {
        std::thread([lookup, host, service, hints] {
            addrinfo* found = nullptr;
            const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            std::vector<TSocketAddress> addresses;
            if (rc == 0) {
                TakeAddresses(found, addresses);
                ::freeaddrinfo(found);
            }
            std::lock_guard l(lookup->lock);
            lookup->rc = rc;
            lookup->addresses = std::move(addresses);
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

// Printable ASCII of what a server said, on one line, cut short.
std::string Printable(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    for (std::uint8_t b : bytes) {
        if (text.size() >= 60) {
            text += "...";
            break;
        }
        if (b == '\r' || b == '\n' || b == '\t')
            b = ' ';
        if (b >= 0x20 && b < 0x7F && !(b == ' ' && (text.empty() || text.back() == ' ')))
            text += static_cast<char>(b);
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
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

void SetNameResolver(TNameResolver resolver)
{
    std::lock_guard l(gResolverLock);
    gResolver = std::move(resolver);
}

namespace {
std::atomic<std::uint32_t> gCloseAtOnceWatchMs{50};
}  // namespace

void SetCloseAtOnceWatchMs(std::uint32_t ms)
{
    gCloseAtOnceWatchMs = std::max<std::uint32_t>(ms, 1);
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
    if (!QueueData(early_.data(), early_.size(), InputDiscards())) {
        RequestStop();
        return ecTapiNoMem;
    }
    early_.clear();
    if (earlyLost_ > 0) {
        // More came while the options were negotiated than the input
        // buffer holds: lost as a driver loses it.
        AddLineErrors(static_cast<std::int32_t>(CE_RXOVER));
        Note(std::to_string(earlyLost_) +
             " bytes that came while the options were negotiated did not fit the input buffer and were lost.");
    }
    std::uint8_t chunk[NetworkReadChunk];
    std::vector<std::uint8_t> data;
    std::vector<TTelnetEvent> events;
    while (!StopRequested()) {
        // While more answers wait than a server that reads would leave, the
        // socket is not read: the server's commands stay with it (and its
        // sending stops) until the writer has sent ours. A hang-up is still
        // seen. The writer wakes the reader when it takes them.
        const bool held = ControlBacklog() > ControlBacklogLimit;
        pollfd p[2] = {{fd, static_cast<short>(held ? 0 : POLLIN), 0}, {readerWake_.Fd(), POLLIN, 0}};
        // Every stop sets the reader wake: a port at rest wakes nobody.
        int r = sys::RetryEintr([&] { return ::poll(p, 2, -1); });
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
        const std::uint32_t discardsSeen = InputDiscards();
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
        if (!TakeReceived(data, events, discardsSeen)) {
            RequestStop();
            return ecTapiNoMem;
        }
        NoteInputHeld();
    }
    return 0;
}

void TSioNetworkDispatcher::NoteInputHeld()
{
    RaiseTo(peakInput_, inputQueue_.DataBytes());
    RaiseTo(peakRecords_, inputQueue_.Count());
}

TNetworkHoldings TSioNetworkDispatcher::PeakHoldings() const
{
    TNetworkHoldings h;
    h.telnetAnswers = peakAnswers_.load();
    h.earlyData = peakEarly_.load();
    h.inputData = peakInput_.load();
    h.inputRecords = peakRecords_.load();
    return h;
}

std::int32_t TSioNetworkDispatcher::WriterLoop()
{
    SignalThreadReady(TSioDispatcherThread::Writer);
    bool waiting = false;  // for a purge's answer, until waitEnd
    std::uint32_t waitEnd = 0;
    while (!StopRequested()) {
        pollfd p[2] = {{outputReady_.Fd(), POLLIN, 0}, {writerWake_.Fd(), POLLIN, 0}};
        // Awake when output comes, when a purge's wait ends, or to stop
        // (every stop sets the writer wake).
        int r = sys::RetryEintr([&] { return ::poll(p, 2, waiting ? MsLeft(waitEnd) : -1); });
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
        if (p[0].revents || (waiting && MsLeft(waitEnd) == 0)) {
            outputReady_.Consume();
            if (StopRequested())
                break;
            std::int32_t pass = WritePass(waiting, waitEnd);
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
        // Awake only while an answer is awaited, until it is late; every
        // stop sets the status wake.
        int wait = -1;
        {
            std::lock_guard l(ackLock_);
            if (!pending_.empty()) {
                const std::uint32_t age = Now() - pending_.front().tick;
                wait = age >= AckLimitMs ? 0 : static_cast<int>(AckLimitMs - age) + 1;
            }
        }
        statusWake_.Wait(wait);
        if (StopRequested())
            break;
        CheckAcks();
    }
    return 0;
}

// ---------------------------------------------------------------------------

TSioNetworkDispatcher::TSioNetworkDispatcher(TSioBaseComponent* owner) : TSioDescriptorDispatcher(owner) {}

TSioNetworkDispatcher::~TSioNetworkDispatcher() { Shutdown(); }

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

std::int32_t TSioNetworkDispatcher::DeviceOpen(const std::string& name, std::uint32_t inSize, std::uint32_t)
{
    if (const int err = WakeEventsError()) {
        lastOsError_ = err;
        return -err;
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
    earlyLimit_ = std::max<std::size_t>(inSize, ReadRecordSize);
    writerHolds_ = false;
    lineErrors_ = 0;
    modemLines_ = 0;
    comPort_ = kOff;
    sendCrNul_ = false;
    purgeDropped_ = 0;
    peakAnswers_ = peakEarly_ = peakRecords_ = 0;
    peakInput_ = 0;
    {
        std::lock_guard l(controlLock_);
        controlOut_.clear();
        purges_[0] = purges_[1] = {};
        roundTrips_.clear();
        roundTripMs_ = 0;
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

    // A server that accepts and closes at once may be busy with the
    // connection just closed (ser2net keeps its device until the output
    // has drained): it is tried again while the limit allows.
    constexpr std::uint32_t kRetryPauseMs = 100;
    std::string said;  // what the server said before it closed at once
    auto closedAtOnce = [&](int times) {
        return Fail(ECONNRESET, "the server closed the connection at once" + said +
                                    (times > 1 ? ", " + std::to_string(times) + " times" : std::string()) +
                                    "; its device may still be in use");
    };
    for (int attempt = 1;; ++attempt) {
        decoder_.Reset();
        early_.clear();
        earlyLost_ = 0;
        {
            std::lock_guard l(controlLock_);
            controlOut_.clear();
        }
        std::int32_t r = Connect(address_, deadline);
        // A server that closed at once and then let the limit run out is
        // still the server that closed at once.
        if (r < 0)
            return attempt > 1 && lastOsError_.load() == ETIMEDOUT ? closedAtOnce(attempt - 1) : r;
        if (rfc2217_.load() ? Negotiate(deadline) : Settle(deadline))
            break;
        said = EarlyText();
        {
            std::unique_lock fl(fdLock_);
            fd_.Reset();
        }
        if (MsLeft(deadline) <= static_cast<int>(kRetryPauseMs))
            return closedAtOnce(attempt);
        Note("The server closed the connection at once" + said + "; trying again.");
        std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    }
    if (!rfc2217_.load())
        Note("Raw TCP to " + address_.Text() + ": the line settings are the server's.");
    return fd_.Get();
}

std::int32_t TSioNetworkDispatcher::Connect(const TNetworkAddress& address, std::uint32_t deadline)
{
    auto lookup = Resolve(address.host, address.port, deadline);
    std::unique_lock l(lookup->lock);
    if (!lookup->finished)
        return Fail(ETIMEDOUT, "cannot connect: the name " + address.host + " was not resolved within " +
                                   std::to_string(ConnectLimitMs / 1000) + " s");
    if (lookup->rc != 0 || lookup->addresses.empty())
        return Fail(EHOSTUNREACH, "cannot connect: " + address.host + ": " +
                                      (lookup->rc == EAI_NONAME ? std::string(::gai_strerror(EAI_NONAME))
                                                                : std::string(::gai_strerror(lookup->rc))));
    const std::vector<TSocketAddress> addresses = lookup->addresses;
    l.unlock();

    // The addresses in turn, the next one NextAddressMs after the last
    // began or at once when it failed, those under way kept going: the
    // first to answer wins.
    const std::size_t count = addresses.size();
    std::vector<std::string> why(count);
    std::vector<int> errs(count, 0);
    struct TTry {
        sys::TFileDescriptor fd;
        std::size_t index;
        std::uint32_t started;
    };
    std::vector<TTry> tries;
    std::size_t next = 0;
    std::uint32_t nextAt = Now();
    sys::TFileDescriptor won;
    std::size_t winner = 0;
    while (!won.Valid()) {
        while (next < count && (tries.empty() || MsLeft(nextAt) == 0) && MsLeft(deadline) > 0) {
            const std::size_t i = next++;
            nextAt = Now() + NextAddressMs;
            const auto* sa = reinterpret_cast<const sockaddr*>(&addresses[i].address);
            sys::TFileDescriptor fd(::socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (!fd) {
                errs[i] = errno;
                why[i] = SystemText(errno);
                continue;
            }
            const std::uint32_t started = Now();
            if (::connect(fd.Get(), sa, addresses[i].length) == 0) {
                won = std::move(fd);
                winner = i;
                connectMs_ = Now() - started;
                break;
            }
            if (errno != EINPROGRESS) {
                errs[i] = errno;
                why[i] = SystemText(errno);
                continue;
            }
            tries.push_back({std::move(fd), i, started});
        }
        if (won.Valid() || tries.empty() || MsLeft(deadline) == 0)
            break;
        int wait = MsLeft(deadline);
        if (next < count)
            wait = std::min(wait, MsLeft(nextAt));
        std::vector<pollfd> p;
        for (const TTry& t : tries)
            p.push_back({t.fd.Get(), POLLOUT, 0});
        const int pr = sys::RetryEintr([&] { return ::poll(p.data(), p.size(), wait); });
        if (pr < 0) {
            const int err = errno;
            for (const TTry& t : tries) {
                errs[t.index] = err;
                why[t.index] = SystemText(err);
            }
            tries.clear();
            continue;
        }
        for (std::size_t k = tries.size(); k-- > 0;) {
            if (!p[k].revents)
                continue;
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(tries[k].fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
            if (err == 0 && !won.Valid()) {
                won = std::move(tries[k].fd);
                winner = tries[k].index;
                connectMs_ = Now() - tries[k].started;
            } else if (err != 0) {
                errs[tries[k].index] = err;
                why[tries[k].index] = SystemText(err);
            }
            tries.erase(tries.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
    const std::string limit = "no answer within " + std::to_string(ConnectLimitMs / 1000) + " s";
    for (const TTry& t : tries) {
        errs[t.index] = ETIMEDOUT;
        why[t.index] = won.Valid() ? "no answer yet" : limit;
    }
    if (!won.Valid()) {
        // Each address once, with its own reason.
        int err = ECONNREFUSED;
        bool timedOut = false;
        for (std::size_t i = 0; i < count; ++i) {
            if (why[i].empty()) {
                why[i] = "not tried within " + std::to_string(ConnectLimitMs / 1000) + " s";
                errs[i] = ETIMEDOUT;
            }
            timedOut = timedOut || errs[i] == ETIMEDOUT;
            err = errs[i];
        }
        if (timedOut)
            err = ETIMEDOUT;
        if (count == 1)
            return Fail(err, "cannot connect: " + (errs[0] == ETIMEDOUT ? limit + " (" + SystemText(ETIMEDOUT) + ")"
                                                                         : why[0]));
        std::string text = "cannot connect: ";
        for (std::size_t i = 0; i < count; ++i)
            text += (i ? "; " : "") + addresses[i].text + ": " + why[i];
        return Fail(err, text);
    }
    if (winner > 0) {
        std::string text;
        for (std::size_t i = 0; i < winner; ++i)
            text += addresses[i].text + ": " + why[i] + "; ";
        Note(text + "connected to " + addresses[winner].text + ".");
    }
    // Small frames go out at once; a server that vanishes without a word
    // (power, cable) is noticed within about 20 s, also while a frame waits
    // to be taken.
    const int fd = won.Get();
    int on = 1, idle = 5, interval = 2, probes = 3;
    unsigned int userTimeout = 15000;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    (void)::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    std::unique_lock fl(fdLock_);
    fd_ = std::move(won);
    return 0;
}

void TSioNetworkDispatcher::KeepEarly(const std::uint8_t* data, std::size_t count)
{
    const std::size_t room = early_.size() < earlyLimit_ ? earlyLimit_ - early_.size() : 0;
    const std::size_t n = std::min(room, count);
    early_.insert(early_.end(), data, data + n);
    earlyLost_ += count - n;
    RaiseTo(peakEarly_, early_.size());
}

std::string TSioNetworkDispatcher::EarlyText() const
{
    const std::string said = Printable(early_);
    return said.empty() ? std::string() : " (it said \"" + said + "\")";
}

bool TSioNetworkDispatcher::Settle(std::uint32_t deadline)
{
    // A server that closes at once closes within a round trip of the
    // connect; one that keeps the connection is not held up for long.
    const std::uint32_t least = gCloseAtOnceWatchMs.load();
    const std::uint32_t settle = std::clamp<std::uint32_t>(2 * connectMs_ + 50, least, std::max(least, 300u));
    const std::uint32_t end = Now() + std::min<std::uint32_t>(settle, static_cast<std::uint32_t>(MsLeft(deadline)));
    const int fd = fd_.Get();
    std::uint8_t chunk[1024];
    for (;;) {
        const ssize_t n = ReceiveBefore(fd, POLLIN | POLLRDHUP, chunk, sizeof chunk, end);
        if (n <= 0)
            return n == 0;
        KeepEarly(chunk, static_cast<std::size_t>(n));
    }
}

bool TSioNetworkDispatcher::Negotiate(std::uint32_t deadline)
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
    // is read here, until done() holds or until passes. False when the
    // server closed the connection meanwhile.
    const int fd = fd_.Get();
    std::uint8_t chunk[1024];
    std::vector<std::uint8_t> data;
    std::vector<TTelnetEvent> events;
    auto exchange = [&](std::uint32_t until, const std::function<bool()>& done) {
        for (;;) {
            std::vector<std::uint8_t> out;
            {
                std::lock_guard l(controlLock_);
                out.swap(controlOut_);
            }
            std::size_t sent = 0;
            while (sent < out.size()) {
                const std::int32_t n = SendNoSignal(fd, out.data() + sent, out.size() - sent);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && MsLeft(until) > 0) {
                    pollfd p{fd, POLLOUT, 0};
                    (void)::poll(&p, 1, MsLeft(until));
                    continue;
                }
                break;  // a failure shows at the first read or write of the threads
            }
            if (sent < out.size()) {
                // What a server that does not read left is the writer's to send,
                // whole: a telnet command cut here would spoil the stream.
                std::lock_guard l(controlLock_);
                controlOut_.insert(controlOut_.begin(), out.begin() + static_cast<std::ptrdiff_t>(sent), out.end());
            }
            if (done() || MsLeft(until) == 0 || sent < out.size())
                return true;
            const ssize_t n = ReceiveBefore(fd, POLLIN, chunk, sizeof chunk, until);
            if (n <= 0)
                return n == 0;
            data.clear();
            events.clear();
            decoder_.Feed(chunk, static_cast<std::size_t>(n), data, events);
            KeepEarly(data.data(), data.size());
            HandleEvents(events);
        }
    };
    if (!exchange(deadline, [this] { return comPort_.load() != kAsked; }))
        return false;
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
    if (comPort_.load() == kOn) {
        // The link's round trip, measured now, before the first reply is
        // waited for: a purge of the server's transmit side (nothing of
        // ours is there yet) and its answer.
        SendPurge(purgeTransmit);
        const std::uint32_t until = Now() + std::min<std::uint32_t>(PurgeWaitMs, static_cast<std::uint32_t>(MsLeft(deadline)));
        if (!exchange(until, [this] {
                std::lock_guard l(controlLock_);
                return purges_[1].owed == 0;
            }))
            return false;
    }
    return true;
}

std::int32_t TSioNetworkDispatcher::DeviceClose()
{
    return CloseAfterThreads([this](TSioDispatcherThread::TRole role) { WakeDeviceThread(role); },
                             [this] {
                                 std::unique_lock l(fdLock_);
                                 return fd_.Valid() && fd_.Reset() != 0 ? -1 : 0;
                             });
}

void TSioNetworkDispatcher::StartThreads()
{
    MarkActive();
    StartDeviceThreads(*this, &TSioNetworkDispatcher::ReaderLoop, &TSioNetworkDispatcher::WriterLoop,
                       &TSioNetworkDispatcher::StatusLoop);
    // What the opening queued (line settings, control lines) goes now.
    outputReady_.Set();
}

void TSioNetworkDispatcher::StopThreads()
{
    if (Active())
        DeviceClose();
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
        RaiseTo(peakAnswers_, controlOut_.size());
    }
    outputReady_.Set();
}

std::size_t TSioNetworkDispatcher::ControlBacklog() const
{
    std::lock_guard l(controlLock_);
    return controlOut_.size();
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
    // Kept before the look at the log: a log switched on meanwhile flushes
    // it (LogSwitchedOn), or this call does.
    FlushNotes();
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
        (void)inputQueue_.PushStatus(EV_ERR | ((errors & CE_BREAK) ? EV_BREAK : 0));
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
            (void)inputQueue_.PushStatus(word);
        return;
    }
    case cpPurgeData:
        if (n > 0 && v[0] >= purgeReceive && v[0] <= (purgeReceive | purgeTransmit)) {
            // Each kind counts its own answers: a server that answers one
            // kind and not the other is given up on for that kind alone. An
            // answer that comes after its wait ran out still shows that the
            // server answers that kind.
            bool ended = false;
            {
                std::lock_guard c(controlLock_);
                for (int k = 0; k < 2; ++k) {
                    if (!(v[0] & (k == 0 ? purgeReceive : purgeTransmit)))
                        continue;
                    TPurgeKind& p = purges_[k];
                    p.misses = 0;
                    if (!p.sentAt.empty()) {
                        RecordRoundTrip(Now() - p.sentAt.front());
                        p.sentAt.pop_front();
                    }
                    if (p.owed > 0 && --p.owed == 0)
                        ended = true;
                }
            }
            if (ended)
                outputReady_.Set();
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
// Reader.

bool TSioNetworkDispatcher::TakeReceived(const std::vector<std::uint8_t>& data, std::vector<TTelnetEvent>& events,
                                         std::uint32_t discardsSeen)
{
    // In the order of the wire: a purge's answer among the data divides
    // what is dropped from what is kept.
    std::size_t at = 0;
    for (TTelnetEvent& e : events) {
        const std::size_t end = std::min(e.dataAt, data.size());
        if (end > at && !QueueData(data.data() + at, end - at, discardsSeen))
            return false;
        at = std::max(at, end);
        if (e.kind == TTelnetEvent::Negotiation)
            HandleNegotiation(e.verb, e.option);
        else if (e.kind == TTelnetEvent::Subnegotiation && e.option == OptComPort && !e.payload.empty())
            HandleComPort(e.payload);
    }
    return at >= data.size() || QueueData(data.data() + at, data.size() - at, discardsSeen);
}

bool TSioNetworkDispatcher::QueueData(const std::uint8_t* data, std::size_t count, std::uint32_t discardsSeen)
{
    std::size_t dropped = 0;
    // Asked under the dispatch lock, which DiscardInput holds while it puts
    // the receive purge's wait in force and empties the queue.
    auto keep = [&] {
        bool wanted = InputDiscards() == discardsSeen;
        if (wanted) {
            std::lock_guard c(controlLock_);
            wanted = !ReceivePurgeAwaited();
        }
        return wanted;
    };
    // Serial data hands over in records, as a tty's reader hands it.
    for (std::size_t at = 0; at < count; at += ReadRecordSize) {
        const auto n = static_cast<std::int32_t>(std::min<std::size_t>(ReadRecordSize, count - at));
        bool kept = true;
        if (!QueueReceived(data + at, n, [&] { return kept = keep(); }))
            return false;
        if (!kept)
            dropped += static_cast<std::size_t>(n);
    }
    if (dropped > 0) {
        purgeDropped_.fetch_add(dropped);
        static const char text[] = "Dropped: came before the server had carried out the purge of its receive side.";
        log_.AddLogEntry(ltDispatch, lsStatus, static_cast<std::uint32_t>(dropped), text, sizeof text - 1);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Writer.

std::int32_t TSioNetworkDispatcher::SendAll(const std::vector<std::uint8_t>& bytes, bool abandonable, bool crNul,
                                           bool* blockAbandoned)
{
    const int fd = fd_.Get();
    std::size_t done = 0;
    bool abandoned = false;
    while (done < bytes.size()) {
        if (blockAbandoned && !*blockAbandoned && writerWake_.Consume()) {
            // Telnet commands go out whole; the block after them is what the
            // discard drops, and it is told so at once.
            *blockAbandoned = true;
            SignalAbandoned();
        }
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
            const bool watchWake = abandonable || (blockAbandoned && !*blockAbandoned);
            int r = sys::RetryEintr([&] { return ::poll(p, watchWake ? 2 : 1, kStopPollMs); });
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

std::int32_t TSioNetworkDispatcher::WritePass(bool& waiting, std::uint32_t& waitEnd)
{
    TWriterHolding holding{*this};
    waiting = false;
    for (;;) {
        // Telnet commands first (new line settings queued after the output
        // drained, purges, answers to the server), then the output ring,
        // unless a purge's answer is awaited: taken in one step, so that no
        // frame can overtake a purge queued before it (the ordering rule,
        // SioNetwork.h).
        std::vector<std::uint8_t> control, raw;
        std::vector<std::string> notes;
        {
            TGuard o(outputLock_);
            std::lock_guard c(controlLock_);
            control.swap(controlOut_);
            waiting = PurgeWaitInForce(waitEnd, notes);
            if (!waiting)
                TakeOutputBlockLocked(raw);
        }
        for (const std::string& n : notes)
            Note(n);
        if (!control.empty()) {
            // The reader may have stopped reading while these waited.
            if (control.size() > ControlBacklogLimit)
                readerWake_.Set();
            bool blockAbandoned = false;
            std::int32_t r = SendAll(control, false, false, raw.empty() ? nullptr : &blockAbandoned);
            if (r != 0)
                return r == ecInvalidHandle ? 0 : r;
            if (blockAbandoned)
                raw.clear();
        }
        if (raw.empty()) {
            if (control.empty())
                return 0;
            continue;  // more may have been queued meanwhile
        }
        const bool crNul = rfc2217_.load() && sendCrNul_.load();
        const auto taken = static_cast<std::uint32_t>(raw.size());
        std::vector<std::uint8_t> block;
        if (rfc2217_.load())
            EscapeInto(raw.data(), raw.size(), block, crNul);
        else
            block.swap(raw);
        std::int32_t r = SendAll(block, true, crNul);
        if (r == 1) {
            SignalAbandoned();
            return 0;
        }
        if (r != 0)
            return r == ecInvalidHandle ? 0 : r;
        OutputHandedOver(taken);
    }
}

bool TSioNetworkDispatcher::PurgeWaitInForce(std::uint32_t& until, std::vector<std::string>& notes)
{
    const std::uint32_t now = Now();
    bool inForce = false;
    for (int k = 0; k < 2; ++k) {
        TPurgeKind& p = purges_[k];
        if (p.owed == 0)
            continue;
        if (static_cast<std::int32_t>(p.until - now) > 0) {
            if (!inForce || static_cast<std::int32_t>(p.until - until) < 0)
                until = p.until;
            inForce = true;
            continue;
        }
        // A server still opening its device may let one pass; one that
        // never answers this kind is not waited for again.
        p.owed = 0;
        p.sentAt.clear();
        if (++p.misses == PurgeMissesToGiveUp)
            notes.push_back(std::string("No answer from the server to PURGE-DATA ") +
                            (k == 0 ? "receive" : "transmit") + " " + std::to_string(PurgeMissesToGiveUp) +
                            " times in a row; the output no longer waits for one.");
    }
    return inForce;
}

void TSioNetworkDispatcher::RecordRoundTrip(std::uint32_t ms)
{
    roundTrips_.push_back(ms);
    if (roundTrips_.size() > kRoundTripSamples)
        roundTrips_.pop_front();
    roundTripMs_ = *std::max_element(roundTrips_.begin(), roundTrips_.end());
}

bool TSioNetworkDispatcher::ReceivePurgeAwaited() const
{
    const TPurgeKind& p = purges_[0];
    return p.owed > 0 && static_cast<std::int32_t>(p.until - Now()) > 0;
}

int TSioNetworkDispatcher::PurgeMisses(std::uint8_t which) const
{
    if (which != purgeReceive && which != purgeTransmit)
        return 0;
    std::lock_guard c(controlLock_);
    return purges_[which == purgeReceive ? 0 : 1].misses;
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
                ClearOutputRingLocked();
            }
            if (!writerIdle)
                AbandonWrite(5000, [this] { writerWake_.Set(); });
        }
        SendPurge(purgeTransmit);
        return 0;
    }
    // Under the dispatch lock (DiscardInput): the wait is in force before
    // the queue is emptied, so the reader either queued its bytes before
    // the emptying or drops them.
    SendPurge(purgeReceive);
    inputQueue_.Clear();
    return 0;
}

void TSioNetworkDispatcher::SendPurge(std::uint8_t which)
{
    if (!rfc2217_.load() || comPort_.load() == kOff)
        return;
    // The ordering rule (SioNetwork.h): the purge and its wait are in place
    // before the caller writes the next frame, in one step.
    std::vector<std::uint8_t> bytes;
    ComPortInto(cpPurgeData, which, bytes);
    {
        std::lock_guard c(controlLock_);
        TPurgeKind& p = purges_[which == purgeReceive ? 0 : 1];
        if (p.misses < PurgeMissesToGiveUp) {
            ++p.owed;
            p.until = Now() + PurgeWaitMs;
        }
        // Its answer, whenever it comes, measures the link; a server that
        // has stopped answering this kind is not timed.
        if (p.misses < PurgeMissesToGiveUp && p.sentAt.size() < 64)
            p.sentAt.push_back(Now());
        controlOut_.insert(controlOut_.end(), bytes.begin(), bytes.end());
    }
    outputReady_.Set();
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
    PutOutputLocked(data, static_cast<std::uint32_t>(count));
    outputReady_.Set();
    return count;
}

std::unique_ptr<TSioBaseDispatcher> CreateNetworkDispatcher(TSioCustomComPort* owner)
{
    return std::make_unique<TSioNetworkDispatcher>(owner);
}

}  // namespace sio
