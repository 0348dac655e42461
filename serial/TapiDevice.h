// TSioCustomTapiDevice: one telephony line. It registers the process with the telephony interface
// as a line application, lists the modem lines, opens the chosen one, places (or answers) a call,
// follows the call's states through the line callback and, once the call is connected, hands the
// line's COM handle to a serial port component, which then talks to the modem as to any COM port.
// TSioTapiDevice is the same class as a form places it.
//
// The GSM modem window's road: SetSelectedDevice, ConfigAndOpen (open the line, place a pass-through
// call without a number; CONNECTED opens the port on the call's handle), CancelCall (close the port,
// drop the call, close the line).
//
// Everything runs on the main thread. The line callback and the hidden window's messages come from
// the event loop; the waits (a reply or a call state, at most 30 s; 5 s after a re-initialisation)
// run the event loop themselves, so timers, sockets and port events go on inside them, and the
// guards below keep a nested call from re-entering the same operation. No exception leaves the
// callback, the hidden window or the destructor: the first two show it as the application does.
//
// Telephony failures raise the exception of -(13800 + n) for LINEERR_ value 0x80000000 + n (the
// binding's own -13931 and -13932 as themselves); StartTapi never raises.
//
// Besides that road (this file and TapiDevice.cpp), the device dials with redial and answers
// (TapiCalls.cpp, TapiRedial.cpp), configures and translates (TapiLineConfig.cpp), names call states
// (TapiStatusText.cpp), takes its companions from its form (TapiComponent.cpp), and drives voice calls
// with wave files (TapiVoice.cpp). What the platform cannot offer answers "Operation unavailable": its
// translation dialog, transfer, and hold and unhold but of a modem's voice call.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "platform/Wave.h"
#include "serial/ComPort.h"
#include "serial/TapiBinding.h"
#include "serial/TapiLog.h"
#include "serial/Utilities.h"

class TTimer;

enum TTapiState {
    tsIdle,
    tsOffering,
    tsAccepted,
    tsDialTone,
    tsDialing,
    tsRingback,
    tsBusy,
    tsSpecialInfo,
    tsConnected,
    tsProceeding,
    tsOnHold,
    tsConferenced,
    tsOnHoldPendConf,
    tsOnHoldPendTransfer,
    tsDisconnected,
    tsUnknown,
};

enum TWaveMessage { waPlayOpen, waPlayDone, waPlayClose, waRecordOpen, waDataReady, waRecordClose };

// wsData: a finished recording waits to be saved.
enum TWaveState { wsIdle, wsPlaying, wsRecording, wsData };

// What happened to a component of the form (Notification).
enum TOperation { opInsert, opRemove };

// A line's device configuration, as the platform keeps it.
struct TTapiConfigRec {
    std::uint32_t DataSize = 0;
    std::array<std::uint8_t, 1024> Data{};
};

// The window message of the device's hidden window; wParam says what happened.
inline constexpr unsigned TapiEventMessage = TapiNewLineMessage; // 0x7EB5
enum TTapiEvent : WPARAM {
    teConnect = 0,   // OnTapiConnect
    tePortOpen = 1,  // OnTapiPortOpen
    tePortClose = 2, // OnTapiPortClose
    teFail = 3,      // TapiFail
    teNewLine = 4,   // a line device was added; lParam its identifier
};

// The process's value in the bookkeeping key: "$" and the process identifier in 8 hex digits.
inline constexpr const char* TapiRegistryKey = "SOFTWARE\\Kolvar\\Gelvorant\\TAPI";
std::string TapiRegistryValueName();

class TSioCustomTapiDevice : public TSioBaseComponent {
public:
    using TNotifyEvent = std::function<void(TSioCustomTapiDevice* sender)>;
    using TTapiStatusEvent = std::function<void(
        TSioCustomTapiDevice* sender, bool first, bool last, std::int32_t device, std::int32_t message,
        std::int32_t param1, std::int32_t param2, std::int32_t param3)>;
    using TTapiLogEvent = std::function<void(TSioCustomTapiDevice* sender, TTapiLogCode log)>;
    using TTapiDTMFEvent =
        std::function<void(TSioCustomTapiDevice* sender, char digit, std::int32_t errorCode)>;
    using TTapiCallerIDEvent =
        std::function<void(TSioCustomTapiDevice* sender, const std::string& id, const std::string& idName)>;
    using TTapiWaveNotify = std::function<void(TSioCustomTapiDevice* sender, TWaveMessage msg)>;
    using TTapiWaveSilence =
        std::function<void(TSioCustomTapiDevice* sender, bool& stopRecording, bool& hangup)>;

    // Registers with the telephony interface and lists the lines at once; the owner's first free
    // history log and status display become this device's.
    explicit TSioCustomTapiDevice(const void* owner);
    ~TSioCustomTapiDevice() override;

    // ---- Properties
    const std::string& SelectedDevice() const { return selectedDevice_; } // Windows-1251
    void SetSelectedDevice(const std::string& name);
    TSioCustomComPort* ComPort = nullptr;
    TSioAbstractTapiStatus* StatusDisplay() const { return statusDisplay_; }
    void SetStatusDisplay(TSioAbstractTapiStatus* display);
    TSioTapiLog* TapiLog() const { return tapiLog_; }
    void SetTapiLog(TSioTapiLog* log);
    std::uint8_t AnswerOnRing = 2;
    std::uint16_t RetryWait = 60;
    std::uint16_t MaxAttempts = 3;
    bool ShowTapiDevices = true;
    bool ShowPorts = true;
    bool EnableVoice() const { return enableVoice_; }
    void SetEnableVoice(bool value);
    bool FilterUnsupportedDevices() const { return filterUnsupportedDevices_; }
    void SetFilterUnsupportedDevices(bool value);

    // ---- Events
    TTapiStatusEvent OnTapiStatus;
    TTapiLogEvent OnTapiLog;
    TNotifyEvent OnTapiPortOpen;
    TNotifyEvent OnTapiPortClose;
    TNotifyEvent OnTapiConnect;
    TNotifyEvent OnTapiFail;
    TTapiDTMFEvent OnTapiDTMF;
    TTapiCallerIDEvent OnTapiCallerID;
    TTapiWaveNotify OnTapiWaveNotify;
    TTapiWaveSilence OnTapiWaveSilence;

    // ---- What the system uses
    void ConfigAndOpen();
    void CancelCall();

    // ---- Registration and lines
    // True once registered; false (never raising) when the registration failed or is under way.
    bool StartTapi();
    // Ends the registration; a failed shutdown raises. True when not registered afterwards.
    bool StopTapi();
    void EnumLineDevices();
    // Names of the listed lines (Windows-1251), in enumeration order.
    const std::vector<std::string>& TapiDevices() const { return tapiDevices_; }
    void SetTapiDevices(const std::vector<std::string>& names) { tapiDevices_ = names; }
    // The platform's device identifier of the line of that name (exact case), -1 when none.
    std::int32_t DeviceIDFromName(const std::string& name);
    // The line in use: by name; the only listed line when no name is set; else the selection dialog
    // when it may list something, else -13930.
    std::int32_t GetSelectedLine();
    // The selection dialog with this device's settings; its modal result.
    int SelectDevice();

    // ---- Line and call
    bool Open() const { return open_; }
    void SetOpen(bool value);
    bool HangupCall(bool abortRetry);
    TTapiState GetTapiState();
    // The COM handle of the current call, -1 when there is none.
    std::int32_t CidFromTapiDevice();
    void CopyCallInfo(TCallInfo*& out) const;

    // ---- Dialling and answering
    // Places a call to the number (Windows-1251). One that ends before it connects is placed again
    // RetryWait seconds later, up to MaxAttempts calls in all; one that cannot be placed is not.
    void Dial(const std::string& number);
    // Opens the line to take the next offered call; it is answered at the ring whose count (from 0)
    // reaches AnswerOnRing.
    void AutoAnswer();
    // On a connected call only (unhold: also on a held one). A failure goes to FailureCode, then to
    // OnTapiFail when there is a handler, else it raises.
    void HoldCall();
    void UnHoldCall();
    void Transfer(const std::string& destination);
    // The rate of the connected call; 0 without one.
    std::int32_t GetBPSRate() const;

    // ---- The line's configuration and numbers
    // n of the line's port COMn; 0 when it has none of that form.
    std::int32_t GetComNumber();
    void ShowConfigDialog();
    TTapiConfigRec ShowConfigDialogEdit(const TTapiConfigRec& config);
    TTapiConfigRec GetDevConfig();
    void SetDevConfig(const TTapiConfigRec& config);
    // The owner window of the platform's dialogs; 0 here, where forms have no platform window.
    HWND GetParentHWnd();
    // The dialable form of the address; -13942 when it cannot be translated.
    std::string TranslateAddress(const std::string& address);
    // The platform's result; on success the outputs, the two texts with their terminating zero.
    LONG TranslateAddressEx(const std::string& address, DWORD options, std::string& dialable,
                            std::string& displayable, DWORD& currentCountry, DWORD& destCountry,
                            DWORD& translateResults);
    bool TranslateDialog(const std::string& address);

    // ---- Texts of call progress
    // The text of the state (its lowest bit) of a line message, or of the library's own message 32.
    std::string TapiStatusMsg(DWORD message, DWORD state, DWORD reason) const;
    // The text of a FailureCode: a line error's, else the disconnect reason's.
    std::string FailureCodeMsg(std::int32_t code) const;

    // ---- As a component of a form
    // A serial port, status display or history log came or went among the form's components.
    void Notification(TSioBaseComponent* component, TOperation operation);
    // Without a port, takes the first serial port among the owner's components.
    void Loaded() override;
    // Takes the source's settings, port and call information; a line, a status display and a history
    // log stay with the device that has them.
    void Assign(const TSioCustomTapiDevice& source);

    // ---- Voice (EnableVoice), and wave files played into a call or recorded from it
    void CheckVoiceCapable();
    void SendTone(const std::string& digits, DWORD duration);
    void MonitorDTMF(HCALL call, DWORD digitModes);
    LONG MontorTones(const LINEMONITORTONE* toneList, DWORD count);
    // Turns the voice call into a data call on the port.
    void AutomatedVoicetoComms();
    void PlayWaveFile(const std::string& fileName);
    void StopWaveFile();
    void StartWaveRecord();
    void StopWaveRecord();
    void SaveWaveFile(const std::string& fileName, bool overwrite);
    void SetRecordingParams(std::uint8_t tracks, std::uint32_t samplesPerSec, std::uint8_t bitsPerSample);
    bool MonitorRecording() const { return monitorRecording_; }
    void SetMonitorRecording(bool value);
    DWORD GetWaveDeviceId(bool play);
    TWaveState WaveState() const { return waveState_; }
    const std::string& WaveFileName() const { return waveFileName_; }
    std::uint8_t NumTracks() const { return numTracks_; }
    std::uint8_t BitsPerSample() const { return bitsPerSample_; }
    std::uint32_t SamplesPerSec() const { return samplesPerSec_; }
    bool InterruptWave = true;          // a DTMF digit or a new file stops the file playing
    bool UseSoundCard = false;          // play on the default output, not on the line's
    std::int32_t MaxMessageLength = 60; // seconds
    std::uint8_t TrailingSilence = 2;   // 0: no silence detection
    std::int32_t SilenceThreshold = 50; // average absolute sample value of a silent second

    // ---- Caller identification, from the last call information
    std::string GetCallerID() const;
    std::string GetCallerIDName() const;
    std::string GetCalledID() const;
    std::string GetCalledIDName() const;

    // ---- Read-only state
    std::int32_t FailureCode() const { return failureCode_; }
    HLINEAPP LineApp() const { return lineApp_; }
    HLINE LineHandle() const { return lineHandle_; }
    HCALL CallHandle() const { return callHandle_; }
    std::int32_t DeviceCount() const { return deviceCount_; }
    DWORD NumDevices() const { return numDevices_; }
    bool CallConnected() const { return callConnected_; }
    bool PassThroughMode() const { return passThroughMode_; }
    HWND TapiWnd() const;
    std::string Number; // of the last Dial, Windows-1251

    // The name of a history code ("Call started", "Dialing" ...).
    std::string TapiLogToString(TTapiLogCode code) const;

protected:
    // One per line message: (device handle, parameter 1, 2, 3).
    virtual void DoLineCallInfo(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineCallState(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineClose(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineCreate(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineDevState(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineGenerate(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineMonitorDigits(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineMonitorMedia(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineMonitorTone(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineReply(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);
    virtual void DoLineRequest(std::int32_t device, std::int32_t p1, std::int32_t p2, std::int32_t p3);

    // Raises the library exception of a failed telephony result; nothing for 0.
    void CheckError(LONG result) const;

    void DialPrim(bool passThrough);
    void AssureTapiReady();
    void OpenTapiPort();
    // Closes the port and takes its handle away; true when it had been open.
    bool CloseTapiPort();
    // The reply's result; 1 when another wait runs or the line was closed meanwhile, 2 after 30 s.
    LONG WaitForReply(LONG request);
    // 0 when the state (any state, for 0) arrived; 1 and 2 as for WaitForReply.
    LONG WaitForCallState(DWORD state);
    void UpdateCallInfo(HCALL call);
    void TapiStatus(bool first, bool last, std::int32_t device, std::int32_t message, std::int32_t param1,
                    std::int32_t param2, std::int32_t param3);
    void TapiLogging(TTapiLogCode code);
    void TapiPortOpen();
    void TapiPortClose();
    void TapiConnect();
    void TapiFail();
    void TapiCallerID(const std::string& id, const std::string& idName);
    LRESULT WndProc(unsigned message, WPARAM wParam, LPARAM lParam);
    void PostTapiEvent(TTapiEvent event, LPARAM lParam = 0);

    // ---- Redial (a failed Dial is placed again): nothing happens while Redial is clear.
    void CreateDialTimer();
    void TapiDialTimer();
    void FreeDialTimer();

    // Runs the main thread's messages until done() holds (true) or the time has passed (false).
    bool WaitUntil(const std::function<bool()>& done, std::int64_t timeoutMs);

    // ---- Voice
    void TapiDTMF(char digit, std::int32_t errorCode);
    void TapiWave(TWaveMessage message);
    // The wave devices' completion messages.
    void WaveMessage(unsigned message, WPARAM wParam, LPARAM lParam);
    // Ends playing and recording at once, quietly (the destructor's).
    void CloseWaveDevices();

    // ---- State
    HLINEAPP lineApp_ = 0;
    TLineExtensionID lineExt_{};
    HLINE lineHandle_ = 0;
    HCALL callHandle_ = 0;
    std::int32_t selectedLine_ = -1;
    std::unique_ptr<TTimer> dialTimer_;
    LONG requestedID_ = 0;
    LONG replyResult_ = 0;
    DWORD callState_ = 0;
    bool replyReceived_ = false;
    bool callStateReceived_ = false;
    bool lineOpened_ = false;
    bool lineUsed_ = false;
    bool startingTapi_ = false;
    bool stoppingTapi_ = false;
    bool hangingUp_ = false;
    bool waitingReply_ = false;
    bool waitingCallState_ = false;
    bool callConnected_ = false;
    bool redial_ = false;
    bool failReported_ = false;
    bool passThroughMode_ = false;
    bool dialing_ = false;
    std::int32_t retryCountdown_ = 0;
    DWORD apiVersion_ = 0;
    std::int32_t deviceCount_ = 0;
    DWORD numDevices_ = 0;
    bool open_ = false;
    TTapiBuffer<TCallInfo> callInfo_;
    std::uint16_t attempt_ = 0;
    std::int32_t failureCode_ = 0;
    bool waitingForCall_ = false;

private:
    friend void TapiLineCallback(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    void Dispatch(DWORD device, DWORD message, DWORD param1, DWORD param2, DWORD param3);
    // The end of a call: a redial, or the reports (when `report`).
    void CallEnded(bool abortRetry, bool hadConnected, bool report);
    // The call-end step of a hang-up of an open line, then its guards cleared.
    void FinishHangup(bool abortRetry, bool hadConnected);
    void ReleaseLine();
    void SweepRegistry();
    void WriteRegistryValue();
    // Whether the line may be listed, by its capabilities.
    bool Supported(const TLineDevCaps& caps, DWORD deviceId);
    // The query's result on the open line, else on the selected line opened for it alone, without
    // privileges and without the reports of a call.
    LONG QueryLine(const std::function<LONG(HLINE line)>& query);
    // A request on the connected call; its failure as HoldCall says.
    void CallRequest(LONG result);
    // The wave side's state, made on first use.
    struct TWaveAudio;
    struct TWaveAudioFree {
        void operator()(TWaveAudio* audio) const;
    };
    TWaveAudio& Audio();
    void EndPlaying();
    void EndRecording(bool keepData);
    // A finished recording waits to be saved (also while a file plays).
    bool RecordingWaits() const;
    TWaveState AfterPlaying() const;
    void PlayChunk();
    void LoadChunk();
    void RecordedData(HWAVEIN input, WAVEHDR* header);
    void WriteRecorded(const char* data, DWORD bytes);
    void CheckSilence(const char* data, DWORD bytes);
    void OpenMonitor();
    void CloseMonitor();
    WAVEFORMATEX RecordingFormat() const;
    void CheckWaveException(MMRESULT result, int kind);

    std::string selectedDevice_;
    TSioAbstractTapiStatus* statusDisplay_ = nullptr;
    TSioTapiLog* tapiLog_ = nullptr;
    bool enableVoice_ = false;
    bool filterUnsupportedDevices_ = true;
    std::vector<std::string> tapiDevices_;
    // VarStringBuf: zero-filled, dwTotalSize 1028, for each use.
    TVarString& VarStringBuf();
    alignas(TVarString) unsigned char varStringBuf_[1028];
    std::unique_ptr<TMessageWindow> tapiWnd_;

    TWaveState waveState_ = wsIdle;
    std::string waveFileName_;
    bool monitorRecording_ = false;
    std::uint8_t numTracks_ = 1;
    std::uint8_t bitsPerSample_ = 16;
    std::uint32_t samplesPerSec_ = 8000;
    // Consecutive silent seconds of the recording under way.
    int silentBufferCount_ = 0;
    std::unique_ptr<TWaveAudio, TWaveAudioFree> wave_;
};

class TSioTapiDevice : public TSioCustomTapiDevice {
public:
    using TSioCustomTapiDevice::TSioCustomTapiDevice;
};

// The line callback every device registers; instance = the device.
void TapiLineCallback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2,
                      DWORD_PTR param3);
