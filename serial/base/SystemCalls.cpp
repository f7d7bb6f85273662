#include "base/SystemCalls.h"

#include <atomic>
#include <cstdint>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sio::sys {

int TSysCalls::Open(const char* path, int flags) { return ::open(path, flags); }
int TSysCalls::Close(int fd) { return ::close(fd); }
ssize_t TSysCalls::Read(int fd, void* buf, std::size_t count) { return ::read(fd, buf, count); }
ssize_t TSysCalls::Write(int fd, const void* buf, std::size_t count) { return ::write(fd, buf, count); }
int TSysCalls::Poll(pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }
int TSysCalls::Ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
int TSysCalls::Flock(int fd, int operation) { return ::flock(fd, operation); }
int TSysCalls::EventFd(unsigned initval, int flags) { return ::eventfd(initval, flags); }

namespace {
TSysCalls g_real;
std::atomic<TSysCalls*> g_calls{&g_real};
}  // namespace

TSysCalls& Calls() { return *g_calls.load(std::memory_order_acquire); }

TSysCalls* InstallSysCalls(TSysCalls* calls)
{
    TSysCalls* previous = g_calls.exchange(calls ? calls : &g_real, std::memory_order_acq_rel);
    return previous == &g_real ? nullptr : previous;
}

int TFileDescriptor::Reset(int fd) noexcept
{
    int result = 0;
    if (fd_ >= 0) {
        // close() is not retried on EINTR: on Linux the descriptor is gone
        // whatever close() reports.
        result = Calls().Close(fd_);
    }
    fd_ = fd;
    return result;
}

// The eventfds are ours, not the device's: once made they use the real
// calls, so that a test that breaks the device's calls does not break the
// threads' wake-ups. Only their creation goes through the seam, so that a
// process out of descriptors can be shown.
TEventFd::TEventFd() : fd_(Calls().EventFd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!fd_.Valid())
        createError_ = errno;
}

void TEventFd::Set()
{
    std::uint64_t one = 1;
    // A full counter (impossible in practice) still leaves the fd readable.
    (void)RetryEintr([&] { return ::write(fd_.Get(), &one, sizeof one); });
}

bool TEventFd::Consume()
{
    std::uint64_t value = 0;
    return RetryEintr([&] { return ::read(fd_.Get(), &value, sizeof value); }) == sizeof value;
}

bool TEventFd::Wait(int timeoutMs)
{
    pollfd p{fd_.Get(), POLLIN, 0};
    int r = RetryEintr([&] { return ::poll(&p, 1, timeoutMs); });
    return r > 0 && Consume();
}

}  // namespace sio::sys
