// Fuzzes the trace and the dispatch log as they are written to their files:
// random recordings, pauses, clears and writings (replacing and appending)
// with random rendering flags and limits. Each file is read back and
// compared with what a reading of the format rules written here expects:
// the bytes recorded, oldest first, in blocks by direction, rendered byte by
// byte and wrapped at 78 columns; the log's seven header lines and one entry
// per line, the entries that survive being the newest ones.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errors/ErrorTexts.h"
#include "log/TraceLog.h"

using namespace sio;

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

// The files are written into a memory file, through its /proc name, so that
// nothing touches the disk.
struct TMemFile {
    TMemFile() : fd(::memfd_create("sio-fuzz", MFD_CLOEXEC)), path("/proc/self/fd/" + std::to_string(fd))
    {
        Check(fd >= 0);
    }
    std::string Content() const
    {
        struct stat st {};
        Check(::fstat(fd, &st) == 0);
        std::string s(static_cast<std::size_t>(st.st_size), '\0');
        Check(::pread(fd, s.data(), s.size(), 0) == static_cast<ssize_t>(s.size()));
        return s;
    }
    void Empty() const { Check(::ftruncate(fd, 0) == 0); }
    int fd;
    std::string path;
};

std::string Item(std::uint8_t b, bool hex, bool allHex)
{
    char s[8];
    if (!allHex && b >= (hex ? 33 : 32) && b <= 126)
        return std::string(1, static_cast<char>(b));
    std::snprintf(s, sizeof s, allHex || hex ? "[%02X]" : "[%u]", b);
    return s;
}

// Items wrapped so that no line's width exceeds 78, the first line starting
// at width start and every further one with indent.
std::string Wrapped(const std::vector<std::uint8_t>& bytes, bool hex, bool allHex, int start,
                    const std::string& indent, int indentWidth)
{
    std::string out;
    int width = start;
    for (std::uint8_t b : bytes) {
        std::string item = Item(b, hex, allHex);
        int k = static_cast<int>(item.size());
        if (width + k > 78) {
            out += "\r\n" + indent;
            width = indentWidth;
        }
        width += k;
        out += item;
    }
    return out;
}

// --- Trace -----------------------------------------------------------------

std::string TraceText(const std::deque<std::pair<char, std::uint8_t>>& entries, bool hex, bool allHex)
{
    std::string out;
    std::size_t i = 0;
    while (i < entries.size()) {
        char kind = entries[i].first;
        std::vector<std::uint8_t> block;
        for (; i < entries.size() && entries[i].first == kind; ++i)
            block.push_back(entries[i].second);
        if (!out.empty())
            out += "\r\n\r\n";
        out += kind == 'T' ? "Transmit: \r\n" : "Receive: \r\n";
        out += Wrapped(block, hex, allHex, 0, "", 0);
    }
    return out;
}

void FuzzTrace(FuzzedDataProvider& in, const TMemFile& file)
{
    TSioTrace trace;
    std::int32_t capacity = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int32_t>(0, 40)
                                             : in.PickValueInArray<std::int32_t>({-1, MaxTraceCapacity + 1, 300});
    bool valid = capacity >= 0 && capacity <= MaxTraceCapacity;
    Check(trace.StartTrace(capacity) == (valid ? 0 : ecBadArgument));
    bool on = valid;
    bool ring = valid;
    std::deque<std::pair<char, std::uint8_t>> held;  // oldest first
    file.Empty();
    std::string written;

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: case 1: case 2: case 3: {
            char kind = in.ConsumeBool() ? tkTransmit : tkReceive;
            std::string bytes = in.ConsumeRandomLengthString(200);
            if (bytes.size() == 1 && in.ConsumeBool())
                trace.RecordTraceByte(kind, static_cast<std::uint8_t>(bytes[0]));
            else
                trace.RecordTraceBytes(kind, bytes.data(), bytes.size());
            if (on && ring && capacity > 0) {
                for (char c : bytes) {
                    held.emplace_back(kind, static_cast<std::uint8_t>(c));
                    if (held.size() > static_cast<std::size_t>(capacity))
                        held.pop_front();
                }
            }
            break;
        }
        case 4: {
            bool hex = in.ConsumeBool(), allHex = in.ConsumeBool(), append = in.ConsumeBool();
            if (!append) {
                // A replacing writing of an empty trace leaves the old file.
                if (!held.empty())
                    written.clear();
            }
            std::int32_t rc = append ? trace.AppendTrace(file.path, hex, allHex)
                                     : trace.DumpTrace(file.path, hex, allHex);
            Check(rc == 0);
            written += TraceText(held, hex, allHex);
            Check(file.Content() == written);
            if (!held.empty())
                on = true;
            held.clear();
            break;
        }
        case 5:
            if (in.ConsumeBool()) {
                trace.PauseTrace();
                on = false;
            } else {
                trace.ResumeTrace();
                on = ring;
            }
            break;
        case 6:
            Check(trace.ClearTrace() == 0);
            held.clear();
            break;
        default:
            if (in.ConsumeBool()) {
                trace.StopTrace();
                on = ring = false;
                held.clear();
            } else {
                valid = trace.StartTrace(capacity) == 0;
                Check(valid == (ring || (capacity >= 0 && capacity <= MaxTraceCapacity)));
                if (valid) {
                    on = ring = true;
                    held.clear();
                }
            }
            break;
        }
        Check(trace.TraceOn() == on);
        Check(trace.HasRing() == ring);
    }
}

// --- Dispatch log ----------------------------------------------------------

struct TEntry {
    std::uint8_t type;
    std::uint16_t subtype;
    std::uint32_t data;
    std::vector<std::uint8_t> bytes;
};

std::string Padded(std::string_view name, std::size_t width)
{
    std::string s(name);
    if (s.size() < width)
        s.append(width - s.size(), ' ');
    return s;
}

// One entry's text after its time text; bytes: how many attached bytes the
// log kept.
std::string EntryText(const TEntry& e, std::size_t bytes, bool hex, bool allHex)
{
    char data[16];
    std::snprintf(data, sizeof data, "%08X", static_cast<unsigned>(e.data));
    std::string out = "  " + Padded(TableMessage(15001 + e.type), 8) + "  " +
                      Padded(TableMessage(15100 + e.subtype), 12) + "  " + data + "  ";
    std::vector<std::uint8_t> kept(e.bytes.begin(), e.bytes.begin() + static_cast<std::ptrdiff_t>(bytes));
    if (!kept.empty()) {
        if (e.subtype == 15 && (e.type == 5 || e.type == 6)) {
            static const char* const kKinds[] = {"(Not active)",         "(Modem status)",       "(Line status)",
                                                 "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
            if (kept[0] < 6)
                out += kKinds[kept[0]];
        } else {
            out += Wrapped(kept, hex, allHex, 45, std::string(44, ' '), 45);
        }
    }
    return out + "\r\n";
}

bool Digits(std::string_view s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// Takes one line (without its CR LF) off the front of text.
std::string_view Line(std::string_view& text)
{
    std::size_t end = text.find("\r\n");
    Check(end != std::string_view::npos);
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 2);
    return line;
}

// Checks a log writing: header, then the newest entries of added, oldest
// first, each possibly with fewer attached bytes than were given.
void CheckLogText(std::string_view text, const std::vector<TEntry>& added, std::size_t count,
                  const std::string& device, bool hex, bool allHex)
{
    Check(Line(text) == "SIO v4.07");
    Check(Line(text).starts_with("Compiler : "));
    Check(Line(text).starts_with("Operating System : "));
    Check(Line(text) == "Device: " + device);
    std::string_view date = Line(text);
    Check(date.size() == 11 + 18 && date.starts_with("Date/time: ") && date.substr(19, 2) == ", ");
    Check(Line(text) == TableMessage(15501));
    Check(Line(text) == TableMessage(15502));
    Check(count <= added.size());
    for (std::size_t i = added.size() - count; i < added.size(); ++i) {
        const TEntry& e = added[i];
        // The time text: at least 7 digits with a "." before the last three.
        std::size_t dot = text.find('.');
        Check(dot != std::string_view::npos && dot >= 4 && Digits(text.substr(0, dot)) &&
              text.size() >= dot + 4 && Digits(text.substr(dot + 1, 3)));
        text.remove_prefix(dot + 4);
        // The entry goes on over every line that starts with 44 blanks.
        std::size_t end = 0;
        do
            end = text.find("\r\n", end) + 2;
        while (end >= 2 && text.substr(end).starts_with(std::string(44, ' ')));
        Check(end >= 2);
        std::string_view entry = text.substr(0, end);
        text.remove_prefix(end);
        bool found = false;
        for (std::size_t kept = e.bytes.size() + 1; kept-- > 0 && !found;)
            found = entry == EntryText(e, kept, hex, allHex);
        Check(found);
    }
    Check(text.empty());
}

void FuzzLog(FuzzedDataProvider& in, const TMemFile& file)
{
    TSioLog log;
    // Devices are named "\\.\COMn", n from 1 to 255.
    std::string device = "\\\\.\\COM" + std::to_string(in.ConsumeIntegralInRange(1, 255));
    log.SetDeviceName(device);
    std::uint32_t limit = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<std::uint32_t>(1, 600);
    log.StartLog(limit);
    bool on = true;
    std::vector<TEntry> added;  // since the log was last emptied
    file.Empty();
    std::size_t fileSize = 0;

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: case 1: case 2: case 3: case 4: {
            // The types and subtypes within the table's two families of
            // log names.
            TEntry e{in.ConsumeIntegralInRange<std::uint8_t>(0, 98), in.ConsumeIntegralInRange<std::uint16_t>(0, 400),
                     in.ConsumeIntegral<std::uint32_t>(), {}};
            if (in.ConsumeBool())
                e.subtype = in.PickValueInArray<std::uint16_t>({lsReadCom, lsWriteCom, lsStatusTrigger, lsTimer});
            std::string bytes = in.ConsumeRandomLengthString(160);
            e.bytes.assign(bytes.begin(), bytes.end());
            log.AddLogEntry(e.type, e.subtype, e.data, bytes.empty() ? nullptr : bytes.data(),
                            static_cast<std::uint32_t>(bytes.size()));
            if (on)
                added.push_back(std::move(e));
            break;
        }
        case 5: {
            bool hex = in.ConsumeBool(), allHex = in.ConsumeBool(), append = in.ConsumeBool();
            std::size_t count = log.EntryCount();
            std::int32_t rc = append ? log.AppendLog(file.path, hex, allHex) : log.DumpLog(file.path, hex, allHex);
            Check(rc == 0);
            std::string content = file.Content();
            if (count == 0) {
                Check(content.size() == fileSize);
            } else {
                std::string_view text(content);
                if (append)
                    text.remove_prefix(fileSize);
                CheckLogText(text, added, count, device, hex, allHex);
                fileSize = content.size();
            }
            Check(log.EntryCount() == 0 && log.ByteTotal() == 0 && log.LogOn() == on);
            added.clear();
            break;
        }
        case 6:
            if (in.ConsumeBool()) {
                log.PauseLog();
                on = false;
            } else {
                log.ResumeLog();
                on = true;
            }
            break;
        default:
            log.ClearLog();
            added.clear();
            Check(log.EntryCount() == 0 && log.ByteTotal() == 0);
            break;
        }
        // Without a limit nothing is dropped.
        if (limit == 0)
            Check(log.EntryCount() == added.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const TMemFile file;
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        FuzzTrace(in, file);
    else
        FuzzLog(in, file);
    return 0;
}
