#include "log/TraceLog.h"

#include "base/BaseComponent.h"
#include "base/Platform.h"
#include "errors/ErrorTexts.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <new>
#include <string_view>

namespace sio {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr int kLineWidth = 78;
constexpr int kLogIndent = 44;  // width of a log entry's prefix

// A text file written through a 512-byte buffer. The first failure is kept:
// after it nothing more is written, and Close reports it.
class TTextFile {
public:
    TTextFile() = default;
    ~TTextFile()
    {
        if (fd_ >= 0) platform::CloseFd(fd_);
    }
    TTextFile(const TTextFile&) = delete;
    TTextFile& operator=(const TTextFile&) = delete;

    // 0 or the negated I/O code. append: add to an existing file (or create
    // it); otherwise replace it.
    std::int32_t Open(const std::string& name, bool append)
    {
        fd_ = platform::OpenWriteFile(name, append);
        return fd_ < 0 ? IoErrorFromErrno(errno, true) : 0;
    }

    void Put(std::string_view text)
    {
        for (char c : text) {
            if (used_ == sizeof buffer_) Flush();
            buffer_[used_++] = c;
        }
    }

    void PutLine(std::string_view text)
    {
        Put(text);
        Put(kCrLf);
    }

    std::int32_t Close()
    {
        Flush();
        if (fd_ >= 0) {
            if (platform::CloseFd(fd_) != 0 && error_ == 0) error_ = IoErrorFromErrno(errno);
            fd_ = -1;
        }
        return error_;
    }

private:
    void Flush()
    {
        std::size_t done = 0;
        while (error_ == 0 && done < used_) {
            const long n = platform::WriteFd(fd_, buffer_ + done, used_ - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                error_ = IoErrorFromErrno(errno);
            } else if (n == 0) {
                error_ = ecDiskFull;
            } else {
                done += static_cast<std::size_t>(n);
            }
        }
        used_ = 0;
    }

    int fd_ = -1;
    char buffer_[512];
    std::size_t used_ = 0;
    std::int32_t error_ = 0;
};

void AppendRendered(std::string& out, std::uint8_t byte, bool hex, bool allHex)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (!allHex && byte <= 126 && byte >= (hex ? 33 : 32)) {
        out.push_back(static_cast<char>(byte));
    } else if (hex || allHex) {
        out.push_back('[');
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 15]);
        out.push_back(']');
    } else {
        out.push_back('[');
        out += std::to_string(byte);
        out.push_back(']');
    }
}

}  // namespace

std::string RenderTraceByte(std::uint8_t byte, bool hex, bool allHex)
{
    std::string out;
    AppendRendered(out, byte, hex, allHex);
    return out;
}

// ---------------------------------------------------------------------------
// TSioTrace

void TSioTrace::RecordTraceByte(char kind, std::uint8_t byte) { RecordTraceBytes(kind, &byte, 1); }

void TSioTrace::RecordTraceBytes(char kind, const void* data, std::size_t count)
{
    if (!TraceOn() || data == nullptr) return;
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::lock_guard lock(lock_);
    // A ring of no slots records nothing.
    if (!ring_ || capacity_ <= 0) return;
    for (std::size_t i = 0; i < count; ++i) {
        ring_[2 * static_cast<std::size_t>(index_)] = static_cast<std::uint8_t>(kind);
        ring_[2 * static_cast<std::size_t>(index_) + 1] = p[i];
        if (++index_ == capacity_) {
            index_ = 0;
            wrapped_ = true;
        }
    }
}

std::int32_t TSioTrace::StartTrace(std::int32_t capacity)
{
    std::lock_guard lock(lock_);
    if (ring_) {
        index_ = 0;
        wrapped_ = false;
    } else {
        if (capacity < 0 || capacity > MaxTraceCapacity) return ecBadArgument;
        // One byte more than needed, so that a ring of no slots still exists.
        ring_.reset(new (std::nothrow) std::uint8_t[2 * static_cast<std::size_t>(capacity) + 1]());
        if (!ring_) return ecOutOfMemory;
        capacity_ = capacity;
        index_ = 0;
        wrapped_ = false;
    }
    on_.store(true, std::memory_order_release);
    return 0;
}

void TSioTrace::StopTrace()
{
    std::lock_guard lock(lock_);
    on_.store(false, std::memory_order_release);
    ring_.reset();
    capacity_ = 0;
    index_ = 0;
    wrapped_ = false;
}

void TSioTrace::ResumeTrace()
{
    std::lock_guard lock(lock_);
    if (ring_) on_.store(true, std::memory_order_release);
}

void TSioTrace::PauseTrace()
{
    std::lock_guard lock(lock_);
    on_.store(false, std::memory_order_release);
}

std::int32_t TSioTrace::ClearTrace()
{
    std::lock_guard lock(lock_);
    index_ = 0;
    wrapped_ = false;
    return 0;
}

std::int32_t TSioTrace::DumpTrace(const std::string& fileName, bool hex, bool allHex)
{
    return Write(fileName, hex, allHex, false);
}

std::int32_t TSioTrace::AppendTrace(const std::string& fileName, bool hex, bool allHex)
{
    return Write(fileName, hex, allHex, true);
}

bool TSioTrace::HasRing() const
{
    std::lock_guard lock(lock_);
    return ring_ != nullptr;
}

std::int32_t TSioTrace::TraceCapacity() const
{
    std::lock_guard lock(lock_);
    return capacity_;
}

std::int32_t TSioTrace::TraceIndex() const
{
    std::lock_guard lock(lock_);
    return index_;
}

bool TSioTrace::TraceWrapped() const
{
    std::lock_guard lock(lock_);
    return wrapped_;
}

std::int32_t TSioTrace::Write(const std::string& fileName, bool hex, bool allHex, bool append)
{
    std::lock_guard lock(lock_);
    if (!ring_ || capacity_ <= 0 || (!wrapped_ && index_ == 0)) return 0;

    TTextFile file;
    if (const std::int32_t rc = file.Open(fileName, append); rc != 0) {
        // The trace is lost, as it would be after StopTrace.
        on_.store(false, std::memory_order_release);
        ring_.reset();
        capacity_ = 0;
        index_ = 0;
        wrapped_ = false;
        return rc;
    }

    const std::int32_t first = wrapped_ ? index_ : 0;
    const std::int32_t count = wrapped_ ? capacity_ : index_;
    std::uint8_t blockKind = 0;
    int width = 0;
    std::string item;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::size_t slot = static_cast<std::size_t>((first + i) % capacity_);
        const std::uint8_t kind = ring_[2 * slot];
        const std::uint8_t byte = ring_[2 * slot + 1];
        if (i == 0 || kind != blockKind) {
            if (i != 0) {
                file.Put(kCrLf);
                file.Put(kCrLf);
            }
            file.PutLine(kind == static_cast<std::uint8_t>(tkTransmit) ? "Transmit: " : "Receive: ");
            blockKind = kind;
            width = 0;
        }
        item.clear();
        AppendRendered(item, byte, hex, allHex);
        const int k = static_cast<int>(item.size());
        width += k;
        if (width > kLineWidth) {
            file.Put(kCrLf);
            width = k;
        }
        file.Put(item);
    }
    const std::int32_t rc = file.Close();
    index_ = 0;
    wrapped_ = false;
    on_.store(true, std::memory_order_release);
    return rc;
}

// ---------------------------------------------------------------------------
// TSioLog

TSioLog::TSioLog() : timeBase_(MillisecondClock()) {}

void TSioLog::SetDeviceName(const std::string& name)
{
    std::lock_guard lock(nameLock_);
    deviceName_ = name;
}

std::string TSioLog::DeviceName() const
{
    std::lock_guard lock(nameLock_);
    return deviceName_;
}

void TSioLog::AddLogEntry(std::uint8_t type, std::uint16_t subtype, std::uint32_t data, const void* bytes,
                          std::uint32_t count)
{
    if (!on_.load(std::memory_order_relaxed)) return;
    if (bytes == nullptr) count = 0;
    // Every entry counts what it costs, so that the log's memory stays within
    // the limit however small its entries are. An entry that alone would
    // exceed it keeps only the bytes that fit (its data field still tells the
    // count); when not even the bare entry fits, nothing is recorded.
    const std::uint32_t limit = limit_.load(std::memory_order_acquire);
    if (limit > 0 && LogEntryCost(count) > limit) {
        const std::uint32_t bare = LogEntryCost(0);
        if (bare > limit) return;
        count = limit - bare;
    }
    const std::uint32_t time = MillisecondClock() - timeBase_.load(std::memory_order_acquire);
    try {
        auto entry = std::make_unique<TLogBuffer>(type, subtype, time, data, bytes, count);
        // Trimming the oldest entries and appending are one locked step.
        if (limit > 0)
            queue_.PushWithin(std::move(entry), limit);
        else
            queue_.Push(std::move(entry));
    } catch (const std::bad_alloc&) {
        // A diagnostic entry is not worth failing the caller's operation for.
    }
}

void TSioLog::StartLog(std::uint32_t limit)
{
    queue_.Clear();
    limit_.store(limit, std::memory_order_release);
    on_.store(true, std::memory_order_release);
}

void TSioLog::StopLog()
{
    on_.store(false, std::memory_order_release);
    queue_.Clear();
}

void TSioLog::ResumeLog() { on_.store(true, std::memory_order_release); }

void TSioLog::PauseLog() { on_.store(false, std::memory_order_release); }

void TSioLog::ClearLog() { queue_.Clear(); }

std::int32_t TSioLog::DumpLog(const std::string& fileName, bool hex, bool allHex)
{
    return Write(fileName, hex, allHex, false);
}

std::int32_t TSioLog::AppendLog(const std::string& fileName, bool hex, bool allHex)
{
    return Write(fileName, hex, allHex, true);
}

std::string TSioLog::CompilerText()
{
#if defined(__clang__)
    std::string text = "Clang " __clang_version__;
#elif defined(__GNUC__)
    std::string text = "GNU C++ " __VERSION__;
#else
    std::string text = "C++ compiler";
#endif
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string TSioLog::OperatingSystemText()
{
    std::string text = platform::OperatingSystemText();
    if (text.size() > 80) text.resize(80);
    return text;
}

std::string TSioLog::TimeText(std::uint32_t ms)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07u", static_cast<unsigned>(ms));
    std::string text = digits;
    text.insert(text.size() - 3, 1, '.');
    return text;
}

std::string TSioLog::StatusKindName(std::uint8_t kind)
{
    static constexpr const char* kNames[] = {"(Not active)",         "(Modem status)",       "(Line status)",
                                             "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
    return kind < std::size(kNames) ? kNames[kind] : "";
}

std::int32_t TSioLog::Write(const std::string& fileName, bool hex, bool allHex, bool append)
{
    std::lock_guard lock(writeLock_);
    if (queue_.Empty()) return 0;

    TTextFile file;
    if (const std::int32_t rc = file.Open(fileName, append); rc != 0) return rc;

    char line[160];
    file.PutLine(std::string("SIO ") + SioVersion);
    file.PutLine("Compiler : " + CompilerText());
    file.PutLine("Operating System : " + OperatingSystemText());
    file.PutLine("Device: " + DeviceName());
    {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        platform::LocalTime(now, local);
        std::snprintf(line, sizeof line, "%02d/%02d/%02d, %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
                      local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec);
        file.PutLine(std::string("Date/time: ") + line);
    }
    file.PutLine(TableMessage(slLogHeader));
    file.PutLine(TableMessage(slLogRule));

    std::string rendered;
    while (std::unique_ptr<TIOBuffer> record = queue_.Pop()) {
        if (record->Kind() != TIOBufferKind::Log) continue;
        const auto& entry = static_cast<const TLogBuffer&>(*record);
        const std::string typeName(TableMessage(slEventTypeBase + entry.EntryType));
        const std::string subtypeName(TableMessage(slEventSubtypeBase + entry.EntrySubtype));
        std::snprintf(line, sizeof line, "%8s  %-8s  %-12s  %08X  ", TimeText(entry.EntryTime).c_str(),
                      typeName.c_str(), subtypeName.c_str(), static_cast<unsigned>(entry.EntryData));
        file.Put(line);
        if (entry.EntryBytes.empty()) {
            file.Put(kCrLf);
            continue;
        }
        if (entry.EntrySubtype == lsStatusTrigger &&
            (entry.EntryType == ltTrigAllc || entry.EntryType == ltTrigDisp)) {
            file.PutLine(StatusKindName(entry.EntryBytes[0]));
            continue;
        }
        int width = kLogIndent + 1;
        for (std::uint8_t byte : entry.EntryBytes) {
            rendered.clear();
            AppendRendered(rendered, byte, hex, allHex);
            const int k = static_cast<int>(rendered.size());
            width += k;
            if (width > kLineWidth) {
                file.Put(kCrLf);
                file.Put(std::string(kLogIndent, ' '));
                width = kLogIndent + 1 + k;
            }
            file.Put(rendered);
        }
        file.Put(kCrLf);
    }
    return file.Close();
}

}  // namespace sio
