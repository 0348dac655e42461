// TSioBaseDispatcher: the engine behind one open serial port, independent of the device.
//
// Ownership. The serial port component creates one dispatcher per open and destroys it after the
// close. The dispatcher owns the port's buffers (an 8192-byte dispatch ring that the application
// reads, an output ring of the size given to InitPort that the write thread drains, the input queue
// the device threads fill), its events and its four worker threads; a device layer
// (serial/Win32Dispatcher.h) owns the device handle. Buffers, events and threads are released only on
// the main thread, and only once every worker thread has ended.
//
// Results. 0 is success, a negative number an error code of serial/ErrorCodes.h; a few operations
// return a count or a state as the comment says. Nothing here raises.
//
// Threads. Every public operation belongs to the main thread, and to the handlers it notifies. The
// read, write and status threads move bytes and line events between the device and the dispatcher;
// the dispatch thread alone moves received bytes into the dispatch ring, follows the modem lines,
// checks the triggers and notifies their handlers (serial/Triggers.h), and reports a worker's
// failure. A worker that loses the device (read or write failure, hang-up) or cannot get memory
// stops all workers; the dispatch thread then puts the dispatcher in the lost state (PutBlock gives
// -3004, reads still serve what was received, GetLineError reports 10 once after a read or write
// failure, and armed line-status triggers fire) and posts DeviceLostMessage to each registered
// window, so that the component closes the port from the main thread. A close is never reported as
// a loss.
//
// Locks, always taken in this order: the port list, DataSection (settings, lines, errors, triggers,
// handler lists, trace), DispSection (the dispatch ring), OutputSection (the output ring), then each
// queue's own. None is held while the dispatcher waits for a thread or a window, or while a handler
// runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "platform/Sync.h"
#include "platform/Win32Serial.h"
#include "serial/DispatchLog.h"
#include "serial/IOQueue.h"
#include "serial/Triggers.h"

class TSioBaseComponent;
class TSioBaseDispatcher;

inline constexpr std::uint32_t DispatchBufferSize = 8192;

// The modem-line byte: the lines as GetCommModemStatus gives them (MS_CTS_ON, MS_DSR_ON, MS_RING_ON,
// MS_RLSD_ON) in the high half, and in the low half the change of each since it was last read.
inline constexpr std::uint8_t msDeltaCts = 0x01;
inline constexpr std::uint8_t msDeltaDsr = 0x02;
inline constexpr std::uint8_t msTrailingRing = 0x04; // a ring came
inline constexpr std::uint8_t msDeltaDcd = 0x08;
inline constexpr std::uint8_t msLines = 0xF0;
inline constexpr std::uint8_t msChanges = 0x0F;
inline constexpr std::uint8_t msKeepChanges = 0xFF; // a read that clears no change bit
// What a line change of CTS, DSR and DCD marks: each line's bit shifted down to its change bit.
inline constexpr std::uint8_t msChangeShift = 4;

// SetLine's "keep what the line has" values.
inline constexpr std::uint32_t KeepParity = 5;
inline constexpr std::uint8_t KeepDataBits = 9;
inline constexpr std::uint8_t KeepStopBits = 3;
// LineErrors after a worker lost the device.
inline constexpr std::uint32_t LineErrorsLost = 0xFFFFFFFF;
// Posted to every registered window when a worker failed: wParam the worker's exit code (-160
// write failure, -161 read or line-event failure, -13868 no memory, or the code of an exception on
// the dispatch thread: its ErrorCode, -9999 when it has none), lParam PortIndex shl 16. The
// exception itself is kept for the owner (TakeFailureError).
inline constexpr unsigned DeviceLostMessage = 0x7E0B;
// How long a window handler may take over one notification before the next handler follows.
inline std::atomic<unsigned> WndNotifyTimeoutMs{3000};

// InitPort's option word.
inline constexpr std::uint32_t ipDtr = 0x01;     // raise DTR
inline constexpr std::uint32_t ipRts = 0x02;     // raise RTS
inline constexpr std::uint32_t ipDtrAuto = 0x10; // DTR driven by hardware flow control
inline constexpr std::uint32_t ipRtsAuto = 0x20; // RTS driven by hardware flow control

// HWFlowOptions' options and HWFlowState's states.
inline constexpr std::uint32_t hfUseDtr = 1, hfUseRts = 2, hfRequireDsr = 4, hfRequireCts = 8;
inline constexpr std::int32_t fsOff = 1, fsOn = 2, fsDsrHold = 3, fsCtsHold = 4;
// SWFlowEnable's options and SWFlowState's states.
inline constexpr std::uint32_t sfTransmit = 1, sfReceive = 2;
inline constexpr std::int32_t fsXOffHold = 6, fsXOffSent = 7, fsBothHold = 8;

enum class TThreadRole { Read, Write, Status, Dispatch };

// A worker thread of one dispatcher. The dispatcher creates, starts, joins and frees it; the body
// (Execute) runs on its own thread and ends when the dispatcher's KillThreads is set.
class TSioDispatcherThread {
public:
    TSioDispatcherThread(TSioBaseDispatcher& dispatcher, TThreadRole role)
        : Role(role), Dispatcher(dispatcher) {}
    virtual ~TSioDispatcherThread();
    TSioDispatcherThread(const TSioDispatcherThread&) = delete;
    TSioDispatcherThread& operator=(const TSioDispatcherThread&) = delete;

    void Start();
    bool Gone() const { return gone_; } // its last act on the dispatcher is done
    void Join();
    TThreadId Id() const { return id_; }
    // 0, or why the thread stopped: -160, -161, -13868 or an exception's code.
    std::int32_t ExitCode() const { return exitCode_; }

    // Runs the handler, or any function, on the main thread while this thread waits; an exception
    // it raises comes back here. Needs the dispatcher's sync window (RegisterSyncEventTriggerHandler
    // makes it); without one nothing runs.
    void SyncNotify(unsigned msg, std::uint32_t trigger, std::uint32_t data, const TApdNotifyEvent& event);
    void Sync(const std::function<void()>& method);

    const TThreadRole Role;

protected:
    virtual void Execute() = 0;
    // Ends the thread's work: records the exit code (a failure is reported before the other workers
    // are told to stop) and stops every worker. An exception that ended it comes along.
    void Stop(std::int32_t exitCode, std::exception_ptr error = nullptr);

    TSioBaseDispatcher& Dispatcher;

private:
    friend class TSioBaseDispatcher;
    void Run();

    std::thread thread_;
    std::atomic<bool> gone_{false};
    std::atomic<TThreadId> id_{0};
    std::atomic<std::int32_t> exitCode_{0};
};

class TSioBaseDispatcher {
public:
    explicit TSioBaseDispatcher(TSioBaseComponent* owner);
    virtual ~TSioBaseDispatcher();
    TSioBaseDispatcher(const TSioBaseDispatcher&) = delete;
    TSioBaseDispatcher& operator=(const TSioBaseDispatcher&) = delete;

    // Opens the device, sets the line and starts the threads. Parity 0-4 as the DCB has it,
    // StopBits 1 or 2, FlowOpts of ip... bits. A failure closes what was opened and returns -8, minus
    // the Windows error of the open or of the queue sizes (-2 no such port, -5 in use or not
    // permitted: LastErrno tells which), or the line setting's error.
    std::int32_t InitPort(const char* name, std::int32_t baud, std::uint32_t parity, std::uint8_t dataBits,
                          std::uint8_t stopBits, std::uint32_t inSize, std::uint32_t outSize,
                          std::uint32_t flowOpts);
    // Flushes, closes the device and stops the threads. Called from inside a handler of its own
    // notification (which the dispatch thread waits for) it only tells the threads to end and marks
    // ClosePending; while the dispatcher is still busy once the threads have ended (a user marked it
    // with SetEventBusy) it closes the device and marks ClosePending. Either way the rest happens
    // when the dispatcher is destroyed, which the owner does once DispActive is false.
    void DonePort();

    // Baud 0, KeepParity, KeepDataBits and KeepStopBits keep the current value. Waits for the output to leave
    // first, unless nothing changes.
    std::int32_t SetLine(std::int32_t baud, std::uint32_t parity, std::uint8_t dataBits,
                         std::uint8_t stopBits);
    std::int32_t ChangeBaud(std::int32_t baud);
    void GetLine(std::int32_t& baud, std::uint16_t& parity, std::uint8_t& dataBits, std::uint8_t& stopBits);

    // 1 when hardware flow control drives the line (nothing done), 0, or -1002.
    std::int32_t SetDtr(bool on);
    std::int32_t SetRts(bool on);
    std::int32_t SetModem(bool dtr, bool rts);
    // The modem-line byte (msLines, msChanges); reading clears the change bits (Check... only that
    // line's).
    std::uint8_t GetModemStatus();
    bool CheckCTS();
    bool CheckDSR();
    bool CheckRI();
    bool CheckDCD();
    bool CheckDeltaCTS();
    bool CheckDeltaDSR();
    bool CheckDeltaRI();
    bool CheckDeltaDCD();
    // The most important pending error: 1 receive overrun, 2 overrun, 3 parity, 4 framing, 9 break,
    // 10 device lost, 0 none.
    std::int32_t GetLineError();
    bool CheckLineBreak();
    void SendBreak(std::uint32_t ticks, bool yield);
    void SetBreak(bool on);

    // Reading what the dispatch thread received. While an avail or data notification is delivered,
    // a handler's reads count as its own (every handler starts at the same first byte; the ring
    // moves on by the most any took when the notification ends). A read outside the handlers then
    // (between them, or on the main thread before its handler runs) gets the bytes past those the
    // handlers took, at once; the handlers go on after it and are told what is left of an avail
    // notification's bytes. A port that is not open has nothing to read: -2007.
    bool CharReady();
    std::int32_t PeekChar(std::uint8_t& ch, std::uint32_t index); // index 1 is the next byte
    std::int32_t GetChar(std::uint8_t& ch);
    std::int32_t PeekBlock(void* buffer, std::uint32_t length); // length, or -3007 with nothing copied
    std::int32_t GetBlock(void* buffer, std::uint32_t length);  // length, or -3007 with nothing taken
    std::int32_t InBuffUsed();
    std::int32_t InBuffFree();
    std::int32_t FlushInBuffer();

    // Sending: all of the block is queued or none of it.
    std::int32_t PutChar(std::uint8_t ch);
    std::int32_t PutString(const std::string& text);
    std::int32_t PutBlock(const void* buffer, std::uint32_t length);
    // Bytes not yet sent: the output ring, the write thread's block and the driver's queue (none
    // once the device is gone).
    std::int32_t OutBuffUsed();
    std::int32_t OutBuffFree();
    std::int32_t FlushOutBuffer();
    // Waits, running no messages, for the output to leave (at most 10 s, and not at all once the
    // write thread has stopped), then for the last characters to go out.
    void WaitTxSent();
    // What WaitTxSent sleeps after the output drained: 18 characters, or 36 when that is under 1 ms.
    static std::uint32_t TxSettleMs(const DCB& dcb, std::uint32_t baud);
    // A DCB baud field may hold an old baud index; the rate it stands for.
    static std::uint32_t ConvertBaud(std::uint32_t value);

    void BufferSizes(std::uint32_t& inSize, std::uint32_t& outSize);
    std::int32_t SetCommBuffers(std::uint32_t inSize, std::uint32_t outSize);

    std::int32_t HWFlowOptions(std::uint32_t bufferFull, std::uint32_t bufferResume, std::uint32_t options);
    std::int32_t HWFlowState();
    std::int32_t SWFlowEnable(std::uint32_t bufferFull, std::uint32_t bufferResume, std::uint32_t options);
    std::int32_t SWFlowDisable();
    std::int32_t SWFlowState();
    std::int32_t SWFlowChars(char onChar, char offChar);
    std::int32_t GetFlowOptions(std::uint32_t& hwOpts, std::uint32_t& swOpts, std::uint32_t& bufferFull,
                                std::uint32_t& bufferResume, char& onChar, char& offChar);

    void OptionsOn(std::uint32_t bits);
    void OptionsOff(std::uint32_t bits);
    bool OptionsAreOn(std::uint32_t bits);
    std::int32_t SetDataPointer(void* pointer, std::uint32_t index); // index 1 to 3
    std::int32_t GetDataPointer(void*& pointer, std::uint32_t index);
    void SetRS485Mode(bool on);
    void SetBaseAddress(std::uint16_t address);
    std::uint16_t GetBaseAddress();
    void SetEventBusy(bool& wasOn, bool setOn);

    // Triggers (serial/Triggers.h): a handle, 0, or -5001 no handle left, -5002 too long, -5003 no
    // such trigger, -1002 a bad status kind.
    std::int32_t AddDataTriggerLen(const void* data, bool ignoreCase, std::uint32_t len);
    std::int32_t AddDataTrigger(const char* data, bool ignoreCase);
    std::int32_t AddTimerTrigger();
    std::int32_t AddStatusTrigger(std::uint32_t kind);
    std::int32_t RemoveTrigger(std::uint32_t handle); // 1 switches the avail trigger off
    // Arms the timer for ticks (0: the period last given), or disarms it.
    std::int32_t SetTimerTrigger(std::uint32_t handle, std::int32_t ticks, bool activate);
    std::int32_t ExtendTimer(std::uint32_t handle, std::int32_t ticks);
    std::int32_t TimerTicksRemaining(std::uint32_t handle, std::int32_t& remaining);
    // Arms a status trigger with the value its kind takes (see the kinds), or disarms it.
    std::int32_t SetStatusTrigger(std::uint32_t handle, std::uint32_t value, bool activate);
    void ChangeLengthTrigger(std::uint32_t len); // the avail trigger's threshold; 0 switches it off
    void RemoveAllTriggers();
    void ResetStatusHits();
    void ResetDataTriggers(); // partial matches are forgotten
    void SaveTriggers(TTriggerSave& save);
    // Copies of the saved triggers replace the current ones; later handles never collide with them.
    void RestoreTriggers(const TTriggerSave& save);
    static void ClearSaveBuffers(TTriggerSave& save);
    // record: the TTimerTrigger, TStatusTrigger or TDataTrigger found (null when removed).
    std::int32_t FindTriggerFromHandle(std::uint32_t handle, bool remove, TTriggerType& kind, void*& record);
    static std::uint32_t ClassifyStatusTrigger(std::uint32_t handle) { return handle & 7; }

    // Handlers. The first window is the component's own: alone it is notified only after
    // UpdateHandlerFlags(fuEnablePort). A handler removed during a notification goes when it ends.
    void RegisterWndTriggerHandler(HWND window);
    void RegisterProcTriggerHandler(TApdNotifyProc proc);
    void RegisterEventTriggerHandler(const TApdNotifyEvent& event);
    // Its method runs on the main thread while the dispatch thread waits.
    void RegisterSyncEventTriggerHandler(const TApdNotifyEvent& event);
    void DeregisterWndTriggerHandler(HWND window);
    void DeregisterProcTriggerHandler(TApdNotifyProc proc);
    void DeregisterEventTriggerHandler(const TApdNotifyEvent& event);
    virtual void UpdateHandlerFlags(TApHandlerFlagUpdate update);

    // Dispatch thread: delivers one notification to every handler; false when the port was closed
    // meanwhile or an avail notification's bytes were not all taken.
    bool SendNotify(unsigned msg, std::uint32_t trigger, std::uint32_t data);
    // Dispatch thread: each true when it delivered a notification that asks for another check.
    bool CheckTimerTriggers();
    bool CheckStatusTriggers();
    bool CheckReceiveTriggers();
    bool CheckTriggers();

    // The byte trace (serial/DispatchLog.h). File results: 0, or minus the platform's error.
    std::int32_t InitTracing(std::uint32_t entries); // -1002 above 4,000,000
    void ClearTracing();
    void AbortTracing();
    void StartTracing();
    void StopTracing();
    void AddTraceEntry(char kind, std::uint8_t byte);
    std::int32_t DumpTrace(const std::string& fileName, bool inHex, bool allHex);
    std::int32_t AppendTrace(const std::string& fileName, bool inHex, bool allHex);
    // The dispatch log.
    void InitDispatchLogging(std::uint32_t maxBytes); // 0: no limit
    void ClearDispatchLogging();
    void AbortDispatchLogging();
    void StartDispatchLogging();
    void StopDispatchLogging();
    void AddDispatchEntry(TDispatchType type, TDispatchSubType subType, std::uint32_t data,
                          const void* buffer, std::uint32_t length);
    void AddStringToLog(const std::string& text);
    std::uint32_t GetDispatchTime(); // ms since the open
    std::int32_t DumpDispatchLog(const std::string& fileName, bool inHex, bool allHex);
    std::int32_t AppendDispatchLog(const std::string& fileName, bool inHex, bool allHex);

    // The global list of dispatchers, indexed by PortIndex; a closed one's slot is null. Lock it
    // while mapping an index to a dispatcher and while using what it gives.
    static void LockPortList();
    static void UnlockPortList();
    static TSioBaseDispatcher* PortListItem(std::int32_t index); // null when out of range or empty
    // The dispatcher of that class (or derived) that holds the handle; the last hit is remembered.
    template <class T> static T* GetTComRecPtr(HANDLE handle) {
        LockPortList();
        T* found = dynamic_cast<T*>(FindByHandle(handle));
        UnlockPortList();
        return found;
    }

    std::int32_t PortIndex() const { return portIndex_; }
    HANDLE ComHandle() const { return comHandle_; }
    TSioBaseComponent* Owner() const { return owner_; }
    bool DispActive() const { return dispActive_; }
    bool ClosePending() const { return closePending_; }
    bool Lost() const { return lost_; }
    // The exception that stopped the dispatch thread, once; null when none did.
    std::exception_ptr TakeFailureError();
    std::int32_t ActiveThreads() const { return activeThreads_; }
    std::uint32_t LastWinError() const { return lastWinError_; }
    int LastErrno() const { return lastErrno_; } // the reason behind LastWinError
    // How often the dispatch thread went back to waiting for news, and WaitTxSent began to wait for the
    // output, since the dispatcher was made: a test that sees the first move on twice after a change
    // knows that a whole pass ran after it.
    std::uint32_t DispatchWaits() const { return dispatchWaits_; }
    std::uint32_t TxSentWaits() const { return txSentWaits_; }
    std::string DeviceName;

    // The device layer, in the order of its slots.
    virtual std::int32_t EscapeComFunction(std::int32_t func) = 0;
    virtual std::int32_t FlushCom(std::int32_t queue) = 0; // 0 output, 1 input
    virtual std::uint32_t GetComError(COMSTAT& status) = 0;
    virtual std::uint32_t GetComEventMask(std::int32_t eventMask) = 0;
    virtual std::int32_t GetComState(DCB& dcb) = 0;
    virtual std::int32_t ReadCom(void* buffer, std::int32_t size) = 0;
    virtual std::int32_t SetComState(DCB& dcb) = 0;
    virtual std::int32_t WriteCom(const void* buffer, std::int32_t size) = 0;
    virtual bool WaitComEvent(std::uint32_t& eventMask, OVERLAPPED* overlapped) = 0;
    virtual bool SetupCom(std::int32_t inSize, std::int32_t outSize) = 0;
    virtual void DonePortPrim();
    virtual void StartDispatcher() = 0;
    virtual void StopDispatcher() = 0;
    virtual std::int32_t OutBufUsed() = 0;
    virtual std::int32_t InQueueUsed();
    virtual std::int32_t OpenCom(const char* name, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual std::int32_t CloseCom() = 0;
    virtual std::int32_t ProcessCommunications() = 0;
    virtual void SetThreadBoost(std::uint8_t boost);

protected:
    friend class TSioDispatcherThread;
    friend class TDispThread;

    // Tells the workers to end and wakes them from their waits, waiting for none.
    virtual void WakeThreads();

    // The close a device layer's destructor runs first: the port is closed, every worker has ended
    // and the buffers are freed when it returns.
    void Shutdown();
    // Main thread: lets messages run until done() holds, or for at most maxTicks (0: no limit).
    static void WaitPumping(const std::function<bool()>& done, std::int32_t maxTicks = 0);

    // Thread bookkeeping.
    void ThreadStart(TSioDispatcherThread& thread);
    void ThreadGone(TSioDispatcherThread& thread);
    void RecordFailure(std::int32_t exitCode, std::exception_ptr error);
    void ReportFailure(); // dispatch thread: the lost state, line-status triggers, DeviceLostMessage
    bool Present(const std::unique_ptr<TSioDispatcherThread>& thread) const {
        return thread && !thread->Gone();
    }
    void StartThread(std::unique_ptr<TSioDispatcherThread>& slot,
                     std::unique_ptr<TSioDispatcherThread> thread);
    int ThreadPriority(const TSioDispatcherThread& thread);

    bool ExtractData(std::uint32_t& moved);
    // The status triggers fired again and again until none fires; false when the port was closed
    // meanwhile.
    bool StatusTriggerLoop();

    // Triggers, with DataSection.
    std::uint32_t GetTriggerHandle();            // 0 when none is left
    void AddTriggerLocked(std::uint32_t handle); // raises TriggerCounter past a restored handle
    bool EventBusyNow();
    // The calling thread runs one of this dispatcher's handlers now (and the dispatch thread, when
    // the handler is on the main thread, waits for it).
    bool InHandler() const;
    // Main thread: the notify window, made with the first window or synchronised handler.
    void MakeNotifyWindow();
    HWND NotifyWindowHandle();
    template <class Handler, class Match>
    void Deregister(std::vector<Handler>& list, Match match, TDispatchSubType subType, std::uint32_t data);
    void PurgeDeletedHandlers();
    // With DispSection: the byte count of the first unread byte, and ScanPos kept within the unread.
    std::uint32_t TailCountLocked() const;
    // What a handler starting now is told: for an avail notification the announced bytes that
    // reads outside the handlers have left, else the trigger as it came.
    std::uint32_t TriggerToTell(unsigned msg, std::uint32_t trigger);
    void TraceBytes(char kind, const void* buffer, std::uint32_t length); // while the trace is on
    std::int32_t WriteTrace(const std::string& fileName, bool inHex, bool allHex, bool append);
    std::int32_t WriteDispatchLog(const std::string& fileName, bool inHex, bool allHex, bool append);

    std::uint8_t GetModemStatusPrim(std::uint8_t clearMask);
    void MapEventsToMS();
    void RefreshStatus();
    std::int32_t SetCommStateFix(DCB& dcb);
    // With DispSection: every unread byte of the ring; whether the caller is the running handler of
    // a data notification; how many bytes past the tail the caller's reads start (its own taken
    // ones for that handler, what the notification's handlers took for anyone else); what a read
    // may take now.
    std::uint32_t StoredLocked() const;
    bool HandlersReadLocked() const;
    std::uint32_t SkippedLocked() const;
    std::uint32_t UnreadLocked() const;
    void CopyOutLocked(void* buffer, std::uint32_t length) const;
    void TakeLocked(std::uint32_t length);
    void ReleaseResources();

    TSioBaseComponent* const owner_;
    std::int32_t portIndex_ = -1;
    std::atomic<HANDLE> comHandle_{INVALID_HANDLE_VALUE};

    TCriticalSection DataSection;
    TCriticalSection OutputSection;
    TCriticalSection DispSection;

    // DataSection.
    std::uint32_t LineErrors = 0;
    std::uint32_t InQueueSize = 0;
    std::uint32_t OutQueueSize = 0;
    std::uint32_t ModemStatus = 0;
    COMSTAT ComStatus;
    DCB Dcb;
    std::uint32_t CurrentBaud = 115200;
    std::uint32_t Options = 0;
    bool DtrState = false, DtrAuto = false, RtsState = false, RtsAuto = false;
    bool RS485Mode = false;
    std::uint16_t BaseAddress = 0;
    bool NotifyForced = false, NotifyEnabled = false;
    struct TWndTriggerHandler {
        HWND Window;
        bool Deleted;
    };
    struct TProcTriggerHandler {
        TApdNotifyProc Proc;
        bool Deleted;
    };
    struct TEventTriggerHandler {
        TApdNotifyEvent Event;
        bool Deleted;
        bool Sync;
    };
    std::vector<TWndTriggerHandler> WndTriggerHandlers;
    std::vector<TProcTriggerHandler> ProcTriggerHandlers;
    std::vector<TEventTriggerHandler> EventTriggerHandlers;
    std::vector<std::unique_ptr<TTimerTrigger>> TimerTriggers;
    std::vector<std::unique_ptr<TDataTrigger>> DataTriggers;
    std::vector<std::unique_ptr<TStatusTrigger>> StatusTriggers;
    std::uint32_t LenTrigger = 0;
    std::uint32_t TriggerCounter = 1;
    bool StatusHit = false;
    bool EventBusy = false;
    bool HandlerDeletePending = false;
    struct TTraceEntry {
        char Kind;
        std::uint8_t Byte;
    };
    bool TraceOn = false;
    std::unique_ptr<TTraceEntry[]> TraceBuffer;
    std::uint32_t TraceIndex = 0, TraceMax = 0;
    bool TraceWrapped = false;
    bool RingFlag = false;
    bool InCloseCom = false;
    void* DataPointers[3] = {};
    std::uint8_t ThreadBoost = 0;

    // DispSection.
    std::unique_ptr<std::uint8_t[]> DispBuffer;
    std::uint32_t DispHead = 0, DispTail = 0;
    bool DispFull = false;
    bool InDataNotify = false;
    // A handler of the data notification is being delivered (for the main thread's handlers: the
    // dispatch thread waits for it); only that handler's own reads count as its own.
    bool HandlerRunning = false;
    std::uint32_t HandlerTaken = 0, MaxTaken = 0;
    std::uint32_t AvailEnd = 0; // the byte count where an avail notification's bytes end
    // Counted in bytes moved into the ring since the open (a ring position is the count mod 8192),
    // so that a ring that filled all the way round is told from one that did not move: Received,
    // the next byte to scan for data triggers, and where the last avail notification was made.
    std::uint32_t Received = 0, ScanPos = 0, LastAvailPos = 0;

    // OutputSection.
    std::unique_ptr<std::uint8_t[]> OutBuffer;
    std::uint32_t OutHead = 0, OutTail = 0;
    bool OutFull = false;
    std::uint32_t WriteHeld = 0; // taken from the ring by the write thread, not yet handed to the device

    // Shared between the threads without a section.
    std::atomic<bool> KillThreads{false};
    std::atomic<bool> closePending_{false};
    std::atomic<bool> OutSent{false};
    std::atomic<bool> dispActive_{false};
    std::atomic<std::int32_t> activeThreads_{0};
    std::atomic<std::uint32_t> lastWinError_{0};
    std::atomic<int> lastErrno_{0};
    std::atomic<bool> lost_{false};
    std::atomic<std::uint32_t> dispatchWaits_{0};
    std::atomic<std::uint32_t> txSentWaits_{0};
    std::atomic<std::int32_t> failure_{0}; // the first worker failure, until the dispatch thread reports it
    std::exception_ptr failureError_;      // DataSection: the exception behind it, until the owner takes it

    // The dispatch log: its queue has its own lock.
    std::atomic<bool> DLoggingOn{false};
    std::atomic<std::uint32_t> DLoggingMax{0};
    std::atomic<std::uint32_t> TimeBase{0};
    TIOQueue LogQueue;

    // Dispatch thread only.
    std::uint32_t LastEvent = 0;

    // Created by InitPort, released with the buffers.
    std::unique_ptr<TEvent> GeneralEvent, OutputEvent, OutFlushEvent;
    TIOQueue InQueue;
    // Runs the window and synchronised handlers on the main thread for the dispatch thread, counting
    // them in mainHandlers_ while they run.
    std::unique_ptr<TMessageWindow> NotifyWindow;
    const std::shared_ptr<std::atomic<int>> mainHandlers_ = std::make_shared<std::atomic<int>>(0);

    // Main thread only; each thread object lives until it has ended and been joined.
    std::unique_ptr<TSioDispatcherThread> ReadThread, DispatchThread, WriteThread, StatusThread;

private:
    static TSioBaseDispatcher* FindByHandle(HANDLE handle); // port list locked
    bool shutDown_ = false;
};

// The dispatch thread: runs the dispatch pass whenever a block arrives, and at least every 50 ms.
class TDispThread : public TSioDispatcherThread {
public:
    explicit TDispThread(TSioBaseDispatcher& dispatcher)
        : TSioDispatcherThread(dispatcher, TThreadRole::Dispatch) {}

protected:
    void Execute() override;

private:
    // The two halves of a pass: the queue, the ring and the triggers it may fire; then the status
    // and timer triggers. ProcessQueue is true when it took a block or moved bytes.
    bool ProcessQueue();
    void CheckIdleTriggers();
};
