#include "base/IOQueue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sio {

namespace {

std::unique_ptr<std::uint8_t[]> AllocateBlock(std::int32_t size) noexcept
{
    const std::size_t n = size > 0 ? static_cast<std::size_t>(size) : 0;
    // value-initialised: the block starts zero-filled
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[n == 0 ? 1 : n]());
}

}  // namespace

TDataBuffer::TDataBuffer(std::int32_t size) : TIOBuffer(TIOBufferKind::Data, size), data_(AllocateBlock(size))
{
    if (!data_) throw EIOBufferAlloc();
}

std::unique_ptr<TDataBuffer> TDataBuffer::TryCreate(std::int32_t size) noexcept
{
    try {
        return std::make_unique<TDataBuffer>(size);
    } catch (...) {
        return nullptr;
    }
}

TLogBuffer::TLogBuffer(std::uint8_t type, std::uint16_t subtype, std::uint32_t time, std::uint32_t data,
                       const void* bytes, std::uint32_t count)
    : TIOBuffer(TIOBufferKind::Log, static_cast<std::int32_t>(LogEntryCost(bytes != nullptr ? count : 0))),
      EntryType(type),
      EntrySubtype(subtype), EntryTime(time), EntryData(data)
{
    if (bytes != nullptr && count > 0) {
        const auto* p = static_cast<const std::uint8_t*>(bytes);
        EntryBytes.assign(p, p + count);
    }
}

std::uint32_t LogEntryCost(std::uint32_t count)
{
    // glibc keeps about 16 bytes per heap block; a deque slot is one pointer.
    constexpr std::uint32_t kBlock = 16;
    constexpr std::uint32_t kFixed = sizeof(TLogBuffer) + sizeof(std::unique_ptr<TIOBuffer>) + 2 * kBlock;
    return count > 0xFFFFFFFFu - kFixed ? 0xFFFFFFFFu : kFixed + count;
}

TIOQueue::~TIOQueue()
{
    std::lock_guard lock(lock_);
    records_.clear();
    byteTotal_ = 0;
    dataBytes_ = 0;
}

void TIOQueue::Push(std::unique_ptr<TIOBuffer> record)
{
    if (!record) return;
    std::lock_guard lock(lock_);
    byteTotal_ += static_cast<std::uint32_t>(record->size_);
    if (record->kind_ == TIOBufferKind::Data)
        dataBytes_ += static_cast<std::uint32_t>(static_cast<const TDataBuffer&>(*record).UsedCount);
    records_.push_back(std::move(record));
    signalled_ = true;
    wake_.notify_all();
}

TIOBuffer* TIOQueue::Peek()
{
    std::lock_guard lock(lock_);
    if (records_.empty() || records_.front()->inUse_) return nullptr;
    records_.front()->inUse_ = true;
    return records_.front().get();
}

void TIOQueue::HandBack(TIOBuffer* record)
{
    if (record == nullptr) return;
    std::lock_guard lock(lock_);
    record->inUse_ = false;
}

std::unique_ptr<TIOBuffer> TIOQueue::Pop()
{
    std::lock_guard lock(lock_);
    if (records_.empty()) return nullptr;
    std::unique_ptr<TIOBuffer> record = std::move(records_.front());
    records_.pop_front();
    Forget(*record);
    record->inUse_ = false;
    return record;
}

std::unique_ptr<TIOBuffer> TIOQueue::PopIfOver(std::uint32_t limit)
{
    std::lock_guard lock(lock_);
    if (records_.empty() || byteTotal_ <= limit) return nullptr;
    std::unique_ptr<TIOBuffer> record = std::move(records_.front());
    records_.pop_front();
    Forget(*record);
    record->inUse_ = false;
    return record;
}

void TIOQueue::PushWithin(std::unique_ptr<TIOBuffer> record, std::uint32_t limit)
{
    if (!record) return;
    std::deque<std::unique_ptr<TIOBuffer>> dropped;  // freed after the lock is let go
    {
        std::lock_guard lock(lock_);
        const auto size = static_cast<std::uint32_t>(record->size_);
        while (!records_.empty() && (byteTotal_ + size > limit || byteTotal_ + size < byteTotal_)) {
            Forget(*records_.front());
            dropped.push_back(std::move(records_.front()));
            records_.pop_front();
        }
        byteTotal_ += size;
        if (record->kind_ == TIOBufferKind::Data)
            dataBytes_ += static_cast<std::uint32_t>(static_cast<const TDataBuffer&>(*record).UsedCount);
        records_.push_back(std::move(record));
        signalled_ = true;
    }
    wake_.notify_all();
}

void TIOQueue::Forget(const TIOBuffer& record)
{
    byteTotal_ -= static_cast<std::uint32_t>(record.size_);
    if (record.kind_ == TIOBufferKind::Data) {
        dataBytes_ -= static_cast<std::uint32_t>(static_cast<const TDataBuffer&>(record).UsedCount);
        room_.notify_all();
    }
}

bool TIOQueue::WaitForRoom(std::uint32_t limit, std::uint32_t ms)
{
    std::unique_lock lock(lock_);
    const std::uint32_t wakes = wakes_;
    room_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return dataBytes_ < limit || wakes_ != wakes; });
    return dataBytes_ < limit;
}

bool TIOQueue::PushStatus(std::uint32_t word)
{
    {
        std::lock_guard lock(lock_);
        if (!records_.empty() && records_.back()->kind_ == TIOBufferKind::Status && !records_.back()->inUse_) {
            static_cast<TStatusBuffer*>(records_.back().get())->Status |= word;
        } else {
            auto* record = new (std::nothrow) TStatusBuffer(word);
            if (!record)
                return false;
            records_.push_back(std::unique_ptr<TIOBuffer>(record));
        }
        signalled_ = true;
    }
    wake_.notify_all();
    return true;
}

std::int32_t TIOQueue::AppendData(const std::uint8_t* bytes, std::int32_t count, std::int32_t recordSize,
                                  std::uint32_t limit)
{
    if (count <= 0 || recordSize <= 0)
        return 0;
    std::int32_t done = 0;
    {
        std::lock_guard lock(lock_);
        const std::uint32_t room = dataBytes_ < limit ? limit - dataBytes_ : 0;
        const std::int32_t take = static_cast<std::int32_t>(std::min<std::uint32_t>(room, static_cast<std::uint32_t>(count)));
        while (done < take) {
            TDataBuffer* tail = nullptr;
            // The consumer touches a record only while it holds it, so one
            // it does not hold may grow under this lock.
            if (!records_.empty() && records_.back()->kind_ == TIOBufferKind::Data && !records_.back()->inUse_) {
                auto* last = static_cast<TDataBuffer*>(records_.back().get());
                if (last->UsedCount < last->Size())
                    tail = last;
            }
            if (!tail) {
                auto record = TDataBuffer::TryCreate(recordSize);
                if (!record)
                    return -1;
                tail = record.get();
                byteTotal_ += static_cast<std::uint32_t>(record->size_);
                records_.push_back(std::move(record));
            }
            const std::int32_t n = std::min(take - done, tail->Size() - tail->UsedCount);
            std::memcpy(tail->Data() + tail->UsedCount, bytes + done, static_cast<std::size_t>(n));
            tail->UsedCount += n;
            dataBytes_ += static_cast<std::uint32_t>(n);
            done += n;
        }
        if (done > 0)
            signalled_ = true;
    }
    if (done > 0)
        wake_.notify_all();
    return done;
}

void TIOQueue::Clear()
{
    std::lock_guard lock(lock_);
    for (auto it = records_.begin(); it != records_.end();) {
        if ((*it)->inUse_) {
            ++it;
            continue;
        }
        Forget(**it);
        it = records_.erase(it);
    }
}

bool TIOQueue::Wait(std::uint32_t ms)
{
    std::unique_lock lock(lock_);
    const auto ready_now = [&] { return !records_.empty() || signalled_; };
    bool ready = true;
    if (ms == 0xFFFFFFFFu)
        wake_.wait(lock, ready_now);
    else
        ready = wake_.wait_for(lock, std::chrono::milliseconds(ms), ready_now);
    signalled_ = false;
    return ready;
}

void TIOQueue::Wake()
{
    std::lock_guard lock(lock_);
    signalled_ = true;
    ++wakes_;
    wake_.notify_all();
    room_.notify_all();
}

std::size_t TIOQueue::Count() const
{
    std::lock_guard lock(lock_);
    return records_.size();
}

std::uint32_t TIOQueue::ByteTotal() const
{
    std::lock_guard lock(lock_);
    return byteTotal_;
}

std::uint32_t TIOQueue::DataBytes() const
{
    std::lock_guard lock(lock_);
    return dataBytes_;
}

}  // namespace sio
