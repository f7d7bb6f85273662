// Result codes of the serial layer and the table that gives each its text.
//
// Every operation below the component level returns a signed 32-bit code:
// 0 or a positive count is success, a negative code a failure. The same
// table holds the labels of the dispatch log (15001 and up), which is why
// positive codes have texts too.
//
// Thread safety: everything here is read-only after static initialisation
// and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sio {

// Operating-system and file errors (negated).
inline constexpr std::int32_t ecOK = 0;
inline constexpr std::int32_t ecFileNotFound = -2;
inline constexpr std::int32_t ecPathNotFound = -3;
inline constexpr std::int32_t ecTooManyFiles = -4;
inline constexpr std::int32_t ecAccessDenied = -5;
inline constexpr std::int32_t ecInvalidHandle = -6;
inline constexpr std::int32_t ecOutOfMemory = -8;
inline constexpr std::int32_t ecInvalidDrive = -15;
inline constexpr std::int32_t ecNoMoreFiles = -18;
inline constexpr std::int32_t ecDiskRead = -100;
inline constexpr std::int32_t ecDiskFull = -101;
inline constexpr std::int32_t ecNotAssigned = -102;
inline constexpr std::int32_t ecNotOpen = -103;
inline constexpr std::int32_t ecNotOpenInput = -104;
inline constexpr std::int32_t ecNotOpenOutput = -105;
inline constexpr std::int32_t ecWriteProtected = -150;
inline constexpr std::int32_t ecUnknownUnit = -151;
inline constexpr std::int32_t ecDriveNotReady = -152;
inline constexpr std::int32_t ecUnknownCommand = -153;
inline constexpr std::int32_t ecCRCError = -154;
inline constexpr std::int32_t ecBadStructLen = -155;
inline constexpr std::int32_t ecSeekError = -156;
inline constexpr std::int32_t ecUnknownMedia = -157;
inline constexpr std::int32_t ecSectorNotFound = -158;
inline constexpr std::int32_t ecOutOfPaper = -159;
inline constexpr std::int32_t ecDeviceWrite = -160;
inline constexpr std::int32_t ecDeviceRead = -161;
inline constexpr std::int32_t ecHardwareFailure = -162;

// General errors.
inline constexpr std::int32_t ecBadHandle = -1001;
inline constexpr std::int32_t ecBadArgument = -1002;
inline constexpr std::int32_t ecGotQuitMsg = -1003;
inline constexpr std::int32_t ecBufferTooBig = -1004;
inline constexpr std::int32_t ecPortNotAssigned = -1005;
inline constexpr std::int32_t ecInternal = -1006;
inline constexpr std::int32_t ecModemNotAssigned = -1007;
inline constexpr std::int32_t ecPhonebookNotAssigned = -1008;
inline constexpr std::int32_t ecCannotUseWithWinSock = -1009;

// Opening the port.
inline constexpr std::int32_t ecBadId = -2001;
inline constexpr std::int32_t ecBaudRate = -2002;
inline constexpr std::int32_t ecByteSize = -2003;
inline constexpr std::int32_t ecDefault = -2004;
inline constexpr std::int32_t ecHardware = -2005;
inline constexpr std::int32_t ecMemory = -2006;
inline constexpr std::int32_t ecCommNotOpen = -2007;
inline constexpr std::int32_t ecAlreadyOpen = -2008;
inline constexpr std::int32_t ecNoHandles = -2009;
inline constexpr std::int32_t ecNoTimers = -2010;
inline constexpr std::int32_t ecNoPortSelected = -2011;
inline constexpr std::int32_t ecNotOpenedByTapi = -2012;

// Serial input and output.
inline constexpr std::int32_t ecNullApi = -3001;
inline constexpr std::int32_t ecNotSupported = -3002;
inline constexpr std::int32_t ecRegisterHandlerFailed = -3003;
inline constexpr std::int32_t ecPutBlockFail = -3004;
inline constexpr std::int32_t ecGetBlockFail = -3005;
inline constexpr std::int32_t ecOutputBufferTooSmall = -3006;
inline constexpr std::int32_t ecBufferIsEmpty = -3007;
inline constexpr std::int32_t ecTracingNotEnabled = -3008;
inline constexpr std::int32_t ecLoggingNotEnabled = -3009;
inline constexpr std::int32_t ecBaseAddressNotSet = -3010;
// The device behind an open port went away (unplugged, or the far end of a
// pseudo-terminal closed).
inline constexpr std::int32_t ecDeviceLost = -3011;

// Triggers.
inline constexpr std::int32_t ecNoMoreTriggers = -5001;
inline constexpr std::int32_t ecTriggerTooLong = -5002;
inline constexpr std::int32_t ecBadTriggerHandle = -5003;

// Packet collector configuration (raised as EInvalidProperty by the collector).
inline constexpr std::int32_t ecStartStringEmpty = -5501;
inline constexpr std::int32_t ecPacketTooSmall = -5502;
inline constexpr std::int32_t ecNoEndCharCount = -5503;
inline constexpr std::int32_t ecEmptyEndString = -5504;
inline constexpr std::int32_t ecZeroSizePacket = -5505;
inline constexpr std::int32_t ecPacketTooLong = -5506;

// "No memory" of the telephony family; the device threads use it when an
// I/O record cannot be allocated.
inline constexpr std::int32_t ecTapiNoMem = -13868;

// Dispatch-log labels: type t is named by slEventTypeBase + t, subtype s by
// slEventSubtypeBase + s, the column heading and its rule by slLogHeader and
// slLogRule.
inline constexpr std::int32_t slEventTypeBase = 15001;
inline constexpr std::int32_t slEventSubtypeBase = 15100;
inline constexpr std::int32_t slLogHeader = 15501;
inline constexpr std::int32_t slLogRule = 15502;
inline constexpr std::int32_t slModemLineBase = 15601;  // "DCTS " .. "DCD "

// The text of a code: the table's entry for its absolute value, or else the
// operating system's text for that number (strerror), cleaned of control
// characters and doubled blanks. At most 255 characters; possibly empty.
std::string ErrorMessage(std::int32_t code);

// The table's own text for the absolute value of code, without the
// operating-system fallback; empty when the table has none. The dispatch log
// names its types and subtypes with it, so that an unnamed subtype stays
// blank instead of showing an operating-system text.
std::string_view TableMessage(std::int32_t code);

// The cleaning that ErrorMessage applies to operating-system texts: every
// character below 32 becomes a blank, then runs of blanks shrink to one.
std::string CleanSystemMessage(std::string_view text);

// Translates errno of a failed file operation into the negated input/output
// code of the table (-2 file not found, -3 path not found, -5 access denied,
// -101 disk full, ...). With creating set, ENOENT means that a folder on the
// way is missing and gives -3. An errno without a counterpart is returned
// negated as it is.
std::int32_t IoErrorFromErrno(int err, bool creating = false);

}  // namespace sio
