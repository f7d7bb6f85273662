#include "GripperBus.h"

#include <charconv>

namespace tarnell::sim {
namespace {

std::vector<std::string> SplitFields(const std::string& text)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t semi = text.find(';', start);
        fields.push_back(text.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
        if (semi == std::string::npos)
            return fields;
        start = semi + 1;
    }
}

bool ParseNumber(const std::string& text, int& value)
{
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool IsDecimal(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

const std::string kEnd = "\n\r";

}  // namespace

void GripperBus::AddGripper(int address, const std::string& model)
{
    Gripper g;
    g.model = model;
    // Plausible factory contents, so that a first readout shows something.
    for (int i = 0; i < 7; ++i) {
        g.places[i].grip = std::to_string(100 + 50 * i);
        g.places[i].provision = std::to_string(20 + 10 * i);
        g.places[i].force = std::to_string(10 + 5 * i);
    }
    g.places[7] = {"5", "15", "3"};
    grippers_[address] = g;
}

bool GripperBus::SetStatusSteps(int address, std::vector<int> steps)
{
    auto it = grippers_.find(address);
    if (it == grippers_.end())
        return false;
    it->second.statusSteps = std::move(steps);
    return true;
}

bool GripperBus::SetDelay(int address, int delayMs)
{
    auto it = grippers_.find(address);
    if (it == grippers_.end())
        return false;
    it->second.delayMs = delayMs;
    return true;
}

int GripperBus::DelayFor(const std::string& command) const
{
    std::vector<std::string> f = SplitFields(command);
    int address = 0;
    if (f.size() < 2 || !ParseNumber(f[1], address))
        return 0;
    const Gripper* g = Find(address);
    return g ? g->delayMs : 0;
}

const Gripper* GripperBus::Find(int address) const
{
    auto it = grippers_.find(address);
    return it == grippers_.end() ? nullptr : &it->second;
}

std::string GripperBus::Answer(const std::string& command)
{
    std::vector<std::string> f = SplitFields(command);
    int address = 0;
    if (f.size() < 2 || !ParseNumber(f[1], address))
        return {};
    auto it = grippers_.find(address);
    if (it == grippers_.end())
        return {};  // nobody at that address: the bus stays silent
    Gripper& g = it->second;
    const std::string& mnemonic = f[0];
    const std::string addr = std::to_string(address);

    if (mnemonic == "STA" && !g.statusSteps.empty()) {
        const long long step = statusPeriodMs_ > 0 ? elapsedMs_ / statusPeriodMs_ : g.statusPolls++;
        g.status = g.statusSteps[static_cast<std::size_t>(step % static_cast<long long>(g.statusSteps.size()))];
    }
    if (mnemonic == "STA")
        return "STA;" + addr + ":" + std::to_string(g.status) + ";" + kEnd;
    if (mnemonic == "VER")
        return "VER;" + addr + ":" + g.model + ";V1.07" + kEnd;
    if (mnemonic == "RCL") {
        int place = 0;
        if (f.size() != 3 || !ParseNumber(f[2], place) || place < 1 || place > 8)
            return "E" + addr + ";ERR" + kEnd;
        const StoragePlace& p = g.places[place - 1];
        return "A" + addr + ";" + std::to_string(place) + ";" + p.grip + ";" + p.provision + ";" + p.force + kEnd;
    }
    if (mnemonic == "STO") {
        int place = 0;
        if (f.size() != 6 || !ParseNumber(f[2], place) || place < 1 || place > 8 || !IsDecimal(f[3]) ||
            !IsDecimal(f[4]) || !IsDecimal(f[5]))
            return "E" + addr + ";ERR" + kEnd;
        g.places[place - 1] = {f[3], f[4], f[5]};
        return "A" + addr + ";OK" + kEnd;
    }
    return "A" + addr + ";OK" + kEnd;
}

std::vector<std::string> FrameSplitter::Feed(const char* data, std::size_t count)
{
    std::vector<std::string> frames;
    for (std::size_t i = 0; i < count; ++i) {
        char c = data[i];
        if (c == '\n') {
            frames.push_back(pending_);
            pending_.clear();
        } else if (c != '\r') {
            if (pending_.size() < 4096)  // a runaway line must not grow without end
                pending_ += c;
        }
    }
    return frames;
}

}  // namespace tarnell::sim
