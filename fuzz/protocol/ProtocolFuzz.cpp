// Fuzzes the console's reply handling with arbitrary frames and replies: the
// input is the last frame sent, a NUL byte, then the reply packet. Besides
// the sanitizers' findings it checks that every rule the console reads a
// reply by gives a result consistent with the reply's bytes, against
// reference readings written here independently.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "GripperProtocol.h"

namespace p = tarnell::protocol;

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

bool Blank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::size_t Count(std::string_view text, std::string_view part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The decimal reading: blanks, an optional sign, at least one digit and
// nothing else, within 32 bits.
std::optional<int> ReferenceInt(std::string_view s)
{
    std::size_t i = s.find_first_not_of(' ');
    if (i == std::string_view::npos)
        return std::nullopt;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-')
        negative = s[i++] == '-';
    std::string_view digits = s.substr(i);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.size() > 10)
        return std::nullopt;
    long long v = 0;
    for (char c : digits)
        v = v * 10 + (c - '0');
    if (negative)
        v = -v;
    if (v < INT32_MIN || v > INT32_MAX)
        return std::nullopt;
    return static_cast<int>(v);
}

std::optional<int> ToInt(std::string_view s)
{
    try {
        return p::StrToInt(s);
    } catch (const p::EConvertError& e) {
        // The error names exactly the text that was refused.
        Check(e.Text() == s);
        return std::nullopt;
    }
}

void CheckStrToInt(std::string_view s)
{
    std::optional<int> got = ToInt(s);
    Check(got == ReferenceInt(s));
    if (got)
        Check(p::StrToInt(std::to_string(*got)) == *got);
}

void CheckTrimmed(std::string_view reply)
{
    std::string t = p::Trimmed(reply);
    Check(t.empty() || (!Blank(t.front()) && !Blank(t.back())));
    // Only blanks were cut, from both ends.
    std::size_t at = reply.find(t);
    Check(at != std::string_view::npos);
    if (!t.empty()) {
        Check(std::all_of(reply.begin(), reply.begin() + at, Blank));
        Check(std::all_of(reply.begin() + at + t.size(), reply.end(), Blank));
    } else {
        Check(std::all_of(reply.begin(), reply.end(), Blank));
    }
    Check(p::Trimmed(t) == t);
}

void CheckModel(std::string_view frame, std::string_view reply)
{
    std::optional<p::TGripperModel> m = p::DetectModel(frame, reply);
    if (frame.find("VER") == std::string_view::npos) {
        Check(!m);
        return;
    }
    const p::TGripperModel* expected = nullptr;
    for (const p::TGripperModel& k : p::kModels)
        if (!expected && reply.find(k.identifier) != std::string_view::npos)
            expected = &k;
    Check(m.has_value() == (expected != nullptr));
    if (m)
        Check(std::strcmp(m->identifier, expected->identifier) == 0 && m->typeIndex == expected->typeIndex);
}

void CheckStatus(std::string_view frame, std::string_view reply)
{
    Check(p::IsStatusExchange(frame, reply) ==
          (frame.find("STA") != std::string_view::npos || reply.find("STA") != std::string_view::npos));
    std::string field = p::StatusField(reply);
    Check(field.find(';') == std::string::npos);
    std::size_t colon = reply.find(':');
    std::string_view rest = colon == std::string_view::npos ? reply : reply.substr(colon + 1);
    Check(rest.substr(0, field.size()) == field);
    bool terminated = rest.size() > field.size() && rest[field.size()] == ';';
    Check(terminated || field.size() == rest.size());
    std::optional<int> value;
    try {
        value = p::StatusValue(reply);
    } catch (const p::EConvertError&) {
    }
    // A value only from a decimal field that a ";" ends.
    Check(value == (terminated ? ReferenceInt(field) : std::nullopt));
    CheckStrToInt(field);
}

void CheckRecall(std::string_view reply)
{
    std::optional<p::TRecallFields> f;
    try {
        f = p::ParseRecall(reply);
    } catch (const p::EConvertError&) {
        // Only an answer (it has its "A") whose place field is no number.
        Check(reply.find('A') != std::string_view::npos);
        return;
    }
    Check(f.has_value() == (reply.find('A') != std::string_view::npos));
    if (!f)
        return;
    for (const std::string* s : {&f->grip, &f->provision}) {
        Check(s->find(';') == std::string::npos);
        Check(s->empty() || (!Blank(s->front()) && !Blank(s->back())));
    }
    Check(f->force.empty() || (!Blank(f->force.front()) && !Blank(f->force.back())));
    // The place is the second field, read as a number.
    std::size_t a = reply.find(';');
    Check(a != std::string_view::npos);
    std::string_view afterFirst = reply.substr(a + 1);
    std::size_t b = afterFirst.find(';');
    Check(b != std::string_view::npos);
    Check(ReferenceInt(afterFirst.substr(0, b)) == f->place);
    // Every field the reply carried is found in it, in order.
    std::size_t at = a + 1 + b + 1;
    for (const std::string* s : {&f->grip, &f->provision, &f->force}) {
        std::size_t found = reply.find(*s, at);
        Check(found != std::string_view::npos);
        at = found + s->size();
    }
    // What a readout put into the grid reads back the same from the answer
    // a gripper would give to the store built from it.
    std::string again = "A0;" + std::to_string(f->place) + ";" + f->grip + ";" + f->provision + ";" + f->force +
                        std::string(p::kFrameEnd);
    std::optional<p::TRecallFields> g = p::ParseRecall(again);
    Check(g && g->place == f->place && g->grip == f->grip && g->provision == f->provision && g->force == f->force);
}

void CheckCommands(std::string_view frame, int address)
{
    std::string command(frame);
    std::string replaced = p::ReplaceAddress(command, address);
    std::size_t before = Count(command, p::kAddressWildcard);
    Check(Count(replaced, p::kAddressWildcard) == (before ? before - 1 : 0));
    if (!before)
        Check(replaced == command);
    std::string framed = p::Frame(replaced);
    Check(framed.size() == replaced.size() + 2 && framed.ends_with(p::kFrameEnd));
    Check(p::IsEcho(framed, framed));
    Check(!p::IsEcho(framed, replaced));
}

}  // namespace

// The address of a reply or a command is never made up: where one is read,
// its digits stand in the text right where the rule says.
void CheckAddresses(std::string_view frame, std::string_view reply, int number)
{
    if (std::optional<int> a = p::ReplyAddress(reply)) {
        Check(*a >= 0 && *a <= 999);
        const std::string t = p::Trimmed(reply);
        // The value of the 1 to 3 digits at i, if that many stand there.
        auto digitsAt = [&t](std::size_t i) -> std::optional<int> {
            std::size_t e = i;
            while (e < t.size() && t[e] >= '0' && t[e] <= '9')
                ++e;
            if (e == i || e - i > 3)
                return std::nullopt;
            return std::stoi(t.substr(i, e - i));
        };
        Check(digitsAt(1) == a || digitsAt(4) == a);
    }
    if (std::optional<int> a = p::CommandAddress(frame))
        Check(*a >= 0 && *a <= 999);
    const int address = static_cast<int>(static_cast<unsigned>(number) % 1000);
    Check(p::CommandAddress(p::StatusCommand(address)) == address);
    Check(p::ReplyAddress("STA;" + std::to_string(address) + ":" + std::string(reply)) == address);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::size_t nul = in.find('\0');
    std::string_view frame = nul == std::string_view::npos ? std::string_view{} : in.substr(0, nul);
    std::string_view reply = nul == std::string_view::npos ? in : in.substr(nul + 1);

    Check(p::IsEcho(reply, frame) == (reply == frame));
    CheckTrimmed(reply);
    CheckModel(frame, reply);
    CheckStatus(frame, reply);
    CheckRecall(reply);
    CheckStrToInt(reply);
    CheckStrToInt(frame);
    std::uint32_t bits = 0;
    std::memcpy(&bits, reply.data(), std::min<std::size_t>(reply.size(), sizeof bits));
    CheckCommands(frame, static_cast<int>(bits));
    CheckAddresses(frame, reply, static_cast<int>(bits));
    return 0;
}
