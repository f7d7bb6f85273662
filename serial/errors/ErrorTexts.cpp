#include "errors/ErrorTexts.h"

#include "base/Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace sio {

namespace {

struct TMessageEntry {
    std::uint16_t code;  // absolute value
    const char* text;
};

// Sorted by absolute code. Texts the system shows or writes are given
// exactly; a few families it never uses carry short texts of our own, the
// rest none (they fall back to the operating system's text).
constexpr TMessageEntry kMessages[] = {
    {0, "OK"},
    {2, "File not found"},
    {3, "Path not found"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {6, "Invalid file handle"},
    {8, "Insufficient memory"},
    {15, "Invalid drive"},
    {18, "No more files"},
    {100, "Attempt to read beyond end of file"},
    {101, "Disk is full"},
    {102, "File/device not assigned"},
    {103, "File/device not open"},
    {104, "File/device not open for input"},
    {105, "File/device not open for output"},
    {150, "Disk is write-protected"},
    {151, "Unknown disk unit"},
    {152, "Drive is not ready"},
    {153, "Unknown command"},
    {154, "Data error"},
    {155, "Bad request structure length"},
    {156, "Seek error"},
    {157, "Unknown media type"},
    {158, "Disk sector not found"},
    {159, "Printer is out of paper"},
    {160, "Device write error"},
    {161, "Device read error"},
    {162, "General failure"},
    {1001, "Bad handle passed to com function"},
    {1002, "Bad argument passed to function"},
    {1003, "Got quit message"},
    {1004, "Terminal buffer greater than 65521"},
    {1005, "ComPort component not assigned"},
    {1006, "Internal error creating window class"},
    {1007, "Modem component not assigned"},
    {1008, "Phonebook component not assigned"},
    {1009, "Component not compatible with WinSock"},
    {2001, "ie_BadId - Specified comport doesn't exist"},
    {2002, "ie_Baudrate - unsupported baud rate"},
    {2003, "ie_Bytesize - invalid byte size"},
    {2004, "ie_Default - error in default parameters"},
    {2005, "ie_Hardware - Specified comport in use"},
    {2006, "ie_Memory - unable to allocate queues"},
    {2007, "ie_NOpen - device not open"},
    {2008, "ie_Open - device already open"},
    {2009, "No more handles, can't open port"},
    {2010, "No timers available"},
    {2011, "The ComNumber property of the TSioComPort has not been set"},
    {2012, "Comport was not opened by Tapi"},
    {3001, "No device layer specified"},
    {3002, "Function not supported by driver"},
    {3003, "EnableCommNotification failed"},
    {3004, "Failed to put entire block"},
    {3005, "Failed to get entire block"},
    {3006, "Output buffer too small for block"},
    {3007, "Buffer is empty"},
    {3008, "Tracing not enabled"},
    {3009, "Logging not enabled"},
    {3010, "Base address not set"},
    {3011, "The device behind the port was lost"},
    {4001, "Modem not started"},
    {4002, "Modem busy"},
    {4003, "Modem not dialing"},
    {4004, "Not dialing"},
    {4005, "Already dialing"},
    {4006, "Modem not responding"},
    {4007, "Modem rejected command"},
    {4008, "Modem status mismatch"},
    {5001, "No more trigger slots"},
    {5002, "Data trigger too long"},
    {5003, "Bad trigger handle"},
    {5501, "Start string is empty"},
    {5502, "Packet size cannot be smaller than start string"},
    {5503, "CharCount packets must have an end-condition"},
    {5504, "End string is empty"},
    {5505, "Packet size cannot be zero"},
    {5506, "Packet too long"},
    {7001, "Key too long"},
    {7002, "Data too large"},
    {7003, "Internal settings error"},
    {7004, "Settings write failed"},
    {7005, "Settings read failed"},
    {7006, "Internal settings error"},
    {7007, "Record exists"},
    {7008, "Record not found"},
    {7010, "Settings database full"},
    {7011, "Settings database empty"},
    {7012, "Internal settings error"},
    {7013, "Bad field list"},
    {7014, "Bad field for index"},
    {8001, "Bad fax format"},
    {8002, "Bad graphics format"},
    {8003, "Conversion aborted"},
    {8004, "Unpacking aborted"},
    {8005, "Cannot make bitmap"},
    {8053, "Invalid page number"},
    {8060, "Bad fax machine"},
    {8061, "Bad modem result"},
    {8062, "Fax training error"},
    {8063, "Fax initialisation error"},
    {8064, "Fax line busy"},
    {8065, "Voice call"},
    {8066, "Data call"},
    {8067, "No dial tone"},
    {8068, "No carrier"},
    {8069, "Fax session error"},
    {8070, "Fax page error"},
    {13868, "No memory"},
    {13980, "Remote access library not loaded"},
    {15001, "No event"},
    {15002, "Dispatch"},
    {15003, "Trigger"},
    {15004, "Error"},
    {15005, "Thread"},
    {15006, "TrigAllc"},
    {15007, "TrigDisp"},
    {15008, "TrgHdAlc"},
    {15009, "TrgHdDsp"},
    {15010, "TrDatChg"},
    {15011, "Telnet"},
    {15012, "Fax"},
    {15013, "XModem"},
    {15014, "YModem"},
    {15015, "ZModem"},
    {15016, "Kermit"},
    {15017, "Ascii"},
    {15018, "BPlus"},
    {15019, "Packet"},
    {15020, "User"},
    {15021, "Script"},
    {15100, ""},
    {15101, "ReadCom"},
    {15102, "WriteCom"},
    {15103, "Line status"},
    {15104, "Modem status"},
    {15105, "Avail"},
    {15106, "Timer"},
    {15107, "Data"},
    {15108, "Status"},
    {15109, "Start"},
    {15110, "Exit"},
    {15111, "Sleep"},
    {15112, "Wake"},
    {15113, "Data"},
    {15114, "Timer"},
    {15115, "Status"},
    {15116, "Avail"},
    {15117, "Window"},
    {15118, "Procedure"},
    {15119, "Method"},
    {15120, "Sent WILL"},
    {15121, "Sent WON'T"},
    {15122, "Sent DO"},
    {15123, "Sent DON'T"},
    {15124, "Recv WILL"},
    {15125, "Recv WON'T"},
    {15126, "Recv DO"},
    {15127, "Recv DON'T"},
    {15128, "Command"},
    {15129, "Sent Term"},
    {15342, "Enable"},
    {15343, "Disable"},
    {15344, "StringPacket"},
    {15345, "SizePacket"},
    {15346, "PcktTimeout"},
    {15347, "StartStr"},
    {15348, "EndStr"},
    {15349, "Idle"},
    {15350, "Waiting"},
    {15351, "Collecting"},
    {15352, "Status Queued"},
    {15353, "Data Queued"},
    {15354, "Data Written"},
    {15355, "ZSInit"},
    {15356, "CheckSInit"},
    {15501, "Time      Type      SubType       Data      OtherData"},
    {15502, "--------  --------  ------------  --------  ---------"},
    {15601, "DCTS "},
    {15602, "DDSR "},
    {15603, "TERI "},
    {15604, "DDCD "},
    {15605, "CTS "},
    {15606, "DSR "},
    {15607, "RI "},
    {15608, "DCD "},
};

constexpr bool TableSorted()
{
    for (std::size_t i = 1; i < std::size(kMessages); ++i)
        if (kMessages[i - 1].code >= kMessages[i].code) return false;
    return true;
}
static_assert(TableSorted(), "the message table must be sorted by code without duplicates");

std::uint16_t AbsoluteCode(std::int32_t code)
{
    const std::int64_t wide = code;
    return static_cast<std::uint16_t>(wide < 0 ? -wide : wide);
}

std::string SystemMessage(int number) { return platform::SystemErrorText(number); }

}  // namespace

std::string_view TableMessage(std::int32_t code)
{
    const std::uint16_t key = AbsoluteCode(code);
    const auto* end = std::end(kMessages);
    const auto* it = std::lower_bound(std::begin(kMessages), end, key,
                                      [](const TMessageEntry& e, std::uint16_t k) { return e.code < k; });
    if (it == end || it->code != key) return {};
    return it->text;
}

std::string CleanSystemMessage(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const char ch = static_cast<unsigned char>(c) < 32 ? ' ' : c;
        if (ch == ' ' && !out.empty() && out.back() == ' ') continue;
        out.push_back(ch);
    }
    return out;
}

std::string ErrorMessage(std::int32_t code)
{
    const std::string_view own = TableMessage(code);
    if (!own.empty()) return std::string(own);
    std::string text = CleanSystemMessage(SystemMessage(AbsoluteCode(code)));
    if (text.size() > 255) text.resize(255);
    return text;
}

std::int32_t IoErrorFromErrno(int err, bool creating)
{
    switch (err) {
    case ENOENT:
        return creating ? ecPathNotFound : ecFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ecPathNotFound;
    case EMFILE:
    case ENFILE:
        return ecTooManyFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
    case EBUSY:
        return ecAccessDenied;
    case EBADF:
        return ecInvalidHandle;
    case ENOMEM:
        return ecOutOfMemory;
    case ENOSPC:
#ifdef EDQUOT  // no disk quotas in the Windows C runtime
    case EDQUOT:
#endif
    case EFBIG:
        return ecDiskFull;
    case EROFS:
        return ecWriteProtected;
    case ENXIO:
    case ENODEV:
        return ecDriveNotReady;
    case EIO:
        return ecHardwareFailure;
    default:
        return err > 0 ? -err : ecHardwareFailure;
    }
}

}  // namespace sio
