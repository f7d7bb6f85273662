#include "GripperProtocol.h"

#include <cstdint>

namespace tarnell::protocol {

namespace {

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Delphi-style "delete through the first ';'": nothing when there is none.
std::string_view AfterFirst(std::string_view text, char c)
{
    std::size_t p = text.find(c);
    return p == std::string_view::npos ? text : text.substr(p + 1);
}

}  // namespace

EConvertError::EConvertError(std::string text)
    : std::runtime_error("'" + text + "' ist kein g\xC3\xBCltiger Integerwert"), text_(std::move(text))
{
}

int StrToInt(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        negative = s[i++] == '-';
    if (i == s.size())
        throw EConvertError(std::string(s));
    std::int64_t value = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            throw EConvertError(std::string(s));
        value = value * 10 + (s[i] - '0');
        if (value > std::int64_t{INT32_MAX} + 1)
            throw EConvertError(std::string(s));
    }
    if (negative)
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        throw EConvertError(std::string(s));
    return static_cast<int>(value);
}

std::string ReplaceAddress(std::string command, int address)
{
    std::size_t p = command.find(kAddressWildcard);
    if (p != std::string::npos)
        command.replace(p, kAddressWildcard.size(), std::to_string(address));
    return command;
}

std::string Frame(std::string_view command)
{
    std::string frame(command);
    frame += kFrameEnd;
    return frame;
}

std::string StatusCommand(int address) { return "STA;" + std::to_string(address); }

std::string VersionCommand(int address) { return "VER;" + std::to_string(address); }

std::string RecallCommand(int address, int place)
{
    return "RCL;" + std::to_string(address) + ";" + std::to_string(place);
}

std::string StoreCommand(int address, int place, std::string_view grip, std::string_view provision,
                         std::string_view force)
{
    std::string s = "STO;" + std::to_string(address) + ";" + std::to_string(place) + ";";
    s.append(grip).append(";").append(provision).append(";").append(force);
    return s;
}

std::string ReferenceStoreCommand(int address, std::string_view reference, std::string_view compensation)
{
    return StoreCommand(address, kReferencePlace, reference, compensation, std::to_string(kReferenceForce));
}

bool IsEcho(std::string_view packet, std::string_view lastFrame) { return packet == lastFrame; }

std::string Trimmed(std::string_view reply)
{
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    std::size_t b = 0, e = reply.size();
    while (b < e && blank(reply[b]))
        ++b;
    while (e > b && blank(reply[e - 1]))
        --e;
    return std::string(reply.substr(b, e - b));
}

std::optional<TGripperModel> DetectModel(std::string_view lastFrame, std::string_view reply)
{
    if (!Contains(lastFrame, "VER"))
        return std::nullopt;
    for (const TGripperModel& m : kModels)
        if (Contains(reply, m.identifier))
            return m;
    return std::nullopt;
}

bool IsStatusExchange(std::string_view lastFrame, std::string_view reply)
{
    return Contains(lastFrame, "STA") || Contains(reply, "STA");
}

std::string StatusField(std::string_view reply)
{
    std::string_view rest = AfterFirst(reply, ':');
    return std::string(rest.substr(0, rest.find(';')));
}

int StatusValue(std::string_view reply)
{
    std::string_view rest = AfterFirst(reply, ':');
    std::size_t semi = rest.find(';');
    // Without a ";" the text to convert is empty, as the copy before a
    // missing separator is.
    return StrToInt(semi == std::string_view::npos ? std::string_view{} : rest.substr(0, semi));
}

std::optional<TRecallFields> ParseRecall(std::string_view reply)
{
    if (!Contains(reply, "A"))
        return std::nullopt;
    std::string_view r = AfterFirst(reply, ';');
    std::size_t p = r.find(';');
    TRecallFields f;
    f.place = StrToInt(p == std::string_view::npos ? std::string_view{} : r.substr(0, p));
    r = r.substr(p + 1);
    // Grip and provision: a field with no ";" after it reads as empty and
    // leaves the rest for the force.
    for (std::string* field : {&f.grip, &f.provision}) {
        std::size_t q = r.find(';');
        if (q == std::string_view::npos)
            continue;
        *field = Trimmed(r.substr(0, q));
        r = r.substr(q + 1);
    }
    f.force = Trimmed(r);
    return f;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }

// The decimal number of at most 3 digits at text[i..], its end in end.
std::optional<int> Number(std::string_view text, std::size_t i, std::size_t& end)
{
    end = i;
    while (end < text.size() && IsDigit(text[end]) && end - i < 4)
        ++end;
    if (end == i || end - i > 3)
        return std::nullopt;
    int value = 0;
    for (std::size_t k = i; k < end; ++k)
        value = value * 10 + (text[k] - '0');
    return value;
}

}  // namespace

int QuietTimeMs(int baud)
{
    const int chars = 10 * 11 * 1000 / (baud > 0 ? baud : 1) + 1;
    return chars > 50 ? chars : 50;
}

std::optional<int> CommandAddress(std::string_view command)
{
    const std::string t = Trimmed(command);
    if (t.size() < 5 || !IsUpper(t[0]) || !IsUpper(t[1]) || !IsUpper(t[2]) || t[3] != ';')
        return std::nullopt;
    std::size_t end = 0;
    std::optional<int> a = Number(t, 4, end);
    if (!a || (end < t.size() && t[end] != ';'))
        return std::nullopt;
    return a;
}

std::optional<int> ReplyAddress(std::string_view reply)
{
    const std::string t = Trimmed(reply);
    std::size_t end = 0;
    if (t.size() >= 6 && IsUpper(t[0]) && IsUpper(t[1]) && IsUpper(t[2]) && t[3] == ';') {
        std::optional<int> a = Number(t, 4, end);
        if (a && end < t.size() && (t[end] == ':' || t[end] == ';'))
            return a;
        return std::nullopt;
    }
    if (t.size() >= 3 && (t[0] == 'A' || t[0] == 'E')) {
        std::optional<int> a = Number(t, 1, end);
        if (a && end < t.size() && t[end] == ';')
            return a;
    }
    return std::nullopt;
}

}  // namespace tarnell::protocol
