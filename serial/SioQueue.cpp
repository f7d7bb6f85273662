#include "SioQueue.h"

#include <cstring>

namespace sio {

TDataBuffer::TDataBuffer(std::int32_t size) : TIOBuffer(TIOBufferKind::Data, size) {}
std::unique_ptr<TDataBuffer> TDataBuffer::TryCreate(std::int32_t) noexcept { return nullptr; }
TLogBuffer::TLogBuffer(std::uint8_t type, std::uint16_t subtype, std::uint32_t time, std::uint32_t data,
                       const void*, std::uint32_t count)
    : TIOBuffer(TIOBufferKind::Log, static_cast<std::int32_t>(count)), EntryType(type), EntrySubtype(subtype),
      EntryTime(time), EntryData(data)
{
}
TIOQueue::~TIOQueue() = default;
void TIOQueue::Push(std::unique_ptr<TIOBuffer>) {}
TIOBuffer* TIOQueue::Peek() { return nullptr; }
void TIOQueue::HandBack(TIOBuffer*) {}
std::unique_ptr<TIOBuffer> TIOQueue::Pop() { return nullptr; }
void TIOQueue::Clear() {}
bool TIOQueue::Wait(std::uint32_t) { return false; }
void TIOQueue::Wake() {}
std::size_t TIOQueue::Count() const { return 0; }
std::uint32_t TIOQueue::ByteTotal() const { return 0; }

}  // namespace sio
