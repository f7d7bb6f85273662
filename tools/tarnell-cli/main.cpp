// tarnell-cli: the gripper console's commands from a shell or a script, on
// the same serial layer and command language, without a display or Qt.
#include "Commands.h"
#include "GripperSession.h"

#include "SioSelCom.h"
#ifdef TARNELL_NETWORK_PORTS
#include "SioNetwork.h"
#endif

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace {

using namespace tarnell::cli;
namespace fs = std::filesystem;

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  done\n"
    "  1  usage: bad or missing options, no port given, unknown gripper type\n"
    "  2  the port could not be opened, or was lost while in use\n"
    "  3  no answer (or an answer that cannot be read) from the gripper\n"
    "  4  store: a place read back differs from what was sent\n"
    "  5  the file was refused (not a parameter file, a value out of range for\n"
    "     the gripper type) or cannot be read or written; a refused store sends\n"
    "     nothing\n"
    "  128+N  ended by signal N (130 for Ctrl-C), after closing the port\n"
    "Errors are one line on standard error naming the port; --json prints one\n"
    "object per command on standard output, with \"error\" and \"exitCode\" on failure.";

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

std::string PresentPorts()
{
    std::string list;
    for (int n = 1; n <= sio::MaxSelectablePort; ++n) {
        if (!sio::IsPortAvailable(n))
            continue;
        list += list.empty() ? "" : ", ";
        list += "COM" + std::to_string(n) + " (" + sio::DescribePort(n) + ")";
    }
    return list.empty() ? "no serial port is present" : "ports present: " + list;
}

std::string OneLine(std::string text)
{
    for (char& ch : text)
        if (ch == '\n' || ch == '\r')
            ch = ' ';
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"tarnell-cli: commands for Tarnell servo grippers on an RS-485/RS-232 bus, as the console sends "
                 "them (9600 baud, even parity, frames ending in LF CR, 25 ticks of 55 ms for an answer)."};
    app.name("tarnell-cli");
    app.footer(kExitCodes);
    app.fallthrough();
    app.require_subcommand(1, 1);

    std::string portText, devicePath, parity = "even", logFile;
    int address = 0;
    std::int32_t baud = 9600;
    bool json = false;
    auto* portOpt = app.add_option("--port", portText,
                                   "serial port COMn, found as the console finds it: in $SIO_PORT_DIR if set, "
                                   "else COM1..32 = /dev/ttyS0..31, COM33..40 = /dev/ttyUSB0..7, "
                                   "COM41..48 = /dev/ttyACM0..7")
                       ->type_name("COMn");
    app.add_option("--device", devicePath,
                   "serial device path, e.g. /dev/ttyUSB0, or a network port on a device server or ser2net: "
                   "rfc2217://HOST:PORT (telnet with line settings) or tcp://HOST:PORT (raw bytes)")
        ->type_name("PATH")
        ->excludes(portOpt);
    app.add_option("--address", address, "gripper address 0..99 (default 0); replaces #ADR in send")
        ->check(CLI::Range(0, 99));
    app.add_option("--parity", parity, "even (default) or none")->type_name("even|none")
        ->check(CLI::IsMember({"even", "none"}));
    app.add_option("--baud", baud, "baud rate (default 9600)")->check(CLI::Range(1, 4000000));
    app.add_flag("--json", json, "print one JSON object per command instead of text");
    app.add_option("--log", logFile,
                   "write the serial layer's dispatch log to FILE when the port closes (none without it)")
        ->type_name("FILE");

    std::vector<std::string> texts;
    auto* send = app.add_subcommand("send", "send each TEXT as a command (#ADR becomes the address), one after "
                                            "the other, and print each reply");
    send->add_option("TEXT", texts, "command text, e.g. STA;#ADR")->type_name("TEXT...")->required();
    auto* status = app.add_subcommand("status", "ask for the status: the number and its eight bits by name");
    auto* version = app.add_subcommand("version", "ask for the version: the reply and the gripper type it names");
    std::string readFile;
    auto* readout = app.add_subcommand(
        "readout", "read the eight storage places and print them; with FILE also write them to FILE (.gri, 23 "
                   "lines ending in CR LF, as the console's Store File writes; replaced atomically)");
    readout->add_option("FILE", readFile, "parameter file to write")->type_name("FILE.gri");
    std::string storeFile, typeText;
    auto* store = app.add_subcommand(
        "store", "check FILE as the console loads it and its values against the gripper type's ranges, write it "
                 "to the storage places as the console's Send does, read them back and report every place "
                 "that differs; nothing is sent if the file is refused");
    store->add_option("FILE", storeFile, "parameter file to send")->type_name("FILE.gri")->required();
    store->add_option("--type", typeText, "gripper type 50, 100 or 30 (mm); without it the gripper is asked (VER)")
        ->check(CLI::IsMember({"50", "100", "30"}));
    int from = 0, to = 99, ticks = tarnell::protocol::kReplyTimeoutTicks;
    auto* scan = app.add_subcommand("scan", "ask every address for its status and version and list those that "
                                            "answer, with their type; progress on standard error");
    scan->add_option("--from", from, "first address (default 0)")->check(CLI::Range(0, 99));
    scan->add_option("--to", to, "last address (default 99)")->check(CLI::Range(0, 99));
    scan->add_option("--ticks", ticks,
                     "time limit for each answer in ticks of 55 ms, 1..25 (default 25, about 1.4 s); a silent "
                     "address costs it once, as the version is asked only where the status came")
        ->check(CLI::Range(1, tarnell::protocol::kReplyTimeoutTicks));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);  // --help
        std::fprintf(stderr, "tarnell-cli: %s (see --help)\n", OneLine(e.what()).c_str());
        return kExitUsage;
    }
    auto usage = [](const std::string& message) {
        std::fprintf(stderr, "tarnell-cli: %s\n", OneLine(message).c_str());
        return kExitUsage;
    };
    if (*scan && from > to)
        return usage("scan: --from must not be above --to");
    if (logFile.size() > 255)
        return usage("--log: the file name is longer than 255 characters");
    if (!logFile.empty()) {
        // The log is written when the port closes, after the work is done:
        // a folder it cannot go to is refused before anything is sent.
        const fs::path folder = fs::absolute(logFile).parent_path();
        if (::access(folder.c_str(), W_OK | X_OK) != 0)
            return usage("--log " + logFile + ": cannot write in " + folder.string() + ": " + std::strerror(errno));
    }

    TPortChoice port;
    if (devicePath.rfind("rfc2217://", 0) == 0 || devicePath.rfind("tcp://", 0) == 0) {
#ifndef TARNELL_NETWORK_PORTS
        return usage("--device " + devicePath + ": this build has no network ports");
#else
        if (!sio::ParseNetworkAddress(devicePath))
            return usage("--device " + devicePath + ": not a network address: rfc2217://HOST:PORT or tcp://HOST:PORT "
                         "(PORT 1..65535, an IPv6 address in brackets)");
        port.devicePath = devicePath;
        port.network = true;
#endif
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
    TLineSettings line;
    line.baud = baud;
    line.evenParity = parity == "even";
    line.logFile = logFile;

    const char* name = *send      ? "send"
                       : *status  ? "status"
                       : *version ? "version"
                       : *readout ? "readout"
                       : *store   ? "store"
                                  : "scan";
    nlohmann::json out = {{"command", name}, {"port", JsonText(port.Name())}};
    if (!*scan)
        out["address"] = address;
    int code = kExitDone;
    std::string error;
    {
        TGripperSession session(port, line);
        TContext c{session, address, json, out};
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
            } else
                code = CmdScan(c, from, to, ticks);
        } catch (const ECliError& e) {
            code = e.ExitCode();
            error = e.what();
        } catch (const EPortError& e) {
            code = kExitPort;
            error = e.what();
        } catch (const EInterrupted& e) {
            code = 128 + e.Signal();
            error = e.what();
        }
    }
    if (!error.empty()) {
        std::fprintf(stderr, "tarnell-cli: %s: %s\n", port.Name().c_str(), OneLine(error).c_str());
        out["error"] = JsonText(OneLine(error));
    }
    if (json) {
        out["exitCode"] = code;
        std::printf("%s\n", out.dump().c_str());
    }
    std::fflush(stdout);
    return code;
}
