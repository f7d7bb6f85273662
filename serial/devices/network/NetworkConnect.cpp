// The network dispatcher's opening: the address, the name look-up, the
// connect (several addresses in turn, within ConnectLimitMs), and either
// the option negotiation (RFC 2217) or the watch for a server that closes
// at once (raw TCP).
#include "devices/network/NetworkDispatcher.h"
#include "devices/network/NetworkInternal.h"

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
                          NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict)
            // about the same text built with operator+.
            const bool v6 = ai->ai_family == AF_INET6;
            a.text.append(v6 ? "[" : "").append(host).append(v6 ? "]:" : ":").append(service);
        }
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

}  // namespace sio
