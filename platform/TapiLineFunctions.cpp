// The line functions of the telephony stand-in (platform/Tapi.h) on line applications, line devices
// and open lines, over the provider (platform/TapiProvider.h).
#include <cstring>

#include <fcntl.h>

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include "platform/Cp1251.h"
#include "platform/TapiConfigDialog.h"
#include "platform/TapiProvider.h"

using namespace tapi_provider;

// ---- Line applications

LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, const char*,
                    DWORD* lpdwNumDevs) {
    if (const LONG failure = TakeFailure("lineInitialize"))
        return failure;
    if (!lphLineApp || !lpfnCallback || !lpdwNumDevs)
        return LINEERR_INVALPOINTER;
    if (!QCoreApplication::instance())
        return LINEERR_OPERATIONFAILED; // nothing could be delivered
    ReadLines();
    TProvider& p = Tapi();
    *lphLineApp = p.NextHandle++;
    p.Apps[*lphLineApp] = lpfnCallback;
    *lpdwNumDevs = DWORD(p.Lines.size());
    return 0;
}

LONG lineShutdown(HLINEAPP hLineApp) {
    if (const LONG failure = TakeFailure("lineShutdown"))
        return failure;
    if (!Tapi().Apps.count(hLineApp))
        return LINEERR_INVALAPPHANDLE;
    EndApp(hLineApp);
    return 0;
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID) {
    if (const LONG failure = TakeFailure("lineNegotiateAPIVersion"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (!lpdwAPIVersion || !lpExtensionID)
        return LINEERR_INVALPOINTER;
    if (dwAPILowVersion > TapiApiVersion14 || dwAPIHighVersion < TapiApiVersion14)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    *lpdwAPIVersion = TapiApiVersion14;
    *lpExtensionID = {};
    return 0;
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* caps) {
    if (const LONG failure = TakeFailure("lineGetDevCaps"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (const LONG error = CheckVersion(dwAPIVersion, dwExtVersion))
        return error;
    if (const LONG error = CheckBuffer(caps))
        return error;
    const TLineSpec& line = LineOf(dwDeviceID).Spec;
    if (line.CapsError)
        return line.CapsError;
    const DWORD digitModes = IsVoiceLine(dwDeviceID) ? LINEDIGITMODE_DTMF : 0;
    ClearFixedPart(caps, sizeof *caps);
    caps->dwPermanentLineID = dwDeviceID + 1;
    caps->dwStringFormat = STRINGFORMAT_ASCII;
    caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    caps->dwNumAddresses = 1;
    caps->dwBearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_PASSTHROUGH;
    caps->dwMaxRate = line.Rate;
    caps->dwMediaModes = line.MediaModes;
    caps->dwGenerateDigitModes = digitModes;
    caps->dwMonitorDigitModes = digitModes;
    caps->dwMaxNumActiveCalls = 1;
    caps->dwRingModes = 1;
    caps->dwLineStates = LINEDEVSTATE_RINGING | LINEDEVSTATE_REINIT;
    caps->dwLineFeatures = line.LineFeatures;
    WriteVarPart(caps, sizeof *caps, {{&caps->dwLineNameSize, &caps->dwLineNameOffset, WithZero(line.Name)}});
    return 0;
}

LONG lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                        DWORD dwExtVersion, LINEADDRESSCAPS* caps) {
    if (const LONG failure = TakeFailure("lineGetAddressCaps"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (dwAddressID != 0)
        return LINEERR_INVALADDRESSID;
    if (const LONG error = CheckVersion(dwAPIVersion, dwExtVersion))
        return error;
    if (const LONG error = CheckBuffer(caps))
        return error;
    ClearFixedPart(caps, sizeof *caps);
    caps->dwLineDeviceID = dwDeviceID;
    caps->dwAddressSharing = LINEADDRESSSHARING_PRIVATE;
    caps->dwCallStates = CallStatesReported;
    caps->dwMaxNumActiveCalls = 1;
    WriteVarPart(caps, sizeof *caps, {});
    return 0;
}

namespace {

// The modem settings of a line, kept here as the bytes the application stored.
LONG CheckDevConfig(const char* function, DWORD device, const char* deviceClass) {
    if (const LONG failure = TakeFailure(function))
        return failure;
    if (Tapi().Apps.empty())
        return LINEERR_UNINITIALIZED;
    if (device >= Tapi().Lines.size())
        return LINEERR_BADDEVICEID;
    if (!deviceClass)
        return LINEERR_INVALPOINTER;
    return Lower(deviceClass) == "comm/datamodem" ? 0 : LINEERR_INVALDEVICECLASS;
}

} // namespace

LONG lineGetDevConfig(DWORD dwDeviceID, VARSTRING* out, const char* lpszDeviceClass) {
    if (const LONG error = CheckDevConfig("lineGetDevConfig", dwDeviceID, lpszDeviceClass))
        return error;
    if (const LONG error = CheckBuffer(out))
        return error;
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_BINARY;
    WriteVarPart(out, sizeof *out,
                 {{&out->dwStringSize, &out->dwStringOffset, LineOf(dwDeviceID).DevConfig}});
    return 0;
}

LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize,
                      const char* lpszDeviceClass) {
    if (const LONG error = CheckDevConfig("lineSetDevConfig", dwDeviceID, lpszDeviceClass))
        return error;
    if (!lpDeviceConfig && dwSize)
        return LINEERR_INVALPOINTER;
    const std::optional<TTapiDevConfig> config = TapiDevConfigOf(lpDeviceConfig, dwSize);
    if (!config)
        return LINEERR_INVALPARAM;
    return StoreDevConfig(dwDeviceID, *config);
}

LONG lineConfigDialog(DWORD dwDeviceID, HWND, const char* lpszDeviceClass) {
    if (const LONG error = CheckDevConfig("lineConfigDialog", dwDeviceID, lpszDeviceClass))
        return error;
    if (!HasWindows())
        return Unavailable();
    const TLineRecord& line = LineOf(dwDeviceID);
    const std::optional<TTapiDevConfig> edited =
        EditTapiDevConfig(FromCp1251(line.Spec.Name), DevConfigOf(line).value_or(TTapiDevConfig{}));
    // The dialog ran the event loop: the line may be gone with its last application.
    if (!edited)
        return 0;
    if (dwDeviceID >= Tapi().Lines.size())
        return LINEERR_BADDEVICEID;
    return StoreDevConfig(dwDeviceID, *edited);
}

LONG lineConfigDialogEdit(DWORD dwDeviceID, HWND, const char* lpszDeviceClass, const void* lpDeviceConfigIn,
                          DWORD dwSize, VARSTRING* out) {
    if (const LONG error = CheckDevConfig("lineConfigDialogEdit", dwDeviceID, lpszDeviceClass))
        return error;
    if (const LONG error = CheckBuffer(out))
        return error;
    if (!lpDeviceConfigIn && dwSize)
        return LINEERR_INVALPOINTER;
    const std::optional<TTapiDevConfig> given =
        dwSize ? TapiDevConfigOf(lpDeviceConfigIn, dwSize) : std::optional<TTapiDevConfig>(TTapiDevConfig{});
    if (!given)
        return LINEERR_INVALPARAM;
    if (!HasWindows())
        return Unavailable();
    const std::optional<TTapiDevConfig> edited =
        EditTapiDevConfig(FromCp1251(LineOf(dwDeviceID).Spec.Name), *given);
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_BINARY;
    WriteVarPart(out, sizeof *out,
                 {{&out->dwStringSize, &out->dwStringOffset, TapiDevConfigBytes(edited.value_or(*given))}});
    return 0;
}

// ---- Lines

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS*) {
    if (const LONG failure = TakeFailure("lineOpen"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (!lphLine)
        return LINEERR_INVALPOINTER;
    if (const LONG error = CheckVersion(dwAPIVersion, dwExtVersion))
        return error;
    const DWORD privileges = dwPrivileges;
    const bool watching =
        privileges && !(privileges & ~(LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER));
    if (privileges != LINECALLPRIVILEGE_NONE && !watching)
        return LINEERR_INVALPRIVSELECT;
    const DWORD offered = LineOf(dwDeviceID).Spec.MediaModes | LINEMEDIAMODE_UNKNOWN;
    if ((privileges & LINECALLPRIVILEGE_OWNER) && (dwMediaModes == 0 || (dwMediaModes & ~offered)))
        return LINEERR_INVALMEDIAMODE;
    TProvider& p = Tapi();
    *lphLine = p.NextHandle++;
    p.Opens[*lphLine] = {hLineApp, dwDeviceID, dwCallbackInstance, privileges, dwMediaModes};
    // A modem listens once the loop is back: an open that goes again at once (to try the line)
    // leaves the device alone.
    if ((privileges & LINECALLPRIVILEGE_OWNER) && LineOf(dwDeviceID).Modem)
        QTimer::singleShot(0, QCoreApplication::instance(), [dwDeviceID] { UpdateModem(dwDeviceID); });
    return 0;
}

LONG lineClose(HLINE hLine) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineClose", hLine, &open))
        return error;
    EndOpen(hLine);
    return 0;
}

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineSetStatusMessages", hLine, &open))
        return error;
    if (dwLineStates & ~LINEDEVSTATE_ALL)
        return LINEERR_INVALLINESTATE;
    if (dwAddressStates & ~LINEADDRESSSTATE_ALL)
        return LINEERR_INVALADDRESSSTATE;
    open->LineStates = dwLineStates;
    open->AddressStates = dwAddressStates;
    return 0;
}

LONG lineGetStatusMessages(HLINE hLine, DWORD* lpdwLineStates, DWORD* lpdwAddressStates) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineGetStatusMessages", hLine, &open))
        return error;
    if (!lpdwLineStates || !lpdwAddressStates)
        return LINEERR_INVALPOINTER;
    *lpdwLineStates = open->LineStates;
    *lpdwAddressStates = open->AddressStates;
    return 0;
}

LONG lineGetLineDevStatus(HLINE hLine, LINEDEVSTATUS* status) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineGetLineDevStatus", hLine, &open))
        return error;
    if (const LONG error = CheckBuffer(status, LineDevStatusSize14))
        return error;
    ClearFixedPart(status, LineDevStatusSize14);
    for (const auto& [handle, other] : Tapi().Opens)
        if (other.Device == open->Device) {
            ++status->dwNumOpens;
            if (other.Privileges & LINECALLPRIVILEGE_OWNER)
                status->dwOpenMediaModes |= other.MediaModes;
        }
    status->dwNumActiveCalls = LineBusy(open->Device) ? 1 : 0;
    status->dwLineFeatures = LineOf(open->Device).Spec.LineFeatures;
    status->dwRingMode = 1;
    status->dwDevStatusFlags = LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE;
    WriteVarPart(status, LineDevStatusSize14, {});
    return 0;
}

LONG lineGetAddressStatus(HLINE hLine, DWORD dwAddressID, LINEADDRESSSTATUS* status) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineGetAddressStatus", hLine, &open))
        return error;
    if (dwAddressID != 0)
        return LINEERR_INVALADDRESSID;
    if (const LONG error = CheckBuffer(status))
        return error;
    ClearFixedPart(status, sizeof *status);
    status->dwNumInUse = 1;
    status->dwNumActiveCalls = LineBusy(open->Device) ? 1 : 0;
    WriteVarPart(status, sizeof *status, {});
    return 0;
}

namespace {

// "comm/datamodem": a fresh duplicate of the call's descriptor, then the line's name.
LONG CommHandle(VARSTRING* out, const TLineRecord& line, const TCall* call) {
    if (line.Spec.Device.isEmpty())
        return LINEERR_NODEVICE;
    if (!call || call->Fd < 0)
        return LINEERR_INVALCALLSTATE;
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_BINARY;
    if (!WriteVarPart(
            out, sizeof *out,
            {{&out->dwStringSize, &out->dwStringOffset, std::string(4, '\0') + WithZero(line.Spec.Name)}}))
        return 0;
    const std::int32_t copy = ::fcntl(call->Fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return LINEERR_RESOURCEUNAVAIL;
    std::memcpy(reinterpret_cast<char*>(out) + out->dwStringOffset, &copy, sizeof copy);
    return 0;
}

LONG PortName(VARSTRING* out, const TLineRecord& line) {
    if (line.Spec.Device.isEmpty())
        return LINEERR_NODEVICE;
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_ASCII;
    const std::string name = QFile::encodeName(line.Spec.Device).toStdString();
    WriteVarPart(out, sizeof *out, {{&out->dwStringSize, &out->dwStringOffset, WithZero(name)}});
    return 0;
}

// "wave/in", "wave/out": the device identifier.
LONG WaveId(VARSTRING* out, const std::optional<DWORD>& device) {
    if (!device)
        return LINEERR_NODEVICE;
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_BINARY;
    const std::string id(reinterpret_cast<const char*>(&*device), sizeof(DWORD));
    WriteVarPart(out, sizeof *out, {{&out->dwStringSize, &out->dwStringOffset, id}});
    return 0;
}

// The call of the open line that holds its device.
const TCall* DataCallOf(HLINE line) {
    for (const auto& [handle, call] : Tapi().Calls)
        if (call.Line == line && call.Fd >= 0)
            return &call;
    return nullptr;
}

} // namespace

LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* out,
               const char* lpszDeviceClass) {
    if (const LONG failure = TakeFailure("lineGetID"))
        return failure;
    if (!lpszDeviceClass)
        return LINEERR_INVALPOINTER;
    const TCall* call = nullptr;
    DWORD device = 0;
    if (dwSelect == LINECALLSELECT_CALL) {
        call = FindCall(hCall);
        if (!call)
            return LINEERR_INVALCALLHANDLE;
        device = call->Device;
    } else if (dwSelect == LINECALLSELECT_LINE || dwSelect == LINECALLSELECT_ADDRESS) {
        const TOpen* open = FindOpen(hLine);
        if (!open)
            return LINEERR_INVALLINEHANDLE;
        if (dwSelect == LINECALLSELECT_ADDRESS && dwAddressID != 0)
            return LINEERR_INVALADDRESSID;
        device = open->Device;
        call = DataCallOf(hLine);
    } else {
        return LINEERR_INVALCALLSELECT;
    }
    if (const LONG error = CheckBuffer(out))
        return error;
    const std::string deviceClass = Lower(lpszDeviceClass);
    if (deviceClass == "comm/datamodem")
        return CommHandle(out, LineOf(device), call);
    if (deviceClass == "comm/datamodem/portname")
        return PortName(out, LineOf(device));
    if (deviceClass == "wave/in")
        return WaveId(out, LineOf(device).Spec.WaveIn);
    if (deviceClass == "wave/out")
        return WaveId(out, LineOf(device).Spec.WaveOut);
    return LINEERR_INVALDEVICECLASS;
}

// ---- Addresses

LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const char* lpszAddressIn,
                          DWORD, DWORD, LINETRANSLATEOUTPUT* out) {
    if (const LONG failure = TakeFailure("lineTranslateAddress"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (const LONG error = CheckVersion(dwAPIVersion, 0))
        return error;
    if (!lpszAddressIn)
        return LINEERR_INVALPOINTER;
    if (!*lpszAddressIn)
        return LINEERR_INVALADDRESS;
    if (const LONG error = CheckBuffer(out))
        return error;
    ClearFixedPart(out, sizeof *out);
    const std::string address = WithZero(lpszAddressIn);
    WriteVarPart(out, sizeof *out,
                 {{&out->dwDialableStringSize, &out->dwDialableStringOffset, address},
                  {&out->dwDisplayableStringSize, &out->dwDisplayableStringOffset, address}});
    return 0;
}
