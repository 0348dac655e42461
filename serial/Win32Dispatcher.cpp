#include "serial/Win32Dispatcher.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "serial/ErrorCodes.h"
#include "serial/Exceptions.h"
#include "serial/Utilities.h"

namespace {

constexpr std::uint32_t ReadBlockSize = 256;
constexpr std::uint32_t StatusEventMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
constexpr std::uint32_t QueuedEvents = 0x21F8; // everything but received characters
constexpr std::int32_t DispatchThreadWaitTicks = 36;

// A block for the input queue, or null when the memory cannot be had.
template <class Block> std::unique_ptr<Block> NewBlock(std::uint32_t argument) {
    try {
        return std::make_unique<Block>(argument);
    } catch (...) {
        return nullptr;
    }
}

} // namespace

std::function<void()> WriteBlockTakenHook;

// The dispatcher's device operations.

TSioWin32Dispatcher::~TSioWin32Dispatcher() {
    Shutdown();
}

std::int32_t TSioWin32Dispatcher::EscapeComFunction(std::int32_t func) {
    EscapeCommFunction(comHandle_, std::uint32_t(func));
    return 0;
}

std::int32_t TSioWin32Dispatcher::FlushCom(std::int32_t queue) {
    if (queue == 0) {
        {
            std::lock_guard output(OutputSection);
            OutHead = OutTail = 0;
            OutFull = false;
        }
        const bool purged = PurgeComm(comHandle_, PURGE_TXABORT | PURGE_TXCLEAR);
        if (Present(WriteThread)) {
            OutFlushEvent->SetEvent();
            // The write thread drops what it held and says so, or ends: one told to stop may not say.
            for (int waited = 0; waited < 5000 && Present(WriteThread); waited += 50) {
                if (GeneralEvent->WaitFor(50) == WAIT_OBJECT_0)
                    break;
            }
        }
        return purged ? 1 : 0;
    }
    const bool purged = PurgeComm(comHandle_, PURGE_RXABORT | PURGE_RXCLEAR);
    InQueue.Clear();
    return purged ? 1 : 0;
}

std::uint32_t TSioWin32Dispatcher::GetComError(COMSTAT& status) {
    std::uint32_t errors = 0;
    COMSTAT device;
    // Under OutputSection the write thread is not between taking bytes and handing them over.
    std::lock_guard output(OutputSection);
    const bool answered = ClearCommError(comHandle_, &errors, &device);
    if (answered)
        status = device;
    // Not yet sent: the ring, the write thread's block and what the device still holds (nothing,
    // once it is gone).
    status.cbOutQue = std::uint32_t(OutBufUsed()) + WriteHeld + (answered ? device.cbOutQue : 0);
    return answered ? errors : 0;
}

std::uint32_t TSioWin32Dispatcher::GetComEventMask(std::int32_t) {
    return 0;
}

std::int32_t TSioWin32Dispatcher::GetComState(DCB& dcb) {
    return GetCommState(comHandle_, &dcb) ? 0 : -1;
}

std::int32_t TSioWin32Dispatcher::ReadCom(void* buffer, std::int32_t size) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::int32_t copied = 0;
    while (copied < size) {
        TIOBuffer* first = InQueue.Peek();
        auto* data = dynamic_cast<TDataBuffer*>(first);
        if (!data) { // status blocks are the dispatch pass's
            if (first)
                InQueue.Release(first);
            break;
        }
        const std::uint32_t n = std::min(std::uint32_t(size - copied), data->BytesUsed - data->BytesRead);
        std::memcpy(out + copied, data->Data.get() + data->BytesRead, n);
        data->BytesRead += n;
        copied += std::int32_t(n);
        if (data->BytesRead == data->BytesUsed)
            InQueue.Pop();
        else
            InQueue.Release(data);
    }
    return copied;
}

std::int32_t TSioWin32Dispatcher::SetComState(DCB& dcb) {
    return SetCommState(comHandle_, &dcb) ? 0 : -std::int32_t(GetLastError());
}

std::int32_t TSioWin32Dispatcher::WriteCom(const void* buffer, std::int32_t size) {
    {
        std::lock_guard output(OutputSection);
        const auto* in = static_cast<const std::uint8_t*>(buffer);
        const std::uint32_t first = std::min(std::uint32_t(size), OutQueueSize - OutHead);
        std::memcpy(OutBuffer.get() + OutHead, in, first);
        std::memcpy(OutBuffer.get(), in + first, std::uint32_t(size) - first);
        OutHead = (OutHead + std::uint32_t(size)) % OutQueueSize;
    }
    OutputEvent->SetEvent();
    return size;
}

bool TSioWin32Dispatcher::WaitComEvent(std::uint32_t& eventMask, OVERLAPPED*) {
    eventMask = 0;
    return true;
}

bool TSioWin32Dispatcher::SetupCom(std::int32_t inSize, std::int32_t outSize) {
    return SetupComm(comHandle_, std::uint32_t(inSize), std::uint32_t(outSize));
}

void TSioWin32Dispatcher::StartDispatcher() {
    {
        std::lock_guard data(DataSection);
        if (dispActive_)
            throw Exception("Dispatcher already started.");
        dispActive_ = true;
        KillThreads = false;
    }
    StartThread(ReadThread, std::make_unique<TReadThread>(*this));
    StartThread(DispatchThread, std::make_unique<TDispThread>(*this));
    StartThread(WriteThread, std::make_unique<TWriteThread>(*this));
    StartThread(StatusThread, std::make_unique<TStatusThread>(*this));
}

void TSioWin32Dispatcher::StopDispatcher() {
    if (dispActive_)
        CloseCom();
}

std::int32_t TSioWin32Dispatcher::OutBufUsed() {
    std::lock_guard output(OutputSection);
    if (OutFull)
        return std::int32_t(OutQueueSize);
    if (OutTail < OutHead)
        return std::int32_t(OutHead - OutTail);
    if (OutTail > OutHead)
        return std::int32_t(OutQueueSize - OutTail + OutHead);
    return 0;
}

std::int32_t TSioWin32Dispatcher::InQueueUsed() {
    TIOBuffer* first = InQueue.Peek();
    if (!first)
        return 0;
    const auto* data = dynamic_cast<const TDataBuffer*>(first);
    const std::int32_t unread = data ? std::int32_t(data->BytesUsed - data->BytesRead) : 0;
    InQueue.Release(first);
    return unread;
}

std::int32_t TSioWin32Dispatcher::OpenCom(const char* name, std::uint32_t, std::uint32_t) {
    const HANDLE handle = CreateFile(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE)
        comHandle_ = handle;
    return handle == INVALID_HANDLE_VALUE ? -1 : handle;
}

std::int32_t TSioWin32Dispatcher::CloseCom() {
    {
        std::lock_guard data(DataSection);
        if (InCloseCom)
            return 0;
        InCloseCom = true;
    }
    if (dispActive_) {
        WakeThreads();
        WaitPumping(
            [this] { return !Present(StatusThread) && !Present(WriteThread) && !Present(ReadThread); });
        // It may be delivering a notification to a window for up to 3000 ms. If it is still there
        // after both waits, the buffers stay until it has ended (the destructor waits for that).
        for (int i = 0; i < 2 && Present(DispatchThread); ++i)
            WaitPumping([this] { return !Present(DispatchThread); }, DispatchThreadWaitTicks);
    }
    std::int32_t result = 0;
    if (comHandle_ >= 0) {
        if (CloseHandle(comHandle_))
            comHandle_ = INVALID_HANDLE_VALUE;
        else
            result = -1;
    }
    std::lock_guard data(DataSection);
    InCloseCom = false;
    return result;
}

void TSioWin32Dispatcher::WakeThreads() {
    TSioBaseDispatcher::WakeThreads();
    if (Present(StatusThread))
        SetCommMask(comHandle_, 0); // ends its pending wait
    if (OutFlushEvent)
        OutFlushEvent->SetEvent();
    SerialEvent.SetEvent();
}

std::int32_t TSioWin32Dispatcher::ProcessCommunications() {
    Sleep(0);
    return 0;
}

TSioTAPI32Dispatcher::TSioTAPI32Dispatcher(TSioBaseComponent* owner, HANDLE tapiHandle)
    : TSioWin32Dispatcher(owner), tapiHandle_(tapiHandle) {
    // 0 is no handle: nothing is to be flushed or closed then (descriptor 0 is not the line's).
    comHandle_ = tapiHandle != 0 ? tapiHandle : INVALID_HANDLE_VALUE;
}

std::int32_t TSioTAPI32Dispatcher::OpenCom(const char*, std::uint32_t, std::uint32_t) {
    if (tapiHandle_ != 0)
        return tapiHandle_;
    SetLastError(std::uint32_t(-ecCommNotOpen)); // so that InitPort reports "device not open"
    return ecCommNotOpen;
}

// The threads.

bool TSioWin32Thread::Killed() const {
    return Port.KillThreads;
}

HANDLE TSioWin32Thread::Handle() const {
    return Port.comHandle_;
}

void TSioWin32Thread::SetLastWinError() {
    Port.lastWinError_ = GetLastError();
    Port.lastErrno_ = GetLastErrno();
}

void TSioWin32Thread::StopFailed(std::int32_t exitCode) {
    Stop(GetLastError() == ERROR_INVALID_HANDLE ? 0 : exitCode);
}

std::int32_t TSioWin32Thread::WaitForOverlapped(OVERLAPPED& overlapped) {
    while (!Killed()) {
        if (overlapped.hEvent->WaitFor(100) == WAIT_TIMEOUT)
            continue;
        std::uint32_t bytes = 0;
        const bool done = GetOverlappedResult(Handle(), &overlapped, &bytes, true);
        overlapped.hEvent->ResetEvent();
        if (done || GetLastError() == ERROR_OPERATION_ABORTED) // cancelled: nothing came
            return std::int32_t(bytes);
        SetLastWinError();
        return ecDeviceRead;
    }
    CancelIoEx(Handle(), &overlapped);
    return Cancelled;
}

void TReadThread::Execute() {
    TEvent done(true, false);
    OVERLAPPED overlapped;
    overlapped.hEvent = &done;
    COMMTIMEOUTS atOnce;
    atOnce.ReadIntervalTimeout = MAXDWORD; // a read takes what is there and returns
    SetCommTimeouts(Handle(), &atOnce);
    std::unique_ptr<TDataBuffer> block;
    while (!Killed()) {
        Port.SerialEvent.WaitFor(50);
        for (;;) {
            if (!block && !(block = NewBlock<TDataBuffer>(ReadBlockSize))) {
                Stop(ecTapiNoMem);
                return;
            }
            const std::int32_t n = ReadSerial(block->Data.get(), ReadBlockSize, overlapped);
            if (n < 0) {
                StopFailed(ecDeviceRead);
                return;
            }
            if (n == 0)
                break;
            block->BytesUsed = std::uint32_t(n);
            Port.InQueue.Push(std::move(block));
        }
    }
}

std::int32_t TReadThread::ReadSerial(std::uint8_t* buffer, std::uint32_t size, OVERLAPPED& overlapped) {
    std::uint32_t read = 0;
    if (ReadFile(Handle(), buffer, size, &read, &overlapped))
        return std::int32_t(read);
    SetLastWinError();
    return ecDeviceRead;
}

void TWriteThread::Execute() {
    TEvent done(true, false);
    OVERLAPPED overlapped;
    overlapped.hEvent = &done;
    while (!Killed()) {
        switch (WaitForMultipleObjects({Port.OutputEvent.get(), Port.OutFlushEvent.get()}, 100)) {
        case WAIT_OBJECT_0:
            if (!Killed() && WriteSerial(overlapped) != 0) {
                StopFailed(ecDeviceWrite);
                return;
            }
            break;
        case WAIT_OBJECT_0 + 1:
            Port.GeneralEvent->SetEvent(); // the flush is acknowledged
            break;
        default:
            break;
        }
    }
}

std::int32_t TWriteThread::WriteSerial(OVERLAPPED& overlapped) {
    for (;;) {
        std::vector<std::uint8_t> block;
        {
            std::lock_guard output(Port.OutputSection);
            if (!Port.OutFull && Port.OutHead == Port.OutTail)
                return 0;
            const std::uint32_t size = Port.OutQueueSize;
            const std::uint32_t n = Port.OutTail < Port.OutHead ? Port.OutHead - Port.OutTail
                                                                : size - Port.OutTail + Port.OutHead;
            block.resize(n);
            const std::uint32_t first = std::min(n, size - Port.OutTail);
            std::memcpy(block.data(), Port.OutBuffer.get() + Port.OutTail, first);
            std::memcpy(block.data() + first, Port.OutBuffer.get(), n - first);
            Port.OutHead = Port.OutTail = 0;
            Port.OutFull = false;
            Port.WriteHeld = n;
        }
        if (WriteBlockTakenHook)
            WriteBlockTakenHook();
        std::uint32_t done = 0;
        while (done < block.size()) {
            std::uint32_t written = 0;
            bool now = false;
            {
                // The device counts what it takes, a pending write included; the hand-over is
                // one step for OutBuffUsed.
                std::lock_guard output(Port.OutputSection);
                now = WriteFile(Handle(), block.data() + done, std::uint32_t(block.size()) - done, &written,
                                &overlapped);
                Port.WriteHeld = 0;
            }
            if (now) {
                done += written;
                continue;
            }
            if (GetLastError() != ERROR_IO_PENDING) {
                SetLastWinError();
                return ecDeviceWrite;
            }
            const std::int32_t n = WaitForOverlapped(overlapped);
            if (n == Flushed) {
                Port.GeneralEvent->SetEvent();
                break; // the rest of the block is dropped
            }
            if (n == Cancelled)
                return 0;
            if (n < 0)
                return GetLastError() == ERROR_OPERATION_ABORTED ? 0 : ecDeviceWrite;
            done += std::uint32_t(n);
        }
    }
}

std::int32_t TWriteThread::WaitForOverlapped(OVERLAPPED& overlapped) {
    while (!Killed()) {
        switch (WaitForMultipleObjects({overlapped.hEvent, Port.OutFlushEvent.get()}, 100)) {
        case WAIT_OBJECT_0: {
            std::uint32_t bytes = 0;
            if (!GetOverlappedResult(Handle(), &overlapped, &bytes, true)) {
                SetLastWinError();
                return ecDeviceWrite;
            }
            overlapped.hEvent->ResetEvent();
            return std::int32_t(bytes);
        }
        case WAIT_OBJECT_0 + 1:
            CancelIoEx(Handle(), &overlapped); // a flush purges the write already; this makes sure
            return Flushed;
        default:
            break;
        }
    }
    CancelIoEx(Handle(), &overlapped);
    return Cancelled;
}

void TStatusThread::Execute() {
    TEvent done(true, false);
    OVERLAPPED overlapped;
    overlapped.hEvent = &done;
    EventMask = StatusEventMask;
    SetCommMask(Handle(), EventMask);
    while (!Killed()) {
        std::uint32_t events = 0;
        const std::int32_t r = WaitSerialEvent(events, overlapped);
        if (r == Cancelled)
            return;
        if (r < 0) {
            StopFailed(r);
            return;
        }
        if (events & EV_RXCHAR)
            Port.SerialEvent.SetEvent();
        if (!(events & QueuedEvents))
            continue;
        std::unique_ptr<TStatusBuffer> block = NewBlock<TStatusBuffer>(events);
        if (!block) {
            Stop(ecTapiNoMem);
            return;
        }
        Port.InQueue.Push(std::move(block));
    }
}

std::int32_t TStatusThread::WaitSerialEvent(std::uint32_t& events, OVERLAPPED& overlapped) {
    events = 0;
    if (WaitCommEvent(Handle(), &events, &overlapped))
        return 0;
    if (GetLastError() == ERROR_IO_PENDING)
        return WaitForOverlapped(overlapped);
    SetLastWinError();
    return ecDeviceRead;
}
