// The system calls of the Linux dispatcher, behind one seam.
//
// Every call that touches a serial device goes through sio::sys::Calls().
// Production code uses the real calls; a test installs a TSysCalls subclass
// that overrides only what it wants to fail (a write that returns EIO, an
// ioctl that a pseudo-terminal lacks, an EINTR in the middle of a read) and
// forwards the rest to the base class.
//
// Threading: Calls() may be used from any thread. InstallSysCalls is meant
// for tests, before a device is opened and after it has been closed; the
// installed object must outlive every call made through it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <utility>

#include <poll.h>
#include <sys/types.h>

namespace sio::sys {

class TSysCalls {
public:
    virtual ~TSysCalls() = default;
    // Each returns what the system call returns and leaves errno set on
    // failure, exactly like the call it stands for.
    virtual int Open(const char* path, int flags);
    virtual int Close(int fd);
    virtual ssize_t Read(int fd, void* buf, std::size_t count);
    virtual ssize_t Write(int fd, const void* buf, std::size_t count);
    virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs);
    virtual int Ioctl(int fd, unsigned long request, void* arg);
    virtual int Flock(int fd, int operation);
    // Creates the threads' wake events (only creation goes through here).
    virtual int EventFd(unsigned initval, int flags);
};

// The calls in force (the real ones unless a test installed its own).
TSysCalls& Calls();
// Installs calls (nullptr restores the real ones); returns the previous.
TSysCalls* InstallSysCalls(TSysCalls* calls);

// Repeats a call for as long as it fails with EINTR.
template <class F>
auto RetryEintr(F&& f) -> decltype(f())
{
    for (;;) {
        auto r = f();
        if (r != -1 || errno != EINTR)
            return r;
    }
}

// A file descriptor that closes itself. Move-only; the destructor never
// throws and closes through the seam.
class TFileDescriptor {
public:
    TFileDescriptor() = default;
    explicit TFileDescriptor(int fd) : fd_(fd) {}
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    TFileDescriptor(TFileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TFileDescriptor& operator=(TFileDescriptor&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~TFileDescriptor() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }
    int Release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and takes fd; returns the result
    // of the close (0 when nothing was held).
    int Reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// An eventfd used as an auto-reset event that poll() can wait on together
// with a device: Set makes it readable, Consume (or a successful Wait) makes
// it quiet again.
class TEventFd {
public:
    TEventFd();
    bool Valid() const { return fd_.Valid(); }
    // errno of a failed creation (too many files, no memory), else 0.
    int CreateError() const { return createError_; }
    int Fd() const { return fd_.Get(); }
    void Set();
    // Takes a pending signal; returns true if there was one.
    bool Consume();
    // Waits up to timeoutMs (-1: no limit); true if it was set (and is
    // consumed now).
    bool Wait(int timeoutMs);

private:
    TFileDescriptor fd_;
    int createError_ = 0;
};

}  // namespace sio::sys
