#include "serial/TapiBinding.h"

#include <array>
#include <cstring>
#include <string>

#include <QCursor>
#include <QGuiApplication>

HMODULE TapiModule = 0;

namespace {

// The bound functions in the order they are looked up; the last three are the hold, unhold and
// transfer slots.
#define TAPI_BOUND_FUNCTIONS(X)                                                                              \
    X(lineGenerateTone)                                                                                      \
    X(lineMonitorTones)                                                                                      \
    X(lineSetCallParams)                                                                                     \
    X(lineHandoff)                                                                                           \
    X(lineMonitorMedia)                                                                                      \
    X(lineGenerateDigits)                                                                                    \
    X(lineMonitorDigits)                                                                                     \
    X(lineInitialize)                                                                                        \
    X(lineShutdown)                                                                                          \
    X(lineNegotiateAPIVersion)                                                                               \
    X(lineGetDevCaps)                                                                                        \
    X(lineOpen)                                                                                              \
    X(lineMakeCall)                                                                                          \
    X(lineAccept)                                                                                            \
    X(lineAnswer)                                                                                            \
    X(lineDeallocateCall)                                                                                    \
    X(lineDrop)                                                                                              \
    X(lineClose)                                                                                             \
    X(lineGetCountry)                                                                                        \
    X(lineConfigDialog)                                                                                      \
    X(lineConfigDialogEdit)                                                                                  \
    X(lineGetID)                                                                                             \
    X(lineSetStatusMessages)                                                                                 \
    X(lineGetStatusMessages)                                                                                 \
    X(lineGetAddressCaps)                                                                                    \
    X(lineGetAddressStatus)                                                                                  \
    X(lineGetLineDevStatus)                                                                                  \
    X(lineGetDevConfig)                                                                                      \
    X(lineSetDevConfig)                                                                                      \
    X(lineGetCallInfo)                                                                                       \
    X(lineGetCallStatus)                                                                                     \
    X(lineSetMediaMode)                                                                                      \
    X(lineTranslateAddress)                                                                                  \
    X(lineTranslateDialog)                                                                                   \
    X(lineSetCurrentLocation)                                                                                \
    X(lineSetTollList)                                                                                       \
    X(lineGetTranslateCaps)                                                                                  \
    X(lineHold)                                                                                              \
    X(lineUnhold)                                                                                            \
    X(lineBlindTransfer)

enum TProcIndex {
#define TAPI_INDEX(name) pi_##name,
    TAPI_BOUND_FUNCTIONS(TAPI_INDEX)
#undef TAPI_INDEX
        ProcCount
};

constexpr std::array<const char*, ProcCount> ProcNames = {
#define TAPI_NAME(name) #name,
    TAPI_BOUND_FUNCTIONS(TAPI_NAME)
#undef TAPI_NAME
};

std::array<FARPROC, ProcCount> Procs{};

// The entry of a bound function, typed as the platform declares it.
template <TProcIndex Index, class F> F Entry() {
    return reinterpret_cast<F>(Procs[Index]);
}

#define TAPI_ENTRY(name) Entry<pi_##name, decltype(&::name)>()

// The plain wrappers' checks before the call.
template <class GetEntry, class... Args> LONG CallBound(GetEntry entry, Args... args) {
    if (!LoadTapiProcs())
        return ecTapiLoadFail;
    const auto proc = entry();
    if (!proc)
        return ecTapiGetAddrFail;
    return proc(args...);
}

#define TAPI_CALL(name, ...) CallBound([] { return TAPI_ENTRY(name); }, __VA_ARGS__)

constexpr DWORD DevCapsSize = 240;
constexpr DWORD CallInfoSize = 296;
constexpr DWORD CallStatusSize = 36;
constexpr DWORD LineDevStatusSize = 88;
constexpr DWORD TranslateOutputSize = 40;
constexpr DWORD FallbackSize = 1024;
constexpr std::size_t AddressBufferSize = 100;

static_assert(DevCapsSize == sizeof(TLineDevCaps) && CallInfoSize == sizeof(TCallInfo));
static_assert(CallStatusSize == sizeof(TCallStatus) && LineDevStatusSize == sizeof(TLineDevStatus));
static_assert(TranslateOutputSize == sizeof(TLineTranslateOutput));

template <class T> T* NewBuffer(DWORD size) {
    T* buffer = static_cast<T*>(std::calloc(1, size));
    if (!buffer)
        throw std::bad_alloc();
    buffer->dwTotalSize = size;
    return buffer;
}

// After a fetch into out that gave result: once more with what the structure says it needs, when that
// is more than it had.
template <class T, class Fetch> LONG FetchNeeded(T*& out, LONG result, Fetch fetch) {
    if (out->dwNeededSize <= out->dwTotalSize)
        return result;
    const DWORD needed = out->dwNeededSize;
    std::free(out);
    out = NewBuffer<T>(needed);
    result = fetch(out);
    if (result != 0) {
        std::free(out);
        out = nullptr;
    }
    return result;
}

// Fetches into a buffer of `initial` bytes; after LINEERR_STRUCTURETOOSMALL once more with 1024
// bytes, and then once more with what the structure says it needs.
template <class T, class Fetch> LONG Grow(T*& out, DWORD initial, Fetch fetch) {
    out = NewBuffer<T>(initial);
    LONG result = fetch(out);
    if (result == LINEERR_STRUCTURETOOSMALL) {
        std::free(out);
        out = NewBuffer<T>(FallbackSize);
        result = fetch(out);
        if (result != 0) {
            std::free(out);
            out = nullptr;
            return result;
        }
    }
    return FetchNeeded(out, result, fetch);
}

// A zero-terminated copy in the platform's 100-byte buffer; false when it does not fit.
bool CopyAddress(const char* address, std::array<char, AddressBufferSize>& buffer) {
    const std::size_t length = address ? std::strlen(address) : 0;
    if (length >= buffer.size())
        return false;
    buffer.fill('\0');
    if (length)
        std::memcpy(buffer.data(), address, length);
    return true;
}

bool waitCursorShown = false;

} // namespace

bool LoadTapiProcs() {
    if (TapiModule != 0)
        return true;
    const HMODULE module = LoadLibrary("TAPI32");
    if (module == 0)
        return false;
    TapiModule = module;
    for (std::size_t i = 0; i < ProcCount; ++i)
        Procs[i] = GetProcAddress(module, ProcNames[i]);
    return true;
}

void UnloadTapiProcs() {
    if (TapiModule == 0)
        return;
    FreeLibrary(TapiModule);
    TapiModule = 0;
    Procs.fill(nullptr);
}

LONG tuLineGenerateTones(HCALL call, DWORD toneMode, DWORD duration, DWORD numTones,
                         const LINEGENERATETONE* tones) {
    return TAPI_CALL(lineGenerateTone, call, toneMode, duration, numTones, tones);
}

LONG tuLineMonitorTones(HCALL call, const LINEMONITORTONE* toneList, DWORD numEntries) {
    return TAPI_CALL(lineMonitorTones, call, toneList, numEntries);
}

LONG tuLineSetCallParams(HCALL call, DWORD bearerMode, DWORD minRate, DWORD maxRate,
                         const TLineDialParams* dialParams) {
    return TAPI_CALL(lineSetCallParams, call, bearerMode, minRate, maxRate, dialParams);
}

LONG tuLineHandoff(HCALL call, const char* fileName, DWORD mediaMode) {
    return TAPI_CALL(lineHandoff, call, fileName, mediaMode);
}

LONG tuLineMonitorMedia(HCALL call, DWORD mediaModes) {
    return TAPI_CALL(lineMonitorMedia, call, mediaModes);
}

LONG tuLineGenerateDigits(HCALL call, DWORD digitMode, const char* digits, DWORD duration) {
    return TAPI_CALL(lineGenerateDigits, call, digitMode, digits, duration);
}

LONG tuLineMonitorDigits(HCALL call, DWORD digitModes) {
    return TAPI_CALL(lineMonitorDigits, call, digitModes);
}

LONG tuLineInitialize(HLINEAPP& lineApp, HINSTANCE instance, LINECALLBACK callback, const char* appName,
                      DWORD& numDevs) {
    return TAPI_CALL(lineInitialize, &lineApp, instance, callback, appName, &numDevs);
}

LONG tuLineShutdown(HLINEAPP lineApp) {
    return TAPI_CALL(lineShutdown, lineApp);
}

LONG tuLineNegotiateApiVersion(HLINEAPP lineApp, DWORD deviceId, DWORD lowVersion, DWORD highVersion,
                               DWORD& apiVersion, TLineExtensionID& extensionId) {
    return TAPI_CALL(lineNegotiateAPIVersion, lineApp, deviceId, lowVersion, highVersion, &apiVersion,
                     &extensionId);
}

LONG tuLineGetDevCaps(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, DWORD extVersion,
                      TLineDevCaps* caps) {
    return TAPI_CALL(lineGetDevCaps, lineApp, deviceId, apiVersion, extVersion, caps);
}

LONG tuLineOpen(HLINEAPP lineApp, DWORD deviceId, HLINE& line, DWORD apiVersion, DWORD extVersion,
                DWORD_PTR callbackInstance, DWORD privileges, DWORD mediaModes,
                const TLineCallParams* params) {
    return TAPI_CALL(lineOpen, lineApp, deviceId, &line, apiVersion, extVersion, callbackInstance, privileges,
                     mediaModes, params);
}

LONG tuLineMakeCall(HLINE line, HCALL& call, const char* destAddress, DWORD countryCode,
                    const TLineCallParams* params) {
    return TAPI_CALL(lineMakeCall, line, &call, destAddress, countryCode, params);
}

LONG tuLineAccept(HCALL call, const char* userUserInfo, DWORD size) {
    return TAPI_CALL(lineAccept, call, userUserInfo, size);
}

LONG tuLineAnswer(HCALL call, const char* userUserInfo, DWORD size) {
    return TAPI_CALL(lineAnswer, call, userUserInfo, size);
}

LONG tuLineDeallocateCall(HCALL call) {
    return TAPI_CALL(lineDeallocateCall, call);
}

LONG tuLineDrop(HCALL call, const char* userUserInfo, DWORD size) {
    return TAPI_CALL(lineDrop, call, userUserInfo, size);
}

LONG tuLineClose(HLINE line) {
    return TAPI_CALL(lineClose, line);
}

LONG tuLineGetCountry(DWORD countryId, DWORD apiVersion, TLineCountryList* list) {
    return TAPI_CALL(lineGetCountry, countryId, apiVersion, list);
}

LONG tuLineConfigDialog(DWORD deviceId, HWND owner, const char* deviceClass) {
    return TAPI_CALL(lineConfigDialog, deviceId, owner, deviceClass);
}

LONG tuLineConfigDialogEdit(DWORD deviceId, HWND owner, const char* deviceClass, const void* configIn,
                            DWORD size, TVarString& configOut) {
    return TAPI_CALL(lineConfigDialogEdit, deviceId, owner, deviceClass, configIn, size, &configOut);
}

LONG tuLineGetID(HLINE line, DWORD addressId, HCALL call, DWORD select, TVarString& deviceId,
                 const char* deviceClass) {
    return TAPI_CALL(lineGetID, line, addressId, call, select, &deviceId, deviceClass);
}

LONG tuLineSetStatusMessages(HLINE line, DWORD lineStates, DWORD addressStates) {
    return TAPI_CALL(lineSetStatusMessages, line, lineStates, addressStates);
}

LONG tuLineGetStatusMessages(HLINE line, DWORD& lineStates, DWORD& addressStates) {
    return TAPI_CALL(lineGetStatusMessages, line, &lineStates, &addressStates);
}

LONG tuLineGetAddressCaps(HLINEAPP lineApp, DWORD deviceId, DWORD addressId, DWORD apiVersion,
                          DWORD extVersion, TLineAddressCaps* caps) {
    return TAPI_CALL(lineGetAddressCaps, lineApp, deviceId, addressId, apiVersion, extVersion, caps);
}

LONG tuLineGetAddressStatus(HLINE line, DWORD addressId, TLineAddressStatus* status) {
    return TAPI_CALL(lineGetAddressStatus, line, addressId, status);
}

LONG tuLineGetLineDevStatus(HLINE line, TLineDevStatus*& status) {
    return TAPI_CALL(lineGetLineDevStatus, line, status);
}

LONG tuLineGetDevConfig(DWORD deviceId, TVarString& config, const char* deviceClass) {
    return TAPI_CALL(lineGetDevConfig, deviceId, &config, deviceClass);
}

LONG tuLineSetDevConfig(DWORD deviceId, const void* config, DWORD size, const char* deviceClass) {
    return TAPI_CALL(lineSetDevConfig, deviceId, config, size, deviceClass);
}

LONG tuLineGetCallInfo(HCALL call, TCallInfo* info) {
    return TAPI_CALL(lineGetCallInfo, call, info);
}

LONG tuLineGetCallStatus(HCALL call, TCallStatus* status) {
    return TAPI_CALL(lineGetCallStatus, call, status);
}

LONG tuLineSetMediaMode(HCALL call, DWORD mediaModes) {
    return TAPI_CALL(lineSetMediaMode, call, mediaModes);
}

LONG tuLineSetCurrentLocation(HLINEAPP lineApp, DWORD location) {
    return TAPI_CALL(lineSetCurrentLocation, lineApp, location);
}

LONG tuLineSetTollList(HLINEAPP lineApp, DWORD deviceId, const char* address, DWORD option) {
    return TAPI_CALL(lineSetTollList, lineApp, deviceId, address, option);
}

LONG tuLineHold(HCALL& call) {
    return TAPI_CALL(lineHold, call);
}

LONG tuLineUnhold(HCALL& call) {
    return TAPI_CALL(lineUnhold, call);
}

LONG tuLineTransfer(HCALL& call, const char* destination, DWORD countryCode) {
    return TAPI_CALL(lineBlindTransfer, call, destination, countryCode);
}

LONG tuLineTranslateDialog(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, HWND owner,
                           const char* address) {
    if (!LoadTapiProcs())
        return ecTapiLoadFail;
    const auto proc = TAPI_ENTRY(lineTranslateDialog);
    if (!proc)
        return -1;
    std::array<char, AddressBufferSize> copy;
    if (!CopyAddress(address, copy))
        return LINEERR_INVALADDRESS;
    return proc(lineApp, deviceId, apiVersion, owner, copy.data());
}

// These four follow a tuLineInitialize, which has bound the entries.
LONG tuLineGetDevCapsDyn(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, DWORD extVersion,
                         TLineDevCaps*& out) {
    out = nullptr;
    return Grow(out, DevCapsSize, [&](TLineDevCaps* caps) {
        return TAPI_ENTRY(lineGetDevCaps)(lineApp, deviceId, apiVersion, extVersion, caps);
    });
}

LONG tuLineGetLineDevStatusDyn(HLINE line, TLineDevStatus*& out) {
    out = nullptr;
    return Grow(out, LineDevStatusSize,
                [&](TLineDevStatus* status) { return TAPI_ENTRY(lineGetLineDevStatus)(line, status); });
}

LONG tuLineGetCallInfoDyn(HCALL call, TCallInfo*& out) {
    out = nullptr;
    return Grow(out, CallInfoSize, [&](TCallInfo* info) { return TAPI_ENTRY(lineGetCallInfo)(call, info); });
}

LONG tuLineGetCallStatusDyn(HCALL call, TCallStatus*& out) {
    out = nullptr;
    return Grow(out, CallStatusSize,
                [&](TCallStatus* status) { return TAPI_ENTRY(lineGetCallStatus)(call, status); });
}

LONG tuLineTranslateAddressDyn(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, const char* address,
                               DWORD card, DWORD translateOptions, TLineTranslateOutput*& out) {
    out = nullptr;
    if (!LoadTapiProcs())
        return ecTapiLoadFail;
    std::array<char, AddressBufferSize> copy;
    if (!CopyAddress(address, copy))
        return LINEERR_INVALADDRESS;
    out = NewBuffer<TLineTranslateOutput>(TranslateOutputSize);
    const auto proc = TAPI_ENTRY(lineTranslateAddress);
    if (!proc)
        return ecTapiGetAddrFail;
    const auto fetch = [&](TLineTranslateOutput* output) {
        return proc(lineApp, deviceId, apiVersion, copy.data(), card, translateOptions, output);
    };
    return FetchNeeded(out, fetch(out), fetch);
}

std::int32_t TapiErrorToCode(LONG result) {
    if (result == 0)
        return 0;
    return std::int32_t((DWORD(result) & 0x7FFFFFFFu) + 13800u);
}

bool LineHasWaveDevice(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion) {
    HLINE line = 0;
    if (tuLineOpen(lineApp, deviceId, line, apiVersion, 0, 0, LINECALLPRIVILEGE_NONE,
                   LINEMEDIAMODE_AUTOMATEDVOICE, nullptr) != 0)
        return false;
    bool found = false;
    for (const char* deviceClass : {"wave/in", "wave/out"}) {
        TVarString query{};
        query.dwTotalSize = sizeof query;
        found = found || tuLineGetID(line, 0, 0, LINECALLSELECT_LINE, query, deviceClass) == 0;
    }
    tuLineClose(line);
    return found;
}

void SetWaitCursor() {
    if (waitCursorShown || !qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    waitCursorShown = true;
}

void RestoreWaitCursor() {
    if (!waitCursorShown)
        return;
    QGuiApplication::restoreOverrideCursor();
    waitCursorShown = false;
}
