// The telnet stream of a network port: IAC escaping, option negotiation and
// the COM-PORT-OPTION subnegotiations (RFC 854, RFC 2217), without sockets.
//
// The network dispatcher feeds every byte it receives through a
// TTelnetDecoder, which separates the serial data from the telnet commands,
// and builds what it sends with the functions below. Kept apart from the
// dispatcher so that the decoder can be driven byte by byte by a fuzz target
// and by tests.
//
// Threading: a decoder belongs to one thread (the reader); the free
// functions are pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sio::telnet {

// Telnet commands.
inline constexpr std::uint8_t SE = 240;
inline constexpr std::uint8_t NOP = 241;
inline constexpr std::uint8_t SB = 250;
inline constexpr std::uint8_t WILL = 251;
inline constexpr std::uint8_t WONT = 252;
inline constexpr std::uint8_t DO = 253;
inline constexpr std::uint8_t DONT = 254;
inline constexpr std::uint8_t IAC = 255;

// Options.
inline constexpr std::uint8_t OptBinary = 0;
inline constexpr std::uint8_t OptEcho = 1;
inline constexpr std::uint8_t OptSuppressGoAhead = 3;
inline constexpr std::uint8_t OptComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers
// with the same command plus ServerOffset.
inline constexpr std::uint8_t cpSignature = 0;
inline constexpr std::uint8_t cpSetBaudRate = 1;
inline constexpr std::uint8_t cpSetDataSize = 2;
inline constexpr std::uint8_t cpSetParity = 3;
inline constexpr std::uint8_t cpSetStopSize = 4;
inline constexpr std::uint8_t cpSetControl = 5;
inline constexpr std::uint8_t cpNotifyLineState = 6;
inline constexpr std::uint8_t cpNotifyModemState = 7;
inline constexpr std::uint8_t cpFlowControlSuspend = 8;
inline constexpr std::uint8_t cpFlowControlResume = 9;
inline constexpr std::uint8_t cpSetLineStateMask = 10;
inline constexpr std::uint8_t cpSetModemStateMask = 11;
inline constexpr std::uint8_t cpPurgeData = 12;
inline constexpr std::uint8_t ServerOffset = 100;

// SET-PARITY values.
inline constexpr std::uint8_t cpParityNone = 1;
inline constexpr std::uint8_t cpParityOdd = 2;
inline constexpr std::uint8_t cpParityEven = 3;
inline constexpr std::uint8_t cpParityMark = 4;
inline constexpr std::uint8_t cpParitySpace = 5;
// SET-STOPSIZE values.
inline constexpr std::uint8_t cpStop1 = 1;
inline constexpr std::uint8_t cpStop2 = 2;
inline constexpr std::uint8_t cpStop15 = 3;
// SET-CONTROL values.
inline constexpr std::uint8_t ctlFlowNone = 1;
inline constexpr std::uint8_t ctlFlowXonXoff = 2;
inline constexpr std::uint8_t ctlFlowHardware = 3;
inline constexpr std::uint8_t ctlBreakOn = 5;
inline constexpr std::uint8_t ctlBreakOff = 6;
inline constexpr std::uint8_t ctlDtrOn = 8;
inline constexpr std::uint8_t ctlDtrOff = 9;
inline constexpr std::uint8_t ctlRtsOn = 11;
inline constexpr std::uint8_t ctlRtsOff = 12;
inline constexpr std::uint8_t ctlInFlowNone = 14;
inline constexpr std::uint8_t ctlInFlowXonXoff = 15;
inline constexpr std::uint8_t ctlInFlowHardware = 16;
// NOTIFY-LINESTATE bits.
inline constexpr std::uint8_t lsBreakDetect = 0x10;
inline constexpr std::uint8_t lsFramingError = 0x08;
inline constexpr std::uint8_t lsParityError = 0x04;
inline constexpr std::uint8_t lsOverrunError = 0x02;
// NOTIFY-MODEMSTATE bits.
inline constexpr std::uint8_t msCd = 0x80;
inline constexpr std::uint8_t msRi = 0x40;
inline constexpr std::uint8_t msDsr = 0x20;
inline constexpr std::uint8_t msCts = 0x10;
inline constexpr std::uint8_t msDeltaCd = 0x08;
inline constexpr std::uint8_t msRiTrailingEdge = 0x04;
inline constexpr std::uint8_t msDeltaDsr = 0x02;
inline constexpr std::uint8_t msDeltaCts = 0x01;
// PURGE-DATA values.
inline constexpr std::uint8_t purgeReceive = 1;
inline constexpr std::uint8_t purgeTransmit = 2;

// A subnegotiation longer than this is cut: a COM-PORT-OPTION carries at
// most a signature, and a hostile server must not make us keep megabytes.
inline constexpr std::size_t MaxSubnegotiation = 256;

// One telnet command found in the stream.
struct TTelnetEvent {
    enum TKind : std::uint8_t {
        Negotiation,     // verb WILL/WONT/DO/DONT, option
        Subnegotiation,  // option, payload (IAC IAC undone)
        Command,         // any other IAC command (NOP, GA, BRK, ...): verb
    };
    TKind kind = Command;
    std::uint8_t verb = 0;
    std::uint8_t option = 0;
    std::vector<std::uint8_t> payload;
    // Where the command stood among the serial data: the size the data
    // vector given to Feed had when the command ended. The data before it
    // came before it on the wire (a purge's answer divides what the server
    // had sent before it emptied its buffer from what came after).
    std::size_t dataAt = 0;
};

class TTelnetDecoder {
public:
    // Splits bytes received into serial data (appended to data) and telnet
    // commands (appended to events, each with its place in data). Commands
    // and escapes may be cut anywhere between two calls.
    void Feed(const std::uint8_t* in, std::size_t count, std::vector<std::uint8_t>& data,
              std::vector<TTelnetEvent>& events);
    // The server does not send in binary mode: a CR it sends is followed by
    // NUL, which is not data (RFC 854).
    void SetCrNul(bool on) { crNul_ = on; }
    // Back to the start of a stream (a new connection).
    void Reset();

private:
    enum class TState : std::uint8_t { Data, Iac, Verb, SbOption, Sb, SbIac };
    TState state_ = TState::Data;
    std::uint8_t verb_ = 0;
    bool crNul_ = false;
    bool afterCr_ = false;
    TTelnetEvent sb_;
};

// Appends data with every IAC doubled; with crNul (the server does not
// take binary) every CR is followed by NUL.
void EscapeInto(const std::uint8_t* data, std::size_t count, std::vector<std::uint8_t>& out, bool crNul = false);
// IAC verb option.
void NegotiationInto(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);
// IAC SB COM-PORT-OPTION command value IAC SE, the value escaped.
void ComPortInto(std::uint8_t command, const std::uint8_t* value, std::size_t count, std::vector<std::uint8_t>& out);
void ComPortInto(std::uint8_t command, std::uint8_t value, std::vector<std::uint8_t>& out);
// SET-BAUDRATE's four bytes, most significant first.
void ComPortBaudInto(std::uint32_t bitsPerSecond, std::vector<std::uint8_t>& out);

// How many bytes of an escaped block must still go after the first sent
// ones so that the stream is not cut inside an IAC IAC pair or a CR NUL
// pair (0 or 1). A write abandoned there would turn the next byte sent into
// a command.
std::size_t BytesToCompletePair(const std::uint8_t* escaped, std::size_t sent, std::size_t total, bool crNul);

// Readable names for the log ("SET-CONTROL", "DTR on", "COM-PORT-OPTION").
std::string CommandName(std::uint8_t command);
std::string OptionName(std::uint8_t option);
std::string ControlName(std::uint8_t value);

}  // namespace sio::telnet
