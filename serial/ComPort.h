// TSioCustomComPort and TSioComPort: the serial port component. It holds a port's settings and event
// handlers, makes the dispatcher that does the work when the port opens and frees it when it closes,
// and owns the hidden window through which the dispatcher's notifications reach the main thread.
//
// Properties: each setter acts only on a change of value (the flow-control, flow-character, DTR,
// RTS, trace, log and option setters also while ForceApply is set, as during an open) and passes the
// new value to an open port at once; on a closed port the value is stored and takes effect at the
// next open. Anything that needs the dispatcher opens a closed port first when AutoOpen is set, and
// raises ECommNotOpen otherwise; while the port is shutting down it does nothing.
//
// Failures: every dispatcher result goes through CheckException (serial/Exceptions.h), so they
// surface as the library's exceptions. A failed open leaves no dispatcher, Open false.
//
// Events run on the main thread while the dispatch thread waits for them. A handler may close the
// port: the close then finishes when the window's deferred message arrives (OnPortClose has run by
// the time the close returns). A device that is lost under an open port closes the port by itself
// and raises OnPortClose; a loss other than a read or write failure is also shown as the error it is,
// an exception of a handler on the dispatch thread with its own message.
//
// Main thread only. The COM port selection dialog (PromptForComPort) and the application's error
// box (ApplicationHandleException) come from the program; a program without Qt provides its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "serial/Dispatcher.h"
#include "serial/Utilities.h"

enum TDeviceLayer : std::uint8_t { dlWin32, dlWinsock };
using TDeviceLayers = TSet<TDeviceLayer>;
enum TParity : std::uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum THWFlowOptions : std::uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
using THWFlowOptionSet = TSet<THWFlowOptions>;
enum TSWFlowOptions : std::uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : std::uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause, tlAppendAndContinue };
// tmOn: the port runs on a handle that the telephony line device handed over (TapiCid).
enum TTapiMode : std::uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum TPortState : std::uint8_t { psClosed, psShuttingDown, psOpen };
enum TApThreadBoost : std::uint8_t { tbNone, tbPlusOne, tbPlusTwo };
enum TFlowControlState : std::uint8_t {
    fcOff,
    fcOn,
    fcDsrHold,
    fcCtsHold,
    fcDcdHold,
    fcXOutHold, // output held by a received XOFF
    fcXInHold,  // XOFF sent
    fcXBothHold,
};
enum TSioCallbackType : std::uint8_t { ctOpen, ctClosing, ctClosed };

// Sent to the windows of the user list (RegisterUser); PortClosingMessage also finishes a deferred
// close at the port's own window.
inline constexpr unsigned PortOpenMessage = 0x7E08;
inline constexpr unsigned PortCloseMessage = 0x7E09;
inline constexpr unsigned PortClosingMessage = 0x7E0A;

// Shows the COM port selection dialog modally; true with the chosen port's number on OK.
bool PromptForComPort(std::uint16_t& comNumber);

class TSioCustomComPort : public TSioBaseComponent {
public:
    using TNotifyEvent = std::function<void(TSioCustomComPort* cp)>;
    using TTriggerEvent = std::function<void(TSioCustomComPort* cp, std::uint16_t msg,
                                             std::uint16_t triggerHandle, std::uint16_t data)>;
    using TTriggerAvailEvent = std::function<void(TSioCustomComPort* cp, std::uint16_t count)>;
    // OnTriggerData, OnTriggerStatus, OnTriggerTimer.
    using TTriggerHandleEvent = std::function<void(TSioCustomComPort* cp, std::uint16_t triggerHandle)>;
    using TTriggerLineErrorEvent =
        std::function<void(TSioCustomComPort* cp, std::uint16_t error, bool lineBreak)>;
    using TWaitCharEvent = std::function<void(TSioCustomComPort* cp, char c)>;
    using TPortCallback = TMethod<TSioCustomComPort*, bool>; // (port, opening)
    using TPortCallbackEx = TMethod<TSioCustomComPort*, TSioCallbackType>;

    explicit TSioCustomComPort(const void* owner = nullptr);
    ~TSioCustomComPort() override;

    // Properties, with their defaults.
    TDeviceLayer DeviceLayer() const { return deviceLayer_; } // dlWin32
    void SetDeviceLayer(TDeviceLayer layer);
    std::uint16_t ComNumber() const { return comNumber_; } // 0: not chosen
    void SetComNumber(std::uint16_t number);
    std::int32_t Baud() const { return baud_; } // 19200
    void SetBaud(std::int32_t baud);
    bool PromptForPort() const { return promptForPort_; } // true
    void SetPromptForPort(bool prompt) { promptForPort_ = prompt; }
    TParity Parity() const { return parity_; } // pNone
    void SetParity(TParity parity);
    std::uint16_t DataBits() const { return dataBits_; } // 8
    void SetDataBits(std::uint16_t bits);
    std::uint16_t StopBits() const { return stopBits_; } // 1
    void SetStopBits(std::uint16_t bits);
    std::uint16_t InSize() const { return inSize_; } // 4096
    void SetInSize(std::uint16_t size);
    std::uint16_t OutSize() const { return outSize_; } // 4096
    void SetOutSize(std::uint16_t size);
    bool AutoOpen() const { return autoOpen_; } // true
    void SetAutoOpen(bool on) { autoOpen_ = on; }
    bool Open() const { return open_; } // false
    void SetOpen(bool on);
    bool DTR() const { return dtr_; } // true
    void SetDTR(bool on);
    bool RTS() const { return rts_; } // true
    void SetRTS(bool on);
    THWFlowOptionSet HWFlowOptions() const { return hwFlowOptions_; } // empty
    void SetHWFlowOptions(THWFlowOptionSet options);
    TSWFlowOptions SWFlowOptions() const { return swFlowOptions_; } // swfNone
    void SetSWFlowOptions(TSWFlowOptions options);
    char XOnChar() const { return xOnChar_; } // 17
    void SetXOnChar(char c);
    char XOffChar() const { return xOffChar_; } // 19
    void SetXOffChar(char c);
    std::uint16_t BufferFull() const { return bufferFull_; } // 0: chosen with the flow control
    void SetBufferFull(std::uint16_t level);
    std::uint16_t BufferResume() const { return bufferResume_; } // 0: chosen with the flow control
    void SetBufferResume(std::uint16_t level);
    TTraceLogState Tracing() const { return trace_.State; } // tlOff
    void SetTracing(TTraceLogState state);
    std::uint32_t TraceSize() const { return trace_.Size; } // 10000 entries, at most 4,000,000
    void SetTraceSize(std::uint32_t size);
    std::string TraceName() const { return trace_.Name; } // "SIO.TRC"
    void SetTraceName(const std::string& name) { trace_.Name = name; }
    bool TraceHex() const { return trace_.Hex; } // true
    void SetTraceHex(bool on) { trace_.Hex = on; }
    bool TraceAllHex() const { return trace_.AllHex; } // false
    void SetTraceAllHex(bool on) { trace_.AllHex = on; }
    TTraceLogState Logging() const { return log_.State; } // tlOff
    void SetLogging(TTraceLogState state);
    std::uint32_t LogSize() const { return log_.Size; } // 10000, at most 16,000,000
    void SetLogSize(std::uint32_t size);
    std::string LogName() const { return log_.Name; } // "SIO.LOG"
    void SetLogName(const std::string& name) { log_.Name = name; }
    bool LogHex() const { return log_.Hex; } // true
    void SetLogHex(bool on) { log_.Hex = on; }
    bool LogAllHex() const { return log_.AllHex; } // false
    void SetLogAllHex(bool on) { log_.AllHex = on; }
    bool UseMSRShadow() const { return true; }
    virtual void SetUseMSRShadow(bool) {}
    bool UseEventWord() const { return useEventWord_; } // true: dispatcher option 4
    void SetUseEventWord(bool on);
    std::uint16_t CommNotificationLevel() const { return commNotificationLevel_; } // 10, stored only
    void SetCommNotificationLevel(std::uint16_t level) { commNotificationLevel_ = level; }
    TTapiMode TapiMode() const { return tapiMode_; } // tmAuto
    void SetTapiMode(TTapiMode mode) { tapiMode_ = mode; }
    bool RS485Mode() const { return rs485Mode_; } // false
    void SetRS485Mode(bool on);

    // Events.
    TNotifyEvent OnPortClose() const { return onPortClose_; }
    void SetOnPortClose(TNotifyEvent handler) { onPortClose_ = std::move(handler); }
    TNotifyEvent OnPortOpen() const { return onPortOpen_; }
    void SetOnPortOpen(TNotifyEvent handler) { onPortOpen_ = std::move(handler); }
    TTriggerEvent OnTrigger() const { return onTrigger_; } // every notification
    void SetOnTrigger(TTriggerEvent handler);
    TTriggerAvailEvent OnTriggerAvail() const { return onTriggerAvail_; } // received bytes wait
    void SetOnTriggerAvail(TTriggerAvailEvent handler);
    TTriggerHandleEvent OnTriggerData() const { return onTriggerData_; }
    void SetOnTriggerData(TTriggerHandleEvent handler);
    TTriggerHandleEvent OnTriggerStatus() const { return onTriggerStatus_; }
    void SetOnTriggerStatus(TTriggerHandleEvent handler);
    TTriggerHandleEvent OnTriggerTimer() const { return onTriggerTimer_; }
    void SetOnTriggerTimer(TTriggerHandleEvent handler);
    TTriggerLineErrorEvent OnTriggerLineError() const { return onTriggerLineError_; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent handler);
    TNotifyEvent OnTriggerModemStatus() const { return onTriggerModemStatus_; }
    void SetOnTriggerModemStatus(TNotifyEvent handler);
    TNotifyEvent OnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
    void SetOnTriggerOutbuffFree(TNotifyEvent handler);
    TNotifyEvent OnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
    void SetOnTriggerOutbuffUsed(TNotifyEvent handler);
    TNotifyEvent OnTriggerOutSent() const { return onTriggerOutSent_; }
    void SetOnTriggerOutSent(TNotifyEvent handler);
    TWaitCharEvent OnWaitChar() const { return onWaitChar_; } // each character a string wait takes
    void SetOnWaitChar(TWaitCharEvent handler) { onWaitChar_ = std::move(handler); }

    // State that is not published.
    TPortState PortState() const { return portState_; }
    TSioBaseDispatcher* Dispatcher();      // opens a closed port when AutoOpen is set
    TSioBaseDispatcher* ValidDispatcher(); // the same, raising ECommNotOpen when there is still none
    HWND ComWindow() const { return comWindow_ ? comWindow_->Handle() : 0; }
    // The handle the telephony line device got for its call, written before it opens the port in
    // tmOn mode; 0 otherwise.
    std::uint16_t TapiCid = 0;
    std::uint16_t TriggerLength() const { return triggerLength_; } // 1: the avail trigger's threshold
    void SetTriggerLength(std::uint16_t length);
    TApThreadBoost ThreadBoost() const { return threadBoost_; }
    void SetThreadBoost(TApThreadBoost boost);
    const TDeviceLayers ValidLayers{dlWin32};
    // Makes the dispatcher instead of ActivateDeviceLayer's own choice when set.
    std::function<TSioBaseDispatcher*(TSioCustomComPort& port)> CustomDispatcher;

    // The line, from the dispatcher while open; 0, false, or the sizes of an empty port otherwise.
    bool DSR();
    bool CTS();
    bool RI();
    bool DCD();
    bool DeltaDSR();
    bool DeltaCTS();
    bool DeltaRI();
    bool DeltaDCD();
    bool LineBreak();
    std::uint16_t LineError();
    std::int32_t InBuffUsed();
    std::int32_t InBuffFree(); // 8192 while closed
    std::int32_t OutBuffUsed();
    std::int32_t OutBuffFree(); // OutSize while closed
    std::uint16_t BaseAddress();
    void SetBaseAddress(std::uint16_t address);
    std::uint8_t ModemStatus(); // 0 while shutting down; opens a closed port
    TFlowControlState FlowState();
    std::uint32_t LastWinError();

    // Operations on the dispatcher.
    void PutString(const std::string& text); // the text's bytes as one block, all or nothing
    std::int32_t PutBlock(const void* buffer, std::uint32_t length);
    void PutChar(char c);
    // Exactly length received bytes, or EBufferIsEmpty with nothing taken.
    std::int32_t GetBlock(void* buffer, std::uint32_t length);
    std::int32_t PeekBlock(void* buffer, std::uint32_t length);
    char GetChar();
    char PeekChar(std::uint32_t position); // 1 is the next byte
    bool CharReady();
    void FlushInBuffer();
    void FlushOutBuffer();
    void SendBreak(std::uint32_t ticks, bool yield);
    void SetBreak(bool on);
    virtual void ProcessCommunications();
    std::uint16_t AddDataTrigger(const std::string& text, bool ignoreCase);
    std::uint16_t AddTimerTrigger();
    std::uint16_t AddStatusTrigger(std::uint16_t kind);
    void SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate);
    void SetStatusTrigger(std::uint16_t handle, std::uint32_t value, bool activate);
    void RemoveTrigger(std::uint16_t handle); // only while open
    void RemoveAllTriggers();                 // only while open; TriggerLength becomes 0
    void InitTracing(std::uint32_t entries);
    void DumpTrace(const std::string& fileName, bool inHex, bool allHex);
    void AppendTrace(const std::string& fileName, bool inHex, bool allHex);
    void ClearTracing();
    void AbortTracing();
    void StartTracing();
    void StopTracing();
    void AddTraceEntry(char kind, char c);
    void InitLogging(std::uint32_t maxBytes);
    void DumpLog(const std::string& fileName, bool inHex, bool allHex);
    void AppendLog(const std::string& fileName, bool inHex, bool allHex);
    void ClearLogging();
    void AbortLogging();
    void StartLogging();
    void StopLogging();
    void AddStringToLog(const std::string& text);

    // String waits, in ticks of 55 ms; the dispatcher is marked busy meanwhile. CheckForString
    // feeds one character to a match in progress (index: characters matched so far).
    static bool CheckForString(std::uint8_t& index, char c, const std::string& text, bool ignoreCase);
    bool WaitForString(const std::string& text, std::int32_t timeout, bool yield, bool ignoreCase);
    // The 1-based number of the first of the separated texts that arrived, 0 when the time ran out.
    std::int32_t WaitForMultiString(const std::string& texts, std::int32_t timeout, bool yield,
                                    bool ignoreCase, char separator);
    void PrepareWait();

    // Neither needs the dispatcher.
    void ForcePortOpen(); // open when loading ends, if AutoOpen
    static std::string ComName(std::uint16_t number);
    // The first port among the component's own components, depth first; null when there is none.
    static TSioCustomComPort* SearchComPort(const void* component);
    void RegisterUser(HWND window);
    void RegisterUserEx(HWND window);
    void RegisterUserCallback(TPortCallback callback);
    void RegisterUserCallbackEx(TPortCallbackEx callback);
    void DeregisterUser(HWND window);
    void DeregisterUserCallback(TPortCallback callback);
    void DeregisterUserCallbackEx(TPortCallbackEx callback);
    // The settings, the user list, the first five trigger handlers and the port events of another
    // port; Open becomes false. An open source's triggers come with it to this port's next open.
    virtual void Assign(const TSioCustomComPort& source);
    void Loaded() override;

protected:
    virtual TSioBaseDispatcher* ActivateDeviceLayer();
    virtual void DeviceLayerChanged() {}
    virtual void InitializePort();
    virtual void RegisterComPort(bool on);
    virtual void ValidateComport();
    virtual void Trigger(std::uint16_t msg, std::uint16_t triggerHandle, std::uint16_t data);
    virtual void TriggerAvail(std::uint16_t count);
    virtual void TriggerData(std::uint16_t triggerHandle);
    virtual void TriggerStatus(std::uint16_t triggerHandle);
    virtual void TriggerTimer(std::uint16_t triggerHandle);
    virtual void UpdateHandlerFlag();
    virtual void TriggerLineError(std::uint16_t error, bool lineBreak);
    virtual void TriggerModemStatus();
    virtual void TriggerOutbuffFree();
    virtual void TriggerOutbuffUsed();
    virtual void TriggerOutSent();
    virtual void WaitChar(char c);
    virtual void DonePort();

    void PortOpen();
    void PortClose();
    void PortClosing();
    void InitPort();

private:
    struct TUserListEntry {
        HWND Handle = 0;
        TPortCallback Callback;
        TPortCallbackEx CallbackEx;
        bool IsEx = false;
    };

    // The byte trace and the dispatch log go through the same states; TRecorder names the dispatcher's
    // operations on one of them.
    struct TRecording {
        TTraceLogState State;
        std::uint32_t Size;
        std::string Name;
        bool Hex, AllHex;
    };
    struct TRecorder;
    void SetRecording(const TRecorder& recorder, TRecording& recording, TTraceLogState state);
    void SetRecordingSize(const TRecorder& recorder, TRecording& recording, std::uint32_t size);

    LRESULT WindowProc(unsigned msg, WPARAM wParam, LPARAM lParam);
    void Notify(unsigned msg, WPARAM wParam, LPARAM lParam);
    void FinishClose(); // frees what the close left: the window and the dispatcher
    void DeviceLost(std::int32_t code);
    // The dispatcher for an operation: null while shutting down (or while loading, when opening
    // cannot raise).
    TSioBaseDispatcher* OperationDispatcher();
    bool Applies(bool changed) const { return changed || forceApply_; }
    void ApplyLine(); // the speed, parity, data and stop bits to an open port
    void ApplyFlowAgain();
    std::uint32_t HWFlowWord() const;
    std::string DeviceName() const;
    // Waits for any of the texts; the 1-based number of the one that arrived, 0 when the time ran out.
    std::int32_t WaitForTexts(const std::vector<std::string>& texts, std::int32_t timeout, bool yield,
                              bool ignoreCase);
    void FireUsers(const std::function<void(const TUserListEntry&)>& each);
    void TellUsersOpenOrClosed(bool opened);

    TDeviceLayer deviceLayer_ = dlWin32;
    std::uint16_t comNumber_ = 0;
    std::int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    std::uint16_t dataBits_ = 8, stopBits_ = 1;
    std::uint16_t inSize_ = 4096, outSize_ = 4096;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true, rts_ = true;
    THWFlowOptionSet hwFlowOptions_;
    TSWFlowOptions swFlowOptions_ = swfNone;
    char xOnChar_ = 17, xOffChar_ = 19;
    std::uint16_t bufferFull_ = 0, bufferResume_ = 0;
    TRecording trace_{tlOff, 10000, "SIO.TRC", true, false};
    TRecording log_{tlOff, 10000, "SIO.LOG", true, false};
    bool useEventWord_ = true;
    std::uint16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485Mode_ = false;

    TNotifyEvent onPortClose_, onPortOpen_;
    TTriggerEvent onTrigger_;
    TTriggerAvailEvent onTriggerAvail_;
    TTriggerHandleEvent onTriggerData_, onTriggerStatus_, onTriggerTimer_;
    TTriggerLineErrorEvent onTriggerLineError_;
    TNotifyEvent onTriggerModemStatus_, onTriggerOutbuffFree_, onTriggerOutbuffUsed_, onTriggerOutSent_;
    TWaitCharEvent onWaitChar_;

    TPortState portState_ = psClosed;
    std::unique_ptr<TSioBaseDispatcher> dispatcher_;
    std::unique_ptr<TMessageWindow> comWindow_;
    std::uint16_t triggerLength_ = 1;
    TApThreadBoost threadBoost_ = tbNone;
    std::vector<TUserListEntry> users_;
    TTriggerSave saveTriggers_;
    bool triggersSaved_ = false;
    bool forceApply_ = false, reopenPending_ = false, openOnLoad_ = false;
    bool waitPrepared_ = false, waitWasBusy_ = false;
};

// The component as a form places it: the same, with its properties published.
class TSioComPort : public TSioCustomComPort {
public:
    using TSioCustomComPort::TSioCustomComPort;
};
