// TIOQueue: the locked first-in first-out queue of I/O records that carries
// received bytes and event words from the reader and status threads to the
// dispatcher thread, and the entries of the dispatch log.
//
// Threading contract (up to three threads on one queue at a time, more for
// the dispatch log):
//  - Push, Clear, Count, ByteTotal, Empty, Wait and Wake: any thread.
//  - Peek, HandBack: the queue's one consumer thread (the dispatcher thread
//    for the input queue). A record taken with Peek is marked in use: Clear
//    leaves it alone, and a second Peek returns nullptr until the consumer
//    has popped it (Pop, then free it) or handed it back (HandBack).
//  - Pop: the consumer. A queue on which nobody peeks (the dispatch log) may
//    be popped from any thread; each Pop is one atomic step.
//  - AppendData, PushStatus: the one producer of received bytes and events
//    (the reader).
//  - A record's own fields are written by its creator before Push; after
//    that only by the consumer while it holds the record in use, by
//    AppendData or PushStatus under the queue's lock while nobody holds it,
//    or by whoever popped it. The queue owns every record it holds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace sio {

enum class TIOBufferKind : std::uint8_t { Data, Status, Log };

class TIOBuffer {
public:
    virtual ~TIOBuffer() = default;
    TIOBuffer(const TIOBuffer&) = delete;
    TIOBuffer& operator=(const TIOBuffer&) = delete;

    TIOBufferKind Kind() const { return kind_; }
    // The size that counts against the queue's byte total.
    std::int32_t Size() const { return size_; }
    // Set while a consumer holds the record after Peek.
    bool InUse() const { return inUse_.load(std::memory_order_acquire); }

protected:
    TIOBuffer(TIOBufferKind kind, std::int32_t size) : kind_(kind), size_(size) {}

private:
    friend class TIOQueue;
    TIOBufferKind kind_;
    std::int32_t size_;
    std::atomic<bool> inUse_{false};  // changed only under the owning queue's lock
};

// Received bytes: a zero-filled block of Size() bytes, of which UsedCount
// are filled and ReadCount already taken.
class TDataBuffer final : public TIOBuffer {
public:
    // Throws std::bad_alloc with "Insufficient memory to allocate I/O buffer."
    explicit TDataBuffer(std::int32_t size);
    // The same without throwing: nullptr when the block cannot be allocated.
    static std::unique_ptr<TDataBuffer> TryCreate(std::int32_t size) noexcept;

    std::uint8_t* Data() { return data_.get(); }
    const std::uint8_t* Data() const { return data_.get(); }
    std::int32_t UsedCount = 0;
    std::int32_t ReadCount = 0;

    std::int32_t Unread() const { return UsedCount - ReadCount; }

private:
    std::unique_ptr<std::uint8_t[]> data_;
};

// A communications event word (EV_* bits); counts nothing against the total.
class TStatusBuffer final : public TIOBuffer {
public:
    explicit TStatusBuffer(std::uint32_t status) : TIOBuffer(TIOBufferKind::Status, 0), Status(status) {}
    std::uint32_t Status;
};

// One dispatch-log entry. Its size is what it costs in memory (LogEntryCost),
// not only its attached bytes: a log of many small entries must stay within
// its limit too.
class TLogBuffer final : public TIOBuffer {
public:
    TLogBuffer(std::uint8_t type, std::uint16_t subtype, std::uint32_t time, std::uint32_t data,
               const void* bytes, std::uint32_t count);

    std::uint8_t EntryType;
    std::uint16_t EntrySubtype;
    std::uint32_t EntryTime;  // milliseconds since the log's time base
    std::uint32_t EntryData;
    std::vector<std::uint8_t> EntryBytes;
};

// The memory one log entry with count attached bytes takes: the record, its
// slot in the queue, the heap's bookkeeping for its two blocks, the bytes.
std::uint32_t LogEntryCost(std::uint32_t count);

// The error that TDataBuffer's constructor throws.
class EIOBufferAlloc : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "Insufficient memory to allocate I/O buffer."; }
};

class TIOQueue {
public:
    TIOQueue() = default;
    ~TIOQueue();  // frees every record, in use or not

    TIOQueue(const TIOQueue&) = delete;
    TIOQueue& operator=(const TIOQueue&) = delete;

    // Appends record, adds its size to the byte total, sets the wake event.
    void Push(std::unique_ptr<TIOBuffer> record);

    // The first record, now marked in use; nullptr if the queue is empty or
    // the first record is already in use. The queue keeps ownership.
    TIOBuffer* Peek();

    // Clears the in-use mark of a record taken with Peek.
    void HandBack(TIOBuffer* record);

    // Removes the first record (in use or not), subtracts its size from the
    // byte total and hands it over; nullptr if empty.
    std::unique_ptr<TIOBuffer> Pop();

    // Pop, but only while the byte total exceeds limit: one atomic step, so
    // that threads trimming at the same time never remove more than needed.
    std::unique_ptr<TIOBuffer> PopIfOver(std::uint32_t limit);

    // Push after removing the oldest records until the new one fits within
    // limit, in one atomic step, so that threads appending at the same time
    // never take the total above it. A record larger than limit is pushed
    // into an emptied queue.
    void PushWithin(std::unique_ptr<TIOBuffer> record, std::uint32_t limit);

    // Received bytes, from the queue's one producer (the reader): appended
    // to the last record while it is a data record that no consumer holds
    // and has room, else to new data records of recordSize bytes, so that
    // small reads do not cost a record each. Only what keeps DataBytes
    // within limit is queued. Returns the count queued (the rest is not),
    // or -1 when a record could not be allocated.
    std::int32_t AppendData(const std::uint8_t* bytes, std::int32_t count, std::int32_t recordSize,
                            std::uint32_t limit);

    // A communications event word from the queue's one producer: ORed into
    // the last record while it is a status record that no consumer holds,
    // else appended as a new one. Events that come one after another with
    // no data between them so take one record, however many there are: a
    // device (or a server) that reports events without end cannot grow the
    // queue beyond one status record per data record. False when no record
    // could be allocated.
    bool PushStatus(std::uint32_t word);

    // Waits up to ms until DataBytes is below limit (true) or Wake is called.
    bool WaitForRoom(std::uint32_t limit, std::uint32_t ms);

    // Frees every record that is not in use; records in use stay.
    void Clear();

    // Returns at once (true) if the queue holds a record; otherwise waits up
    // to ms for the wake event. True if a record is there or the event was
    // set; the event is reset on the way out (auto-reset).
    bool Wait(std::uint32_t ms);

    // Sets the wake event without pushing (to end a waiting consumer's wait);
    // also ends a WaitForRoom.
    void Wake();

    std::size_t Count() const;
    bool Empty() const { return Count() == 0; }
    std::uint32_t ByteTotal() const;
    // The bytes the data records hold (filled, read or not, until popped).
    std::uint32_t DataBytes() const;

private:
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable room_;  // data records left, or Wake
    bool signalled_ = false;
    std::deque<std::unique_ptr<TIOBuffer>> records_;
    std::uint32_t byteTotal_ = 0;
    std::uint32_t dataBytes_ = 0;
    std::uint32_t wakes_ = 0;  // counts Wake calls, to end a WaitForRoom

    // Bookkeeping for a record that leaves; caller holds lock_.
    void Forget(const TIOBuffer& record);
};

}  // namespace sio
