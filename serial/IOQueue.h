// The queue that carries received data and line events from the device threads to the dispatch
// thread: data blocks and status blocks, in arrival order.
//
// Each operation takes the queue's own lock. A consumer may Peek at the first block (marking it in
// use, so that Clear leaves it alone), read from it in place and then either Pop it or Release it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "platform/Sync.h"

class TIOBuffer {
public:
    virtual ~TIOBuffer() = default;
    bool InUse = false; // a consumer holds it; guarded by the queue's lock
    std::uint32_t Size;

protected:
    explicit TIOBuffer(std::uint32_t size) : Size(size) {}
};

// Size zeroed bytes, of which BytesUsed are valid and BytesRead already taken. Raises Exception
// "Insufficient memory to allocate I/O buffer." when the memory cannot be had.
class TDataBuffer : public TIOBuffer {
public:
    explicit TDataBuffer(std::uint32_t size);
    std::unique_ptr<std::uint8_t[]> Data;
    std::uint32_t BytesUsed = 0;
    std::uint32_t BytesRead = 0;
};

// The comm-event bits of one line event.
class TStatusBuffer : public TIOBuffer {
public:
    explicit TStatusBuffer(std::uint32_t status) : TIOBuffer(0), Status(status) {}
    std::uint32_t Status;
};

// One entry of the dispatch log (serial/DispatchLog.h): a private copy of the payload, whose length
// is Size (no copy for none).
class TLogBuffer : public TIOBuffer {
public:
    TLogBuffer(std::uint8_t type, std::uint16_t subType, std::uint32_t time, std::uint32_t data,
               const void* buffer, std::uint32_t length);
    std::uint32_t GetMoreData() const { return Size; }

    std::uint8_t DispatchType;
    std::uint16_t DispatchSubType;
    std::uint32_t Time; // milliseconds since the log's time base
    std::uint32_t Data;
    std::unique_ptr<std::uint8_t[]> Buffer;
};

class TIOQueue {
public:
    TIOQueue() = default;
    TIOQueue(const TIOQueue&) = delete;
    TIOQueue& operator=(const TIOQueue&) = delete;

    void Push(std::unique_ptr<TIOBuffer> buffer); // and sets the event
    // The first block, now in use; null when the queue is empty or the first block is in use.
    TIOBuffer* Peek();
    void Release(TIOBuffer* buffer);  // no longer in use
    std::unique_ptr<TIOBuffer> Pop(); // the first block, null when empty
    void Clear();                     // drops every block not in use, keeping the order of the rest
    // Returns at once when a block is queued, else waits for one at most timeoutMs.
    void WaitForBuffer(std::uint32_t timeoutMs);
    // Waits at most timeoutMs for the next Push or Wake, whatever is queued already.
    void WaitForPush(std::uint32_t timeoutMs) { event_.WaitFor(timeoutMs); }
    void Wake() { event_.SetEvent(); }
    std::uint32_t BytesQueued();
    bool Empty();

private:
    TCriticalSection lock_;
    TEvent event_{false, false};
    std::deque<std::unique_ptr<TIOBuffer>> buffers_;
    std::uint32_t bytesQueued_ = 0;
};
