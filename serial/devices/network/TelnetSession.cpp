// The network dispatcher's telnet session: the queue of commands for the
// server, the options and COM-PORT-OPTION answers, the requests awaiting
// acknowledgement, the purges and their waits, and the notes for the log.
#include "devices/network/NetworkDispatcher.h"
#include "devices/network/NetworkInternal.h"

#include "port/DispatcherFactory.h"
#include "port/ComPort.h"

#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "errors/ErrorTexts.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sio {

// ---------------------------------------------------------------------------
// Telnet.

void TSioNetworkDispatcher::QueueControl(const std::vector<std::uint8_t>& bytes)
{
    {
        std::lock_guard l(controlLock_);
        controlOut_.insert(controlOut_.end(), bytes.begin(), bytes.end());
        RaiseTo(peakAnswers_, controlOut_.size());
    }
    outputReady_.Set();
}

std::size_t TSioNetworkDispatcher::ControlBacklog() const
{
    std::lock_guard l(controlLock_);
    return controlOut_.size();
}

void TSioNetworkDispatcher::SendComPort(std::uint8_t command, const std::vector<std::uint8_t>& value,
                                        std::uint32_t shown)
{
    std::vector<std::uint8_t> bytes;
    ComPortInto(command, value.data(), value.size(), bytes);
    if (command >= cpSetBaudRate && command <= cpSetControl) {
        std::lock_guard l(ackLock_);
        pending_.push_back({command, command == cpSetControl ? value[0] : std::uint8_t{0}, shown, Now()});
    }
    QueueControl(bytes);
    statusWake_.Set();
}

void TSioNetworkDispatcher::Note(const std::string& text)
{
    {
        std::lock_guard l(ackLock_);
        if (notes_.size() >= kMaxNotes)
            notes_.erase(notes_.begin());
        notes_.push_back(text);
    }
    // Kept before the look at the log: a log switched on meanwhile flushes
    // it (LogSwitchedOn), or this call does.
    FlushNotes();
}

void TSioNetworkDispatcher::FlushNotes()
{
    if (!log_.LogOn())
        return;
    std::vector<std::string> notes;
    {
        std::lock_guard l(ackLock_);
        notes.swap(notes_);
    }
    for (const std::string& n : notes)
        log_.AddLogEntry(ltDispatch, lsStatus, 0, n.data(), static_cast<std::uint32_t>(n.size()));
}

void TSioNetworkDispatcher::CheckAcks()
{
    std::vector<std::string> late;
    {
        std::lock_guard l(ackLock_);
        const std::uint32_t now = Now();
        while (!pending_.empty() && now - pending_.front().tick >= AckLimitMs) {
            const TPending& p = pending_.front();
            std::string name = CommandName(p.command) + " " + ShownValue(p.command, p.shown);
            unacknowledged_.push_back(name);
            late.push_back(std::move(name));
            pending_.erase(pending_.begin());
        }
    }
    for (const std::string& name : late)
        Note("No answer from the server to " + name + "; going on without it.");
}

void TSioNetworkDispatcher::HandleEvents(std::vector<TTelnetEvent>& events)
{
    for (TTelnetEvent& e : events) {
        if (e.kind == TTelnetEvent::Negotiation)
            HandleNegotiation(e.verb, e.option);
        else if (e.kind == TTelnetEvent::Subnegotiation && e.option == OptComPort && !e.payload.empty())
            HandleComPort(e.payload);
    }
}

void TSioNetworkDispatcher::HandleNegotiation(std::uint8_t verb, std::uint8_t option)
{
    // Only what we want is agreed to; everything else is refused, and a
    // request for what is already in force is not answered, so that the two
    // sides never loop.
    const bool wantLocal = option == OptBinary || option == OptSuppressGoAhead || option == OptComPort;
    const bool wantRemote = option == OptBinary || option == OptSuppressGoAhead;
    std::vector<std::uint8_t> reply;
    std::string note;
    {
        std::lock_guard l(negLock_);
        int& local = local_[option];
        int& remote = remote_[option];
        switch (verb) {
        case DO:
            if (!wantLocal) {
                NegotiationInto(WONT, option, reply);
            } else if (local != kOn) {
                if (local == kOff)
                    NegotiationInto(WILL, option, reply);
                local = kOn;
                if (option == OptComPort)
                    comPort_ = kOn;
                if (option == OptBinary)
                    sendCrNul_ = false;
            }
            break;
        case DONT:
            if (local != kOff) {
                if (local == kOn)
                    NegotiationInto(WONT, option, reply);
                local = kOff;
                if (option == OptComPort) {
                    comPort_ = kOff;
                    note = "The server refuses COM-PORT-OPTION: the line settings are the server's.";
                }
                if (option == OptBinary)
                    sendCrNul_ = true;
            }
            break;
        case WILL:
            if (!wantRemote) {
                NegotiationInto(DONT, option, reply);
            } else if (remote != kOn) {
                if (remote == kOff)
                    NegotiationInto(DO, option, reply);
                remote = kOn;
                if (option == OptBinary)
                    decoder_.SetCrNul(false);
            }
            break;
        case WONT:
            if (remote != kOff) {
                if (remote == kOn)
                    NegotiationInto(DONT, option, reply);
                remote = kOff;
                if (option == OptBinary)
                    decoder_.SetCrNul(true);
            }
            break;
        default:
            break;
        }
    }
    if (!reply.empty())
        QueueControl(reply);
    if (!note.empty())
        Note(note);
}

void TSioNetworkDispatcher::HandleComPort(const std::vector<std::uint8_t>& payload)
{
    const std::uint8_t command = payload[0];
    if (command < ServerOffset)
        return;  // a server never sends client commands; ignored
    const std::uint8_t c = static_cast<std::uint8_t>(command - ServerOffset);
    const std::uint8_t* v = payload.data() + 1;
    const std::size_t n = payload.size() - 1;
    switch (c) {
    case cpSignature:
        if (n == 0) {
            std::vector<std::uint8_t> reply;
            ComPortInto(cpSignature, reinterpret_cast<const std::uint8_t*>(kSignature),
                        sizeof kSignature - 1, reply);
            QueueControl(reply);
        } else {
            Note("Server signature: " + std::string(reinterpret_cast<const char*>(v), n));
        }
        return;
    case cpSetBaudRate:
    case cpSetDataSize:
    case cpSetParity:
    case cpSetStopSize:
    case cpSetControl: {
        if (n == 0 || (c == cpSetBaudRate && n < 4))
            return;
        const std::uint32_t value = c == cpSetBaudRate
                                        ? (std::uint32_t{v[0]} << 24) | (std::uint32_t{v[1]} << 16) |
                                              (std::uint32_t{v[2]} << 8) | v[3]
                                        : v[0];
        std::string note;
        {
            std::lock_guard l(ackLock_);
            if (c == cpSetControl) {
                const int group = ControlGroup(v[0]);
                if (group < 4)
                    serverControl_[group] = v[0];
            } else {
                serverValues_[c] = value;
                haveServerValue_[c] = true;
            }
            auto it = std::find_if(pending_.begin(), pending_.end(), [&](const TPending& p) {
                return p.command == c && (c != cpSetControl || ControlGroup(p.value) == ControlGroup(v[0]));
            });
            if (it != pending_.end()) {
                const std::uint32_t asked = it->shown;
                pending_.erase(it);
                if (asked != value)
                    note = "The server answered " + CommandName(c) + " " + ShownValue(c, asked) + " with " +
                           ShownValue(c, value) + ".";
            }
        }
        if (!note.empty())
            Note(note);
        return;
    }
    case cpNotifyLineState: {
        if (n == 0)
            return;
        std::uint32_t errors = 0;
        if (v[0] & lsBreakDetect)
            errors |= CE_BREAK;
        if (v[0] & lsFramingError)
            errors |= CE_FRAME;
        if (v[0] & lsParityError)
            errors |= CE_RXPARITY;
        if (v[0] & lsOverrunError)
            errors |= CE_OVERRUN;
        if (errors == 0)
            return;
        lineErrors_.fetch_or(errors);
        (void)inputQueue_.PushStatus(EV_ERR | ((errors & CE_BREAK) ? EV_BREAK : 0));
        return;
    }
    case cpNotifyModemState: {
        if (n == 0)
            return;
        const std::uint32_t lines = ((v[0] & msCts) ? MS_CTS_ON : 0) | ((v[0] & msDsr) ? MS_DSR_ON : 0) |
                                    ((v[0] & msRi) ? MS_RING_ON : 0) | ((v[0] & msCd) ? MS_RLSD_ON : 0);
        const std::uint32_t old = modemLines_.exchange(lines);
        const std::uint32_t changed = old ^ lines;
        std::uint32_t word = 0;
        if ((v[0] & msDeltaCts) || (changed & MS_CTS_ON))
            word |= EV_CTS;
        if ((v[0] & msDeltaDsr) || (changed & MS_DSR_ON))
            word |= EV_DSR;
        if ((v[0] & msDeltaCd) || (changed & MS_RLSD_ON))
            word |= EV_RLSD;
        if ((changed & MS_RING_ON) && (lines & MS_RING_ON))
            word |= EV_RING;
        if (v[0] & msRiTrailingEdge)
            word |= EV_RINGTE;
        if (word)
            (void)inputQueue_.PushStatus(word);
        return;
    }
    case cpPurgeData:
        if (n > 0 && v[0] >= purgeReceive && v[0] <= (purgeReceive | purgeTransmit)) {
            // Each kind counts its own answers: a server that answers one
            // kind and not the other is given up on for that kind alone. An
            // answer that comes after its wait ran out still shows that the
            // server answers that kind.
            bool ended = false;
            {
                std::lock_guard c(controlLock_);
                for (int k = 0; k < 2; ++k) {
                    if (!(v[0] & (k == 0 ? purgeReceive : purgeTransmit)))
                        continue;
                    TPurgeKind& p = purges_[k];
                    p.misses = 0;
                    if (!p.sentAt.empty()) {
                        RecordRoundTrip(Now() - p.sentAt.front());
                        p.sentAt.pop_front();
                    }
                    if (p.owed > 0 && --p.owed == 0)
                        ended = true;
                }
            }
            if (ended)
                outputReady_.Set();
        }
        return;
    case cpFlowControlSuspend:
        Note("The server asks to suspend sending (FLOWCONTROL-SUSPEND); its buffer is full.");
        return;
    default:
        return;
    }
}

bool TSioNetworkDispatcher::PurgeWaitInForce(std::uint32_t& until, std::vector<std::string>& notes)
{
    const std::uint32_t now = Now();
    bool inForce = false;
    for (int k = 0; k < 2; ++k) {
        TPurgeKind& p = purges_[k];
        if (p.owed == 0)
            continue;
        if (static_cast<std::int32_t>(p.until - now) > 0) {
            if (!inForce || static_cast<std::int32_t>(p.until - until) < 0)
                until = p.until;
            inForce = true;
            continue;
        }
        // A server still opening its device may let one pass; one that
        // never answers this kind is not waited for again.
        p.owed = 0;
        p.sentAt.clear();
        if (++p.misses == PurgeMissesToGiveUp)
            notes.push_back(std::string("No answer from the server to PURGE-DATA ") +
                            (k == 0 ? "receive" : "transmit") + " " + std::to_string(PurgeMissesToGiveUp) +
                            " times in a row; the output no longer waits for one.");
    }
    return inForce;
}

void TSioNetworkDispatcher::RecordRoundTrip(std::uint32_t ms)
{
    roundTrips_.push_back(ms);
    if (roundTrips_.size() > kRoundTripSamples)
        roundTrips_.pop_front();
    roundTripMs_ = *std::max_element(roundTrips_.begin(), roundTrips_.end());
}

bool TSioNetworkDispatcher::ReceivePurgeAwaited() const
{
    const TPurgeKind& p = purges_[0];
    return p.owed > 0 && static_cast<std::int32_t>(p.until - Now()) > 0;
}

int TSioNetworkDispatcher::PurgeMisses(std::uint8_t which) const
{
    if (which != purgeReceive && which != purgeTransmit)
        return 0;
    std::lock_guard c(controlLock_);
    return purges_[which == purgeReceive ? 0 : 1].misses;
}

// A purge goes out through the telnet queue, its wait in force with it.
void TSioNetworkDispatcher::SendPurge(std::uint8_t which)
{
    if (!rfc2217_.load() || comPort_.load() == kOff)
        return;
    // The ordering rule (NetworkDispatcher.h): the purge and its wait are in place
    // before the caller writes the next frame, in one step.
    std::vector<std::uint8_t> bytes;
    ComPortInto(cpPurgeData, which, bytes);
    {
        std::lock_guard c(controlLock_);
        TPurgeKind& p = purges_[which == purgeReceive ? 0 : 1];
        if (p.misses < PurgeMissesToGiveUp) {
            ++p.owed;
            p.until = Now() + PurgeWaitMs;
        }
        // Its answer, whenever it comes, measures the link; a server that
        // has stopped answering this kind is not timed.
        if (p.misses < PurgeMissesToGiveUp && p.sentAt.size() < 64)
            p.sentAt.push_back(Now());
        controlOut_.insert(controlOut_.end(), bytes.begin(), bytes.end());
    }
    outputReady_.Set();
}

}  // namespace sio
