// The library's road to the telephony interface: the line functions bound by name from "TAPI32" the
// first time one is called, typed wrappers around them, the variants that fetch a variable-size
// structure into a buffer grown until it fits, the translation of a line error into the library's
// numbering, and the wait cursor shown while a line opens. Main thread only.
//
// Wrappers return what the line function returned (0, a positive request identifier, a LINEERR_
// value), or -13931 when the library cannot be loaded (tried again at every call) and -13932 when
// it lacks the entry. The growing variants hand out a buffer from std::calloc that the caller frees
// (TTapiBuffer does that); they give none after a failed second or third call.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/Tapi.h"

using TLineDevCaps = LINEDEVCAPS;
using TCallInfo = LINECALLINFO;
using TCallStatus = LINECALLSTATUS;
using TLineDevStatus = LINEDEVSTATUS;
using TLineTranslateOutput = LINETRANSLATEOUTPUT;
using TVarString = VARSTRING;
using TLineCallParams = LINECALLPARAMS;
using TLineDialParams = LINEDIALPARAMS;
using TLineExtensionID = LINEEXTENSIONID;
using TLineCountryList = LINECOUNTRYLIST;
using TLineAddressCaps = LINEADDRESSCAPS;
using TLineAddressStatus = LINEADDRESSSTATUS;

inline constexpr std::int32_t ecTapiLoadFail = -13931;
inline constexpr std::int32_t ecTapiGetAddrFail = -13932;

// The loaded library, 0 while it is not.
extern HMODULE TapiModule;

bool LoadTapiProcs();
// At program end: frees the library and forgets the entries.
void UnloadTapiProcs();

LONG tuLineGenerateTones(HCALL call, DWORD toneMode, DWORD duration, DWORD numTones,
                         const LINEGENERATETONE* tones);
LONG tuLineMonitorTones(HCALL call, const LINEMONITORTONE* toneList, DWORD numEntries);
LONG tuLineSetCallParams(HCALL call, DWORD bearerMode, DWORD minRate, DWORD maxRate,
                         const TLineDialParams* dialParams);
LONG tuLineHandoff(HCALL call, const char* fileName, DWORD mediaMode);
LONG tuLineMonitorMedia(HCALL call, DWORD mediaModes);
LONG tuLineGenerateDigits(HCALL call, DWORD digitMode, const char* digits, DWORD duration);
LONG tuLineMonitorDigits(HCALL call, DWORD digitModes);
LONG tuLineInitialize(HLINEAPP& lineApp, HINSTANCE instance, LINECALLBACK callback, const char* appName,
                      DWORD& numDevs);
LONG tuLineShutdown(HLINEAPP lineApp);
LONG tuLineNegotiateApiVersion(HLINEAPP lineApp, DWORD deviceId, DWORD lowVersion, DWORD highVersion,
                               DWORD& apiVersion, TLineExtensionID& extensionId);
LONG tuLineGetDevCaps(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, DWORD extVersion,
                      TLineDevCaps* caps);
LONG tuLineOpen(HLINEAPP lineApp, DWORD deviceId, HLINE& line, DWORD apiVersion, DWORD extVersion,
                DWORD_PTR callbackInstance, DWORD privileges, DWORD mediaModes,
                const TLineCallParams* params);
LONG tuLineMakeCall(HLINE line, HCALL& call, const char* destAddress, DWORD countryCode,
                    const TLineCallParams* params);
LONG tuLineAccept(HCALL call, const char* userUserInfo, DWORD size);
LONG tuLineAnswer(HCALL call, const char* userUserInfo, DWORD size);
LONG tuLineDeallocateCall(HCALL call);
LONG tuLineDrop(HCALL call, const char* userUserInfo, DWORD size);
LONG tuLineClose(HLINE line);
LONG tuLineGetCountry(DWORD countryId, DWORD apiVersion, TLineCountryList* list);
LONG tuLineConfigDialog(DWORD deviceId, HWND owner, const char* deviceClass);
LONG tuLineConfigDialogEdit(DWORD deviceId, HWND owner, const char* deviceClass, const void* configIn,
                            DWORD size, TVarString& configOut);
LONG tuLineGetID(HLINE line, DWORD addressId, HCALL call, DWORD select, TVarString& deviceId,
                 const char* deviceClass);
LONG tuLineSetStatusMessages(HLINE line, DWORD lineStates, DWORD addressStates);
LONG tuLineGetStatusMessages(HLINE line, DWORD& lineStates, DWORD& addressStates);
LONG tuLineGetAddressCaps(HLINEAPP lineApp, DWORD deviceId, DWORD addressId, DWORD apiVersion,
                          DWORD extVersion, TLineAddressCaps* caps);
LONG tuLineGetAddressStatus(HLINE line, DWORD addressId, TLineAddressStatus* status);
LONG tuLineGetLineDevStatus(HLINE line, TLineDevStatus*& status);
LONG tuLineGetDevConfig(DWORD deviceId, TVarString& config, const char* deviceClass);
LONG tuLineSetDevConfig(DWORD deviceId, const void* config, DWORD size, const char* deviceClass);
LONG tuLineGetCallInfo(HCALL call, TCallInfo* info);
LONG tuLineGetCallStatus(HCALL call, TCallStatus* status);
LONG tuLineSetMediaMode(HCALL call, DWORD mediaModes);
LONG tuLineSetCurrentLocation(HLINEAPP lineApp, DWORD location);
LONG tuLineSetTollList(HLINEAPP lineApp, DWORD deviceId, const char* address, DWORD option);
LONG tuLineHold(HCALL& call);
LONG tuLineUnhold(HCALL& call);
LONG tuLineTransfer(HCALL& call, const char* destination, DWORD countryCode);
// -1 (not -13932) without the entry. An address longer than 99 characters is refused
// (LINEERR_INVALADDRESS).
LONG tuLineTranslateDialog(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, HWND owner,
                           const char* address);

// The growing variants: *out is the buffer or null.
LONG tuLineGetDevCapsDyn(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, DWORD extVersion,
                         TLineDevCaps*& out);
LONG tuLineGetLineDevStatusDyn(HLINE line, TLineDevStatus*& out);
LONG tuLineGetCallInfoDyn(HCALL call, TCallInfo*& out);
LONG tuLineGetCallStatusDyn(HCALL call, TCallStatus*& out);
// An address longer than 99 characters is refused (LINEERR_INVALADDRESS, no buffer).
LONG tuLineTranslateAddressDyn(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, const char* address,
                               DWORD card, DWORD translateOptions, TLineTranslateOutput*& out);

struct TTapiBufferFree {
    void operator()(void* buffer) const { std::free(buffer); }
};
template <class T> using TTapiBuffer = std::unique_ptr<T, TTapiBufferFree>;

// A text of a variable-size structure (dwXxxSize bytes at dwXxxOffset), without its terminating zero;
// empty when the structure does not hold it whole.
template <class T> std::string TapiText(const T& structure, DWORD size, DWORD offset) {
    if (size == 0 || offset > structure.dwTotalSize || size > structure.dwTotalSize - offset)
        return {};
    const char* text = reinterpret_cast<const char*>(&structure) + offset;
    std::size_t length = 0;
    while (length < size && text[length] != '\0')
        ++length;
    return std::string(text, length);
}

// 0 for 0; a LINEERR_ value 0x80000000 + n gives 13800 + n.
std::int32_t TapiErrorToCode(LONG result);

// Whether the line has a "wave/in" or "wave/out" device: asked of the line opened for a moment
// without call privileges.
bool LineHasWaveDevice(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion);

// The wait cursor while a line opens; a second SetWaitCursor before RestoreWaitCursor changes nothing.
void SetWaitCursor();
void RestoreWaitCursor();

// The wait cursor for a scope.
class TWaitCursor {
public:
    TWaitCursor() { SetWaitCursor(); }
    ~TWaitCursor() { RestoreWaitCursor(); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;
};
