// The simulated gripper bus: turns command frames into the replies that
// grippers at the configured addresses would give. No I/O here, so that the
// answers can be tested without a terminal.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

namespace tarnell::sim {

struct StoragePlace {
    std::string grip = "0";
    std::string provision = "0";
    std::string force = "0";
};

struct Gripper {
    std::string model = "KV0050";  // model identifier reported by VER
    int status = 192;              // Referenced + Ready
    // A status that changes: the values in turn, from the first, each for
    // one STA answer or one status period; after the last the first again.
    std::vector<int> statusSteps;
    long statusPolls = 0;
    // The gripper's own answer time beyond the bus's, in ms.
    int delayMs = 0;
    std::array<StoragePlace, 8> places{};
};

class GripperBus {
public:
    // Two decimal digits of address, as the console's address field allows.
    static constexpr int kMaxAddress = 99;

    // Adds a gripper answering at address (0..kMaxAddress) with the given model.
    void AddGripper(int address, const std::string& model);
    bool HasGripper(int address) const { return grippers_.count(address) != 0; }
    const Gripper* Find(int address) const;

    // Gives the gripper at address a status that changes (Gripper::statusSteps);
    // false if there is no gripper there.
    bool SetStatusSteps(int address, std::vector<int> steps);
    // Makes the gripper at address answer delayMs later; false if none.
    bool SetDelay(int address, int delayMs);
    // periodMs > 0: the changing statuses follow the clock, each value held
    // periodMs from the bus's start (SetElapsed), instead of one per answer.
    void SetStatusPeriod(int periodMs) { statusPeriodMs_ = periodMs; }
    void SetElapsed(long long ms) { elapsedMs_ = ms; }
    // The extra answer time of the gripper a command text addresses (0 if none).
    int DelayFor(const std::string& command) const;

    // The reply to one command text (without its LF CR), including the
    // LF CR that ends it; empty when no gripper answers.
    std::string Answer(const std::string& command);

private:
    std::map<int, Gripper> grippers_;
    int statusPeriodMs_ = 0;
    long long elapsedMs_ = 0;
};

// Splits a received byte stream into command texts: a frame ends at LF; CR
// bytes (the second end character) are dropped.
class FrameSplitter {
public:
    std::vector<std::string> Feed(const char* data, std::size_t count);

private:
    std::string pending_;
};

}  // namespace tarnell::sim
