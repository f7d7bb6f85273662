// Device servers of the tests' own on 127.0.0.1, for what ser2net cannot be
// made to do on purpose: leave a kind of purge unanswered, send a late reply
// before it empties its buffer, flood, close at once, never answer.
//
// TListener is a listening socket on 127.0.0.1 (a port the system chooses).
// FillBacklog makes it a server that never answers: connection requests
// beyond its full accept queue are dropped, so a connect to it waits.
//
// TFakeDeviceServer accepts connections one after another on a thread of
// its own and hands each to a session function, which serves it until the
// peer closes or the server stops (Stopping(), StopFd() for poll):
//
//   sio::test::TRfc2217Device device;  // TDeviceOptions: what it answers
//   sio::test::TFakeDeviceServer server([&](int fd, auto& s) { device.Serve(fd, s); });
//   ... open server.Url() ...
//
// TRfc2217Device is the usual session: a device server that agrees to
// BINARY, SGA and COM-PORT-OPTION, answers every COM-PORT-OPTION command
// (purges as its options say) and answers every frame with one reply. It
// writes down the order in which purges and frames reached it.
//
// Header-only. A failure to set up throws std::runtime_error.
#pragma once

#include "PollStop.h"
#include "devices/network/TelnetCodec.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sio::test {

class TListener {
public:
    // ip: one of the loopback addresses (127.0.0.1, 127.0.0.2, ...); port 0:
    // one the system chooses.
    explicit TListener(int backlog = 8, const std::string& ip = "127.0.0.1", int port = 0) : ip_(ip)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1)
            throw std::runtime_error("not an address: " + ip);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, backlog) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error(std::string("no listener: ") + std::strerror(errno));
        port_ = ntohs(a.sin_port);
    }
    ~TListener()
    {
        for (int f : fillers_)
            ::close(f);
        ::close(fd_);
    }
    TListener(const TListener&) = delete;
    TListener& operator=(const TListener&) = delete;

    int Fd() const { return fd_; }
    int Port() const { return port_; }
    sockaddr_in Address() const
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        (void)::inet_pton(AF_INET, ip_.c_str(), &a.sin_addr);
        a.sin_port = htons(static_cast<std::uint16_t>(port_));
        return a;
    }
    // Connection requests that nobody accepts fill the queue (of a listener
    // made with backlog 0); later requests are dropped without an answer.
    void FillBacklog()
    {
        const sockaddr_in a = Address();
        for (int i = 0; i < 3; ++i) {
            const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            (void)::connect(f, reinterpret_cast<const sockaddr*>(&a), sizeof a);
            fillers_.push_back(f);
        }
    }

private:
    std::string ip_;
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

class TFakeDeviceServer {
public:
    using TSession = std::function<void(int fd, TFakeDeviceServer& server)>;

    explicit TFakeDeviceServer(TSession session) : session_(std::move(session))
    {
        stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stop_ < 0)
            throw std::runtime_error("eventfd failed");
        thread_ = std::thread([this] { Run(); });
    }
    ~TFakeDeviceServer() { Stop(); }
    TFakeDeviceServer(const TFakeDeviceServer&) = delete;
    TFakeDeviceServer& operator=(const TFakeDeviceServer&) = delete;

    // Ends the session under way and the accepting; waits for the thread.
    void Stop()
    {
        if (!thread_.joinable())
            return;
        const std::uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(stop_);
    }
    int Port() const { return listener_.Port(); }
    std::string Url(const std::string& scheme = "rfc2217") const
    {
        return scheme + "://127.0.0.1:" + std::to_string(listener_.Port());
    }
    int Accepted() const { return accepted_.load(); }
    bool Stopping() const
    {
        pollfd p{stop_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    int StopFd() const { return stop_; }

    // For sessions: waits up to ms for fd to become readable (true) or the
    // server to stop (false).
    bool AwaitReadable(int fd, int ms) const
    {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
        const int r = ::poll(p, 2, ms);
        return r > 0 && !p[1].revents && p[0].revents;
    }
    // Writes all of bytes unless the server stops or the peer goes; false then.
    bool SendAll(int fd, const void* bytes, std::size_t count) const
    {
        const auto* b = static_cast<const std::uint8_t*>(bytes);
        while (count > 0) {
            const ssize_t n = ::send(fd, b, count, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                b += n;
                count -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p[2] = {{fd, POLLOUT, 0}, {stop_, POLLIN, 0}};
                if (::poll(p, 2, 100) > 0 && p[1].revents)
                    return false;
                continue;
            }
            return false;
        }
        return true;
    }

private:
    void Run()
    {
        while (ReadableBeforeStop(listener_.Fd(), stop_)) {
            const int c = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            ++accepted_;
            session_(c, *this);
            ::close(c);
        }
    }

    TListener listener_;
    TSession session_;
    int stop_ = -1;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

struct TDeviceOptions {
    bool answerReceivePurge = true;
    bool answerTransmitPurge = true;
    // Sent when a receive purge arrives, before its answer: a reply the
    // device had sent before the purge, still on its way.
    std::string lateReply;
    // The pause between the late reply and the receive purge's answer.
    int lateReplyLeadMs = 30;
    // Purges are answered this long after they came: a slow link.
    int purgeAnswerDelayMs = 0;
    // The answer to every frame (a frame ends in "\n\r").
    std::string reply = "STA;0:192;\n\r";
};

class TRfc2217Device {
public:
    explicit TRfc2217Device(TDeviceOptions options = {}) : options_(std::move(options)) {}

    // What reached the device, in order, one letter each: 'r' a receive
    // purge, 't' a transmit purge, 'F' the first byte of a frame.
    std::string Seen() const
    {
        std::lock_guard l(lock_);
        return seen_;
    }

    void Serve(int fd, TFakeDeviceServer& server)
    {
        namespace t = sio::telnet;
        t::TTelnetDecoder decoder;
        std::string line;
        std::uint8_t buf[4096];
        while (server.AwaitReadable(fd, -1)) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            std::vector<std::uint8_t> data, out;
            std::vector<t::TTelnetEvent> events;
            decoder.Feed(buf, static_cast<std::size_t>(n), data, events);
            // Commands and data in the order of the wire.
            std::size_t at = 0;
            auto takeData = [&](std::size_t end) {
                for (; at < end && at < data.size(); ++at) {
                    if (line.empty())
                        Write('F');
                    line += static_cast<char>(data[at]);
                    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\n\r") == 0) {
                        t::EscapeInto(reinterpret_cast<const std::uint8_t*>(options_.reply.data()),
                                      options_.reply.size(), out);
                        line.clear();
                    }
                }
            };
            for (const t::TTelnetEvent& e : events) {
                takeData(e.dataAt);
                if (e.kind == t::TTelnetEvent::Negotiation && (e.verb == t::WILL || e.verb == t::DO))
                    t::NegotiationInto(e.verb == t::WILL ? t::DO : t::WILL, e.option, out);
                if (e.kind != t::TTelnetEvent::Subnegotiation || e.option != t::OptComPort || e.payload.empty())
                    continue;
                const bool purge = e.payload[0] == t::cpPurgeData && e.payload.size() == 2;
                const bool receive = purge && e.payload[1] == t::purgeReceive;
                const bool transmit = purge && e.payload[1] == t::purgeTransmit;
                if (receive || transmit)
                    Write(receive ? 'r' : 't');
                if (receive && !options_.lateReply.empty()) {
                    // The late reply, then (a moment later) the answer.
                    t::EscapeInto(reinterpret_cast<const std::uint8_t*>(options_.lateReply.data()),
                                  options_.lateReply.size(), out);
                    if (!server.SendAll(fd, out.data(), out.size()))
                        return;
                    out.clear();
                    std::this_thread::sleep_for(std::chrono::milliseconds(options_.lateReplyLeadMs));
                }
                if ((receive && !options_.answerReceivePurge) || (transmit && !options_.answerTransmitPurge))
                    continue;
                if (purge && options_.purgeAnswerDelayMs > 0) {
                    if (!out.empty() && !server.SendAll(fd, out.data(), out.size()))
                        return;
                    out.clear();
                    std::this_thread::sleep_for(std::chrono::milliseconds(options_.purgeAnswerDelayMs));
                }
                t::ComPortInto(static_cast<std::uint8_t>(e.payload[0] + t::ServerOffset), e.payload.data() + 1,
                               e.payload.size() - 1, out);
            }
            takeData(data.size());
            if (!out.empty() && !server.SendAll(fd, out.data(), out.size()))
                return;
        }
    }

private:
    void Write(char c)
    {
        std::lock_guard l(lock_);
        seen_ += c;
    }

    const TDeviceOptions options_;
    mutable std::mutex lock_;
    std::string seen_;
};

}  // namespace sio::test
