// A port without a device for the collector's byte processing: bytes are fed
// by hand, timer notifications are sent by hand, events run on the calling
// thread. Used by the collector's unit and property tests and its fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/MessageQueue.h"
#include "base/BaseComponent.h"
#include "packet/DataPacket.h"

namespace sio::test {

class TFakePacketPort final : public IPacketPort {
public:
    struct TLogEntry {
        std::uint16_t Subtype;
        std::string Bytes;
    };
    struct TTimerCall {
        std::int32_t Handle;
        std::int32_t Ticks;
        bool Activate;
    };

    bool Open = true;
    bool Loading = false;
    bool HasDisp = true;
    std::int32_t TimerHandleToGive = 8;
    std::int32_t SetTimerResult = 0;
    int Subscribed = 0;
    int MethodHandlers = 0;
    std::vector<TLogEntry> Log;
    std::vector<TTimerCall> TimerCalls;
    TSioDataPacketManager* Manager = nullptr;

    // Offers bytes as one avail notification.
    void Feed(const std::string& bytes)
    {
        pending_ = bytes;
        if (Manager)
            Manager->HandleNotification(WM_SIO_AVAIL, bytes.size(), 0);
        pending_.clear();
    }
    // The manager's timer trigger fires. A dispatcher fires it only once its
    // time is up: the clock moves on by the last duration started.
    void FireTimer()
    {
        for (auto it = TimerCalls.rbegin(); it != TimerCalls.rend(); ++it) {
            if (it->Activate) {
                AdvanceTestClock(static_cast<std::uint32_t>(it->Ticks + 1) * MsPerTick);
                break;
            }
        }
        if (Manager)
            Manager->HandleNotification(WM_SIO_TIMER, static_cast<std::uintptr_t>(Manager->TimerHandle()), 0);
    }
    // Whether the time limit is running (last call armed it).
    bool TimerArmed() const { return !TimerCalls.empty() && TimerCalls.back().Activate; }

    std::vector<std::string> LogNames() const
    {
        static const char* const names[] = {"Enable",  "Disable",  "StringPacket", "SizePacket", "PcktTimeout",
                                            "StartStr", "EndStr", "Idle",         "Waiting",    "Collecting"};
        std::vector<std::string> out;
        for (const auto& e : Log)
            out.push_back(e.Subtype >= 242 && e.Subtype <= 251 ? names[e.Subtype - 242] : "?");
        return out;
    }

    bool IsOpen() const override { return Open; }
    bool IsLoading() const override { return Loading; }
    void Subscribe(TSioDataPacketManager* m) override
    {
        ++Subscribed;
        Manager = m;
    }
    void Unsubscribe(TSioDataPacketManager* m) override
    {
        --Subscribed;
        if (Manager == m)
            Manager = nullptr;
    }
    bool AcquireDispatcher() override { return Open && HasDisp; }
    bool HasDispatcher() const override { return Open && HasDisp; }
    void AddMethodHandler(TSioDataPacketManager*) override { ++MethodHandlers; }
    void RemoveMethodHandler(TSioDataPacketManager*) override { --MethodHandlers; }
    std::int32_t AddTimerTrigger() override { return TimerHandleToGive; }
    std::int32_t SetTimerTrigger(std::int32_t handle, std::int32_t ticks, bool activate) override
    {
        TimerCalls.push_back({handle, ticks, activate});
        return SetTimerResult;
    }
    std::int32_t RemoveTrigger(std::int32_t) override { return 0; }
    std::int32_t ReadBytes(std::uint8_t* buffer, std::int32_t count) override
    {
        auto n = std::min<std::size_t>(static_cast<std::size_t>(count), pending_.size());
        pending_.copy(reinterpret_cast<char*>(buffer), n);
        pending_.erase(0, n);
        return static_cast<std::int32_t>(n);
    }
    void RunOnMainThread(const std::function<void()>& fn) override { fn(); }
    void AddLogEntry(std::uint8_t type, std::uint16_t subtype, std::uint32_t, const void* bytes,
                     std::uint32_t count) override
    {
        if (type == 18)
            Log.push_back({subtype, count ? std::string(static_cast<const char*>(bytes), count) : std::string()});
    }

private:
    std::string pending_;
};

}  // namespace sio::test
