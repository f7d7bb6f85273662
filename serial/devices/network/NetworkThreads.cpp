// The network dispatcher's three device threads: the reader splits what
// the socket brings into serial data and telnet commands, the writer alone
// writes to the socket, the status thread watches the acknowledgements.
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
// The three connection threads (TDeviceThread runs each loop).

std::int32_t TSioNetworkDispatcher::ReaderLoop()
{
    SignalThreadReady(TSioDispatcherThread::Reader);
    const int fd = fd_.Get();
    if (!QueueData(early_.data(), early_.size(), InputDiscards())) {
        RequestStop();
        return ecTapiNoMem;
    }
    early_.clear();
    if (earlyLost_ > 0) {
        // More came while the options were negotiated than the input
        // buffer holds: lost as a driver loses it.
        AddLineErrors(static_cast<std::int32_t>(CE_RXOVER));
        Note(std::to_string(earlyLost_) +
             " bytes that came while the options were negotiated did not fit the input buffer and were lost.");
    }
    std::uint8_t chunk[NetworkReadChunk];
    std::vector<std::uint8_t> data;
    std::vector<TTelnetEvent> events;
    while (!StopRequested()) {
        // While more answers wait than a server that reads would leave, the
        // socket is not read: the server's commands stay with it (and its
        // sending stops) until the writer has sent ours. A hang-up is still
        // seen. The writer wakes the reader when it takes them.
        const bool held = ControlBacklog() > ControlBacklogLimit;
        pollfd p[2] = {{fd, static_cast<short>(held ? 0 : POLLIN), 0}, {readerWake_.Fd(), POLLIN, 0}};
        // Every stop sets the reader wake: a port at rest wakes nobody.
        int r = sys::RetryEintr([&] { return ::poll(p, 2, -1); });
        if (r < 0) {
            lastOsError_ = errno;
            RequestStop();
            return ecDeviceRead;
        }
        if (p[1].revents)
            readerWake_.Consume();
        if (StopRequested())
            break;
        if (!p[0].revents)
            continue;
        if (p[0].revents & POLLNVAL) {
            RequestStop();
            return 0;
        }
        const std::uint32_t discardsSeen = InputDiscards();
        const ssize_t n = sys::RetryEintr([&] { return ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT); });
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0) {
            // The server closed the connection, or it broke (reset, the
            // keep-alive found nobody): the device has gone away.
            const int err = n == 0 ? ECONNRESET : errno;
            Note(n == 0 ? "The server closed the connection." : "The connection failed: " + SystemText(err));
            RequestStop();
            if (err == EBADF)
                return 0;
            lastOsError_ = err;
            return ecDeviceRead;
        }
        // Acknowledged at once: a server that sends without TCP_NODELAY
        // holds a reply behind its unacknowledged last segment (a telnet
        // answer, say) until our delayed acknowledgement, some 40 ms. The
        // kernel drops quick-ack mode again by itself, so it is set anew.
        int quick = 1;
        (void)::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
        data.clear();
        events.clear();
        if (rfc2217_.load())
            decoder_.Feed(chunk, static_cast<std::size_t>(n), data, events);
        else
            data.assign(chunk, chunk + n);
        if (!TakeReceived(data, events, discardsSeen)) {
            RequestStop();
            return ecTapiNoMem;
        }
        NoteInputHeld();
    }
    return 0;
}

void TSioNetworkDispatcher::NoteInputHeld()
{
    RaiseTo(peakInput_, inputQueue_.DataBytes());
    RaiseTo(peakRecords_, inputQueue_.Count());
}

TNetworkHoldings TSioNetworkDispatcher::PeakHoldings() const
{
    TNetworkHoldings h;
    h.telnetAnswers = peakAnswers_.load();
    h.earlyData = peakEarly_.load();
    h.inputData = peakInput_.load();
    h.inputRecords = peakRecords_.load();
    return h;
}

std::int32_t TSioNetworkDispatcher::WriterLoop()
{
    SignalThreadReady(TSioDispatcherThread::Writer);
    bool waiting = false;  // for a purge's answer, until waitEnd
    std::uint32_t waitEnd = 0;
    while (!StopRequested()) {
        pollfd p[2] = {{outputReady_.Fd(), POLLIN, 0}, {writerWake_.Fd(), POLLIN, 0}};
        // Awake when output comes, when a purge's wait ends, or to stop
        // (every stop sets the writer wake).
        int r = sys::RetryEintr([&] { return ::poll(p, 2, waiting ? MsLeft(waitEnd) : -1); });
        if (r < 0) {
            lastOsError_ = errno;
            RequestStop();
            return ecDeviceWrite;
        }
        if (p[1].revents) {
            writerWake_.Consume();
            SignalAbandoned();
        }
        // Output held for a purge's answer is looked at again as its time
        // runs out.
        if (p[0].revents || (waiting && MsLeft(waitEnd) == 0)) {
            outputReady_.Consume();
            if (StopRequested())
                break;
            std::int32_t pass = WritePass(waiting, waitEnd);
            if (pass != 0) {
                RequestStop();
                return pass;
            }
        }
    }
    return 0;
}

std::int32_t TSioNetworkDispatcher::StatusLoop()
{
    SignalThreadReady(TSioDispatcherThread::Status);
    while (!StopRequested()) {
        // Awake only while an answer is awaited, until it is late; every
        // stop sets the status wake.
        int wait = -1;
        {
            std::lock_guard l(ackLock_);
            if (!pending_.empty()) {
                const std::uint32_t age = Now() - pending_.front().tick;
                wait = age >= AckLimitMs ? 0 : static_cast<int>(AckLimitMs - age) + 1;
            }
        }
        statusWake_.Wait(wait);
        if (StopRequested())
            break;
        CheckAcks();
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Reader.

bool TSioNetworkDispatcher::TakeReceived(const std::vector<std::uint8_t>& data, std::vector<TTelnetEvent>& events,
                                         std::uint32_t discardsSeen)
{
    // In the order of the wire: a purge's answer among the data divides
    // what is dropped from what is kept.
    std::size_t at = 0;
    for (TTelnetEvent& e : events) {
        const std::size_t end = std::min(e.dataAt, data.size());
        if (end > at && !QueueData(data.data() + at, end - at, discardsSeen))
            return false;
        at = std::max(at, end);
        if (e.kind == TTelnetEvent::Negotiation)
            HandleNegotiation(e.verb, e.option);
        else if (e.kind == TTelnetEvent::Subnegotiation && e.option == OptComPort && !e.payload.empty())
            HandleComPort(e.payload);
    }
    return at >= data.size() || QueueData(data.data() + at, data.size() - at, discardsSeen);
}

bool TSioNetworkDispatcher::QueueData(const std::uint8_t* data, std::size_t count, std::uint32_t discardsSeen)
{
    std::size_t dropped = 0;
    // Asked under the dispatch lock, which DiscardInput holds while it puts
    // the receive purge's wait in force and empties the queue.
    auto keep = [&] {
        bool wanted = InputDiscards() == discardsSeen;
        if (wanted) {
            std::lock_guard c(controlLock_);
            wanted = !ReceivePurgeAwaited();
        }
        return wanted;
    };
    // Serial data hands over in records, as a tty's reader hands it.
    for (std::size_t at = 0; at < count; at += ReadRecordSize) {
        const auto n = static_cast<std::int32_t>(std::min<std::size_t>(ReadRecordSize, count - at));
        bool kept = true;
        if (!QueueReceived(data + at, n, [&] { return kept = keep(); }))
            return false;
        if (!kept)
            dropped += static_cast<std::size_t>(n);
    }
    if (dropped > 0) {
        purgeDropped_.fetch_add(dropped);
        static const char text[] = "Dropped: came before the server had carried out the purge of its receive side.";
        log_.AddLogEntry(ltDispatch, lsStatus, static_cast<std::uint32_t>(dropped), text, sizeof text - 1);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Writer.

std::int32_t TSioNetworkDispatcher::SendAll(const std::vector<std::uint8_t>& bytes, bool abandonable, bool crNul,
                                           bool* blockAbandoned)
{
    const int fd = fd_.Get();
    std::size_t done = 0;
    bool abandoned = false;
    while (done < bytes.size()) {
        if (blockAbandoned && !*blockAbandoned && writerWake_.Consume()) {
            // Telnet commands go out whole; the block after them is what the
            // discard drops, and it is told so at once.
            *blockAbandoned = true;
            SignalAbandoned();
        }
        if (abandonable && !abandoned && writerWake_.Consume()) {
            // The rest is dropped, but never half an escape: the byte after
            // a lone IAC would be taken as a command.
            const std::size_t tail = BytesToCompletePair(bytes.data(), done, bytes.size(), crNul);
            if (tail == 0)
                return 1;
            abandoned = true;
            const std::vector<std::uint8_t> rest(bytes.begin() + static_cast<std::ptrdiff_t>(done),
                                                 bytes.begin() + static_cast<std::ptrdiff_t>(done + tail));
            std::int32_t r = SendAll(rest, false, false);
            return r == 0 ? 1 : r;
        }
        const std::int32_t n = SendNoSignal(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p[2] = {{fd, POLLOUT, 0}, {writerWake_.Fd(), POLLIN, 0}};
            const bool watchWake = abandonable || (blockAbandoned && !*blockAbandoned);
            int r = sys::RetryEintr([&] { return ::poll(p, watchWake ? 2 : 1, kStopPollMs); });
            if (r < 0) {
                lastOsError_ = errno;
                return ecDeviceWrite;
            }
            if (r == 0 && StopRequested())
                return 0;
            continue;
        }
        const int err = n == 0 ? EPIPE : errno;
        if (err == EBADF)
            return ecInvalidHandle;
        lastOsError_ = err;
        Note("The connection failed while sending: " + SystemText(err));
        return ecDeviceWrite;
    }
    return 0;
}

std::int32_t TSioNetworkDispatcher::WritePass(bool& waiting, std::uint32_t& waitEnd)
{
    TWriterHolding holding{*this};
    waiting = false;
    for (;;) {
        // Telnet commands first (new line settings queued after the output
        // drained, purges, answers to the server), then the output ring,
        // unless a purge's answer is awaited: taken in one step, so that no
        // frame can overtake a purge queued before it (the ordering rule,
        // NetworkDispatcher.h).
        std::vector<std::uint8_t> control, raw;
        std::vector<std::string> notes;
        {
            TGuard o(outputLock_);
            std::lock_guard c(controlLock_);
            control.swap(controlOut_);
            waiting = PurgeWaitInForce(waitEnd, notes);
            if (!waiting)
                TakeOutputBlockLocked(raw);
        }
        for (const std::string& n : notes)
            Note(n);
        if (!control.empty()) {
            // The reader may have stopped reading while these waited.
            if (control.size() > ControlBacklogLimit)
                readerWake_.Set();
            bool blockAbandoned = false;
            std::int32_t r = SendAll(control, false, false, raw.empty() ? nullptr : &blockAbandoned);
            if (r != 0)
                return r == ecInvalidHandle ? 0 : r;
            if (blockAbandoned)
                raw.clear();
        }
        if (raw.empty()) {
            if (control.empty())
                return 0;
            continue;  // more may have been queued meanwhile
        }
        const bool crNul = rfc2217_.load() && sendCrNul_.load();
        const auto taken = static_cast<std::uint32_t>(raw.size());
        std::vector<std::uint8_t> block;
        if (rfc2217_.load())
            EscapeInto(raw.data(), raw.size(), block, crNul);
        else
            block.swap(raw);
        std::int32_t r = SendAll(block, true, crNul);
        if (r == 1) {
            SignalAbandoned();
            return 0;
        }
        if (r != 0)
            return r == ecInvalidHandle ? 0 : r;
        OutputHandedOver(taken);
    }
}

}  // namespace sio
