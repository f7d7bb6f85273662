// The serial layer's operating-system services on Windows (base/Platform.h).
#include "base/Platform.h"

#include <windows.h>
#include <mmsystem.h>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace sio::platform {

namespace {

// The multimedia clock at its finest period for as long as the process runs,
// so that ticks and time limits are not rounded to the scheduler's 15.6 ms.
struct TTimerPeriod {
    TTimerPeriod() { timeBeginPeriod(1); }
    ~TTimerPeriod() { timeEndPeriod(1); }
} g_timerPeriod;

}  // namespace

std::uint32_t Milliseconds() { return static_cast<std::uint32_t>(timeGetTime()); }

std::string SystemErrorText(int number)
{
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                   nullptr, static_cast<DWORD>(number), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = (n && text) ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == ' ' || out.back() == '.' || out.back() == '\r' || out.back() == '\n'))
        out.pop_back();
    return out;
}

std::string OperatingSystemText()
{
    // GetVersionEx reports what the program's manifest allows it to know;
    // ntdll tells the truth.
    using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto get = ntdll ? reinterpret_cast<TRtlGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                     : nullptr;
    if (!get || get(&v) != 0) return "Windows";
    char text[80];
    std::snprintf(text, sizeof text, "Windows %lu.%lu (build %lu)", v.dwMajorVersion, v.dwMinorVersion,
                  v.dwBuildNumber);
    return text;
}

bool LocalTime(std::time_t t, std::tm& out) { return localtime_s(&out, &t) == 0; }

int CurrentThreadId() { return static_cast<int>(GetCurrentThreadId()); }

int OpenWriteFile(const std::string& name, bool append)
{
    const int flags = _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | (append ? _O_APPEND : _O_TRUNC);
    return _open(name.c_str(), flags, _S_IREAD | _S_IWRITE);
}

long WriteFd(int fd, const void* data, std::size_t count)
{
    return _write(fd, data, static_cast<unsigned>(count > 0x40000000u ? 0x40000000u : count));
}

int CloseFd(int fd) { return _close(fd); }

}  // namespace sio::platform
