// The serial layer's operating-system services on Linux (base/Platform.h).
#include "base/Platform.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

namespace sio::platform {

namespace {
// strerror_r comes in two flavours; both are handled so that either libc works.
[[maybe_unused]] const char* PickErrorText(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* PickErrorText(const char* result, const char*) { return result; }
}  // namespace

std::uint32_t Milliseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::string SystemErrorText(int number)
{
    char buffer[256] = {};
    const char* text = PickErrorText(strerror_r(number, buffer, sizeof buffer), buffer);
    return text ? std::string(text) : std::string();
}

std::string OperatingSystemText()
{
    utsname names{};
    if (uname(&names) != 0) return "Unknown";
    // "6.1.0-18-amd64" gives the version "6.1".
    const std::string release = names.release;
    std::size_t end = 0;
    int dots = 0;
    while (end < release.size()) {
        const char c = release[end];
        if (c == '.') {
            if (++dots == 2) break;
        } else if (c < '0' || c > '9') {
            break;
        }
        ++end;
    }
    return std::string(names.sysname) + " " + release.substr(0, end) + " " + release;
}

bool LocalTime(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

int CurrentThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

int OpenWriteFile(const std::string& name, bool append)
{
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (append ? O_APPEND : O_TRUNC);
    int fd;
    do {
        fd = ::open(name.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

long WriteFd(int fd, const void* data, std::size_t count) { return static_cast<long>(::write(fd, data, count)); }

// Linux releases the descriptor even when close reports EINTR.
int CloseFd(int fd) { return (::close(fd) != 0 && errno != EINTR) ? -1 : 0; }

}  // namespace sio::platform
