#include "Commands.h"

#include <cstdio>

namespace tarnell::cli {

namespace p = tarnell::protocol;
using nlohmann::json;

std::string JsonText(const std::string& bytes)
{
    std::string text;
    for (unsigned char b : bytes) {
        if (b < 0x80) {
            text += static_cast<char>(b);
        } else {
            text += static_cast<char>(0xC0 | (b >> 6));
            text += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return text;
}

namespace {

double Seconds(std::int32_t ticks) { return ticks * 0.055; }

// A text as an error line shows it: a spoiled reply may be kilobytes long.
std::string Shortened(const std::string& text)
{
    constexpr std::size_t kShown = 60;
    return text.size() <= kShown ? text : text.substr(0, kShown) + "...";
}

std::string NoAnswer(TContext& c, const std::string& command, std::int32_t ticks)
{
    char limit[64];
    std::snprintf(limit, sizeof limit, "%d ticks (%.1f s)", ticks, Seconds(ticks));
    const std::string note = c.session.TakeNote();
    return "no answer to " + command + " within " + limit + (note.empty() ? "" : " (" + note + ")");
}

// The reply to command, or ECliError (no answer) naming what went unanswered.
std::string Ask(TContext& c, const std::string& command, std::int32_t ticks = p::kReplyTimeoutTicks)
{
    std::optional<std::string> reply = c.session.Exchange(command, ticks);
    if (!reply)
        throw ECliError(kExitNoAnswer, NoAnswer(c, command, ticks));
    return *reply;
}

// The eight places as the gripper at the context's address has them; a
// place whose reply names no storage place, or has no "A", stays empty.
p::TPlaces ReadPlaces(TContext& c)
{
    p::TPlaces places;
    for (int n = 1; n <= p::kPlaceCount; ++n) {
        const std::string command = p::RecallCommand(c.address, n);
        const std::string reply = Ask(c, command);
        std::optional<p::TRecallFields> f;
        try {
            f = p::ParseRecall(reply);
        } catch (const p::EConvertError& e) {
            throw ECliError(kExitNoAnswer, "unreadable answer to " + command + ": \"" +
                                               Shortened(p::Trimmed(reply)) + "\" (" + Shortened(e.what()) + ")");
        }
        // The row is the one the reply names, as in the console's readout.
        if (!f || !p::IsStoragePlace(f->place))
            continue;
        p::TPlaceTexts& t = places[static_cast<std::size_t>(f->place - 1)];
        t.grip = f->grip;
        t.provision = f->provision;
        t.force = f->place == p::kReferencePlace ? std::string() : f->force;
    }
    return places;
}

json PlacesJson(const p::TPlaces& places)
{
    json list = json::array();
    for (int n = 1; n <= p::kPlaceCount; ++n) {
        const p::TPlaceTexts& t = places[static_cast<std::size_t>(n - 1)];
        json o = {{"place", n}, {"grip", JsonText(t.grip)}, {"provision", JsonText(t.provision)}};
        if (n != p::kReferencePlace)
            o["force"] = JsonText(t.force);
        list.push_back(o);
    }
    return list;
}

void PrintPlaces(const p::TPlaces& places)
{
    std::printf("%-6s %-8s %-10s %s\n", "place", "grip", "provision", "force");
    for (int n = 1; n <= p::kPlaceCount; ++n) {
        const p::TPlaceTexts& t = places[static_cast<std::size_t>(n - 1)];
        if (n == p::kReferencePlace)
            std::printf("%-6d %-8s %-10s (reference drive, force compensation)\n", n, t.grip.c_str(),
                        t.provision.c_str());
        else
            std::printf("%-6d %-8s %-10s %s\n", n, t.grip.c_str(), t.provision.c_str(), t.force.c_str());
    }
}

// Equal as numbers where both are numbers ("0250" is what the gripper
// reads back as "250"), else as texts.
bool SameValue(const std::string& a, const std::string& b)
{
    try {
        return p::StrToInt(a) == p::StrToInt(b);
    } catch (const p::EConvertError&) {
        return a == b;
    }
}

std::string PlaceText(const p::TPlaceTexts& t, bool reference)
{
    return reference ? t.grip + ";" + t.provision : t.grip + ";" + t.provision + ";" + t.force;
}

}  // namespace

int CmdSend(TContext& c, const std::vector<std::string>& texts)
{
    json exchanges = json::array();
    for (const std::string& text : texts) {
        const std::string command = p::ReplaceAddress(text, c.address);
        std::optional<std::string> reply = c.session.Exchange(command);
        exchanges.push_back({{"sent", JsonText(command)}, {"reply", reply ? json(JsonText(p::Trimmed(*reply))) : json()}});
        c.out["exchanges"] = exchanges;
        // The rest is not sent: each text waits for the answer before it.
        if (!reply)
            throw ECliError(kExitNoAnswer, NoAnswer(c, command, p::kReplyTimeoutTicks));
        if (!c.json) {
            std::printf("%s\n", p::Trimmed(*reply).c_str());
            std::fflush(stdout);
        }
    }
    return kExitDone;
}

int CmdStatus(TContext& c)
{
    const std::string command = p::StatusCommand(c.address);
    const std::string reply = Ask(c, command);
    int value = 0;
    try {
        value = p::StatusValue(reply);
    } catch (const p::EConvertError& e) {
        throw ECliError(kExitNoAnswer, "unreadable answer to " + command + ": \"" +
                                           Shortened(p::Trimmed(reply)) + "\" (" + Shortened(e.what()) + ")");
    }
    json bits = json::object();
    for (int i = 0; i < 8; ++i)
        bits[p::kStatusBits[i]] = value >= 0 && ((value >> i) & 1) != 0;
    c.out["reply"] = JsonText(p::Trimmed(reply));
    c.out["status"] = value;
    c.out["bits"] = bits;
    if (!c.json) {
        std::printf("reply:  %s\nstatus: %d\n", p::Trimmed(reply).c_str(), value);
        for (int i = 0; i < 8; ++i)
            std::printf("  bit %d  %-17s %s\n", i, p::kStatusBits[i],
                        value >= 0 && ((value >> i) & 1) ? "set" : "-");
    }
    return kExitDone;
}

int CmdVersion(TContext& c)
{
    const std::string command = p::VersionCommand(c.address);
    const std::string reply = Ask(c, command);
    const std::optional<p::TGripperModel> model = p::DetectModel(p::Frame(command), reply);
    c.out["reply"] = JsonText(p::Trimmed(reply));
    c.out["model"] = model ? json(model->identifier) : json();
    c.out["type"] = model ? json(model->typeName) : json();
    if (!c.json) {
        std::printf("reply: %s\n", p::Trimmed(reply).c_str());
        if (model)
            std::printf("type:  %s (%s)\n", model->typeName, model->identifier);
        else
            std::printf("type:  unknown\n");
    }
    return kExitDone;
}

int CmdReadout(TContext& c, const std::optional<std::string>& file)
{
    const p::TPlaces places = ReadPlaces(c);
    if (file) {
        // Only a complete readout replaces the file, and never half of it.
        try {
            p::WriteFileReplacing(*file, p::FormatParameterFile(p::LinesFromPlaces(places)));
        } catch (const p::EFileError& e) {
            throw ECliError(kExitFileRefused, e.what());
        }
        c.out["file"] = JsonText(*file);
    }
    c.out["places"] = PlacesJson(places);
    if (!c.json)
        PrintPlaces(places);
    return kExitDone;
}

int CmdStore(TContext& c, const std::string& file, std::optional<int> typeIndex)
{
    // The file is checked as the console's loader checks it, and then more
    // strictly: a short file would leave the later places unsent.
    std::vector<std::string> lines;
    try {
        lines = p::SplitLines(p::ReadWholeFile(file));
    } catch (const p::EFileError& e) {
        throw ECliError(kExitFileRefused, std::string(e.what()) + "; nothing was sent");
    }
    if (int bad = p::FirstBadLine(lines); bad >= 0)
        throw ECliError(kExitFileRefused, "\"" + file + "\" is not a parameter file: line " + std::to_string(bad + 1) +
                                              " is neither empty nor a number (" +
                                              lines[static_cast<std::size_t>(bad)].substr(0, 40) +
                                              "); nothing was sent");
    if (lines.size() < static_cast<std::size_t>(p::kParameterLines))
        throw ECliError(kExitFileRefused, "\"" + file + "\" has " + std::to_string(lines.size()) + " lines, not " +
                                              std::to_string(p::kParameterLines) + "; nothing was sent");

    if (!typeIndex) {
        const std::string command = p::VersionCommand(c.address);
        const std::string reply = Ask(c, command);
        const std::optional<p::TGripperModel> model = p::DetectModel(p::Frame(command), reply);
        if (!model)
            throw ECliError(kExitUsage, "the answer to " + command + " (\"" +
                                            Shortened(p::Trimmed(reply)) +
                                            "\") names no known gripper type; give it with --type; nothing was sent");
        typeIndex = model->typeIndex;
    }
    const p::TGripperModel& type = p::GripperModel(*typeIndex);
    c.out["type"] = type.typeName;
    if (!c.json)
        std::printf("type: %s\n", type.typeName);
    if (std::optional<p::TRangeProblem> r = p::FirstOutOfRange(lines, *typeIndex))
        throw ECliError(kExitFileRefused, "\"" + file + "\" line " + std::to_string(r->line) + ": the " + r->what +
                                              " " + r->text + " is outside " + std::to_string(r->range.min) +
                                              ".." + std::to_string(r->range.max) + " for the " + type.typeName +
                                              " type; nothing was sent");

    // As the console's Send: a place with an empty cell is not sent; the
    // reference place always carries force 3. A gripper that stops
    // answering ends the store there.
    const p::TPlaces places = p::PlacesFromLines(lines);
    std::vector<int> sent;
    json sentJson = json::array();
    for (int n = 1; n <= p::kPlaceCount; ++n) {
        const p::TPlaceTexts& t = places[static_cast<std::size_t>(n - 1)];
        std::string command;
        if (n == p::kReferencePlace) {
            if (t.grip.empty() || t.provision.empty())
                continue;
            command = p::ReferenceStoreCommand(c.address, t.grip, t.provision);
        } else {
            if (t.grip.empty() || t.provision.empty() || t.force.empty())
                continue;
            command = p::StoreCommand(c.address, n, t.grip, t.provision, t.force);
        }
        Ask(c, command);
        sent.push_back(n);
        sentJson.push_back(JsonText(command));
        if (!c.json)
            std::printf("sent %s\n", command.c_str());
    }
    c.out["sent"] = sentJson;

    const p::TPlaces back = ReadPlaces(c);
    json differences = json::array();
    for (int n : sent) {
        const p::TPlaceTexts& want = places[static_cast<std::size_t>(n - 1)];
        const p::TPlaceTexts& got = back[static_cast<std::size_t>(n - 1)];
        const bool reference = n == p::kReferencePlace;
        const bool same = SameValue(want.grip, got.grip) && SameValue(want.provision, got.provision) &&
                          (reference || SameValue(want.force, got.force));
        if (same)
            continue;
        differences.push_back({{"place", n},
                               {"sent", JsonText(PlaceText(want, reference))},
                               {"read", JsonText(PlaceText(got, reference))}});
        std::fprintf(stderr, "tarnell-cli: %s: place %d differs: sent %s, read back %s\n",
                     c.session.PortName().c_str(), n, Shortened(PlaceText(want, reference)).c_str(),
                     Shortened(PlaceText(got, reference)).c_str());
    }
    c.out["places"] = PlacesJson(back);
    c.out["differences"] = differences;
    if (!c.json) {
        if (differences.empty())
            std::printf("read back: %zu place(s) as sent\n", sent.size());
        else
            std::printf("read back: %zu place(s) differ\n", differences.size());
    }
    return differences.empty() ? kExitDone : kExitReadBackDiffers;
}

int CmdScan(TContext& c, int from, int to, int ticks)
{
    // An error ends the progress line before it is reported.
    struct TProgressLine {
        bool open = true;
        ~TProgressLine()
        {
            if (open)
                std::fputc('\n', stderr);
        }
    } progress;
    json found = json::array();
    for (int a = from; a <= to; ++a) {
        std::fprintf(stderr, "\rscanning address %d of %d..%d, %zu found ", a, from, to, found.size());
        std::fflush(stderr);
        std::optional<std::string> status = c.session.Exchange(p::StatusCommand(a), ticks);
        if (!status)
            continue;
        json entry = {{"address", a}, {"status", json()}, {"model", json()}, {"type", json()}};
        try {
            entry["status"] = p::StatusValue(*status);
        } catch (const p::EConvertError&) {
            // It answered; an unreadable status does not hide it.
        }
        const std::string ver = p::VersionCommand(a);
        if (std::optional<std::string> reply = c.session.Exchange(ver, ticks)) {
            if (std::optional<p::TGripperModel> model = p::DetectModel(p::Frame(ver), *reply)) {
                entry["model"] = model->identifier;
                entry["type"] = model->typeName;
            }
        }
        found.push_back(entry);
    }
    std::fprintf(stderr, "\rscanned addresses %d..%d, %zu found%*s\n", from, to, found.size(), 12, "");
    progress.open = false;
    c.out["from"] = from;
    c.out["to"] = to;
    c.out["grippers"] = found;
    if (!c.json) {
        for (const json& e : found) {
            std::string status = e["status"].is_null() ? "?" : std::to_string(e["status"].get<int>());
            std::string type = e["type"].is_null() ? "unknown type"
                                                    : e["type"].get<std::string>() + " (" +
                                                          e["model"].get<std::string>() + ")";
            std::printf("address %-3d status %-4s %s\n", e["address"].get<int>(), status.c_str(), type.c_str());
        }
    }
    if (found.empty()) {
        std::fprintf(stderr, "tarnell-cli: %s: no gripper answered at addresses %d..%d\n",
                     c.session.PortName().c_str(), from, to);
        return kExitNoAnswer;
    }
    return kExitDone;
}

}  // namespace tarnell::cli
