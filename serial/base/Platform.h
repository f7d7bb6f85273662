// The few operating-system services that the portable units of the serial
// layer need, behind one header. PlatformPosix.cpp and
// PlatformWin32.cpp implement them; CMake builds the one for the target.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace sio::platform {

// The millisecond clock behind ticks: CLOCK_MONOTONIC on Linux, the
// multimedia clock (timeGetTime, its period set to 1 ms for the process's
// life) on Windows. Truncated to 32 bits; it wraps.
std::uint32_t Milliseconds();

// The system's own text for an error number: strerror's for an errno on
// Linux, FormatMessage's for a Windows error. "" when it has none.
std::string SystemErrorText(int number);

// "Linux 6.1 6.1.0-18-amd64", "Windows 10.0 (build 19045)": the log header.
std::string OperatingSystemText();

// Local time of t; false if it cannot be had.
bool LocalTime(std::time_t t, std::tm& out);

// The calling thread's id as the system shows it (for thread priorities).
int CurrentThreadId();

// Opens name for writing as a byte file (no newline translation, not
// inherited by child programs): append, or replace. A descriptor for
// WriteFd/CloseFd, or -1 with errno set.
int OpenWriteFile(const std::string& name, bool append);
// write() and close() on such a descriptor.
long WriteFd(int fd, const void* data, std::size_t count);
int CloseFd(int fd);

}  // namespace sio::platform
