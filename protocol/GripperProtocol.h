// The gripper's command language, without widgets or I/O: the texts of the
// commands the console and the command-line tool send, and the rules by
// which a reply is told apart from the echo and taken apart. Both programs
// use this one module, so that they speak and read exactly alike.
//
// Every text is a byte string, one byte per character; nothing is translated.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarnell::protocol {

// Every frame on the wire ends with LF then CR; a reply ends with the same.
inline constexpr std::string_view kFrameEnd = "\n\r";
// The wild card of a command text that stands for the gripper's address.
inline constexpr std::string_view kAddressWildcard = "#ADR";
// The collector's time limit for an answer, in ticks of 55 ms.
inline constexpr int kReplyTimeoutTicks = 25;
// A bus scan's defaults, the window's Bus scan's: the addresses asked, and
// the short time limit of each status question (a link's round trip is
// added to it).
inline constexpr int kScanFirstAddress = 0;
inline constexpr int kScanLastAddress = 32;
inline constexpr int kScanTimeoutTicks = 3;
// Whole ticks that cover a link's round trip of ms milliseconds.
inline constexpr int LinkTicks(std::uint32_t ms) { return static_cast<int>((ms + 54) / 55); }
// Storage places: 1..7 hold grip position, provision position and force;
// place 8 the reference-drive and force-compensation positions.
inline constexpr int kPlaceCount = 8;
inline constexpr int kReferencePlace = 8;
// The grip force a store of the reference place always carries.
inline constexpr int kReferenceForce = 3;

// A text that is not a decimal integer of 32 bits. Text() is the offending
// text; what() the runtime's message for it.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(std::string text);
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

// The integer value of s: blanks before, an optional sign, decimal digits,
// nothing after. Throws EConvertError otherwise or when it does not fit.
int StrToInt(std::string_view s);

// --- Commands ----------------------------------------------------------------

// The first "#ADR" (exact, upper case) replaced by the address in decimal;
// further occurrences stay as they are.
std::string ReplaceAddress(std::string command, int address);
// The frame that goes on the wire for a command text: the text + LF + CR.
std::string Frame(std::string_view command);

std::string StatusCommand(int address);                // STA;a
std::string VersionCommand(int address);               // VER;a
std::string RecallCommand(int address, int place);     // RCL;a;p
// STO;a;p;grip;provision;force, the cell texts inserted as they stand.
std::string StoreCommand(int address, int place, std::string_view grip, std::string_view provision,
                         std::string_view force);
// STO;a;8;reference;compensation;3
std::string ReferenceStoreCommand(int address, std::string_view reference, std::string_view compensation);

// --- Replies -----------------------------------------------------------------

// The echo of the own frame, as a two-wire bus returns it: byte for byte.
bool IsEcho(std::string_view packet, std::string_view lastFrame);
// The reply without leading and trailing blanks and control characters
// (every byte of code 32 or below), as the output shows it.
std::string Trimmed(std::string_view reply);

// Gripper types by the model identifier of a version reply, in the order the
// identifiers are tried: the first contained in the reply wins. A type's
// index is its item in the gripper-type selector and its place in kModels.
struct TGripperModel {
    const char* identifier;  // "KV0050"
    int typeIndex;           // item of the gripper-type selector
    const char* typeName;    // "50 mm"
    int maxPosition;         // grip, provision, reference and compensation positions, 1/10 mm
};
inline constexpr TGripperModel kModels[] = {
    {"KV0050", 0, "50 mm", 500},
    {"KV0150", 1, "100 mm", 1000},
    {"KV0030", 2, "30 mm", 300},
};
inline constexpr int kTypeCount = 3;
// The type of a selector item; an item out of range counts as the first.
inline constexpr const TGripperModel& GripperModel(int typeIndex)
{
    return kModels[(typeIndex >= 0 && typeIndex < kTypeCount) ? typeIndex : 0];
}

// The values a storage place may hold. Positions run from 0 to the type's
// maximum; the grip force has the same range for every type.
struct TValueRange {
    int min;
    int max;
    bool Contains(int value) const { return value >= min && value <= max; }
};
inline constexpr int kMinPosition = 0;
inline constexpr int kMinForce = 3;
inline constexpr int kMaxForce = 50;
inline constexpr TValueRange PositionRange(int typeIndex)
{
    return {kMinPosition, GripperModel(typeIndex).maxPosition};
}
inline constexpr TValueRange ForceRange(int) { return {kMinForce, kMaxForce}; }
// The model a reply names, only when the frame sent was a version command
// ("VER" in it); nothing otherwise.
std::optional<TGripperModel> DetectModel(std::string_view lastFrame, std::string_view reply);

// A status exchange: the frame or the reply contains "STA".
bool IsStatusExchange(std::string_view lastFrame, std::string_view reply);
// The status field: what follows the first ":" (the whole reply if there is
// none) up to the next ";" (the rest if there is none).
std::string StatusField(std::string_view reply);
// The status value: StatusField converted; EConvertError when it is not a
// decimal integer or has no ";" after it.
int StatusValue(std::string_view reply);

// The eight status bits by name, bit 0 first.
inline constexpr const char* kStatusBits[8] = {"VCC Err.",   "Temp. Err.", "Overcurrent Err.", "Blocking Err.",
                                               "Grip Err.",  "n.a.",       "Referenced",       "Ready"};

// A recall reply taken apart: fields separated by ";", the first of which
// holds the reply's "A". A field with no ";" after it is empty, and the rest
// of the reply (trimmed) is the force.
struct TRecallFields {
    int place = 0;
    std::string grip;       // place 8: reference-drive position
    std::string provision;  // place 8: force-compensation position
    std::string force;      // unused for place 8
};
// Nothing when the reply holds no upper-case "A" (not a recall answer);
// EConvertError when the place field is not a decimal integer.
std::optional<TRecallFields> ParseRecall(std::string_view reply);
// Whether a place number names a storage place (1..8); a reply naming any
// other place must change nothing.
inline bool IsStoragePlace(int place) { return place >= 1 && place <= kPlaceCount; }

// How long the line must stay quiet after a time-out before the next frame,
// so that a late answer is never taken for the next command's: ten
// character times (start, 8 data, parity and stop bits), but never under
// 50 ms, which covers the thread hops between a byte's arrival and its notice.
int QuietTimeMs(int baud);

// --- Addresses -----------------------------------------------------------------

// The address a command text is sent to: the decimal field after the
// mnemonic ("STA;3", "RCL;3;1"); nothing for a text of another form.
std::optional<int> CommandAddress(std::string_view command);
// The address a reply names, where it names one in a form the bus uses:
// "STA;3:192;", "VER;3:KV0050;V1.07" (mnemonic, ";", address, ":" or ";")
// and "A3;1;...", "A3;OK", "E3;ERR" ("A" or "E", address, ";"). Blanks and
// control characters around the reply are ignored. Nothing when the reply
// carries no address this way: then it cannot be checked.
std::optional<int> ReplyAddress(std::string_view reply);

}  // namespace tarnell::protocol
