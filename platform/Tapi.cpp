// The telephony stand-in's module "TAPI32" (platform/Tapi.h): its entry table, the functions not
// offered here, the new-line broadcast.
#include "platform/Tapi.h"

#include <unistd.h>

#include "platform/TapiProvider.h"

using namespace tapi_provider;

// ---- Not offered here

LONG lineTranslateDialog(HLINEAPP, DWORD, DWORD, HWND, const char*) {
    return Unavailable();
}

LONG lineGetTranslateCaps(HLINEAPP, DWORD, LINETRANSLATECAPS*) {
    return Unavailable();
}

LONG lineSetCurrentLocation(HLINEAPP, DWORD) {
    return Unavailable();
}

LONG lineSetTollList(HLINEAPP, DWORD, const char*, DWORD) {
    return Unavailable();
}

LONG lineGetCountry(DWORD, DWORD, LINECOUNTRYLIST*) {
    return Unavailable();
}

LONG lineBlindTransfer(HCALL, const char*, DWORD) {
    return Unavailable();
}

void CloseTapiCommHandle(std::int32_t handle) {
    if (handle >= 0)
        ::close(handle);
}

// ---- The module, the lines file, the broadcast

std::vector<TModuleEntry> Tapi32Entries() {
    return {
        ModuleEntry("lineGenerateTone", &lineGenerateTone),
        ModuleEntry("lineMonitorTones", &lineMonitorTones),
        ModuleEntry("lineSetCallParams", &lineSetCallParams),
        ModuleEntry("lineHandoff", &lineHandoff),
        ModuleEntry("lineMonitorMedia", &lineMonitorMedia),
        ModuleEntry("lineGenerateDigits", &lineGenerateDigits),
        ModuleEntry("lineMonitorDigits", &lineMonitorDigits),
        ModuleEntry("lineInitialize", &lineInitialize),
        ModuleEntry("lineShutdown", &lineShutdown),
        ModuleEntry("lineNegotiateAPIVersion", &lineNegotiateAPIVersion),
        ModuleEntry("lineGetDevCaps", &lineGetDevCaps),
        ModuleEntry("lineOpen", &lineOpen),
        ModuleEntry("lineMakeCall", &lineMakeCall),
        ModuleEntry("lineAccept", &lineAccept),
        ModuleEntry("lineAnswer", &lineAnswer),
        ModuleEntry("lineDeallocateCall", &lineDeallocateCall),
        ModuleEntry("lineDrop", &lineDrop),
        ModuleEntry("lineClose", &lineClose),
        ModuleEntry("lineGetCountry", &lineGetCountry),
        ModuleEntry("lineConfigDialog", &lineConfigDialog),
        ModuleEntry("lineConfigDialogEdit", &lineConfigDialogEdit),
        ModuleEntry("lineGetID", &lineGetID),
        ModuleEntry("lineSetStatusMessages", &lineSetStatusMessages),
        ModuleEntry("lineGetStatusMessages", &lineGetStatusMessages),
        ModuleEntry("lineGetAddressCaps", &lineGetAddressCaps),
        ModuleEntry("lineGetAddressStatus", &lineGetAddressStatus),
        ModuleEntry("lineGetLineDevStatus", &lineGetLineDevStatus),
        ModuleEntry("lineGetDevConfig", &lineGetDevConfig),
        ModuleEntry("lineSetDevConfig", &lineSetDevConfig),
        ModuleEntry("lineGetCallInfo", &lineGetCallInfo),
        ModuleEntry("lineGetCallStatus", &lineGetCallStatus),
        ModuleEntry("lineSetMediaMode", &lineSetMediaMode),
        ModuleEntry("lineTranslateAddress", &lineTranslateAddress),
        ModuleEntry("lineTranslateDialog", &lineTranslateDialog),
        ModuleEntry("lineSetCurrentLocation", &lineSetCurrentLocation),
        ModuleEntry("lineSetTollList", &lineSetTollList),
        ModuleEntry("lineGetTranslateCaps", &lineGetTranslateCaps),
        ModuleEntry("lineHold", &lineHold),
        ModuleEntry("lineUnhold", &lineUnhold),
        ModuleEntry("lineBlindTransfer", &lineBlindTransfer),
    };
}

void RegisterTapiDeviceWindow(HWND window) {
    TapiDeviceWindows().insert(window);
}

void UnregisterTapiDeviceWindow(HWND window) {
    TapiDeviceWindows().erase(window);
}

void BroadcastTapiNewLine(DWORD deviceId) {
    for (HWND window : TapiDeviceWindows())
        PostMessage(window, TapiNewLineMessage, TapiNewLineWParam, LPARAM(deviceId));
}
