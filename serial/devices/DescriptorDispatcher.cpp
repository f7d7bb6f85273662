#include "devices/DescriptorDispatcher.h"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>

namespace sio {

void TSioDescriptorDispatcher::WakeThreads()
{
    readerWake_.Set();
    writerWake_.Set();
    statusWake_.Set();
}

void TSioDescriptorDispatcher::WakeDeviceThread(TSioDispatcherThread::TRole role)
{
    switch (role) {
    case TSioDispatcherThread::Reader:
        readerWake_.Set();
        break;
    case TSioDispatcherThread::Writer:
        writerWake_.Set();
        break;
    case TSioDispatcherThread::Status:
        statusWake_.Set();
        break;
    case TSioDispatcherThread::Dispatch:
        break;
    }
}

void TSioDescriptorDispatcher::ApplyThreadPriority(TSioDispatcherThread& thread, int priority)
{
    // 3 is normal. Above it a thread asks for a lower nice value, which
    // Linux grants only with CAP_SYS_NICE or a raised RLIMIT_NICE; an
    // ordinary user keeps normal priority, which is no error.
    static constexpr int nice[7] = {19, 10, 5, 0, -5, -10, -15};
    const int tid = thread.Tid();
    if (tid <= 0)
        return;
    priority = std::clamp(priority, 0, 6);
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice[priority]);
}

bool TSioDescriptorDispatcher::DeviceEventWord(std::uint32_t& word)
{
    word = 0;
    return true;
}

bool TSioDescriptorDispatcher::DeviceSetQueues(std::uint32_t, std::uint32_t)
{
    return true;  // the tty layer and the socket size their own buffers
}

std::int32_t TSioDescriptorDispatcher::DeviceYield()
{
    sched_yield();
    return 0;
}

std::string TSioDescriptorDispatcher::DeviceLocation() const
{
    TGuard g(mainLock_);
    return location_;
}

std::int32_t TSioDescriptorDispatcher::DeviceGetSettings(TSioDcb& settings)
{
    TGuard g(mainLock_);
    settings = settings_;
    return 0;
}

std::uint32_t TSioDescriptorDispatcher::CheckedBitsPerSecond(const TSioDcb& s)
{
    if (s.ByteSize < 5 || s.ByteSize > 8 || s.Parity > SPACEPARITY || s.StopBits > TWOSTOPBITS)
        return 0;
    return BaudToBitsPerSecond(s.BaudRate);
}

int TSioDescriptorDispatcher::WakeEventsError() const
{
    for (const sys::TEventFd* e : {&readerWake_, &outputReady_, &writerWake_, &statusWake_})
        if (!e->Valid())
            return e->CreateError();
    return 0;
}

}  // namespace sio
