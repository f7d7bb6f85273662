// Fuzzes the parameter file's loader with arbitrary file contents: reading
// the file, cutting it into lines, the check that refuses lines that are not
// decimal digits, the range check per gripper type, and the storage places
// the lines fill. Each result is checked against a reading of the file's
// rules written here independently, and what passes both checks must make
// store commands of exactly six fields.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "GripperProtocol.h"
#include "ParameterFileFormat.h"

namespace p = tarnell::protocol;

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

// A line ends at CR LF, at a lone LF or at a lone CR; a last line without an
// end counts.
std::vector<std::string> ReferenceLines(std::string_view bytes)
{
    std::string unified;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            continue;  // the LF that follows ends the line
        unified += bytes[i] == '\r' ? '\n' : bytes[i];
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = unified.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(unified.substr(start, end - start));
    if (start < unified.size())
        lines.push_back(unified.substr(start));
    return lines;
}

bool DigitsOnly(const std::string& s) { return s.find_first_not_of("0123456789") == std::string::npos; }

// The value of a line of digits, or nothing when 32 bits do not hold it.
std::optional<long long> Value(const std::string& digits)
{
    std::string_view v = digits;
    v.remove_prefix(std::min(v.find_first_not_of('0'), v.size()));
    if (v.size() > 10)
        return std::nullopt;
    long long n = 0;
    for (char c : v)
        n = n * 10 + (c - '0');
    return n <= INT32_MAX ? std::optional<long long>(n) : std::nullopt;
}

void CheckRanges(const std::vector<std::string>& lines, int typeIndex)
{
    std::optional<p::TRangeProblem> problem = p::FirstOutOfRange(lines, typeIndex);
    const std::size_t n = std::min<std::size_t>(lines.size(), p::kParameterLines);
    for (std::size_t i = 0; i < n; ++i) {
        if (lines[i].empty())
            continue;
        // Forces are lines 3, 6, .. 21; every other line is a position.
        const p::TValueRange range = (i < 21 && i % 3 == 2) ? p::ForceRange(typeIndex) : p::PositionRange(typeIndex);
        const std::optional<long long> v = Value(lines[i]);
        if (v && *v >= range.min && *v <= range.max)
            continue;
        Check(problem && problem->line == static_cast<int>(i) + 1 && problem->text == lines[i] &&
              problem->range.min == range.min && problem->range.max == range.max);
        const std::string place = i < 21 ? "place " + std::to_string(i / 3 + 1) : "position";
        Check(problem->what.find(place) != std::string::npos);
        return;
    }
    Check(!problem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const int fd = ::memfd_create("gri", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    Check(fd >= 0 && ::ftruncate(fd, 0) == 0);
    Check(::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

    // The file as the loader reads it.
    const std::string bytes = p::ReadWholeFile(path);
    Check(bytes == std::string_view(reinterpret_cast<const char*>(data), size));

    const std::vector<std::string> lines = p::SplitLines(bytes);
    Check(lines == ReferenceLines(bytes));
    Check(p::SplitLines(p::FormatParameterFile(lines)) == lines);

    const int bad = p::FirstBadLine(lines);
    const std::size_t n = std::min<std::size_t>(lines.size(), p::kParameterLines);
    std::size_t firstBad = 0;
    while (firstBad < n && DigitsOnly(lines[firstBad]))
        ++firstBad;
    Check(bad == (firstBad < n ? static_cast<int>(firstBad) : -1));

    // The places the first 23 lines fill, and back.
    const p::TPlaces places = p::PlacesFromLines(lines);
    std::vector<std::string> first23(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(n));
    first23.resize(p::kParameterLines);
    Check(p::LinesFromPlaces(places) == first23);
    Check(p::PlacesFromLines(p::LinesFromPlaces(places)) == places);
    Check(places[p::kReferencePlace - 1].force.empty());

    if (bad != -1)
        return 0;
    for (int type = -1; type <= p::kTypeCount; ++type)
        CheckRanges(lines, type);

    // A file that passed makes store commands of six fields each.
    for (int place = 1; place <= p::kPlaceCount; ++place) {
        const p::TPlaceTexts& t = places[static_cast<std::size_t>(place - 1)];
        const std::string command = place == p::kReferencePlace
                                        ? p::ReferenceStoreCommand(0, t.grip, t.provision)
                                        : p::StoreCommand(0, place, t.grip, t.provision, t.force);
        Check(std::count(command.begin(), command.end(), ';') == 5);
    }
    return 0;
}
