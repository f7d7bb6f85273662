#include "SioMisc.h"

namespace sio {

TSioBaseComponent::TSioBaseComponent(TSioBaseComponent* owner) : owner_(owner) {}
TSioBaseComponent::~TSioBaseComponent() = default;
void TSioBaseComponent::BeginLoading() { loading_.store(true); }
void TSioBaseComponent::EndLoading() { loading_.store(false); Loaded(); }

std::uint32_t MillisecondClock() { return 0; }
std::uint32_t TickCount() { return MillisecondClock() / MsPerTick; }
void SetTestClock(std::uint32_t) {}
void AdvanceTestClock(std::uint32_t) {}
void SetClockOffset(std::uint32_t) {}
void UseRealClock() {}
void StartTimer(TTickTimer&, std::int32_t) {}
bool TimerExpired(const TTickTimer& t) { return TimerExpiredAt(t, TickCount()); }
bool TimerExpiredAt(const TTickTimer&, std::uint32_t) { return true; }
bool ProcessOneMessage() { return MessageQueue().ProcessOneMessage(); }

struct TLocalMessageQueue::Item {};
TLocalMessageQueue::TLocalMessageQueue() : mainThread_(std::this_thread::get_id()) {}
TLocalMessageQueue::~TLocalMessageQueue() = default;
bool TLocalMessageQueue::PostMessage(TMessageTarget*, std::uint32_t, std::uintptr_t, std::intptr_t) { return false; }
bool TLocalMessageQueue::SendMessageTimeout(TMessageTarget*, std::uint32_t, std::uintptr_t, std::intptr_t,
                                            std::uint32_t, std::intptr_t*) { return false; }
void TLocalMessageQueue::RunOnMainThread(const std::function<void()>& fn) { fn(); }
bool TLocalMessageQueue::ProcessOneMessage() { return false; }
void TLocalMessageQueue::DiscardMessages(TMessageTarget*) {}
bool TLocalMessageQueue::IsMainThread() const { return mainThread_.load() == std::this_thread::get_id(); }
bool TLocalMessageQueue::WaitAndProcess(std::uint32_t) { return false; }
std::size_t TLocalMessageQueue::PendingCount() const { return 0; }
void TLocalMessageQueue::PostQuit() {}
bool TLocalMessageQueue::QuitRequested() const { return false; }
bool TLocalMessageQueue::TakeQuit() { return false; }
void TLocalMessageQueue::AdoptCurrentThread() { mainThread_.store(std::this_thread::get_id()); }
bool TLocalMessageQueue::HandleItem(const std::shared_ptr<Item>&) { return false; }

IMessageQueue& DefaultMessageQueue()
{
    static TLocalMessageQueue queue;
    return queue;
}

}  // namespace sio
