// The modem behind a line of the lines file (platform/TapiModem): what the provider asks of it, and
// its news of rings, connections and ends turned into the provider's call states.
#include <cerrno>

#include <QFileInfo>
#include <QStringList>

#include "platform/Cp1251.h"
#include "platform/Shell.h"
#include "platform/TapiProvider.h"
#include "platform/Warning.h"

namespace tapi_provider {

// ---- The modem behind a line of the file (platform/TapiModem)

namespace {

// The modem's call while it is still one that the modem's news is about.
TCall* ModemCallOf(DWORD device, std::initializer_list<DWORD> states) {
    TCall* call = FindCall(LineOf(device).ModemCall);
    if (!call)
        return nullptr;
    for (const DWORD state : states)
        if (call->State == state)
            return call;
    return nullptr;
}

void ModemCaller(DWORD device, const TModemCaller& caller) {
    TCall* call = ModemCallOf(device, {LINECALLSTATE_OFFERING, LINECALLSTATE_ACCEPTED});
    if (!call)
        return;
    call->Caller.Number = caller.Number;
    call->Caller.Name = caller.Name;
    call->Caller.Flags = caller.Flags;
    ToCall(LineOf(device).ModemCall, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
}

// A data call's data goes over its own duplicate of the modem's device from now on.
void ModemConnected(DWORD device, DWORD rate, bool data) {
    TLineRecord& line = LineOf(device);
    TCall* call =
        ModemCallOf(device, {LINECALLSTATE_OFFERING, LINECALLSTATE_ACCEPTED, LINECALLSTATE_DIALING});
    if (!call)
        return;
    call->Rate = rate;
    if (!data)
        call->MediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    else if (ShareModemDevice(line, *call) != 0) {
        PlatformWarning(QStringLiteral("telephony: no descriptor left for the call on the line \"%1\"")
                            .arg(FromCp1251(line.Spec.Name)));
        line.Modem->HangUp([device] { UpdateModem(device); });
        SetCallState(line.ModemCall, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
        return;
    }
    SetCallState(line.ModemCall, LINECALLSTATE_CONNECTED);
}

void ModemDisconnected(DWORD device, DWORD mode) {
    if (ModemCallOf(device, {LINECALLSTATE_OFFERING, LINECALLSTATE_ACCEPTED, LINECALLSTATE_DIALING,
                             LINECALLSTATE_CONNECTED, LINECALLSTATE_ONHOLD}))
        SetCallState(LineOf(device).ModemCall, LINECALLSTATE_DISCONNECTED, mode);
}

void RelistenLater(DWORD device);

} // namespace

void AttachModem(DWORD device, const std::map<QString, TTapiDevConfig>& configs) {
    TLineRecord& line = LineOf(device);
    line.Spec.MediaModes |= LINEMEDIAMODE_INTERACTIVEVOICE;
    if (const auto config = configs.find(FromCp1251(line.Spec.Name)); config != configs.end())
        line.DevConfig = TapiDevConfigBytes(config->second);
    line.Modem = std::make_unique<TTapiModem>(
        TapiLineDevicePath(line.Spec.Device),
        TTapiModem::TEvents{
            .Ring = [device] { LineOf(device).ModemCall = RingLine(device, TCaller{}); },
            .Caller = [device](const TModemCaller& caller) { ModemCaller(device, caller); },
            .Connected = [device](DWORD rate, bool data) { ModemConnected(device, rate, data); },
            .Disconnected = [device](DWORD mode) { ModemDisconnected(device, mode); },
            .Gone = [device] { RelistenLater(device); },
        });
}

namespace {

bool Listened(DWORD device) {
    for (const auto& [handle, open] : Tapi().Opens)
        if (open.Device == device && (open.Privileges & LINECALLPRIVILEGE_OWNER))
            return true;
    return false;
}

} // namespace

// A modem without a call listens for rings while an open with owner privilege wants them; without
// one its device is let go.
void UpdateModem(DWORD device) {
    TProvider& p = Tapi();
    if (device >= p.Lines.size() || !p.Lines[device].Modem)
        return;
    TLineRecord& line = p.Lines[device];
    TTapiModem& modem = *line.Modem;
    if (modem.InCall())
        return;
    if (!Listened(device))
        modem.Close();
    else if (modem.Open(DevConfigOf(line), line.Spec.Name) == 0)
        modem.Listen();
}

namespace {

// A modem lost while it listened is opened again once its device is back, as long as an open wants
// its rings; meanwhile nothing is tried, so an absent device fills no log.
constexpr int RelistenMs = 5000;

void RelistenLater(DWORD device) {
    TLineRecord& line = LineOf(device);
    if (!line.Relisten) {
        line.Relisten = std::make_unique<TTimer>();
        line.Relisten->SetInterval(RelistenMs);
        line.Relisten->SetOnTimer([device] {
            TLineRecord& lost = LineOf(device);
            if (!QFileInfo::exists(TapiLineDevicePath(lost.Spec.Device)) && Listened(device))
                return;
            lost.Relisten->SetEnabled(false);
            UpdateModem(device);
            if (Listened(device) && !lost.Modem->IsOpen())
                lost.Relisten->SetEnabled(true);
        });
    }
    line.Relisten->SetEnabled(true);
}

} // namespace

// A modem's call freed, or ended with its line: the modem hangs up what it still holds.
void ModemCallGone(DWORD device, HCALL call) {
    TLineRecord& line = LineOf(device);
    if (!line.Modem || line.ModemCall != call)
        return;
    line.ModemCall = 0;
    if (line.Modem->InCall())
        line.Modem->HangUp([device] { UpdateModem(device); });
    else
        UpdateModem(device);
}

LONG ModemDial(HCALL handle, TCall& call, const TRequest& request) {
    TLineRecord& line = LineOf(call.Device);
    line.ModemCall = handle;
    LONG result = line.Modem->Open(DevConfigOf(line), line.Spec.Name);
    if (result == 0)
        result = line.Modem->Dial(call.Called, !(call.MediaMode & LINEMEDIAMODE_DATAMODEM));
    Reply(call.Line, request, result);
    if (result == 0) {
        SetCallState(handle, LINECALLSTATE_DIALING);
        return request.Id;
    }
    FailQuietly(call);
    UpdateModem(call.Device);
    return request.Id;
}

// Hold and unhold: "AT+CHLD=2" on a voice call of a modem; a data call cannot be held.
LONG ModemSwapHold(const char* function, HCALL hCall, DWORD from, DWORD to) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall(function, hCall, &call))
        return error;
    TLineRecord& line = LineOf(call->Device);
    if (!line.Modem || line.ModemCall != hCall || CarriesData(*call))
        return Unavailable();
    if (call->State != from)
        return LINEERR_INVALCALLSTATE;
    const TRequest request = NewRequest(function);
    const HLINE opened = call->Line;
    line.Modem->SwapHold([opened, hCall, request, to](bool ok) {
        Reply(opened, request, ok ? 0 : LINEERR_OPERATIONUNAVAIL);
        if (ok && FindCall(hCall))
            SetCallState(hCall, to);
    });
    return request.Id;
}

// Kept, and for a line of the file saved, before it is taken.
LONG StoreDevConfig(DWORD device, const TTapiDevConfig& config) {
    TLineRecord& line = LineOf(device);
    if (line.Modem && !WriteTapiDevConfig(line.Spec.Name, config))
        return LINEERR_OPERATIONFAILED;
    line.DevConfig = TapiDevConfigBytes(config);
    return 0;
}

} // namespace tapi_provider
