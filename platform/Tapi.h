// Stands in for the telephony interface (TAPI line functions, version 1.4) of the library "TAPI32".
//
// Binding. The provider is registered under the name "TAPI32" (platform/Modules): bind each function
// with LoadLibrary("TAPI32") and GetProcAddress(module, "lineInitialize") and so on, casting the entry
// to the pointer type of the declaration below (decltype(&lineInitialize)). Every function the serial
// library binds is there; lineHold, lineUnhold and lineBlindTransfer are there too. What Linux cannot
// offer answers LINEERR_OPERATIONUNAVAIL: the dialling-rule functions (lineTranslateDialog,
// lineGetTranslateCaps, lineSetCurrentLocation, lineSetTollList), lineGetCountry and transfer.
// lineTranslateAddress has no dialling rules to apply and gives the address back as it is.
//
// Versions and structures. Every negotiation must include 0x10004 (TapiApiVersion14), which is the
// version negotiated and the only one the other functions accept. Structures have the platform's
// field order and sizes; handles and counts are 32 bits, only the callback instance is pointer-wide.
// Variable-size structures follow the platform's protocol: the caller sets dwTotalSize; a buffer
// smaller than the fixed part answers LINEERR_STRUCTURETOOSMALL; otherwise the call succeeds,
// dwNeededSize tells the whole size, and the variable part (strings at dwXxxOffset, dwXxxSize bytes
// with the terminating zero) is written only when all of it fits (dwUsedSize says how much was).
// Texts are 8-bit, in the ANSI code page (Windows-1251).
//
// Lines. Without a test back-end the lines are read from TapiLinesFile(), one "name=device" a line:
// the device is a COM name (COM3: the entry COM3 of the COM folder <common app-data>/com/, else
// /dev/ttyS2) or an absolute path. A line that cannot be used is reported on stderr and skipped; so is
// the whole file when it is no regular file or larger than MaxTapiLinesFileSize. With no file or no
// lines there are no line devices and everything answers at once. The file is read by
// every lineInitialize; lines new since the last reading get the next device identifiers and every
// line application registered before gets LINE_CREATE. Each line has a device configuration
// (platform/TapiDevConfig.h: lineGetDevConfig, lineSetDevConfig, the configuration dialogs), which
// a line of the file keeps across starts and which is applied whenever the line's device is opened;
// lineSetDevConfig refuses bytes that are not one with LINEERR_INVALPARAM.
//
// Calls. A call with the bearer mode LINEBEARERMODE_PASSTHROUGH opens the line's device at once
// (exclusively, like a COM port); it is connected as soon as the device is open. lineGetID with
// "comm/datamodem" then hands out a fresh duplicate of its descriptor in the first 4 bytes of the
// string (the caller owns it and closes it; the call keeps its own until it goes idle or is freed;
// descriptors are small numbers, so one fits the serial port's 16-bit TapiCid), followed by the line's
// name; "comm/datamodem/portname" gives the device as written in the lines
// file ("COM3"). A line of the file is a modem, for data and voice calls (LINEMEDIAMODE_DATAMODEM and
// _INTERACTIVEVOICE), driven over its AT commands (platform/TapiModem.h): a dialled call is placed
// with "ATD" and its reply comes once the command is out, the call states follow the modem's results,
// and a data call's descriptor is handed out from CONNECT on; while an open with owner privilege is
// there, the modem listens for rings and offers the calls that come to that open, with their
// caller; lineAnswer is answered at once and the call connects when the modem says so; lineDrop is
// answered once the modem has hung up. Lines of the test back-end place their calls by script. Lines
// of the file have no wave devices: "wave/in" and
// "wave/out" answer LINEERR_NODEVICE; a line of the test back-end has those it is given (identifiers of
// platform/Wave devices, in the first 4 bytes of the string). The HCALL of lineMakeCall is written at once; a
// call whose request fails stays idle until lineDeallocateCall or lineClose.
//
// Threading and callbacks. Main thread only, with a QCoreApplication. Asynchronous functions return a
// positive request identifier; their LINE_REPLY and the call states that follow reach the callback
// given to lineInitialize later, from the main thread's event loop (a modal loop or processEvents will
// do), never inside the call that caused them, in the order they happened. The callback instance is
// the one given to lineOpen (0 for LINE_CREATE); LINEDEVSTATE_REINIT comes to each line application
// once, with the instance of its first open line (0 while it has none). LINE_LINEDEVSTATE comes only
// for the states asked for with lineSetStatusMessages (none until then), REINIT always. Nothing is
// delivered for a line application, line or call that has gone by then. A callback may call the API
// again; an exception that leaves it is shown by the application's guard (platform/Application).
//
// The new-line broadcast. On LINE_CREATE a TAPI device component's callback calls
// BroadcastTapiNewLine(new device id), which posts TapiNewLineMessage (0x7EB5) with wParam 4 and
// lParam the identifier to the hidden window of every component, as registered with
// RegisterTapiDeviceWindow (platform/Messages).
//
// Tests script the provider with a TTapiTestBackEnd (platform/TapiTestBackEnd.h, in the library
// platform_tapi_test that only the tests link), which reaches the provider through
// platform/TapiScript.h only.
#pragma once

#include <cstdint>
#include <vector>

#include <QString>

#include "platform/Messages.h"
#include "platform/Modules.h"

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using DWORD_PTR = std::uintptr_t;
using HLINEAPP = DWORD;
using HLINE = DWORD;
using HCALL = DWORD;

using LINECALLBACK = void (*)(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwCallbackInstance,
                              DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR dwParam3);

inline constexpr DWORD TapiApiVersion14 = 0x00010004;

// Line errors.
inline constexpr LONG LINEERR_BADDEVICEID = LONG(0x80000002);
inline constexpr LONG LINEERR_CALLUNAVAIL = LONG(0x80000005);
inline constexpr LONG LINEERR_INCOMPATIBLEAPIVERSION = LONG(0x8000000C);
inline constexpr LONG LINEERR_INCOMPATIBLEEXTVERSION = LONG(0x8000000D);
inline constexpr LONG LINEERR_INVALADDRESS = LONG(0x80000010);
inline constexpr LONG LINEERR_INVALADDRESSID = LONG(0x80000011);
inline constexpr LONG LINEERR_INVALADDRESSSTATE = LONG(0x80000013);
inline constexpr LONG LINEERR_INVALAPPHANDLE = LONG(0x80000014);
inline constexpr LONG LINEERR_INVALBEARERMODE = LONG(0x80000016);
inline constexpr LONG LINEERR_INVALCALLHANDLE = LONG(0x80000018);
inline constexpr LONG LINEERR_INVALCALLSELECT = LONG(0x8000001B);
inline constexpr LONG LINEERR_INVALCALLSTATE = LONG(0x8000001C);
inline constexpr LONG LINEERR_INVALDEVICECLASS = LONG(0x80000023);
inline constexpr LONG LINEERR_INVALDIGITMODE = LONG(0x80000027);
inline constexpr LONG LINEERR_INVALDIGITS = LONG(0x80000028);
inline constexpr LONG LINEERR_INVALLINEHANDLE = LONG(0x8000002B);
inline constexpr LONG LINEERR_INVALLINESTATE = LONG(0x8000002C);
inline constexpr LONG LINEERR_INVALMEDIAMODE = LONG(0x8000002F);
inline constexpr LONG LINEERR_INVALPARAM = LONG(0x80000032);
inline constexpr LONG LINEERR_INVALPOINTER = LONG(0x80000035);
inline constexpr LONG LINEERR_INVALPRIVSELECT = LONG(0x80000036);
inline constexpr LONG LINEERR_LINEMAPPERFAILED = LONG(0x80000040);
inline constexpr LONG LINEERR_NODEVICE = LONG(0x80000042);
inline constexpr LONG LINEERR_NODRIVER = LONG(0x80000043);
inline constexpr LONG LINEERR_NOMEM = LONG(0x80000044);
inline constexpr LONG LINEERR_NOTOWNER = LONG(0x80000046);
inline constexpr LONG LINEERR_OPERATIONFAILED = LONG(0x80000048);
inline constexpr LONG LINEERR_OPERATIONUNAVAIL = LONG(0x80000049);
inline constexpr LONG LINEERR_RESOURCEUNAVAIL = LONG(0x8000004B);
inline constexpr LONG LINEERR_STRUCTURETOOSMALL = LONG(0x8000004D);
inline constexpr LONG LINEERR_TARGETNOTFOUND = LONG(0x8000004E);
inline constexpr LONG LINEERR_UNINITIALIZED = LONG(0x80000050);
inline constexpr LONG LINEERR_REINIT = LONG(0x80000052);

// Messages to the line callback.
inline constexpr DWORD LINE_ADDRESSSTATE = 0;
inline constexpr DWORD LINE_CALLINFO = 1;
inline constexpr DWORD LINE_CALLSTATE = 2;
inline constexpr DWORD LINE_CLOSE = 3;
inline constexpr DWORD LINE_DEVSPECIFIC = 4;
inline constexpr DWORD LINE_DEVSPECIFICFEATURE = 5;
inline constexpr DWORD LINE_GATHERDIGITS = 6;
inline constexpr DWORD LINE_GENERATE = 7;
inline constexpr DWORD LINE_LINEDEVSTATE = 8;
inline constexpr DWORD LINE_MONITORDIGITS = 9;
inline constexpr DWORD LINE_MONITORMEDIA = 10;
inline constexpr DWORD LINE_MONITORTONE = 11;
inline constexpr DWORD LINE_REPLY = 12;
inline constexpr DWORD LINE_REQUEST = 13;
inline constexpr DWORD LINE_CREATE = 19;

inline constexpr DWORD LINECALLSTATE_IDLE = 0x1;
inline constexpr DWORD LINECALLSTATE_OFFERING = 0x2;
inline constexpr DWORD LINECALLSTATE_ACCEPTED = 0x4;
inline constexpr DWORD LINECALLSTATE_DIALTONE = 0x8;
inline constexpr DWORD LINECALLSTATE_DIALING = 0x10;
inline constexpr DWORD LINECALLSTATE_RINGBACK = 0x20;
inline constexpr DWORD LINECALLSTATE_BUSY = 0x40;
inline constexpr DWORD LINECALLSTATE_SPECIALINFO = 0x80;
inline constexpr DWORD LINECALLSTATE_CONNECTED = 0x100;
inline constexpr DWORD LINECALLSTATE_PROCEEDING = 0x200;
inline constexpr DWORD LINECALLSTATE_ONHOLD = 0x400;
inline constexpr DWORD LINECALLSTATE_CONFERENCED = 0x800;
inline constexpr DWORD LINECALLSTATE_ONHOLDPENDCONF = 0x1000;
inline constexpr DWORD LINECALLSTATE_ONHOLDPENDTRANSFER = 0x2000;
inline constexpr DWORD LINECALLSTATE_DISCONNECTED = 0x4000;
inline constexpr DWORD LINECALLSTATE_UNKNOWN = 0x8000;

inline constexpr DWORD LINEDEVSTATE_RINGING = 0x2;
inline constexpr DWORD LINEDEVSTATE_DISCONNECTED = 0x8;
inline constexpr DWORD LINEDEVSTATE_OUTOFSERVICE = 0x80;
inline constexpr DWORD LINEDEVSTATE_MAINTENANCE = 0x100;
inline constexpr DWORD LINEDEVSTATE_REINIT = 0x40000;
inline constexpr DWORD LINEDEVSTATE_ALL = 0x1FFFFFF; // every line state of version 1.4
inline constexpr DWORD LINEADDRESSSTATE_ALL = 0x1FF;

inline constexpr DWORD LINEMEDIAMODE_UNKNOWN = 0x2;
inline constexpr DWORD LINEMEDIAMODE_INTERACTIVEVOICE = 0x4;
inline constexpr DWORD LINEMEDIAMODE_AUTOMATEDVOICE = 0x8;
inline constexpr DWORD LINEMEDIAMODE_DATAMODEM = 0x10;
inline constexpr DWORD LINEMEDIAMODE_G3FAX = 0x20;

inline constexpr DWORD LINEBEARERMODE_VOICE = 0x1;
inline constexpr DWORD LINEBEARERMODE_PASSTHROUGH = 0x40;

inline constexpr DWORD LINECALLPRIVILEGE_NONE = 0x1;
inline constexpr DWORD LINECALLPRIVILEGE_MONITOR = 0x2;
inline constexpr DWORD LINECALLPRIVILEGE_OWNER = 0x4;

inline constexpr DWORD LINECALLSELECT_LINE = 0x1;
inline constexpr DWORD LINECALLSELECT_ADDRESS = 0x2;
inline constexpr DWORD LINECALLSELECT_CALL = 0x4;

inline constexpr DWORD LINEFEATURE_MAKECALL = 0x8;
inline constexpr DWORD LINECALLPARAMFLAGS_IDLE = 0x2;
inline constexpr DWORD LINEADDRESSMODE_ADDRESSID = 0x1;
inline constexpr DWORD LINEADDRESSSHARING_PRIVATE = 0x1;
inline constexpr DWORD LINEBUSYMODE_STATION = 0x1;
inline constexpr DWORD LINEDIALTONEMODE_NORMAL = 0x1;
inline constexpr DWORD LINECALLORIGIN_OUTBOUND = 0x1;
inline constexpr DWORD LINECALLORIGIN_EXTERNAL = 0x4;
inline constexpr DWORD LINECALLREASON_DIRECT = 0x1;
inline constexpr DWORD LINEDEVSTATUSFLAGS_CONNECTED = 0x1;
inline constexpr DWORD LINEDEVSTATUSFLAGS_INSERVICE = 0x4;

inline constexpr DWORD LINEDISCONNECTMODE_NORMAL = 0x1;
inline constexpr DWORD LINEDISCONNECTMODE_UNKNOWN = 0x2;
inline constexpr DWORD LINEDISCONNECTMODE_REJECT = 0x4;
inline constexpr DWORD LINEDISCONNECTMODE_PICKUP = 0x8;
inline constexpr DWORD LINEDISCONNECTMODE_FORWARDED = 0x10;
inline constexpr DWORD LINEDISCONNECTMODE_BUSY = 0x20;
inline constexpr DWORD LINEDISCONNECTMODE_NOANSWER = 0x40;
inline constexpr DWORD LINEDISCONNECTMODE_BADADDRESS = 0x80;
inline constexpr DWORD LINEDISCONNECTMODE_UNREACHABLE = 0x100;
inline constexpr DWORD LINEDISCONNECTMODE_CONGESTION = 0x200;
inline constexpr DWORD LINEDISCONNECTMODE_INCOMPATIBLE = 0x400;
inline constexpr DWORD LINEDISCONNECTMODE_UNAVAIL = 0x800;
inline constexpr DWORD LINEDISCONNECTMODE_NODIALTONE = 0x1000;

inline constexpr DWORD LINECALLINFOSTATE_CALLERID = 0x8000;

inline constexpr DWORD LINECALLPARTYID_BLOCKED = 0x1;
inline constexpr DWORD LINECALLPARTYID_OUTOFAREA = 0x2;
inline constexpr DWORD LINECALLPARTYID_NAME = 0x4;
inline constexpr DWORD LINECALLPARTYID_ADDRESS = 0x8;
inline constexpr DWORD LINECALLPARTYID_PARTIAL = 0x10;
inline constexpr DWORD LINECALLPARTYID_UNKNOWN = 0x20;
inline constexpr DWORD LINECALLPARTYID_UNAVAIL = 0x40;

inline constexpr DWORD LINEDIGITMODE_PULSE = 0x1;
inline constexpr DWORD LINEDIGITMODE_DTMF = 0x2;
inline constexpr DWORD LINEDIGITMODE_DTMFEND = 0x4;
inline constexpr DWORD LINEGENERATETERM_DONE = 0x1;

inline constexpr DWORD LINETRANSLATEOPTION_CARDOVERRIDE = 0x1;
inline constexpr DWORD LINETRANSLATEOPTION_CANCELCALLWAITING = 0x2;
inline constexpr DWORD LINETRANSLATEOPTION_FORCELOCAL = 0x4;
inline constexpr DWORD LINETRANSLATEOPTION_FORCELD = 0x8;

inline constexpr DWORD STRINGFORMAT_ASCII = 1;
inline constexpr DWORD STRINGFORMAT_BINARY = 4;

// Structures. Where a version 2.0 field follows the 1.4 ones, the structure holds it and the 1.4 size
// is given beside it.

struct VARSTRING {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    DWORD dwStringFormat, dwStringSize, dwStringOffset;
};

struct LINEEXTENSIONID {
    DWORD dwExtensionID0, dwExtensionID1, dwExtensionID2, dwExtensionID3;
};

struct LINEDIALPARAMS {
    DWORD dwDialPause, dwDialSpeed, dwDigitDuration, dwWaitForDialtone;
};

struct LINEDEVCAPS {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    DWORD dwProviderInfoSize, dwProviderInfoOffset;
    DWORD dwSwitchInfoSize, dwSwitchInfoOffset;
    DWORD dwPermanentLineID;
    DWORD dwLineNameSize, dwLineNameOffset;
    DWORD dwStringFormat, dwAddressModes, dwNumAddresses, dwBearerModes, dwMaxRate, dwMediaModes;
    DWORD dwGenerateToneModes, dwGenerateToneMaxNumFreq, dwGenerateDigitModes;
    DWORD dwMonitorToneMaxNumFreq, dwMonitorToneMaxNumEntries, dwMonitorDigitModes;
    DWORD dwGatherDigitsMinTimeout, dwGatherDigitsMaxTimeout;
    DWORD dwMedCtlDigitMaxListSize, dwMedCtlMediaMaxListSize, dwMedCtlToneMaxListSize;
    DWORD dwMedCtlCallStateMaxListSize;
    DWORD dwDevCapFlags, dwMaxNumActiveCalls, dwAnswerMode, dwRingModes, dwLineStates;
    DWORD dwUUIAcceptSize, dwUUIAnswerSize, dwUUIMakeCallSize, dwUUIDropSize, dwUUISendUserUserInfoSize;
    DWORD dwUUICallInfoSize;
    LINEDIALPARAMS MinDialParams, MaxDialParams, DefaultDialParams;
    DWORD dwNumTerminals;
    DWORD dwTerminalCapsSize, dwTerminalCapsOffset;
    DWORD dwTerminalTextEntrySize;
    DWORD dwTerminalTextSize, dwTerminalTextOffset;
    DWORD dwDevSpecificSize, dwDevSpecificOffset;
    DWORD dwLineFeatures;
};

struct LINECALLINFO {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    HLINE hLine;
    DWORD dwLineDeviceID, dwAddressID;
    DWORD dwBearerMode, dwRate, dwMediaMode;
    DWORD dwAppSpecific, dwCallID, dwRelatedCallID, dwCallParamFlags, dwCallStates;
    DWORD dwMonitorDigitModes, dwMonitorMediaModes;
    LINEDIALPARAMS DialParams;
    DWORD dwOrigin, dwReason, dwCompletionID, dwNumOwners, dwNumMonitors;
    DWORD dwCountryCode, dwTrunk;
    DWORD dwCallerIDFlags, dwCallerIDSize, dwCallerIDOffset, dwCallerIDNameSize, dwCallerIDNameOffset;
    DWORD dwCalledIDFlags, dwCalledIDSize, dwCalledIDOffset, dwCalledIDNameSize, dwCalledIDNameOffset;
    DWORD dwConnectedIDFlags, dwConnectedIDSize, dwConnectedIDOffset, dwConnectedIDNameSize;
    DWORD dwConnectedIDNameOffset;
    DWORD dwRedirectionIDFlags, dwRedirectionIDSize, dwRedirectionIDOffset, dwRedirectionIDNameSize;
    DWORD dwRedirectionIDNameOffset;
    DWORD dwRedirectingIDFlags, dwRedirectingIDSize, dwRedirectingIDOffset, dwRedirectingIDNameSize;
    DWORD dwRedirectingIDNameOffset;
    DWORD dwAppNameSize, dwAppNameOffset;
    DWORD dwDisplayableAddressSize, dwDisplayableAddressOffset;
    DWORD dwCalledPartySize, dwCalledPartyOffset;
    DWORD dwCommentSize, dwCommentOffset;
    DWORD dwDisplaySize, dwDisplayOffset;
    DWORD dwUserUserInfoSize, dwUserUserInfoOffset;
    DWORD dwHighLevelCompSize, dwHighLevelCompOffset;
    DWORD dwLowLevelCompSize, dwLowLevelCompOffset;
    DWORD dwChargingInfoSize, dwChargingInfoOffset;
    DWORD dwTerminalModesSize, dwTerminalModesOffset;
    DWORD dwDevSpecificSize, dwDevSpecificOffset;
};

struct LINECALLSTATUS {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    DWORD dwCallState, dwCallStateMode, dwCallPrivilege, dwCallFeatures;
    DWORD dwDevSpecificSize, dwDevSpecificOffset;
};

struct LINEDEVSTATUS {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    DWORD dwNumOpens, dwOpenMediaModes, dwNumActiveCalls, dwNumOnHoldCalls, dwNumOnHoldPendCalls;
    DWORD dwLineFeatures, dwNumCallCompletions, dwRingMode, dwSignalLevel, dwBatteryLevel, dwRoamMode;
    DWORD dwDevStatusFlags;
    DWORD dwTerminalModesSize, dwTerminalModesOffset;
    DWORD dwDevSpecificSize, dwDevSpecificOffset;
    DWORD dwAvailableMediaModes; // version 2.0 from here
    DWORD dwAppInfoSize, dwAppInfoOffset;
};
inline constexpr DWORD LineDevStatusSize14 = 76;

struct LINETRANSLATEOUTPUT {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    DWORD dwDialableStringSize, dwDialableStringOffset;
    DWORD dwDisplayableStringSize, dwDisplayableStringOffset;
    DWORD dwCurrentCountry, dwDestCountry, dwTranslateResults;
};

struct LINETRANSLATECAPS {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    DWORD dwNumLocations, dwLocationListSize, dwLocationListOffset, dwCurrentLocationID;
    DWORD dwNumCards, dwCardListSize, dwCardListOffset, dwCurrentPreferredCardID;
};

struct LINECALLPARAMS {
    DWORD dwTotalSize;
    DWORD dwBearerMode, dwMinRate, dwMaxRate, dwMediaMode;
    DWORD dwCallParamFlags, dwAddressMode, dwAddressID;
    LINEDIALPARAMS DialParams;
    DWORD dwOrigAddressSize, dwOrigAddressOffset;
    DWORD dwDisplayableAddressSize, dwDisplayableAddressOffset;
    DWORD dwCalledPartySize, dwCalledPartyOffset;
    DWORD dwCommentSize, dwCommentOffset;
    DWORD dwUserUserInfoSize, dwUserUserInfoOffset;
    DWORD dwHighLevelCompSize, dwHighLevelCompOffset;
    DWORD dwLowLevelCompSize, dwLowLevelCompOffset;
    DWORD dwDevSpecificSize, dwDevSpecificOffset;
};

struct LINECOUNTRYLIST {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    DWORD dwNumCountries, dwCountryListSize, dwCountryListOffset;
};

struct LINEADDRESSCAPS {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    DWORD dwLineDeviceID;
    DWORD dwAddressSize, dwAddressOffset;
    DWORD dwDevSpecificSize, dwDevSpecificOffset;
    DWORD dwAddressSharing, dwAddressStates, dwCallInfoStates;
    DWORD dwCallerIDFlags, dwCalledIDFlags, dwConnectedIDFlags, dwRedirectionIDFlags, dwRedirectingIDFlags;
    DWORD dwCallStates, dwDialToneModes, dwBusyModes, dwSpecialInfo, dwDisconnectModes;
    DWORD dwMaxNumActiveCalls, dwMaxNumOnHoldCalls, dwMaxNumOnHoldPendingCalls, dwMaxNumConference;
    DWORD dwMaxNumTransConf;
    DWORD dwAddrCapFlags, dwCallFeatures, dwRemoveFromConfCaps, dwRemoveFromConfState, dwTransferModes;
    DWORD dwParkModes, dwForwardModes, dwMaxForwardEntries, dwMaxSpecificEntries, dwMinFwdNumRings;
    DWORD dwMaxFwdNumRings, dwMaxCallCompletions, dwCallCompletionConds, dwCallCompletionModes;
    DWORD dwNumCompletionMessages, dwCompletionMsgTextEntrySize;
    DWORD dwCompletionMsgTextSize, dwCompletionMsgTextOffset;
    DWORD dwAddressFeatures;
};

struct LINEADDRESSSTATUS {
    DWORD dwTotalSize, dwNeededSize, dwUsedSize;
    DWORD dwNumInUse, dwNumActiveCalls, dwNumOnHoldCalls, dwNumOnHoldPendCalls, dwAddressFeatures;
    DWORD dwNumRingsNoAnswer, dwForwardNumEntries, dwForwardSize, dwForwardOffset;
    DWORD dwTerminalModesSize, dwTerminalModesOffset;
    DWORD dwDevSpecificSize, dwDevSpecificOffset;
};

struct LINEGENERATETONE {
    DWORD dwFrequency, dwCadenceOn, dwCadenceOff, dwVolume;
};

struct LINEMONITORTONE {
    DWORD dwAppSpecific;
    DWORD dwDuration, dwFrequency1, dwFrequency2, dwFrequency3;
};

static_assert(sizeof(VARSTRING) == 24);
static_assert(sizeof(LINEEXTENSIONID) == 16);
static_assert(sizeof(LINEDIALPARAMS) == 16);
static_assert(sizeof(LINEDEVCAPS) == 240 && offsetof(LINEDEVCAPS, dwLineFeatures) == 236);
static_assert(offsetof(LINEDEVCAPS, dwLineNameOffset) == 36 && offsetof(LINEDEVCAPS, dwMediaModes) == 60);
static_assert(offsetof(LINEDEVCAPS, MinDialParams) == 156 && offsetof(LINEDEVCAPS, dwNumTerminals) == 204);
static_assert(sizeof(LINECALLINFO) == 296 && offsetof(LINECALLINFO, DialParams) == 64);
static_assert(offsetof(LINECALLINFO, dwCallerIDFlags) == 108 && offsetof(LINECALLINFO, dwAppNameSize) == 208);
static_assert(sizeof(LINECALLSTATUS) == 36);
static_assert(sizeof(LINEDEVSTATUS) == 88 &&
              offsetof(LINEDEVSTATUS, dwAvailableMediaModes) == LineDevStatusSize14);
static_assert(sizeof(LINETRANSLATEOUTPUT) == 40);
static_assert(sizeof(LINETRANSLATECAPS) == 44);
static_assert(sizeof(LINECALLPARAMS) == 112 && offsetof(LINECALLPARAMS, DialParams) == 32);
static_assert(sizeof(LINECOUNTRYLIST) == 24);
static_assert(sizeof(LINEADDRESSCAPS) == 180 && offsetof(LINEADDRESSCAPS, dwMaxNumActiveCalls) == 84);
static_assert(sizeof(LINEADDRESSSTATUS) == 64);
static_assert(sizeof(LINEGENERATETONE) == 16 && sizeof(LINEMONITORTONE) == 20);

// The line functions, in the platform's argument order.
LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                    const char* lpszAppName, DWORD* lpdwNumDevs);
LONG lineShutdown(HLINEAPP hLineApp);
LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID);
LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps);
LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes,
              const LINECALLPARAMS* lpCallParams);
LONG lineClose(HLINE hLine);
LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates);
LONG lineGetStatusMessages(HLINE hLine, DWORD* lpdwLineStates, DWORD* lpdwAddressStates);
LONG lineGetLineDevStatus(HLINE hLine, LINEDEVSTATUS* lpLineDevStatus);
LONG lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                        DWORD dwExtVersion, LINEADDRESSCAPS* lpAddressCaps);
LONG lineGetAddressStatus(HLINE hLine, DWORD dwAddressID, LINEADDRESSSTATUS* lpAddressStatus);
LONG lineGetDevConfig(DWORD dwDeviceID, VARSTRING* lpDeviceConfig, const char* lpszDeviceClass);
LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize,
                      const char* lpszDeviceClass);
LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
               const char* lpszDeviceClass);

// Asynchronous: a positive request identifier, or a LINEERR_ value at once.
LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams);
LONG lineAccept(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineAnswer(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineDrop(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate,
                       const LINEDIALPARAMS* lpDialParams);

LONG lineDeallocateCall(HCALL hCall);
LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo);
LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* lpCallStatus);
LONG lineSetMediaMode(HCALL hCall, DWORD dwMediaModes);
LONG lineMonitorMedia(HCALL hCall, DWORD dwMediaModes);
LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes);
LONG lineMonitorTones(HCALL hCall, const LINEMONITORTONE* lpToneList, DWORD dwNumEntries);
LONG lineGenerateDigits(HCALL hCall, DWORD dwDigitMode, const char* lpszDigits, DWORD dwDuration);
LONG lineGenerateTone(HCALL hCall, DWORD dwToneMode, DWORD dwDuration, DWORD dwNumTones,
                      const LINEGENERATETONE* lpTones);
LONG lineHandoff(HCALL hCall, const char* lpszFileName, DWORD dwMediaMode);
LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const char* lpszAddressIn,
                          DWORD dwCard, DWORD dwTranslateOptions, LINETRANSLATEOUTPUT* lpTranslateOutput);

// The line's configuration dialog (platform/TapiConfigDialog.h), modal over the active window; the
// owner window is not used. lineConfigDialog keeps what the dialog gives (and saves it for a line of
// the file); lineConfigDialogEdit starts from the configuration given (none: the default one) and
// hands back what the dialog gives, or on Cancel the one given. Without windows (no QApplication):
// LINEERR_OPERATIONUNAVAIL.
LONG lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, const char* lpszDeviceClass);
LONG lineConfigDialogEdit(DWORD dwDeviceID, HWND hwndOwner, const char* lpszDeviceClass,
                          const void* lpDeviceConfigIn, DWORD dwSize, VARSTRING* lpDeviceConfigOut);
// Asynchronous; the voice calls of a line of the file only, "AT+CHLD=2" (platform/TapiModem.h): the
// request fails with LINEERR_OPERATIONUNAVAIL when the modem does not answer OK to it. Other calls:
// LINEERR_OPERATIONUNAVAIL at once.
LONG lineHold(HCALL hCall);
LONG lineUnhold(HCALL hCall);

// Not offered here: LINEERR_OPERATIONUNAVAIL.
LONG lineTranslateDialog(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, HWND hwndOwner,
                         const char* lpszAddressIn);
LONG lineGetTranslateCaps(HLINEAPP hLineApp, DWORD dwAPIVersion, LINETRANSLATECAPS* lpTranslateCaps);
LONG lineSetCurrentLocation(HLINEAPP hLineApp, DWORD dwLocation);
LONG lineSetTollList(HLINEAPP hLineApp, DWORD dwDeviceID, const char* lpszAddressIn, DWORD dwTollListOption);
LONG lineGetCountry(DWORD dwCountryID, DWORD dwAPIVersion, LINECOUNTRYLIST* lpLineCountryList);
LONG lineBlindTransfer(HCALL hCall, const char* lpszDestAddress, DWORD dwCountryCode);

// Closes a handle that lineGetID("comm/datamodem") handed out and that nobody took over.
void CloseTapiCommHandle(std::int32_t handle);

// The entry table of "TAPI32", for platform/Modules.
std::vector<TModuleEntry> Tapi32Entries();

// <common application-data folder>/tapi/lines
QString TapiLinesFile();
// Far above any lines file written by hand.
inline constexpr std::uint64_t MaxTapiLinesFileSize = 4 << 20;
// The file a line's device names: COMn through the COM folder, else /dev/ttyS<n-1>; a path as it is.
QString TapiLineDevicePath(const QString& device);

inline constexpr unsigned TapiNewLineMessage = 0x7EB5;
inline constexpr WPARAM TapiNewLineWParam = 4;
void RegisterTapiDeviceWindow(HWND window);
void UnregisterTapiDeviceWindow(HWND window);
// Posts TapiNewLineMessage (wParam 4, lParam the device identifier) to every registered window.
void BroadcastTapiNewLine(DWORD deviceId);
