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

    // The reply to one command text (without its LF CR), including the
    // LF CR that ends it; empty when no gripper answers.
    std::string Answer(const std::string& command);

private:
    std::map<int, Gripper> grippers_;
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
