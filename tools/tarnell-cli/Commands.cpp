#include "Commands.h"

#include "PlaceComparison.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace tarnell::cli {

namespace p = tarnell::protocol;
using nlohmann::json;

std::string ExitMeaning(int exitCode)
{
    switch (exitCode) {
    case kExitDone:
        return "done";
    case kExitUsage:
        return "usage";
    case kExitPort:
        return "port could not be opened or was lost";
    case kExitNoAnswer:
        return "no answer";
    case kExitReadBackDiffers:
        return "read-back differs";
    case kExitFileRefused:
        return "file refused";
    case kExitNothingCompared:
        return "nothing compared";
    default:
        return exitCode > 128 ? "ended by signal " + std::to_string(exitCode - 128) : "unknown";
    }
}

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

std::string Printable(const std::string& bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        if (b >= 32 && b <= 126) {
            text += static_cast<char>(b);
        } else {
            text += '[';
            text += kHex[b >> 4];
            text += kHex[b & 15];
            text += ']';
        }
    }
    return text;
}

namespace {

double Seconds(std::int32_t ticks) { return ticks * 0.055; }

// Text on stdout, made safe for a terminal.
void Say(const std::string& line)
{
    const std::string text = Printable(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// A text as an error line shows it: a spoiled reply may be kilobytes long.
std::string Shortened(const std::string& text)
{
    constexpr std::size_t kShown = 60;
    const std::string shown = Printable(text);
    return shown.size() <= kShown ? shown : shown.substr(0, kShown) + "...";
}

std::string NoAnswer(TContext& c, const std::string& command)
{
    char limit[64];
    std::snprintf(limit, sizeof limit, "%d ticks (%.1f s)", c.ticks, Seconds(c.ticks));
    const std::string note = c.session.TakeNote();
    return "no answer to " + Printable(command) + " within " + limit + (note.empty() ? "" : " (" + note + ")");
}

std::string Unreadable(const std::string& command, const std::string& reply, const std::string& why)
{
    return "unreadable answer to " + Printable(command) + ": \"" + Shortened(p::Trimmed(reply)) + "\" (" + why + ")";
}

// The reply to command, or ECliError (no answer) naming what went unanswered.
std::string Ask(TContext& c, const std::string& command)
{
    std::optional<std::string> reply = c.session.Exchange(command, c.ticks);
    if (!reply)
        throw ECliError(kExitNoAnswer, NoAnswer(c, command));
    return *reply;
}

// A cell as JSON: a number, null when empty, the text if it is no number
// (a file's cell is checked before it is sent; this is for what came back).
json CellJson(const std::string& text)
{
    if (text.empty())
        return json();
    try {
        return p::StrToInt(text);
    } catch (const p::EConvertError&) {
        return JsonText(text);
    }
}

json PlaceJson(int n, const p::TPlaceTexts& t)
{
    json o = {{"place", n}, {"grip", CellJson(t.grip)}, {"provision", CellJson(t.provision)}};
    if (n != p::kReferencePlace)
        o["force"] = CellJson(t.force);
    return o;
}

// The places a readout took as read, and where and why it stopped.
struct TReadout {
    p::TPlaces places;
    std::vector<int> read;
    int failedPlace = 0;
    std::string why;
};

bool IsNumber(const std::string& text)
{
    try {
        p::StrToInt(text);
        return true;
    } catch (const p::EConvertError&) {
        return false;
    }
}

// A recall field as the window takes it: empty (a place not in use), or a
// number.
bool IsEmptyOrNumber(const std::string& text) { return text.empty() || IsNumber(text); }

// Reads the places in order, taking a place as read only when a readable
// recall answer for that same place came back; stops at the first that
// is not, so that r says exactly what is known.
void ReadPlaces(TContext& c, TReadout& r)
{
    for (int n = 1; n <= p::kPlaceCount; ++n) {
        const std::string command = p::RecallCommand(c.address, n);
        std::optional<std::string> reply;
        try {
            reply = c.session.Exchange(command, c.ticks);
        } catch (const EPortError& e) {
            // A lost device ends the readout as a time-out does: at a place.
            r.failedPlace = n;
            r.why = e.what();
            throw EPortError("place " + std::to_string(n) + " not read: " + e.what());
        }
        std::string why;
        std::optional<p::TRecallFields> f;
        if (!reply) {
            why = NoAnswer(c, command);
        } else {
            try {
                f = p::ParseRecall(*reply);
                if (!f)
                    why = Unreadable(command, *reply, "not a recall answer");
                else if (f->place != n)
                    why = Unreadable(command, *reply, "it names place " + std::to_string(f->place));
                else if (!IsEmptyOrNumber(f->grip) || !IsEmptyOrNumber(f->provision) ||
                         (n != p::kReferencePlace && !IsEmptyOrNumber(f->force)))
                    why = Unreadable(command, *reply, "a value is not a number");
            } catch (const p::EConvertError&) {
                why = Unreadable(command, *reply, "no place number");
            }
        }
        if (!why.empty()) {
            r.failedPlace = n;
            r.why = why;
            return;
        }
        p::TPlaceTexts& t = r.places[static_cast<std::size_t>(n - 1)];
        t.grip = f->grip;
        t.provision = f->provision;
        t.force = n == p::kReferencePlace ? std::string() : f->force;
        r.read.push_back(n);
    }
}

json ReadoutJson(const TReadout& r)
{
    json list = json::array();
    for (int n : r.read)
        list.push_back(PlaceJson(n, r.places[static_cast<std::size_t>(n - 1)]));
    return list;
}

void PrintReadout(const TReadout& r)
{
    std::printf("%-6s %-8s %-10s %s\n", "place", "grip", "provision", "force");
    // An empty field is a place (or a part of one) the gripper does not use.
    auto shown = [](const std::string& text) { return text.empty() ? "empty" : text.c_str(); };
    for (int n : r.read) {
        const p::TPlaceTexts& t = r.places[static_cast<std::size_t>(n - 1)];
        char row[128];
        if (t == p::TPlaceTexts{})
            std::snprintf(row, sizeof row, "%-6d empty", n);
        else if (n == p::kReferencePlace)
            std::snprintf(row, sizeof row, "%-6d %-8s %-10s (reference drive, force compensation)", n,
                          shown(t.grip), shown(t.provision));
        else
            std::snprintf(row, sizeof row, "%-6d %-8s %-10s %s", n, shown(t.grip), shown(t.provision),
                          shown(t.force));
        Say(row);
    }
    if (r.failedPlace) {
        char head[16];
        std::snprintf(head, sizeof head, "%-6d ", r.failedPlace);
        Say(head + ("not read: " + r.why));
    }
    std::fflush(stdout);
}

// The lines of a parameter file, checked as the console loads it and then
// more strictly: a short file would leave the later places out. after
// ends every refusal's message ("; nothing was sent").
std::vector<std::string> ParameterLines(const std::string& file, const std::string& after)
{
    std::vector<std::string> lines;
    try {
        lines = p::SplitLines(p::ReadWholeFile(file));
    } catch (const p::EFileError& e) {
        throw ECliError(kExitFileRefused, std::string(e.what()) + after);
    }
    if (int bad = p::FirstBadLine(lines); bad >= 0)
        throw ECliError(kExitFileRefused, "\"" + Printable(file) + "\" is not a parameter file: line " +
                                              std::to_string(bad + 1) + " is neither empty nor a number (" +
                                              Shortened(lines[static_cast<std::size_t>(bad)].substr(0, 40)) + ")" +
                                              after);
    if (lines.size() < static_cast<std::size_t>(p::kParameterLines))
        throw ECliError(kExitFileRefused, "\"" + Printable(file) + "\" has " + std::to_string(lines.size()) +
                                              " lines, not " + std::to_string(p::kParameterLines) + after);
    return lines;
}

std::string PlaceText(const p::TPlaceTexts& t, bool reference)
{
    return reference ? t.grip + ";" + t.provision : t.grip + ";" + t.provision + ";" + t.force;
}

}  // namespace

int CmdSend(TContext& c, const std::vector<std::string>& texts)
{
    json exchanges = json::array();
    c.out["exchanges"] = exchanges;
    for (const std::string& text : texts) {
        const std::string command = p::ReplaceAddress(text, c.address);
        std::optional<std::string> reply = c.session.Exchange(command, c.ticks);
        exchanges.push_back({{"sent", JsonText(command)}, {"reply", reply ? json(JsonText(p::Trimmed(*reply))) : json()}});
        c.out["exchanges"] = exchanges;
        // The rest is not sent: each text waits for the answer before it.
        if (!reply)
            throw ECliError(kExitNoAnswer, NoAnswer(c, command));
        if (!c.json) {
            Say(p::Trimmed(*reply));
            std::fflush(stdout);
        }
    }
    return kExitDone;
}

int CmdStatus(TContext& c)
{
    const std::string command = p::StatusCommand(c.address);
    const std::string reply = Ask(c, command);
    c.out["reply"] = JsonText(p::Trimmed(reply));
    int value = 0;
    try {
        value = p::StatusValue(reply);
    } catch (const p::EConvertError&) {
        throw ECliError(kExitNoAnswer, Unreadable(command, reply, "the status is not a number"));
    }
    json bits = json::object();
    for (int i = 0; i < 8; ++i)
        bits[p::kStatusBits[i]] = value >= 0 && ((value >> i) & 1) != 0;
    c.out["status"] = value;
    c.out["bits"] = bits;
    if (!c.json) {
        Say("reply:  " + p::Trimmed(reply));
        std::printf("status: %d\n", value);
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
        Say("reply: " + p::Trimmed(reply));
        if (model)
            std::printf("type:  %s (%s)\n", model->typeName, model->identifier);
        else
            std::printf("type:  unknown\n");
    }
    return kExitDone;
}

int CmdReadout(TContext& c, const std::optional<std::string>& file)
{
    TReadout r;
    // What was read is reported however the readout ends.
    auto report = [&] {
        c.out["places"] = ReadoutJson(r);
        c.out["failed"] = r.failedPlace ? json{{"place", r.failedPlace}, {"reason", JsonText(r.why)}} : json();
        if (!c.json)
            PrintReadout(r);
    };
    try {
        ReadPlaces(c, r);
    } catch (const EPortError& e) {
        report();
        throw EPortError(e.what() + std::string(file ? "; no file was written" : ""));
    } catch (...) {
        report();
        throw;
    }
    report();
    if (r.failedPlace)
        throw ECliError(kExitNoAnswer, "place " + std::to_string(r.failedPlace) + " not read: " + r.why +
                                           (file ? "; no file was written" : ""));
    if (file) {
        // Only a complete readout replaces the file, and never half of it.
        try {
            p::WriteFileReplacing(*file, p::FormatParameterFile(p::LinesFromPlaces(r.places)));
        } catch (const p::EFileError& e) {
            throw ECliError(kExitFileRefused, e.what());
        }
        c.out["file"] = JsonText(*file);
    }
    return kExitDone;
}

int CmdStore(TContext& c, const std::string& file, std::optional<int> typeIndex)
{
    // Every outcome says what reached the gripper, nothing included.
    json sentJson = json::array();
    c.out["sent"] = sentJson;
    c.out["stoppedAt"] = json();

    const std::vector<std::string> lines = ParameterLines(file, "; nothing was sent");
    auto checkRanges = [&](int type) {
        if (std::optional<p::TRangeProblem> r = p::FirstOutOfRange(lines, type))
            throw ECliError(kExitFileRefused,
                            "\"" + Printable(file) + "\" line " + std::to_string(r->line) + ": the " + r->what + " " +
                                Shortened(r->text) + " is outside " + std::to_string(r->range.min) + ".." +
                                std::to_string(r->range.max) + " for the " + p::GripperModel(type).typeName +
                                " type; nothing was sent");
    };
    // A --type is held against the file before the port opens.
    if (typeIndex)
        checkRanges(*typeIndex);

    // The gripper is always asked: a --type that contradicts it would store
    // positions the gripper cannot reach. One it does not name stands.
    const std::string ver = p::VersionCommand(c.address);
    const std::string reply = Ask(c, ver);
    const std::optional<p::TGripperModel> model = p::DetectModel(p::Frame(ver), reply);
    if (typeIndex && model && model->typeIndex != *typeIndex)
        throw ECliError(kExitFileRefused, std::string("--type ") + p::GripperModel(*typeIndex).typeName +
                                              " contradicts the gripper, which reports " + model->identifier + " (" +
                                              model->typeName + ") to " + ver + "; nothing was sent");
    if (!typeIndex && !model)
        throw ECliError(kExitUsage, "the answer to " + ver + " (\"" + Shortened(p::Trimmed(reply)) +
                                        "\") names no known gripper type; give it with --type; nothing was sent");
    if (!typeIndex) {
        typeIndex = model->typeIndex;
        checkRanges(*typeIndex);
    }
    const p::TGripperModel& type = p::GripperModel(*typeIndex);
    c.out["type"] = type.typeName;
    if (!c.json)
        std::printf("type: %s\n", type.typeName);

    // As the console's Send: a place with an empty cell is not sent; the
    // reference place always carries force 3. Unlike the console, a place
    // that gets no answer ends the store there, reference row included:
    // whether the gripper took it is unknown, and nothing more is sent
    // after an unknown.
    const p::TPlaces places = p::PlacesFromLines(lines);
    std::vector<int> sent;
    json skipped = json::array();
    c.out["skipped"] = skipped;
    for (int n = 1; n <= p::kPlaceCount; ++n) {
        const p::TPlaceTexts& t = places[static_cast<std::size_t>(n - 1)];
        std::string command;
        if (!p::IsComplete(n, t)) {
            skipped.push_back(n);
            c.out["skipped"] = skipped;
            if (!c.json)
                std::printf("skipped place %d: a cell is empty in the file\n", n);
            continue;
        }
        command = n == p::kReferencePlace ? p::ReferenceStoreCommand(c.address, t.grip, t.provision)
                                          : p::StoreCommand(c.address, n, t.grip, t.provision, t.force);
        std::optional<std::string> answer = c.session.Exchange(command, c.ticks);
        if (!answer) {
            const std::string why = NoAnswer(c, command);
            c.out["stoppedAt"] = {{"place", n}, {"command", JsonText(command)}, {"reason", JsonText(why)}};
            std::string done;
            for (int s : sent)
                done += (done.empty() ? "" : ", ") + std::to_string(s);
            throw ECliError(kExitNoAnswer, why + "; the store stopped at place " + std::to_string(n) +
                                               (done.empty() ? ", nothing was stored before it"
                                                             : " after places " + done) +
                                               "; no later place was sent");
        }
        sent.push_back(n);
        sentJson.push_back({{"place", n}, {"command", JsonText(command)}, {"reply", JsonText(p::Trimmed(*answer))}});
        c.out["sent"] = sentJson;
        if (!c.json) {
            Say("sent " + command);
            std::fflush(stdout);
        }
    }

    TReadout back;
    try {
        ReadPlaces(c, back);
    } catch (...) {
        c.out["places"] = ReadoutJson(back);
        throw;
    }
    c.out["places"] = ReadoutJson(back);
    if (back.failedPlace)
        throw ECliError(kExitNoAnswer, "read back: place " + std::to_string(back.failedPlace) +
                                           " not read: " + back.why + "; the places sent are listed");
    // The places sent are the complete ones: the comparison module's, as
    // for verify and the console's Verify.
    const p::TComparison cmp = p::ComparePlaces(places, back.places);
    json differences = json::array();
    for (int n : cmp.compared) {
        const bool same = std::none_of(cmp.differences.begin(), cmp.differences.end(),
                                       [n](const p::TFieldDifference& d) { return d.place == n; });
        if (same)
            continue;
        const p::TPlaceTexts& want = places[static_cast<std::size_t>(n - 1)];
        const p::TPlaceTexts& got = back.places[static_cast<std::size_t>(n - 1)];
        const bool reference = n == p::kReferencePlace;
        json w = PlaceJson(n, want), g = PlaceJson(n, got);
        w.erase("place");
        g.erase("place");
        differences.push_back({{"place", n}, {"sent", w}, {"read", g}});
        std::fprintf(stderr, "tarnell-cli: %s: place %d differs: sent %s, read back %s\n",
                     Printable(c.session.PortName()).c_str(), n, Shortened(PlaceText(want, reference)).c_str(),
                     Shortened(PlaceText(got, reference)).c_str());
    }
    c.out["differences"] = differences;
    if (!c.json) {
        if (differences.empty())
            std::printf("read back: %zu place(s) as sent\n", sent.size());
        else
            std::printf("read back: %zu place(s) differ\n", differences.size());
    }
    return differences.empty() ? kExitDone : kExitReadBackDiffers;
}

int CmdScan(TContext& c, int from, int to, std::int32_t statusTicks, std::int32_t versionTicks)
{
    // On a terminal a progress line is redrawn in place; every address found
    // and the closing count are whole lines, so that a file or a pipe that
    // takes standard error follows the scan too. An error ends the progress
    // line before it is reported.
    struct TProgressLine {
        bool open = false;
        void End()
        {
            if (open)
                std::fprintf(stderr, "\r%60s\r", "");
            open = false;
        }
        ~TProgressLine() { End(); }
    } progress;
    json found = json::array();
    int last = from - 1;  // the last address asked to the end
    auto report = [&] {
        c.out["from"] = from;
        c.out["to"] = to;
        c.out["scannedTo"] = last >= from ? json(last) : json();
        c.out["grippers"] = found;
        if (c.json)
            return;
        for (const json& e : found) {
            std::string status = e["status"].is_null() ? "?" : std::to_string(e["status"].get<int>());
            std::string type = e["type"].is_null() ? "unknown type"
                                                    : e["type"].get<std::string>() + " (" +
                                                          e["model"].get<std::string>() + ")";
            std::printf("address %-3d status %-4s %s\n", e["address"].get<int>(), status.c_str(), type.c_str());
        }
        std::fflush(stdout);
    };
    auto announce = [&](const json& e) {
        progress.End();
        std::fprintf(stderr, "found address %d%s\n", e["address"].get<int>(),
                     e["type"].is_null() ? "" : (", " + e["type"].get<std::string>()).c_str());
        std::fflush(stderr);
    };
    try {
        // Opened first, so that a network link's round trip is known before
        // the first address is asked.
        c.session.Open();
        for (int a = from; a <= to; ++a) {
            if (c.progress) {
                std::fprintf(stderr, "\rscanning address %d of %d..%d, %zu found ", a, from, to, found.size());
                std::fflush(stderr);
                progress.open = true;
            }
            // The link's round trip is the line's time, not the gripper's.
            const std::int32_t limit = statusTicks + p::LinkTicks(c.session.LinkRoundTripMs());
            std::optional<std::string> status = c.session.Exchange(p::StatusCommand(a), limit);
            if (!status) {
                last = a;
                continue;
            }
            json entry = {{"address", a}, {"status", json()}, {"model", json()}, {"type", json()}};
            try {
                entry["status"] = p::StatusValue(*status);
            } catch (const p::EConvertError&) {
                // It answered; an unreadable status does not hide it.
            }
            const std::string ver = p::VersionCommand(a);
            std::optional<std::string> reply;
            try {
                reply = c.session.Exchange(ver, versionTicks);
            } catch (const EInterrupted&) {
                // It answered its status: it is found, type unknown.
                found.push_back(entry);
                announce(entry);
                throw;
            }
            if (reply) {
                if (std::optional<p::TGripperModel> model = p::DetectModel(p::Frame(ver), *reply)) {
                    entry["model"] = model->identifier;
                    entry["type"] = model->typeName;
                }
            }
            found.push_back(entry);
            announce(entry);
            last = a;
        }
    } catch (...) {
        progress.End();
        report();
        throw;
    }
    progress.End();
    std::fprintf(stderr, "scanned addresses %d..%d: %zu found\n", from, to, found.size());
    std::fflush(stderr);
    report();
    if (found.empty()) {
        const int late = c.session.Discarded();
        throw ECliError(kExitNoAnswer, "no gripper answered at addresses " + std::to_string(from) + ".." +
                                           std::to_string(to) +
                                           (late ? "; " + std::to_string(late) +
                                                       " late or misaddressed answer(s) were discarded: a longer "
                                                       "--ticks may find a slow gripper"
                                                 : ""));
    }
    return kExitDone;
}

namespace {

json DifferenceJson(const p::TFieldDifference& d)
{
    return {{"place", d.place},
            {"field", p::FieldKey(d.field)},
            {"file", CellJson(d.expected)},
            {"gripper", CellJson(d.actual)}};
}

json IntList(const std::vector<int>& list)
{
    json a = json::array();
    for (int n : list)
        a.push_back(n);
    return a;
}

std::string ListText(const std::vector<int>& list)
{
    std::string text;
    for (int n : list)
        text += (text.empty() ? "" : ", ") + std::to_string(n);
    return text;
}

}  // namespace

int CmdVerify(TContext& c, const std::string& file)
{
    const std::vector<std::string> lines = ParameterLines(file, "; nothing was compared");
    const p::TPlaces expected = p::PlacesFromLines(lines);
    c.out["file"] = JsonText(file);
    {
        // A file without one complete place says nothing about any gripper:
        // that is no match, and the port is not even opened for it.
        const p::TComparison none = p::ComparePlaces(expected, expected);
        if (none.compared.empty()) {
            c.out["compared"] = json::array();
            c.out["skipped"] = IntList(none.skipped);
            c.out["differences"] = json::array();
            c.out["matches"] = false;
            if (!c.json)
                Say("not compared (a cell is empty in the file): place(s) " + ListText(none.skipped));
            throw ECliError(kExitNothingCompared, "\"" + Printable(file) +
                                                      "\" has no complete place; nothing was compared");
        }
    }
    TReadout r;
    auto reportRead = [&] {
        c.out["places"] = ReadoutJson(r);
        c.out["failed"] = r.failedPlace ? json{{"place", r.failedPlace}, {"reason", JsonText(r.why)}} : json();
    };
    try {
        ReadPlaces(c, r);
    } catch (...) {
        reportRead();
        throw;
    }
    reportRead();
    if (r.failedPlace) {
        if (!c.json)
            PrintReadout(r);
        throw ECliError(kExitNoAnswer, "place " + std::to_string(r.failedPlace) + " not read: " + r.why +
                                           "; nothing was compared");
    }

    // Only what a store would send is compared: a place with an empty cell
    // in the file says nothing about the gripper.
    const p::TComparison cmp = p::ComparePlaces(expected, r.places);
    json differences = json::array();
    for (const p::TFieldDifference& d : cmp.differences)
        differences.push_back(DifferenceJson(d));
    c.out["compared"] = IntList(cmp.compared);
    c.out["skipped"] = IntList(cmp.skipped);
    c.out["differences"] = differences;
    c.out["matches"] = cmp.Matches();
    if (!c.json) {
        for (const p::TFieldDifference& d : cmp.differences)
            Say(p::DescribeDifference(d, "file"));
        if (!cmp.skipped.empty())
            Say("not compared (a cell is empty in the file): place(s) " + ListText(cmp.skipped));
        if (cmp.Matches())
            Say("the gripper holds the file: place(s) " + ListText(cmp.compared) + " match");
        std::fflush(stdout);
    }
    if (!cmp.Matches())
        throw ECliError(kExitReadBackDiffers, "the gripper differs from \"" + Printable(file) + "\" in " +
                                                  std::to_string(cmp.differences.size()) + " field(s)");
    return kExitDone;
}

namespace {

// The time in UTC to the millisecond, ISO 8601: "2026-12-07T22:10:03.120Z".
std::string TimeStamp(std::chrono::system_clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const auto days = std::chrono::floor<std::chrono::days>(t);
    const std::chrono::year_month_day ymd{days};
    const long long inDay = ms - std::chrono::duration_cast<std::chrono::milliseconds>(days.time_since_epoch()).count();
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), inDay / 3600000, inDay / 60000 % 60,
                  inDay / 1000 % 60, inDay % 1000);
    return text;
}

std::string BitNames(int value)
{
    std::string names;
    for (int i = 0; i < 8; ++i)
        if ((value >> i) & 1)
            names += (names.empty() ? "" : ", ") + std::string(p::kStatusBits[i]);
    return names.empty() ? "no bit set" : names;
}

}  // namespace

int CmdWatch(TContext& c, int intervalMs, long long count)
{
    using Clock = std::chrono::steady_clock;
    const std::string command = p::StatusCommand(c.address);
    long long polls = 0, changes = 0, answered = 0;
    // What the last poll saw: a status, or a text for no answer or an
    // unreadable one; a line is printed whenever it changes.
    std::optional<int> lastStatus;
    std::string lastTrouble = "start";
    auto report = [&] {
        c.out["interval"] = intervalMs;
        c.out["polls"] = polls;
        c.out["changes"] = changes;
        c.out["answered"] = answered;
        c.out["lastStatus"] = lastStatus ? json(*lastStatus) : json();
    };
    auto line = [&](json event, const std::string& text) {
        ++changes;
        if (c.json)
            std::printf("%s\n", event.dump().c_str());
        else
            Say(event["time"].get<std::string>() + "  " + text);
        std::fflush(stdout);
    };
    Clock::time_point next = Clock::now();
    try {
        while (count == 0 || polls < count) {
            std::optional<std::string> reply = c.session.Exchange(command, c.ticks);
            const std::string time = TimeStamp(std::chrono::system_clock::now());
            ++polls;
            json event = {{"time", time}, {"poll", polls}};
            if (!reply) {
                if (lastTrouble != "no answer") {
                    event["status"] = nullptr;
                    event["error"] = "no answer";
                    line(event, NoAnswer(c, command));
                }
                lastStatus.reset();
                lastTrouble = "no answer";
            } else {
                ++answered;
                std::optional<int> value;
                try {
                    value = p::StatusValue(*reply);
                } catch (const p::EConvertError&) {
                }
                if (!value) {
                    const std::string trouble = "unreadable " + p::Trimmed(*reply);
                    if (lastTrouble != trouble) {
                        event["status"] = nullptr;
                        event["error"] = "unreadable";
                        event["reply"] = JsonText(p::Trimmed(*reply));
                        line(event, "unreadable status: \"" + Shortened(p::Trimmed(*reply)) + "\"");
                    }
                    lastStatus.reset();
                    lastTrouble = trouble;
                } else if (!lastStatus || *lastStatus != *value) {
                    json bits = json::object();
                    std::string changed;
                    for (int i = 0; i < 8; ++i) {
                        const bool on = *value >= 0 && ((*value >> i) & 1);
                        bits[p::kStatusBits[i]] = on;
                        if (lastStatus && on != (*lastStatus >= 0 && ((*lastStatus >> i) & 1)))
                            changed += std::string(changed.empty() ? "" : " ") + (on ? "+" : "-") + p::kStatusBits[i];
                    }
                    event["status"] = *value;
                    event["bits"] = bits;
                    char head[32];
                    std::snprintf(head, sizeof head, "status %-4d", *value);
                    line(event, head + ("  " + BitNames(*value)) + (changed.empty() ? "" : "  (" + changed + ")"));
                    lastStatus = value;
                    lastTrouble.clear();
                }
            }
            if (count != 0 && polls >= count)
                break;
            // Polls start an interval apart; one that took longer (a time-out)
            // is followed at once.
            next += std::chrono::milliseconds(intervalMs);
            const auto now = Clock::now();
            if (next < now)
                next = now;
            else
                c.session.Pause(static_cast<std::uint32_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()));
        }
    } catch (...) {
        report();
        throw;
    }
    report();
    if (answered == 0)
        throw ECliError(kExitNoAnswer, "no answer to " + Printable(command) + " in " + std::to_string(polls) +
                                           " poll(s)");
    return kExitDone;
}

}  // namespace tarnell::cli
