// The tool's commands. Each talks to the gripper through a session, prints
// its result as text on stdout or fills a JSON object, and ends with one of
// the documented exit codes; a failure is thrown as ECliError with its code.
#pragma once

#include "GripperSession.h"
#include "ParameterFileFormat.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarnell::cli {

// Exit codes, fixed: scripts rely on them.
enum TExitCode : int {
    kExitDone = 0,
    kExitUsage = 1,
    kExitPort = 2,
    kExitNoAnswer = 3,
    kExitReadBackDiffers = 4,  // store's read-back, or verify: the gripper differs
    kExitFileRefused = 5,
    kExitNothingCompared = 6,  // verify: no place of the file is complete
};

class ECliError : public std::runtime_error {
public:
    ECliError(int exitCode, const std::string& message) : std::runtime_error(message), exitCode_(exitCode) {}
    int ExitCode() const { return exitCode_; }

private:
    int exitCode_;
};

// What each exit code means, as --help, the README and the JSON say it.
std::string ExitMeaning(int exitCode);

struct TContext {
    TGripperSession& session;
    int address = 0;
    bool json = false;
    // The command's JSON object, printed by the caller, on every outcome:
    // a command fills in what it has done as it goes.
    nlohmann::json& out;
    // The time limit of every answer, in ticks of 55 ms.
    std::int32_t ticks = protocol::kReplyTimeoutTicks;
    // Standard error is a terminal: the scan may draw its progress line
    // (otherwise it writes whole lines only).
    bool progress = false;
};

// A byte string as JSON text: the bytes are single-byte characters, so each
// becomes the character of the same code.
std::string JsonText(const std::string& bytes);
// A byte string as text for a terminal: bytes outside 32..126 become "[hh]"
// in upper-case hex, as the dispatch log shows them; a NUL cuts nothing.
std::string Printable(const std::string& bytes);

int CmdSend(TContext& c, const std::vector<std::string>& texts);
int CmdStatus(TContext& c);
int CmdVersion(TContext& c);
int CmdReadout(TContext& c, const std::optional<std::string>& file);
// typeIndex: the gripper type to check against; nothing: asked with VER.
int CmdStore(TContext& c, const std::string& file, std::optional<int> typeIndex);
// statusTicks: the short limit of each address's status question, to which
// the link's round trip is added; versionTicks: the limit of the version
// question of an address that answered.
int CmdScan(TContext& c, int from, int to, std::int32_t statusTicks, std::int32_t versionTicks);
// Reads the eight places and compares them with FILE; nothing is written.
int CmdVerify(TContext& c, const std::string& file);
// Asks the status every intervalMs and prints a line whenever it changes;
// count polls, or until a signal when count is 0.
int CmdWatch(TContext& c, int intervalMs, long long count);

}  // namespace tarnell::cli
