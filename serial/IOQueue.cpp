#include "serial/IOQueue.h"

#include <cstring>
#include <mutex>
#include <new>

#include "serial/Exceptions.h"

TDataBuffer::TDataBuffer(std::uint32_t size) : TIOBuffer(size) {
    Data.reset(new (std::nothrow) std::uint8_t[size]());
    if (!Data)
        throw Exception("Insufficient memory to allocate I/O buffer.");
}

TLogBuffer::TLogBuffer(std::uint8_t type, std::uint16_t subType, std::uint32_t time, std::uint32_t data,
                       const void* buffer, std::uint32_t length)
    : TIOBuffer(length), DispatchType(type), DispatchSubType(subType), Time(time), Data(data) {
    if (length == 0)
        return;
    Buffer = std::make_unique<std::uint8_t[]>(length);
    std::memcpy(Buffer.get(), buffer, length);
}

void TIOQueue::Push(std::unique_ptr<TIOBuffer> buffer) {
    {
        std::lock_guard guard(lock_);
        bytesQueued_ += buffer->Size;
        buffers_.push_back(std::move(buffer));
    }
    event_.SetEvent();
}

TIOBuffer* TIOQueue::Peek() {
    std::lock_guard guard(lock_);
    if (buffers_.empty() || buffers_.front()->InUse)
        return nullptr;
    buffers_.front()->InUse = true;
    return buffers_.front().get();
}

void TIOQueue::Release(TIOBuffer* buffer) {
    std::lock_guard guard(lock_);
    buffer->InUse = false;
}

std::unique_ptr<TIOBuffer> TIOQueue::Pop() {
    std::lock_guard guard(lock_);
    if (buffers_.empty())
        return nullptr;
    std::unique_ptr<TIOBuffer> first = std::move(buffers_.front());
    buffers_.pop_front();
    bytesQueued_ -= first->Size;
    first->InUse = false;
    return first;
}

void TIOQueue::Clear() {
    std::lock_guard guard(lock_);
    std::deque<std::unique_ptr<TIOBuffer>> kept;
    for (std::unique_ptr<TIOBuffer>& buffer : buffers_) {
        if (buffer->InUse)
            kept.push_back(std::move(buffer));
        else
            bytesQueued_ -= buffer->Size;
    }
    buffers_ = std::move(kept);
}

void TIOQueue::WaitForBuffer(std::uint32_t timeoutMs) {
    {
        std::lock_guard guard(lock_);
        if (!buffers_.empty())
            return;
    }
    event_.WaitFor(timeoutMs);
}

std::uint32_t TIOQueue::BytesQueued() {
    std::lock_guard guard(lock_);
    return bytesQueued_;
}

bool TIOQueue::Empty() {
    std::lock_guard guard(lock_);
    return buffers_.empty();
}
