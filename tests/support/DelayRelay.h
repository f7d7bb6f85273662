// A TCP relay on 127.0.0.1 that holds every byte for a fixed time in each
// direction: a slow network link between a client and a device server.
//
//   sio::test::TDelayRelay link("127.0.0.1", ser2netPort, 60);  // 60 ms each way
//   std::string url = "rfc2217://127.0.0.1:" + std::to_string(link.Port());
//
// Each accepted connection gets its own connection to the target and two
// directions; in each, a reader stamps what it receives with the time it is
// due and a sender sends it then, in order. When one side closes, the other
// is closed once what was on its way has been sent. Header-only; the
// relay's threads end when it is destroyed.
#pragma once

#include "PollStop.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace sio::test {

class TDelayRelay {
public:
    TDelayRelay(const std::string& targetIp, int targetPort, int delayMs)
        : targetIp_(targetIp), targetPort_(targetPort), delay_(delayMs)
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, 8) != 0 || ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error(std::string("relay: no listener: ") + std::strerror(errno));
        port_ = ntohs(a.sin_port);
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~TDelayRelay()
    {
        {
            std::lock_guard l(lock_);
            stopping_ = true;
        }
        const std::uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof one);
        acceptor_.join();
        for (auto& c : connections_)
            c->Stop();
        connections_.clear();
        ::close(listen_);
        ::close(stop_);
    }
    TDelayRelay(const TDelayRelay&) = delete;
    TDelayRelay& operator=(const TDelayRelay&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& scheme = "rfc2217") const
    {
        return scheme + "://127.0.0.1:" + std::to_string(port_);
    }

private:
    using Clock = std::chrono::steady_clock;

    // One direction: from one socket to the other, each chunk held until due.
    class TDirection {
    public:
        TDirection(int from, int to, std::chrono::milliseconds delay, int stopFd)
            : from_(from), to_(to), delay_(delay), stopFd_(stopFd)
        {
            reader_ = std::thread([this] { Read(); });
            sender_ = std::thread([this] { Send(); });
        }
        void Join()
        {
            reader_.join();
            sender_.join();
        }

    private:
        struct TChunk {
            Clock::time_point due;
            std::vector<std::uint8_t> bytes;
        };
        void Read()
        {
            std::uint8_t buf[4096];
            while (ReadableBeforeStop(from_, stopFd_)) {
                const ssize_t n = ::recv(from_, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                std::lock_guard l(lock_);
                queue_.push_back({Clock::now() + delay_, std::vector<std::uint8_t>(buf, buf + n)});
                cv_.notify_one();
            }
            std::lock_guard l(lock_);
            ended_ = true;
            cv_.notify_one();
        }
        void Send()
        {
            std::unique_lock l(lock_);
            for (;;) {
                cv_.wait(l, [this] { return !queue_.empty() || ended_; });
                if (queue_.empty())
                    break;
                // The front chunk waits for its time (later ones are due
                // later still); a new chunk or the end does not hurry it.
                const Clock::time_point due = queue_.front().due;
                cv_.wait_until(l, due, [&] { return Clock::now() >= due; });
                std::vector<std::uint8_t> bytes = std::move(queue_.front().bytes);
                queue_.pop_front();
                l.unlock();
                std::size_t done = 0;
                bool failed = false;
                while (done < bytes.size()) {
                    const ssize_t n = ::send(to_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                    if (n <= 0) {
                        failed = true;
                        break;
                    }
                    done += static_cast<std::size_t>(n);
                }
                l.lock();
                if (failed)
                    break;
            }
            // What came has been passed on: the other side learns the end.
            ::shutdown(to_, SHUT_WR);
        }

        int from_, to_;
        std::chrono::milliseconds delay_;
        int stopFd_;
        std::mutex lock_;
        std::condition_variable cv_;
        std::deque<TChunk> queue_;
        bool ended_ = false;
        std::thread reader_, sender_;
    };

    class TConnection {
    public:
        TConnection(int client, int server, std::chrono::milliseconds delay)
            : client_(client), server_(server), stop_(::eventfd(0, EFD_CLOEXEC)),
              up_(std::make_unique<TDirection>(client, server, delay, stop_)),
              down_(std::make_unique<TDirection>(server, client, delay, stop_))
        {
        }
        void Stop()
        {
            const std::uint64_t one = 1;
            (void)!::write(stop_, &one, sizeof one);
            up_->Join();
            down_->Join();
            ::close(client_);
            ::close(server_);
            ::close(stop_);
        }

    private:
        int client_, server_, stop_;
        std::unique_ptr<TDirection> up_, down_;
    };

    void AcceptLoop()
    {
        while (ReadableBeforeStop(listen_, stop_)) {
            const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(targetPort_));
            (void)::inet_pton(AF_INET, targetIp_.c_str(), &a.sin_addr);
            if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(client);
                if (server >= 0)
                    ::close(server);
                continue;
            }
            std::lock_guard l(lock_);
            if (stopping_) {
                ::close(client);
                ::close(server);
                return;
            }
            connections_.push_back(std::make_unique<TConnection>(client, server, delay_));
        }
    }

    std::string targetIp_;
    int targetPort_;
    std::chrono::milliseconds delay_;
    int listen_ = -1;
    int port_ = 0;
    int stop_ = -1;
    std::mutex lock_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<TConnection>> connections_;
    std::thread acceptor_;
};

}  // namespace sio::test
