// A gripper bus at the far end of a pseudo-terminal, for the console's wire
// tests: the simulator's own answers (GripperBus), on a thread of its own,
// with every byte the console sent kept for the test to look at.
#pragma once

#include "GripperBus.h"
#include "PtyPort.h"

#include <atomic>
#include <cstdint>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace tarnell::test {

class TFakeGripper {
public:
    // Frame text (without LF CR) -> the bytes to send back; "" for silence.
    using TAnswer = std::function<std::string(const std::string& frame)>;

    TFakeGripper(sio::test::TPortDir& dir, int com) : TFakeGripper(dir.Entry(com)) {}
    explicit TFakeGripper(const std::string& linkPath) : pty_(linkPath)
    {
        if (wake_ < 0 || opens_ < 0 || ::inotify_add_watch(opens_, pty_.SlavePath().c_str(), IN_OPEN) < 0)
            throw std::runtime_error("fake gripper: no eventfd or inotify watch on " + pty_.SlavePath());
        bus_.AddGripper(0, "KV0050");
        bus_.AddGripper(3, "KV0050");
        thread_ = std::thread([this] { Run(); });
    }
    ~TFakeGripper()
    {
        stop_ = true;
        const std::uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        thread_.join();
        ::close(opens_);
        ::close(wake_);
    }

    // All that reached the far end so far.
    std::string Received()
    {
        std::lock_guard lock(m_);
        return received_;
    }
    // The frames in order of arrival, and whether any arrived while the
    // answer to an earlier one was still owed.
    std::vector<std::string> Frames()
    {
        std::lock_guard lock(m_);
        return frames_;
    }
    bool SentEarly() const { return sentEarly_; }

    void SetAnswer(TAnswer answer)
    {
        std::lock_guard lock(m_);
        answer_ = std::move(answer);
    }
    void SetEcho(bool on) { echo_ = on; }
    void SetPieces(bool on) { pieces_ = on; }
    void SetDelay(std::chrono::milliseconds d) { delayMs_ = static_cast<int>(d.count()); }

    std::string DefaultAnswer(const std::string& frame) { return bus_.Answer(frame); }

private:
    void Run()
    {
        tarnell::sim::FrameSplitter splitter;
        while (!stop_) {
            pollfd p[2] = {{pty_.Master(), POLLIN, 0}, {wake_, POLLIN, 0}};
            if (::poll(p, 2, -1) <= 0 || stop_)
                continue;
            if (!(p[0].revents & POLLIN)) {
                AwaitOpen();
                continue;
            }
            std::string chunk = pty_.ReadAvailable();
            std::vector<std::string> frames;
            TAnswer answer;
            {
                std::lock_guard lock(m_);
                received_ += chunk;
                frames = splitter.Feed(chunk.data(), chunk.size());
                frames_.insert(frames_.end(), frames.begin(), frames.end());
                answer = answer_;
            }
            for (std::size_t i = 0; i < frames.size(); ++i) {
                if (echo_)
                    pty_.Write(frames[i] + "\n\r");
                std::string reply = answer ? answer(frames[i]) : bus_.Answer(frames[i]);
                if (reply.empty())
                    continue;
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load()));
                // A console that did not wait for this answer has sent on.
                pollfd q{pty_.Master(), POLLIN, 0};
                if (i + 1 < frames.size() || ::poll(&q, 1, 0) > 0)
                    sentEarly_ = true;
                if (pieces_) {
                    for (char c : reply) {
                        pty_.Write(std::string(1, c));
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                } else {
                    pty_.Write(reply);
                }
            }
        }
    }

    // Nobody holds the port (the master reports a hang-up until someone
    // opens the device side again): waits for that opening, or the end.
    void AwaitOpen()
    {
        char events[4096];
        while (::read(opens_, events, sizeof events) > 0) {
        }
        // Opened between the hang-up and the drain: that event is gone,
        // but the master says so.
        pollfd m{pty_.Master(), POLLIN, 0};
        if (::poll(&m, 1, 0) == 0 || (m.revents & POLLIN))
            return;
        pollfd p[2] = {{opens_, POLLIN, 0}, {wake_, POLLIN, 0}};
        ::poll(p, 2, -1);
    }

    sio::test::TPtyPort pty_;
    int wake_ = ::eventfd(0, EFD_CLOEXEC);
    int opens_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    tarnell::sim::GripperBus bus_;
    std::mutex m_;
    std::string received_;
    std::vector<std::string> frames_;
    TAnswer answer_;
    std::atomic<bool> echo_{false}, pieces_{false}, stop_{false}, sentEarly_{false};
    std::atomic<int> delayMs_{30};
    std::thread thread_;
};

}  // namespace tarnell::test
