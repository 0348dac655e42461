// The line functions of the telephony stand-in (platform/Tapi.h) on calls, over the provider
// (platform/TapiProvider.h).
#include "platform/Clock.h"
#include "platform/TapiProvider.h"

using namespace tapi_provider;

// ---- Calls

LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD,
                  const LINECALLPARAMS* lpCallParams) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineMakeCall", hLine, &open))
        return error;
    if (!lphCall)
        return LINEERR_INVALPOINTER;
    if (lpCallParams && lpCallParams->dwTotalSize < sizeof(LINECALLPARAMS))
        return LINEERR_STRUCTURETOOSMALL;
    const DWORD bearer = lpCallParams ? lpCallParams->dwBearerMode : LINEBEARERMODE_VOICE;
    const DWORD media = lpCallParams ? lpCallParams->dwMediaMode : LINEMEDIAMODE_INTERACTIVEVOICE;
    TLineRecord& line = LineOf(open->Device);
    if (bearer != LINEBEARERMODE_VOICE && bearer != LINEBEARERMODE_PASSTHROUGH)
        return LINEERR_INVALBEARERMODE;
    if (bearer == LINEBEARERMODE_VOICE && (media == 0 || (media & ~line.Spec.MediaModes)))
        return LINEERR_INVALMEDIAMODE;
    if (LineBusy(open->Device))
        return LINEERR_CALLUNAVAIL;

    TProvider& p = Tapi();
    const HCALL handle = p.NextHandle++;
    TCall& call = p.Calls[handle];
    call.Line = hLine;
    call.Device = open->Device;
    call.BearerMode = bearer;
    call.MediaMode = media;
    call.CallParamFlags = lpCallParams ? lpCallParams->dwCallParamFlags : 0;
    call.Called = lpszDestAddress ? lpszDestAddress : "";
    *lphCall = handle;
    if (p.Scripted) { // for the test's questions; a running router keeps no list of its calls
        line.Dialled.push_back(call.Called);
        line.DialledBearers.push_back(bearer);
    }

    const TRequest request = NewRequest("lineMakeCall");
    if (!request.Proceeds()) {
        if (request.Script.Error)
            FailQuietly(call);
        Reply(hLine, request, 0);
        return request.Id;
    }
    if (line.Modem && bearer == LINEBEARERMODE_VOICE)
        return ModemDial(handle, call, request);
    if (line.Modem)
        line.ModemCall = handle;
    const TDialResult result = TakeDialResult(line);
    const LONG opened = result == TTapiDialResult::Connected ? OpenDataPath(call) : 0;
    Reply(hLine, request, opened);
    if (opened)
        FailQuietly(call);
    else
        PlayDialResult(handle, result);
    return request.Id;
}

LONG lineAccept(HCALL hCall, const char*, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineAccept", hCall, &call))
        return error;
    if (call->State != LINECALLSTATE_OFFERING)
        return LINEERR_INVALCALLSTATE;
    const TRequest request = NewRequest("lineAccept");
    Reply(call->Line, request, 0);
    if (request.Proceeds())
        SetCallState(hCall, LINECALLSTATE_ACCEPTED);
    return request.Id;
}

LONG lineAnswer(HCALL hCall, const char*, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineAnswer", hCall, &call))
        return error;
    if (call->State != LINECALLSTATE_OFFERING && call->State != LINECALLSTATE_ACCEPTED)
        return LINEERR_INVALCALLSTATE;
    const TRequest request = NewRequest("lineAnswer");
    if (TLineRecord& line = LineOf(call->Device); line.Modem && line.ModemCall == hCall) {
        // Connected when the modem says so.
        Reply(call->Line, request, request.Proceeds() ? line.Modem->Answer() : 0);
        return request.Id;
    }
    const LONG opened = request.Proceeds() ? OpenDataPath(*call) : 0;
    Reply(call->Line, request, opened);
    if (request.Proceeds() && opened == 0)
        SetCallState(hCall, LINECALLSTATE_CONNECTED);
    return request.Id;
}

LONG lineDrop(HCALL hCall, const char*, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineDrop", hCall, &call))
        return error;
    if (call->State == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    const TRequest request = NewRequest("lineDrop");
    if (TLineRecord& line = LineOf(call->Device);
        line.Modem && line.ModemCall == hCall && request.Proceeds()) {
        // Done, and idle, once the modem has hung up.
        const HLINE opened = call->Line;
        const DWORD device = call->Device;
        line.Modem->HangUp([opened, hCall, request, device] {
            Reply(opened, request, 0);
            if (const TCall* dropped = FindCall(hCall); dropped && dropped->State != LINECALLSTATE_IDLE)
                SetCallState(hCall, LINECALLSTATE_IDLE);
            UpdateModem(device);
        });
        return request.Id;
    }
    Reply(call->Line, request, 0);
    if (request.Proceeds())
        SetCallState(hCall, LINECALLSTATE_IDLE);
    return request.Id;
}

LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD, DWORD, const LINEDIALPARAMS*) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineSetCallParams", hCall, &call))
        return error;
    if (call->State == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    if (dwBearerMode != LINEBEARERMODE_VOICE && dwBearerMode != LINEBEARERMODE_PASSTHROUGH)
        return LINEERR_INVALBEARERMODE;
    const TRequest request = NewRequest("lineSetCallParams");
    LONG result = 0;
    if (request.Proceeds()) {
        const DWORD before = call->BearerMode;
        call->BearerMode = dwBearerMode;
        result = call->State == LINECALLSTATE_CONNECTED ? OpenDataPath(*call) : 0;
        if (result)
            call->BearerMode = before;
    }
    Reply(call->Line, request, result);
    return request.Id;
}

LONG lineHold(HCALL hCall) {
    return ModemSwapHold("lineHold", hCall, LINECALLSTATE_CONNECTED, LINECALLSTATE_ONHOLD);
}

LONG lineUnhold(HCALL hCall) {
    return ModemSwapHold("lineUnhold", hCall, LINECALLSTATE_ONHOLD, LINECALLSTATE_CONNECTED);
}

LONG lineDeallocateCall(HCALL hCall) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineDeallocateCall", hCall, &call))
        return error;
    if (call->State != LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    EndCall(hCall);
    return 0;
}

LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* info) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineGetCallInfo", hCall, &call))
        return error;
    if (const LONG error = CheckBuffer(info))
        return error;
    const TCaller& caller = call->Caller;
    const bool inbound = call->Origin != LINECALLORIGIN_OUTBOUND;
    const DWORD callerFlags =
        inbound ? PartyFlags(caller.Number, caller.Name, caller.Flags) : LINECALLPARTYID_UNKNOWN;
    const DWORD calledFlags = inbound ? LINECALLPARTYID_UNKNOWN : PartyFlags(call->Called, {}, 0);
    ClearFixedPart(info, sizeof *info);
    info->hLine = call->Line;
    info->dwLineDeviceID = call->Device;
    info->dwBearerMode = call->BearerMode;
    info->dwRate = call->State != LINECALLSTATE_CONNECTED ? 0
                   : call->Rate                           ? call->Rate
                                                          : LineOf(call->Device).Spec.Rate;
    info->dwMediaMode = call->MediaMode;
    info->dwCallID = hCall;
    info->dwCallParamFlags = call->CallParamFlags;
    info->dwCallStates = CallStatesReported;
    info->dwMonitorDigitModes = call->MonitorDigitModes;
    info->dwMonitorMediaModes = call->MonitorMediaModes;
    info->dwOrigin = call->Origin;
    info->dwReason = LINECALLREASON_DIRECT;
    info->dwNumOwners = 1;
    info->dwCallerIDFlags = callerFlags;
    info->dwCalledIDFlags = calledFlags;
    WriteVarPart(info, sizeof *info,
                 {{&info->dwCallerIDSize, &info->dwCallerIDOffset,
                   IfFlag(callerFlags, LINECALLPARTYID_ADDRESS, inbound ? caller.Number : "")},
                  {&info->dwCallerIDNameSize, &info->dwCallerIDNameOffset,
                   IfFlag(callerFlags, LINECALLPARTYID_NAME, inbound ? caller.Name : "")},
                  {&info->dwCalledIDSize, &info->dwCalledIDOffset,
                   IfFlag(calledFlags, LINECALLPARTYID_ADDRESS, call->Called)}});
    return 0;
}

LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* status) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineGetCallStatus", hCall, &call))
        return error;
    if (const LONG error = CheckBuffer(status))
        return error;
    ClearFixedPart(status, sizeof *status);
    status->dwCallState = call->State;
    status->dwCallStateMode = call->StateMode;
    status->dwCallPrivilege = LINECALLPRIVILEGE_OWNER;
    WriteVarPart(status, sizeof *status, {});
    return 0;
}

LONG lineSetMediaMode(HCALL hCall, DWORD dwMediaModes) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineSetMediaMode", hCall, &call))
        return error;
    if (dwMediaModes == 0 || (dwMediaModes & ~(LineOf(call->Device).Spec.MediaModes | LINEMEDIAMODE_UNKNOWN)))
        return LINEERR_INVALMEDIAMODE;
    call->MediaMode = dwMediaModes;
    return 0;
}

LONG lineMonitorMedia(HCALL hCall, DWORD dwMediaModes) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineMonitorMedia", hCall, &call))
        return error;
    if (dwMediaModes & ~(LineOf(call->Device).Spec.MediaModes | LINEMEDIAMODE_UNKNOWN))
        return LINEERR_INVALMEDIAMODE;
    call->MonitorMediaModes = dwMediaModes;
    return 0;
}

LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineMonitorDigits", hCall, &call))
        return error;
    if (dwDigitModes & ~(LINEDIGITMODE_PULSE | LINEDIGITMODE_DTMF | LINEDIGITMODE_DTMFEND))
        return LINEERR_INVALDIGITMODE;
    if (dwDigitModes && !IsVoiceLine(call->Device))
        return LINEERR_OPERATIONUNAVAIL;
    call->MonitorDigitModes = dwDigitModes;
    return 0;
}

LONG lineMonitorTones(HCALL hCall, const LINEMONITORTONE* lpToneList, DWORD dwNumEntries) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineMonitorTones", hCall, &call))
        return error;
    if (!IsVoiceLine(call->Device))
        return LINEERR_OPERATIONUNAVAIL;
    if (!lpToneList && dwNumEntries)
        return LINEERR_INVALPOINTER;
    if (lpToneList)
        call->MonitoredTones.assign(lpToneList, lpToneList + dwNumEntries);
    else
        call->MonitoredTones.clear(); // monitoring ends
    return 0;
}

LONG lineGenerateDigits(HCALL hCall, DWORD dwDigitMode, const char* lpszDigits, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineGenerateDigits", hCall, &call))
        return error;
    if (!IsVoiceLine(call->Device))
        return LINEERR_OPERATIONUNAVAIL;
    if (dwDigitMode != LINEDIGITMODE_PULSE && dwDigitMode != LINEDIGITMODE_DTMF)
        return LINEERR_INVALDIGITMODE;
    if (call->State != LINECALLSTATE_CONNECTED)
        return LINEERR_INVALCALLSTATE;
    if (!lpszDigits)
        return 0; // cancels; what was sent is sent
    for (const char* digit = lpszDigits; *digit; ++digit)
        if (!TakesDigits(dwDigitMode, *digit))
            return LINEERR_INVALDIGITS;
    call->GeneratedDigits += lpszDigits;
    ToCall(hCall, LINE_GENERATE, LINEGENERATETERM_DONE, 0, timeGetTime());
    return 0;
}

LONG lineGenerateTone(HCALL hCall, DWORD dwToneMode, DWORD, DWORD, const LINEGENERATETONE*) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineGenerateTone", hCall, &call))
        return error;
    if (!IsVoiceLine(call->Device))
        return LINEERR_OPERATIONUNAVAIL;
    if (call->State != LINECALLSTATE_CONNECTED)
        return LINEERR_INVALCALLSTATE;
    if (dwToneMode == 0)
        return 0; // cancels
    ++call->GeneratedTones;
    ToCall(hCall, LINE_GENERATE, LINEGENERATETERM_DONE, 0, timeGetTime());
    return 0;
}

LONG lineHandoff(HCALL hCall, const char*, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineHandoff", hCall, &call))
        return error;
    return LINEERR_TARGETNOTFOUND; // no other telephony application runs here
}
