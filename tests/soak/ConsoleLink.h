// The console's side of the wire without the window: a port and a reply
// collector configured as the console configures them, and the console's
// exchange (flush, send the frame, arm the collector with its time limit,
// serve the main thread's queue until a reply or the time-out). The far end
// is the simulator's gripper bus on a thread of its own behind a
// pseudo-terminal. Shared by the soak run and the garbage test.
#pragma once

#include "GripperBus.h"
#include "GripperPort.h"
#include "GripperProtocol.h"
#include "PtyPort.h"

#include "base/BaseComponent.h"
#include "packet/DataPacket.h"
#include "port/ComPort.h"

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace tarnell::test {

namespace protocol = tarnell::protocol;

// Grippers at addresses 0 and 3 answering every frame from the pty's far
// end; optionally echoing the frame first, as a two-wire bus does, and
// passing each reply through a hook that may spoil it.
class TFarEnd {
public:
    using TSpoil = std::function<std::string(const std::string& reply)>;

    explicit TFarEnd(sio::test::TPtyPort& pty, bool echo) : pty_(pty), echo_(echo)
    {
        bus_.AddGripper(0, "KV0050");
        bus_.AddGripper(3, "KV0150");
        if (::pipe2(stop_, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        thread_ = std::thread([this] { Run(); });
    }
    ~TFarEnd()
    {
        char c = 0;
        while (::write(stop_[1], &c, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    TFarEnd(const TFarEnd&) = delete;
    TFarEnd& operator=(const TFarEnd&) = delete;

    // The hook for the replies to come; empty for the plain answers.
    void SetSpoil(TSpoil spoil)
    {
        std::lock_guard lock(m_);
        spoil_ = std::move(spoil);
    }
    // Every byte written back since the last call (echoes included).
    std::string TakeSent()
    {
        std::lock_guard lock(m_);
        return std::exchange(sent_, {});
    }
    // Whether the far end keeps what it sends for TakeSent (off for long
    // runs, so that the far end's memory stays flat).
    void SetRecording(bool on)
    {
        std::lock_guard lock(m_);
        recording_ = on;
        sent_.clear();
    }

private:
    void Run()
    {
        tarnell::sim::FrameSplitter splitter;
        for (;;) {
            pollfd p[2] = {{pty_.Master(), POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0)
                continue;
            if (p[1].revents)
                return;
            if (!(p[0].revents & POLLIN)) {
                // Nobody holds the device side yet: the master reports a
                // hang-up until the port opens.
                ::poll(&p[1], 1, 10);
                continue;
            }
            std::string chunk = pty_.ReadAvailable();
            for (const std::string& frame : splitter.Feed(chunk.data(), chunk.size())) {
                std::string out = echo_ ? protocol::Frame(frame) : std::string();
                std::string reply = bus_.Answer(frame);
                TSpoil spoil;
                {
                    std::lock_guard lock(m_);
                    spoil = spoil_;
                }
                out += spoil ? spoil(reply) : reply;
                {
                    std::lock_guard lock(m_);
                    if (recording_)
                        sent_ += out;
                }
                pty_.Write(out);
            }
        }
    }

    sio::test::TPtyPort& pty_;
    const bool echo_;
    tarnell::sim::GripperBus bus_;
    std::mutex m_;
    TSpoil spoil_;
    std::string sent_;
    bool recording_ = true;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// The console's port and reply collector, and its exchange.
class TConsoleLink {
public:
    TConsoleLink(int com, const std::string& logName)
    {
        portsetup::TGripperLine line;
        line.logName = logName;
        portsetup::SetUpGripperPort(port_, packet_, line);
        port_.SetComNumber(static_cast<std::uint16_t>(com));
        // Re-armed after each report, as the window does.
        port_.SetOnTriggerLineError([this](sio::TSioCustomComPort*, std::uint16_t, bool) {
            ++lineErrors_;
            portsetup::ArmLineErrorTrigger(port_);
        });
        packet_.OnStringPacket = [this](sio::TSioDataPacket*, const std::string& data) { OnPacket(data); };
        packet_.OnTimeout = [this](sio::TSioBaseComponent*) {
            timedOut_ = true;
            packet_.SetEnabled(false);
        };
    }

    // The input buffer (the console keeps the default, 4096).
    void SetInSize(std::uint16_t size) { port_.SetInSize(size); }

    struct TResult {
        bool timedOut = false;
        bool hung = false;  // neither a reply nor the time-out within 10 s
        std::string reply;
    };

    // Sends command and waits as the console does: the echo of the frame is
    // passed over, the first other packet is the reply.
    TResult Exchange(const std::string& command, std::int32_t ticks = protocol::kReplyTimeoutTicks)
    {
        port_.FlushInput();
        port_.FlushOutput();
        timedOut_ = replied_ = false;
        reply_.clear();
        frame_ = protocol::Frame(command);
        // Armed before the frame goes out, or a fast answer is lost.
        packet_.SetEnabled(false);
        packet_.SetTimeOut(ticks);
        packet_.SetEnabled(true);
        port_.WriteString(frame_);
        TResult r;
        r.hung = !sio::ServeMessagesUntil([this] { return replied_ || timedOut_; }, 10000);
        r.timedOut = timedOut_;
        r.reply = reply_;
        return r;
    }

    // Every packet that was not an echo, in order, since the last call.
    std::vector<std::string> TakePackets() { return std::exchange(packets_, {}); }

    // The dispatcher thread has finished with the collector's last event.
    bool EventsOver() { return !packet_.Manager() || !packet_.Manager()->InEvent(); }

    // Line-error reports so far (a lost device is one too).
    int LineErrors() const { return lineErrors_; }

    sio::TSioComPort& Port() { return port_; }
    sio::TSioDataPacket& Packet() { return packet_; }

private:
    void OnPacket(const std::string& data)
    {
        if (protocol::IsEcho(data, frame_)) {
            packet_.SetEnabled(true);
            return;
        }
        packets_.push_back(data);
        if (!replied_)
            reply_ = data;
        replied_ = true;
        // Listening on without a limit, as the console does after a reply.
        packet_.SetTimeOut(0);
        packet_.SetEnabled(true);
    }

    sio::TSioComPort port_;
    sio::TSioDataPacket packet_;
    std::string frame_;
    std::string reply_;
    std::vector<std::string> packets_;
    bool timedOut_ = false;
    bool replied_ = false;
    int lineErrors_ = 0;
};

}  // namespace tarnell::test
