// One exchange at a time with the gripper bus, without a window: the port
// and the reply collector set up as the console sets up its own, a command
// sent as the console sends it, its echo skipped, and the reply or the
// collector's time-out awaited by sleeping on the main thread's queue.
#pragma once

#include "GripperProtocol.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace sio {
class TLocalMessageQueue;
class TSioDataPacket;
}  // namespace sio

namespace tarnell::cli {

class TCliComPort;
class TInterruptWatch;

// Which device to use: a port number mapped as the console maps it
// (SIO_PORT_DIR, then the fixed ranges), or a device path given directly.
struct TPortChoice {
    int comNumber = 0;
    std::string devicePath;
    // devicePath is a network address (rfc2217://, tcp://).
    bool network = false;
    // "COM3" or the path, as messages name the port.
    std::string Name() const;
    // The device behind the port: the path, or for COMn the tty its entry
    // leads to ("" when there is none).
    std::string Device() const;
    // How an error line names the port: "COM3 (/dev/pts/5)", or the path.
    std::string Label() const;
};

// "ports present: COM1 (/dev/pts/3), ...", or that there is none.
std::string PresentPorts();

struct TLineSettings {
    std::int32_t baud = 9600;
    bool evenParity = true;
    // The dispatch log's file; empty: no log is written.
    std::string logFile;
};

// Ctrl-C, SIGTERM or SIGHUP arrived; the exchange under way was given up.
class EInterrupted : public std::runtime_error {
public:
    explicit EInterrupted(int signal);
    int Signal() const { return signal_; }

private:
    int signal_;
};

// The port could not be opened, or the device went away while in use.
class EPortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TGripperSession {
public:
    // Sets everything up; the port opens at the first exchange.
    TGripperSession(const TPortChoice& port, const TLineSettings& line);
    // Closes the port; the dispatch log is written then. A log that cannot
    // be written is reported on stderr, as the program ends anyway.
    ~TGripperSession();

    TGripperSession(const TGripperSession&) = delete;
    TGripperSession& operator=(const TGripperSession&) = delete;

    // Sends the command text framed with LF CR and waits for the first packet
    // that is not the echo of the frame and does not name another address
    // than the command's. The reply keeps its end characters; nothing when
    // timeoutTicks (of 55 ms) pass without one. EPortError when the port
    // does not open, cannot be set up, read or written, or is lost.
    //
    // After a time-out the next exchange first waits until the line has been
    // quiet for a few character times, so that a late answer is never taken
    // for the next command's; what comes meanwhile, and every packet naming
    // another address, is discarded and noted in the dispatch log.
    std::optional<std::string> Exchange(const std::string& command,
                                        std::int32_t timeoutTicks = protocol::kReplyTimeoutTicks);

    // Opens the port now, if it is not open (an exchange opens it too).
    // EPortError when it does not open.
    void Open();
    // The round trip of the link to the device in ms (a network port's, as
    // measured since the connection); 0 for a local device or a closed port.
    std::uint32_t LinkRoundTripMs() const;
    // Waits ms, serving the queue; EInterrupted when a signal comes meanwhile.
    void Pause(std::uint32_t ms);

    // The label error lines begin with: "COM3 (/dev/pts/5)" or the path.
    const std::string& PortName() const { return portName_; }
    // The most a frame may be: the port's output buffer.
    std::size_t OutputBufferSize() const;
    // Packets discarded so far as not the answer they came after.
    int Discarded() const { return discarded_; }

    // What the serial layer reported since the last call ("" if nothing),
    // such as a packet that never ended; it explains a missing answer.
    std::string TakeNote();

private:
    void OnPacket(const std::string& data);
    void OnTimeout();
    void Settle();
    void Discard(const std::string& data, const char* why);
    void OnLineError(std::uint16_t error);
    void ArmLostDeviceTrigger();
    bool DeviceGone() const;
    void ThrowIfInterrupted() const;
    std::string GoneText();
    // Why the port did not open, in words a user can act on.
    std::string OpenFailure(const std::exception& e) const;
    // The serial layer's message without the port's name in front: every
    // error line names the port once, before it.
    std::string WithoutPortName(const std::string& text) const;

    std::string portName_;
    int comNumber_ = 0;
    std::string logFile_;
    std::unique_ptr<sio::TLocalMessageQueue> queue_;
    std::unique_ptr<TInterruptWatch> watch_;
    std::unique_ptr<TCliComPort> port_;
    std::unique_ptr<sio::TSioDataPacket> packet_;
    std::int32_t baud_ = 9600;
    std::string lastFrame_;
    std::string reply_;
    bool replied_ = false;
    bool timedOut_ = false;
    bool lost_ = false;
    // The address the command under way was sent to, when it names one.
    std::optional<int> expectedAddress_;
    std::chrono::steady_clock::time_point deadline_;
    // A time-out happened: the line is to be quiet before the next command.
    bool unsettled_ = false;
    bool settling_ = false;
    std::chrono::steady_clock::time_point lastReceived_;
    // While settling: bytes received and not yet part of a whole packet, and
    // a count of arrivals that wakes the wait.
    std::int64_t heldBytes_ = 0;
    std::uint64_t arrivals_ = 0;
    int discarded_ = 0;
    // The first error the serial layer reported on the main thread since
    // the last TakeNote.
    std::string note_;
};

}  // namespace tarnell::cli
