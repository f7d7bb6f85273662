#include "devices/network/TelnetCodec.h"

namespace sio::telnet {

void TTelnetDecoder::Reset()
{
    state_ = TState::Data;
    verb_ = 0;
    afterCr_ = false;
    sb_ = {};
}

void TTelnetDecoder::Feed(const std::uint8_t* in, std::size_t count, std::vector<std::uint8_t>& data,
                          std::vector<TTelnetEvent>& events)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = in[i];
        switch (state_) {
        case TState::Data:
            if (b == IAC) {
                state_ = TState::Iac;
                break;
            }
            if (afterCr_) {
                afterCr_ = false;
                if (b == 0)
                    break;  // CR NUL is a bare CR
            }
            data.push_back(b);
            afterCr_ = crNul_ && b == '\r';
            break;
        case TState::Iac:
            if (b == IAC) {
                // An escaped 255 is data; it also ends a CR NUL pair.
                afterCr_ = false;
                data.push_back(IAC);
                state_ = TState::Data;
            } else if (b >= WILL) {
                verb_ = b;
                state_ = TState::Verb;
            } else if (b == SB) {
                state_ = TState::SbOption;
            } else {
                TTelnetEvent e;
                e.kind = TTelnetEvent::Command;
                e.verb = b;
                e.dataAt = data.size();
                events.push_back(std::move(e));
                state_ = TState::Data;
            }
            break;
        case TState::Verb: {
            TTelnetEvent e;
            e.kind = TTelnetEvent::Negotiation;
            e.verb = verb_;
            e.option = b;
            e.dataAt = data.size();
            events.push_back(std::move(e));
            state_ = TState::Data;
            break;
        }
        case TState::SbOption:
            sb_ = {};
            sb_.kind = TTelnetEvent::Subnegotiation;
            sb_.option = b;
            // IAC SB IAC ...: an option number of 255 is not one; the IAC
            // starts the end or an escape as in any subnegotiation.
            state_ = b == IAC ? TState::SbIac : TState::Sb;
            break;
        case TState::Sb:
            if (b == IAC)
                state_ = TState::SbIac;
            else if (sb_.payload.size() < MaxSubnegotiation)
                sb_.payload.push_back(b);
            break;
        case TState::SbIac:
            if (b == IAC) {
                if (sb_.payload.size() < MaxSubnegotiation)
                    sb_.payload.push_back(IAC);
                state_ = TState::Sb;
            } else {
                // IAC SE ends it; any other command ends it too (a server
                // that forgot the SE), and is then taken as that command.
                sb_.dataAt = data.size();
                events.push_back(std::move(sb_));
                sb_ = {};
                state_ = TState::Data;
                if (b != SE) {
                    state_ = TState::Iac;
                    --i;
                }
            }
            break;
        }
    }
}

void EscapeInto(const std::uint8_t* data, std::size_t count, std::vector<std::uint8_t>& out, bool crNul)
{
    out.reserve(out.size() + count + count / 8 + 2);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(data[i]);
        if (data[i] == IAC)
            out.push_back(IAC);
        else if (crNul && data[i] == '\r')
            out.push_back(0);
    }
}

void NegotiationInto(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out)
{
    out.push_back(IAC);
    out.push_back(verb);
    out.push_back(option);
}

void ComPortInto(std::uint8_t command, const std::uint8_t* value, std::size_t count, std::vector<std::uint8_t>& out)
{
    out.push_back(IAC);
    out.push_back(SB);
    out.push_back(OptComPort);
    out.push_back(command);
    EscapeInto(value, count, out);
    out.push_back(IAC);
    out.push_back(SE);
}

void ComPortInto(std::uint8_t command, std::uint8_t value, std::vector<std::uint8_t>& out)
{
    ComPortInto(command, &value, 1, out);
}

void ComPortBaudInto(std::uint32_t bitsPerSecond, std::vector<std::uint8_t>& out)
{
    const std::uint8_t v[4] = {static_cast<std::uint8_t>(bitsPerSecond >> 24),
                               static_cast<std::uint8_t>(bitsPerSecond >> 16),
                               static_cast<std::uint8_t>(bitsPerSecond >> 8), static_cast<std::uint8_t>(bitsPerSecond)};
    ComPortInto(cpSetBaudRate, v, 4, out);
}

std::size_t BytesToCompletePair(const std::uint8_t* escaped, std::size_t sent, std::size_t total, bool crNul)
{
    std::size_t i = 0;
    while (i < sent) {
        const bool pair = escaped[i] == IAC || (crNul && escaped[i] == '\r');
        i += pair ? 2 : 1;
    }
    if (i > total)
        i = total;
    return i - sent;
}

std::string CommandName(std::uint8_t command)
{
    static const char* const names[] = {"SIGNATURE",         "SET-BAUDRATE",       "SET-DATASIZE",
                                        "SET-PARITY",        "SET-STOPSIZE",       "SET-CONTROL",
                                        "NOTIFY-LINESTATE",  "NOTIFY-MODEMSTATE",  "FLOWCONTROL-SUSPEND",
                                        "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
                                        "PURGE-DATA"};
    const std::uint8_t c = command >= ServerOffset ? static_cast<std::uint8_t>(command - ServerOffset) : command;
    if (c < sizeof names / sizeof names[0])
        return names[c];
    return "command " + std::to_string(command);
}

std::string OptionName(std::uint8_t option)
{
    switch (option) {
    case OptBinary: return "BINARY";
    case OptEcho: return "ECHO";
    case OptSuppressGoAhead: return "SUPPRESS-GO-AHEAD";
    case OptComPort: return "COM-PORT-OPTION";
    default: return "option " + std::to_string(option);
    }
}

std::string ControlName(std::uint8_t value)
{
    switch (value) {
    case ctlFlowNone: return "no flow control";
    case ctlFlowXonXoff: return "XON/XOFF flow control";
    case ctlFlowHardware: return "hardware flow control";
    case ctlBreakOn: return "break on";
    case ctlBreakOff: return "break off";
    case ctlDtrOn: return "DTR on";
    case ctlDtrOff: return "DTR off";
    case ctlRtsOn: return "RTS on";
    case ctlRtsOff: return "RTS off";
    case ctlInFlowNone: return "no inbound flow control";
    case ctlInFlowXonXoff: return "inbound XON/XOFF flow control";
    case ctlInFlowHardware: return "inbound hardware flow control";
    default: return "value " + std::to_string(value);
    }
}

}  // namespace sio::telnet
