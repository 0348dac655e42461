// The device layer of the dispatcher over the Win32-shaped serial calls of platform/Win32Serial.h,
// and its read, write and status threads.
//
// TSioWin32Dispatcher opens a COM port itself ("\\.\COMn"); TSioTAPI32Dispatcher works on a handle
// that the telephony line device got for a call (0: none, and InitPort fails with -2007). Either
// closes its handle when the port closes.
#pragma once

#include <functional>

#include "serial/Dispatcher.h"

// For tests: runs on the write thread between taking a block from the output ring and handing it to
// the device, the moment when only the thread holds those bytes. Set it before the port opens.
extern std::function<void()> WriteBlockTakenHook;

class TSioWin32Dispatcher : public TSioBaseDispatcher {
public:
    explicit TSioWin32Dispatcher(TSioBaseComponent* owner) : TSioBaseDispatcher(owner) {}
    ~TSioWin32Dispatcher() override;

    std::int32_t EscapeComFunction(std::int32_t func) override;
    std::int32_t FlushCom(std::int32_t queue) override;
    std::uint32_t GetComError(COMSTAT& status) override;
    std::uint32_t GetComEventMask(std::int32_t eventMask) override;
    std::int32_t GetComState(DCB& dcb) override;
    std::int32_t ReadCom(void* buffer, std::int32_t size) override;
    std::int32_t SetComState(DCB& dcb) override;
    std::int32_t WriteCom(const void* buffer, std::int32_t size) override;
    bool WaitComEvent(std::uint32_t& eventMask, OVERLAPPED* overlapped) override;
    bool SetupCom(std::int32_t inSize, std::int32_t outSize) override;
    void StartDispatcher() override;
    void StopDispatcher() override;
    std::int32_t OutBufUsed() override;
    std::int32_t InQueueUsed() override;
    std::int32_t OpenCom(const char* name, std::uint32_t inQueue, std::uint32_t outQueue) override;
    std::int32_t CloseCom() override;
    std::int32_t ProcessCommunications() override;

protected:
    void WakeThreads() override;

    friend class TSioWin32Thread;
    friend class TReadThread;
    friend class TWriteThread;
    friend class TStatusThread;

    TEvent SerialEvent{false, false}; // characters arrived: the status thread wakes the read thread
};

class TSioTAPI32Dispatcher : public TSioWin32Dispatcher {
public:
    TSioTAPI32Dispatcher(TSioBaseComponent* owner, HANDLE tapiHandle);
    std::int32_t OpenCom(const char* name, std::uint32_t inQueue, std::uint32_t outQueue) override;

private:
    HANDLE tapiHandle_;
};

// The threads' common ground: their view of the dispatcher and the sliced wait for an overlapped
// operation.
class TSioWin32Thread : public TSioDispatcherThread {
public:
    TSioWin32Thread(TSioWin32Dispatcher& dispatcher, TThreadRole role)
        : TSioDispatcherThread(dispatcher, role), Port(dispatcher) {}

protected:
    // Byte count when the operation ended, -161 when it failed (LastWinError set), Cancelled when the
    // workers were told to stop: the operation is then cancelled, so the caller may drop its buffers.
    static constexpr std::int32_t Cancelled = -1;
    virtual std::int32_t WaitForOverlapped(OVERLAPPED& overlapped);
    bool Killed() const;
    HANDLE Handle() const;
    void SetLastWinError(); // from the calling thread's last error
    // Stops with the failure's code unless the handle had gone (ERROR_INVALID_HANDLE): that stops the
    // workers silently.
    void StopFailed(std::int32_t exitCode);

    TSioWin32Dispatcher& Port;
};

// Moves received bytes into the input queue in 256-byte blocks.
class TReadThread : public TSioWin32Thread {
public:
    explicit TReadThread(TSioWin32Dispatcher& dispatcher) : TSioWin32Thread(dispatcher, TThreadRole::Read) {}

protected:
    void Execute() override;

private:
    std::int32_t ReadSerial(std::uint8_t* buffer, std::uint32_t size, OVERLAPPED& overlapped);
};

// Drains the output ring into the device.
class TWriteThread : public TSioWin32Thread {
public:
    explicit TWriteThread(TSioWin32Dispatcher& dispatcher)
        : TSioWin32Thread(dispatcher, TThreadRole::Write) {}

protected:
    void Execute() override;
    // As the base, and Flushed when the output was flushed meanwhile.
    std::int32_t WaitForOverlapped(OVERLAPPED& overlapped) override;

private:
    static constexpr std::int32_t Flushed = -2;
    std::int32_t WriteSerial(OVERLAPPED& overlapped);
};

// Waits for line events: wakes the read thread for received characters and queues the others.
class TStatusThread : public TSioWin32Thread {
public:
    explicit TStatusThread(TSioWin32Dispatcher& dispatcher)
        : TSioWin32Thread(dispatcher, TThreadRole::Status) {}

protected:
    void Execute() override;

private:
    std::int32_t WaitSerialEvent(std::uint32_t& events, OVERLAPPED& overlapped);
    std::uint32_t EventMask = 0;
};
