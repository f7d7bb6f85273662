// tarnell-cli: the gripper console's commands from a shell or a script, on
// the same serial layer and command language, without a display or Qt.
#include "Commands.h"
#include "GripperSession.h"
#include "PathAccess.h"

#include "port/DispatcherFactory.h"
#include "selection/PortSelection.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <unistd.h>

namespace {

using namespace tarnell::cli;
namespace fs = std::filesystem;

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  done\n"
    "  1  usage: bad or missing options, no port given, unknown gripper type\n"
    "  2  the port could not be opened, or was lost while in use\n"
    "  3  no answer (or an answer that cannot be read) from the gripper; a\n"
    "     readout or store that stopped partway\n"
    "  4  store: a place read back differs from what was sent; verify: the\n"
    "     gripper differs from the file\n"
    "  5  the file was refused (not a parameter file, a value out of range for\n"
    "     the gripper type) or cannot be read or written; a refused store sends\n"
    "     nothing\n"    "  6  verify: no place of the file is complete, so nothing was compared\n"
    "  128+N  ended by signal N (130 for Ctrl-C), after closing the port\n"
    "Errors are one line on standard error naming the port and its device. --json\n"
    "prints exactly one object on standard output for every outcome, usage errors\n"
    "included: \"exitCode\", its \"meaning\", \"port\" (null if none was given) and,\n"
    "on failure, \"error\", the message; a command adds what it did before it\n"
    "ended. Numbers are JSON numbers, an empty cell is null; text output shows\n"
    "bytes outside 32..126 as [hh].";

constexpr const char* kScanHelp =
    "ask every address for its status and version and list those that answer, with their type. A scan "
    "tells which addresses answered within --ticks; it misses a gripper that answers later (that late "
    "answer is discarded, never counted for another address, nor is any answer naming another address), "
    "and cannot tell two grippers at one address apart or check a late answer that names no address";

constexpr const char* kScanNotes =
    "Each address is asked STA, and VER where the status came; a silent address costs one time limit:\n"
    "by default 3 ticks (165 ms) as the console's Bus scan, plus the round trip of a network link\n"
    "(measured from the server's answers to purges), so 0..32 takes under 6 s on a local port.\n"
    "After each silent address the line is let fall quiet before the next is asked (see --ticks).\n"
    "Standard error gets one line per address found and a closing count, whether it is a terminal,\n"
    "a file or a pipe; on a terminal a progress line is drawn besides. Ctrl-C prints what was found\n"
    "so far (\"scannedTo\" in JSON), then exits with 130.";

constexpr const char* kStoreHelp =
    "check FILE and send it to the storage places as the console's Send does, then read them back; "
    "nothing is sent if the file or the type is refused; a place without answer ends the store there";

constexpr const char* kStoreNotes =
    "FILE is checked as the console loads it, and its values against the gripper type's ranges.\n"
    "The type is always asked (VER): a --type that contradicts it is refused with exit 5 before\n"
    "anything is sent. A place with an empty cell is skipped (\"skipped\" in JSON). A place that\n"
    "gets no answer ends the store there with exit 3: no later place is sent, and unlike the\n"
    "console's Send not the reference row (place 8) either, as whether the gripper took the\n"
    "unanswered row is unknown. Every outcome lists the places sent (\"sent\") and the place where\n"
    "it stopped (\"stoppedAt\"); then the places are read back and every difference reported.";

constexpr const char* kVerifyNotes =
    "Reads the eight places and compares every place that is complete in FILE (grip, provision and,\n"
    "for places 1..7, force) with the gripper, as numbers; a place with an empty cell is not compared\n"
    "(\"skipped\" in JSON). Exit 0: the gripper holds the file; 4: it differs, each differing field\n"
    "listed (\"differences\" in JSON); 3: a place could not be read (nothing compared); 5: the file\n"
    "is refused; 6: no place of the file is complete, so nothing was compared (the port is not\n"
    "opened). Nothing is ever written to the gripper.";

constexpr const char* kWatchNotes =
    "Asks STA every --interval ms (from the start of one poll to the next; a poll that takes longer\n"
    "is followed at once) and prints one line, with the time in UTC, whenever the status changes:\n"
    "its number, the bits set and which bits changed. No answer, and an unreadable answer, are\n"
    "changes too. With --json each change is one JSON object on its own line, and the outcome\n"
    "object comes last. Ends after --count polls (exit 0; 3 if none was answered) or at Ctrl-C\n"
    "(exit 130).";

constexpr const char* kReadoutNotes =
    "A place counts as read only when a readable answer for that same place came back. The readout\n"
    "stops at the first place that is not read (exit 3), prints the places read and that place with\n"
    "why (\"failed\" in JSON), and writes no file. Ctrl-C prints the places read so far.";

// A check whose own words stay out of --help: each option's text says its range.
CLI::Validator Quiet(CLI::Validator check)
{
    check.description("");
    return check;
}

// Whether standard error is a terminal (the scan's progress line).
bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

// "COM3", "com3" or "3": a port number the console's port list can hold.
std::optional<int> ParsePort(std::string text)
{
    if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
        (text[2] == 'M' || text[2] == 'm'))
        text = text.substr(3);
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    int n = std::stoi(text);
    if (n < 1 || n > sio::MaxSelectablePort)
        return std::nullopt;
    return n;
}

// Why a file cannot be created at path ("" when it can, or no path is given).
std::string CannotCreate(const std::string& path)
{
    if (path.empty())
        return {};
    const fs::path folder = fs::absolute(path).parent_path();
    if (AccessCreateIn(folder) == 0)
        return {};
    return path + ": cannot write in " + folder.string() + ": " + std::strerror(errno);
}

std::string OneLine(std::string text)
{
    for (char& ch : text)
        if (ch == '\n' || ch == '\r')
            ch = ' ';
    return text;
}

// One object for every outcome when --json is given, one line on stderr for
// every failure.
struct TOutcome {
    bool json = false;
    nlohmann::json out = nlohmann::json::object();
    // How error lines name the port, once one is given.
    std::string label;

    int Finish(int code, const std::string& error)
    {
        if (!error.empty()) {
            const std::string line = Printable(OneLine(error));
            if (label.empty())
                std::fprintf(stderr, "tarnell-cli: %s\n", line.c_str());
            else
                std::fprintf(stderr, "tarnell-cli: %s: %s\n", Printable(label).c_str(), line.c_str());
            out["error"] = JsonText(OneLine(error));
        }
        if (json) {
            out["exitCode"] = code;
            out["meaning"] = ExitMeaning(code);
            if (!out.contains("port"))
                out["port"] = nullptr;
            std::printf("%s\n", out.dump().c_str());
        }
        std::fflush(stdout);
        return code;
    }
};

// Whether argv asks for JSON, looked at before parsing: a usage error must
// be reported as JSON too. Options come before a "--".
bool AsksForJson(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        if (std::strcmp(argv[i], "--json") == 0)
            return true;
    }
    return false;
}

// The --port or --device value as given, looked at before parsing: a usage
// error names the port it was meant for.
std::optional<std::string> GivenPort(int argc, char** argv)
{
    std::optional<std::string> given;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--")
            break;
        for (const std::string option : {"--port", "--device"}) {
            if (a == option && i + 1 < argc)
                given = argv[++i];
            else if (a.rfind(option + "=", 0) == 0)
                given = a.substr(option.size() + 1);
        }
    }
    return given;
}

constexpr const char* kCommandList =
    "the commands are send, status, version, readout, store, verify, scan and watch";
constexpr const char* kCommands[] = {"send", "status", "version", "readout", "store", "verify", "scan", "watch"};

// The first word that is no option, no option's value and no command: what
// a user meant as a command. Nothing when there is none.
std::optional<std::string> UnknownCommand(int argc, char** argv)
{
    static const char* const kWithValue[] = {"--port", "--device", "--address", "--parity", "--baud", "--log",
                                             "--ticks"};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--")
            return std::nullopt;
        if (a.rfind("-", 0) == 0) {
            for (const char* o : kWithValue)
                if (a == o)
                    ++i;
            continue;
        }
        for (const char* c : kCommands)
            if (a == c)
                return std::nullopt;
        return a;
    }
    return std::nullopt;
}

int Run(int argc, char** argv, TOutcome& outcome)
{
    CLI::App app{"tarnell-cli: commands for Tarnell servo grippers on an RS-485/RS-232 bus, as the console sends "
                 "them (9600 baud, even parity, frames ending in LF CR, 25 ticks of 55 ms for an answer)."};
    app.name("tarnell-cli");
    app.footer(kExitCodes);
    app.fallthrough();
    app.require_subcommand(1, 1);
    // The words a user reads in --help and the man page: commands, not the
    // parser's subcommands.
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.set_help_flag("-h,--help", "print this help and exit");
    app.set_version_flag("--version", std::string("tarnell-cli ") + TARNELL_VERSION, "print the version and exit");

    std::string portText, devicePath, parity = "even", logFile;
    int address = 0;
    std::int32_t baud = 9600;
    std::int32_t ticks = tarnell::protocol::kReplyTimeoutTicks;
    bool json = false;
    app.add_option("--port", portText,
                                   "serial port COMn, found as the console finds it: in $SIO_PORT_DIR if set, "
                                   "else COM1..32 = /dev/ttyS0..31, COM33..40 = /dev/ttyUSB0..7, "
                                   "COM41..48 = /dev/ttyACM0..7")
                       ->type_name("COMn");
    app.add_option("--device", devicePath,
                   "serial device path, e.g. /dev/ttyUSB0, or a network port on a device server or ser2net: "
                   "rfc2217://HOST:PORT (telnet with line settings) or tcp://HOST:PORT (raw bytes)")
        ->type_name("PATH|URL");
    app.add_option("--address", address, "gripper address 0..99 (default 0); replaces #ADR in send")
        ->type_name("N")
        ->check(Quiet(CLI::Range(0, 99)));
    app.add_option("--parity", parity, "even (default) or none")->type_name("even|none")
        ->check(Quiet(CLI::IsMember({"even", "none"})));
    app.add_option("--baud", baud, "baud rate (default 9600)")->type_name("N")->check(Quiet(CLI::Range(1, 4000000)));
    auto* ticksOption = app.add_option("--ticks", ticks,
                   "time limit for every answer in ticks of 55 ms, 1..1000 (default 25, about 1.4 s; scan: 3 "
                   "for each address's status, 25 for the version of one that answered), counted from when the "
                   "frame has left; a scan adds a network link's round trip to the status limit; after a "
                   "time-out the next command waits until the line has been quiet for ten character times "
                   "(at least 50 ms) since the last byte that arrived, and what comes meanwhile is discarded and "
                   "noted in the dispatch log")
        ->type_name("N")
        ->check(Quiet(CLI::Range(1, 1000)));
    app.add_flag("--json", json, "print one JSON object for every outcome instead of text");
    app.add_option("--log", logFile,
                   "write the serial layer's dispatch log to FILE when the port closes (none without it)")
        ->type_name("FILE");

    std::vector<std::string> texts;
    auto* send = app.add_subcommand("send", "send each TEXT as a command (#ADR becomes the address), one after "
                                            "the other, and print each reply; a text whose frame does not fit "
                                            "the output buffer is a usage error");
    send->add_option("TEXT", texts, "command text, e.g. STA;#ADR")->type_name("TEXT...")->required();
    auto* status = app.add_subcommand("status", "ask for the status: the number and its eight bits by name");
    auto* version = app.add_subcommand("version", "ask for the version: the reply and the gripper type it names");
    std::string readFile;
    auto* readout = app.add_subcommand(
        "readout", "read the eight storage places and print them; with FILE also write them to FILE (.gri, 23 "
                   "lines ending in CR LF, as the console's Store File writes; replaced atomically), only if "
                   "every place was read");
    readout->footer(kReadoutNotes);
    readout->add_option("FILE", readFile, "parameter file to write")->type_name("FILE.gri");
    std::string storeFile, typeText;
    auto* store = app.add_subcommand("store", kStoreHelp);
    store->footer(kStoreNotes);
    store->add_option("FILE", storeFile, "parameter file to send")->type_name("FILE.gri")->required();
    store->add_option("--type", typeText,
                      "gripper type 50, 100 or 30 (mm): the file is checked against it before the port opens, "
                      "and it must match what the gripper reports to VER (a gripper whose answer names no "
                      "known type is taken to be of it); without it the type is the one VER reports")
        ->type_name("50|100|30")
        ->check(Quiet(CLI::IsMember({"50", "100", "30"})));
    std::string verifyFile;
    auto* verify = app.add_subcommand("verify", "read the eight storage places and compare them with FILE, "
                                                "without writing anything; exit 0 when the gripper holds the "
                                                "file, 4 when it differs, 6 when nothing was compared");
    verify->footer(kVerifyNotes);
    verify->add_option("FILE", verifyFile, "parameter file to compare with")->type_name("FILE.gri")->required();
    int from = tarnell::protocol::kScanFirstAddress, to = tarnell::protocol::kScanLastAddress;
    auto* scan = app.add_subcommand("scan", kScanHelp);
    scan->footer(kScanNotes);
    scan->add_option("--from", from, "first address, 0..99 (default 0)")
        ->type_name("A")
        ->check(Quiet(CLI::Range(0, 99)));
    scan->add_option("--to", to, "last address, 0..99 (default 32)")->type_name("B")->check(Quiet(CLI::Range(0, 99)));
    int interval = 200;
    long long count = 0;
    auto* watch = app.add_subcommand("watch", "ask the status again and again and print a line with a time "
                                              "stamp whenever it changes, until Ctrl-C or --count polls");
    watch->footer(kWatchNotes);
    watch->add_option("--interval", interval, "time between polls in ms, 10..3600000 (default 200)")
        ->type_name("MS")
        ->check(Quiet(CLI::Range(10, 3600000)));
    watch->add_option("--count", count, "stop after N polls (default 0: until Ctrl-C)")
        ->type_name("N")
        ->check(Quiet(CLI::Range(0LL, 1000000000LL)));

    for (CLI::App* command : app.get_subcommands({}))
        command->group("Commands");

    if (std::optional<std::string> given = GivenPort(argc, argv))
        outcome.out["port"] = JsonText(*given);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            outcome.json = false;  // --help and --version print text
            return app.exit(e);
        }
        std::string message = OneLine(e.what());
        if (std::optional<std::string> word = UnknownCommand(argc, argv))
            message = "unknown command \"" + *word + "\"; " + kCommandList;
        else if (app.get_subcommands().empty() && message.find("subcommand is required") != std::string::npos)
            message = std::string("no command given; ") + kCommandList;
        return outcome.Finish(kExitUsage, message + " (see --help)");
    }
    outcome.json = json;
    auto usage = [&outcome](const std::string& message) { return outcome.Finish(kExitUsage, message); };
    const char* name = *send      ? "send"
                       : *status  ? "status"
                       : *version ? "version"
                       : *readout ? "readout"
                       : *store   ? "store"
                       : *verify  ? "verify"
                       : *watch   ? "watch"
                                  : "scan";
    outcome.out["command"] = name;
    if (!portText.empty() && !devicePath.empty())
        return usage("--port and --device name a port each; give one of them");
    if (*scan && from > to)
        return usage("scan: --from must not be above --to");
    if (logFile.size() > 255)
        return usage("--log: the file name is longer than 255 characters");
    // The log is written when the port closes, the readout's file after the
    // eighth place: a folder either cannot go to is refused before anything
    // is sent.
    if (std::string why = CannotCreate(logFile); !why.empty())
        return usage("--log " + why);
    if (std::string why = CannotCreate(readFile); !why.empty())
        return outcome.Finish(kExitFileRefused, "readout " + why + "; nothing was sent");

    TPortChoice port;
    const sio::TAddressKind kind = devicePath.empty() ? sio::TAddressKind::LocalDevice : sio::KindOfAddress(devicePath);
    if (kind == sio::TAddressKind::UnknownScheme || kind == sio::TAddressKind::BadNetworkAddress) {
        const std::string forms = sio::NetworkAddressForms();
        if (forms.empty())
            return usage("--device " + devicePath + ": this build has no network ports; give a device name");
        return usage("--device " + devicePath +
                     (kind == sio::TAddressKind::UnknownScheme ? ": no port speaks this scheme; a network port is "
                                                               : ": not a network address; a network port is ") +
                     forms);
    }
    if (kind == sio::TAddressKind::NetworkPort) {
        port.devicePath = devicePath;
        port.network = true;
    } else if (!devicePath.empty()) {
        // The dispatcher takes an absolute path as it is.
        port.devicePath = fs::absolute(devicePath).lexically_normal().string();
    } else if (!portText.empty()) {
        std::optional<int> n = ParsePort(portText);
        if (!n)
            return usage("--port " + portText + ": not a port COM1..COM" + std::to_string(sio::MaxSelectablePort));
        port.comNumber = *n;
    } else {
        return usage("no port given: use --port COMn or --device PATH; " + PresentPorts());
    }
    outcome.out["port"] = JsonText(port.Name());
    outcome.out["device"] = JsonText(port.Device());
    outcome.label = port.Label();
    if (!*scan)
        outcome.out["address"] = address;
    TLineSettings line;
    line.baud = baud;
    line.evenParity = parity == "even";
    line.logFile = logFile;

    int code = kExitDone;
    std::string error;
    {
        TGripperSession session(port, line);
        // A text the output buffer cannot take would fail on the port after
        // it opened; it is the caller's mistake, found before.
        for (const std::string& text : texts) {
            const std::size_t frame = tarnell::protocol::Frame(tarnell::protocol::ReplaceAddress(text, address)).size();
            if (frame > session.OutputBufferSize())
                return usage("send: a text of " + std::to_string(frame) + " bytes with its frame end does not fit "
                             "the output buffer of " + std::to_string(session.OutputBufferSize()) + " bytes");
        }
        TContext c{session, address, json, outcome.out, ticks, StderrIsTerminal()};
        try {
            if (*send)
                code = CmdSend(c, texts);
            else if (*status)
                code = CmdStatus(c);
            else if (*version)
                code = CmdVersion(c);
            else if (*readout)
                code = CmdReadout(c, readFile.empty() ? std::nullopt : std::optional<std::string>(readFile));
            else if (*store) {
                std::optional<int> type;
                if (typeText == "50")
                    type = 0;
                else if (typeText == "100")
                    type = 1;
                else if (typeText == "30")
                    type = 2;
                code = CmdStore(c, storeFile, type);
            } else if (*verify)
                code = CmdVerify(c, verifyFile);
            else if (*watch)
                code = CmdWatch(c, interval, count);
            else {
                // The window's defaults unless --ticks says otherwise.
                const bool given = ticksOption->count() > 0;
                code = CmdScan(c, from, to, given ? ticks : tarnell::protocol::kScanTimeoutTicks,
                               given ? ticks : tarnell::protocol::kReplyTimeoutTicks);
            }
        } catch (const ECliError& e) {
            code = e.ExitCode();
            error = e.what();
        } catch (const EPortError& e) {
            code = kExitPort;
            error = e.what();
        } catch (const EInterrupted& e) {
            code = 128 + e.Signal();
            error = e.what();
            outcome.out["interrupted"] = true;
        }
        outcome.out["discarded"] = session.Discarded();
    }
    return outcome.Finish(code, error);
}

}  // namespace

int main(int argc, char** argv)
{
    TOutcome outcome;
    outcome.json = AsksForJson(argc, argv);
    // Nothing may end the tool without its exit code and its one line: an
    // error the commands did not foresee is a failure of the port they
    // were using, the one thing outside the tool's own checks.
    try {
        return Run(argc, argv, outcome);
    } catch (const std::bad_alloc&) {
        return outcome.Finish(kExitPort, "out of memory");
    } catch (const std::exception& e) {
        return outcome.Finish(kExitPort, std::string("unexpected error: ") + e.what());
    } catch (...) {
        return outcome.Finish(kExitPort, "unexpected error");
    }
}
