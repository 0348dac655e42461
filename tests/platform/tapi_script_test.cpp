// The telephony provider on scripted lines: binding by name, versions and structures, requests and
// their replies, calls placed and offered, digits, tones, the end of it all.
#include <gtest/gtest.h>

#include "tests/platform/TapiFixture.h"

namespace {

using namespace tapi_test;

// ---- Binding by name

const char* const LineFunctions[] = {
    "lineGenerateTone",
    "lineMonitorTones",
    "lineSetCallParams",
    "lineHandoff",
    "lineMonitorMedia",
    "lineGenerateDigits",
    "lineMonitorDigits",
    "lineInitialize",
    "lineShutdown",
    "lineNegotiateAPIVersion",
    "lineGetDevCaps",
    "lineOpen",
    "lineMakeCall",
    "lineAccept",
    "lineAnswer",
    "lineDeallocateCall",
    "lineDrop",
    "lineClose",
    "lineGetCountry",
    "lineConfigDialog",
    "lineConfigDialogEdit",
    "lineGetID",
    "lineSetStatusMessages",
    "lineGetStatusMessages",
    "lineGetAddressCaps",
    "lineGetAddressStatus",
    "lineGetLineDevStatus",
    "lineGetDevConfig",
    "lineSetDevConfig",
    "lineGetCallInfo",
    "lineGetCallStatus",
    "lineSetMediaMode",
    "lineTranslateAddress",
    "lineTranslateDialog",
    "lineSetCurrentLocation",
    "lineSetTollList",
    "lineGetTranslateCaps",
    "lineHold",
    "lineUnhold",
    "lineBlindTransfer",
};

TEST(TapiBinding, EveryLineFunctionIsFoundByNameInTheTelephonyLibrary) {
    const HMODULE module = LoadLibrary("TAPI32");
    ASSERT_NE(module, 0u);
    EXPECT_EQ(LoadLibrary("tapi32.dll"), module);
    for (const char* name : LineFunctions)
        EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
    EXPECT_EQ(reinterpret_cast<decltype(&lineInitialize)>(GetProcAddress(module, "lineInitialize")),
              &lineInitialize);
    EXPECT_EQ(GetProcAddress(module, "lineinitialize"), nullptr); // entry names match exactly
    EXPECT_EQ(GetProcAddress(module, "lineRedirect"), nullptr);
    EXPECT_EQ(LoadLibrary("TAPI"), 0u);

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_NE(GetProcAddress(module, "lineOpen"), nullptr); // loaded twice, freed once
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetProcAddress(module, "lineOpen"), nullptr);
    EXPECT_FALSE(FreeLibrary(module));
}

TEST(TapiBinding, AMachineWithoutTheLibraryFindsNothingUntilItIsThere) {
    UnregisterModule("TAPI32");
    EXPECT_EQ(LoadLibrary("TAPI32"), 0u);
    EXPECT_EQ(LoadLibrary("TAPI32"), 0u);
    RegisterModule("TAPI32", Tapi32Entries());
    const HMODULE module = LoadLibrary("TAPI32");
    EXPECT_NE(module, 0u);
    EXPECT_NE(GetProcAddress(module, "lineMakeCall"), nullptr);
    FreeLibrary(module);
}

TEST(TapiBinding, WhatLinuxCannotOfferAnswersOperationUnavailable) {
    LINETRANSLATECAPS caps{};
    caps.dwTotalSize = sizeof caps;
    LINECOUNTRYLIST countries{};
    countries.dwTotalSize = sizeof countries;
    const std::pair<const char*, std::function<LONG()>> cases[] = {
        {"lineTranslateDialog", [] { return lineTranslateDialog(1, 0, TapiApiVersion14, 0, "123"); }},
        {"lineGetTranslateCaps", [&] { return lineGetTranslateCaps(1, TapiApiVersion14, &caps); }},
        {"lineSetCurrentLocation", [] { return lineSetCurrentLocation(1, 0); }},
        {"lineSetTollList", [] { return lineSetTollList(1, 0, "123", 1); }},
        {"lineGetCountry", [&] { return lineGetCountry(7, TapiApiVersion14, &countries); }},
        {"lineBlindTransfer", [] { return lineBlindTransfer(1, "123", 0); }},
    };
    for (const auto& [name, call] : cases)
        EXPECT_EQ(call(), LINEERR_OPERATIONUNAVAIL) << name;
}

// ---- Versions, handles, structures

TEST_F(TapiScript, VersionNegotiationSettlesOnOnePointFour) {
    tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    struct Case {
        DWORD low, high;
        LONG result;
    };
    const Case cases[] = {
        {0x10004, 0x10004, 0},
        {0x10003, 0x20000, 0},
        {0x00010000, 0x10004, 0},
        {0x10003, 0x10003, LINEERR_INCOMPATIBLEAPIVERSION},
        {0x20000, 0x30000, LINEERR_INCOMPATIBLEAPIVERSION},
        {0x20000, 0x10000, LINEERR_INCOMPATIBLEAPIVERSION},
    };
    for (const Case& c : cases) {
        DWORD version = 0;
        LINEEXTENSIONID ext{1, 2, 3, 4};
        EXPECT_EQ(lineNegotiateAPIVersion(app, 0, c.low, c.high, &version, &ext), c.result)
            << std::hex << c.low;
        if (c.result == 0) {
            EXPECT_EQ(version, TapiApiVersion14);
            EXPECT_EQ(ext.dwExtensionID0 | ext.dwExtensionID1 | ext.dwExtensionID2 | ext.dwExtensionID3, 0u);
        }
    }
    DWORD version = 0;
    LINEEXTENSIONID ext{};
    EXPECT_EQ(lineNegotiateAPIVersion(app, 1, 0x10004, 0x10004, &version, &ext), LINEERR_BADDEVICEID);
    EXPECT_EQ(lineNegotiateAPIVersion(app + 1, 0, 0x10004, 0x10004, &version, &ext), LINEERR_INVALAPPHANDLE);
}

TEST_F(TapiScript, FunctionsRefuseAnotherVersionAndHandlesOfTheWrongKind) {
    tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    TBuffer<LINEDEVCAPS> caps;
    EXPECT_EQ(lineGetDevCaps(app, 0, 0x10003, 0, caps.get()), LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(lineGetDevCaps(app, 0, TapiApiVersion14, 1, caps.get()), LINEERR_INCOMPATIBLEEXTVERSION);
    HLINE line = 0;
    EXPECT_EQ(lineOpen(app, 0, &line, 0x20000, 0, 0, LINECALLPRIVILEGE_NONE, 0, nullptr),
              LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(lineOpen(app, 0, &line, TapiApiVersion14, 0, 0, 0, 0, nullptr), LINEERR_INVALPRIVSELECT);
    EXPECT_EQ(lineOpen(app, 0, &line, TapiApiVersion14, 0, 0, LINECALLPRIVILEGE_OWNER,
                       LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
              LINEERR_INVALMEDIAMODE); // a data line has no voice
    line = Open(app, 0);
    EXPECT_EQ(lineClose(app), LINEERR_INVALLINEHANDLE);
    EXPECT_EQ(lineDrop(line, nullptr, 0), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(lineShutdown(line), LINEERR_INVALAPPHANDLE);
    EXPECT_EQ(lineClose(line), 0);
    EXPECT_EQ(lineClose(line), LINEERR_INVALLINEHANDLE);
}

TEST_F(TapiScript, LineCapabilitiesGrowFromTheFixedPartToTheName) {
    tapi.AddLine({"Siemens MC35i GSM", {}});
    const HLINEAPP app = Initialize();
    TBuffer<LINEDEVCAPS> small(239);
    EXPECT_EQ(lineGetDevCaps(app, 0, TapiApiVersion14, 0, small.get()), LINEERR_STRUCTURETOOSMALL);

    TBuffer<LINEDEVCAPS> fixed(240);
    ASSERT_EQ(lineGetDevCaps(app, 0, TapiApiVersion14, 0, fixed.get()), 0);
    EXPECT_EQ(fixed->dwNeededSize, 240u + 18u);
    EXPECT_EQ(fixed->dwUsedSize, 240u);
    EXPECT_EQ(fixed->dwLineNameSize, 0u);
    EXPECT_EQ(fixed->dwMediaModes, LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(fixed->dwLineFeatures, LINEFEATURE_MAKECALL);

    TBuffer<LINEDEVCAPS> grown(fixed->dwNeededSize);
    ASSERT_EQ(lineGetDevCaps(app, 0, TapiApiVersion14, 0, grown.get()), 0);
    EXPECT_EQ(grown->dwUsedSize, grown->dwNeededSize);
    EXPECT_EQ(grown->dwLineNameOffset, 240u);
    EXPECT_EQ(grown->dwStringFormat, STRINGFORMAT_ASCII);
    EXPECT_EQ(grown.Bytes(grown->dwLineNameOffset, grown->dwLineNameSize),
              std::string("Siemens MC35i GSM", 18));
}

TEST_F(TapiScript, EveryStructureRefusesLessThanItsFixedPart) {
    tapi.AddLine({"GSM", QStringLiteral("COM1"), LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_INTERACTIVEVOICE});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "5551234", LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    // Each call fills a buffer of the given size.
    const std::pair<DWORD, std::function<LONG(DWORD)>> cases[] = {
        {240,
         [&](DWORD n) {
             TBuffer<LINEDEVCAPS> b(n);
             return lineGetDevCaps(app, 0, TapiApiVersion14, 0, b.get());
         }},
        {296,
         [&](DWORD n) {
             TBuffer<LINECALLINFO> b(n);
             return lineGetCallInfo(call, b.get());
         }},
        {36,
         [&](DWORD n) {
             TBuffer<LINECALLSTATUS> b(n);
             return lineGetCallStatus(call, b.get());
         }},
        {76,
         [&](DWORD n) {
             TBuffer<LINEDEVSTATUS> b(n);
             return lineGetLineDevStatus(line, b.get());
         }},
        {180,
         [&](DWORD n) {
             TBuffer<LINEADDRESSCAPS> b(n);
             return lineGetAddressCaps(app, 0, 0, TapiApiVersion14, 0, b.get());
         }},
        {64,
         [&](DWORD n) {
             TBuffer<LINEADDRESSSTATUS> b(n);
             return lineGetAddressStatus(line, 0, b.get());
         }},
        {40,
         [&](DWORD n) {
             TBuffer<LINETRANSLATEOUTPUT> b(n);
             return lineTranslateAddress(app, 0, TapiApiVersion14, "123", 0, 0, b.get());
         }},
        {24,
         [&](DWORD n) {
             TBuffer<VARSTRING> b(n);
             return lineGetID(line, 0, 0, LINECALLSELECT_LINE, b.get(), "comm/datamodem/portname");
         }},
    };
    for (const auto& [fixed, fill] : cases) {
        EXPECT_EQ(fill(fixed - 1), LINEERR_STRUCTURETOOSMALL) << fixed;
        EXPECT_EQ(fill(fixed), 0) << fixed;
    }
}

TEST_F(TapiScript, CallInformationCarriesTheNumbersWithTheirTerminators) {
    const DWORD gsm = tapi.AddLine({"GSM", {}, LINEMEDIAMODE_DATAMODEM, LINEFEATURE_MAKECALL, 9600});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "+79001234567"), 0);
    TBuffer<LINECALLINFO> fixed(296);
    ASSERT_EQ(lineGetCallInfo(call, fixed.get()), 0);
    EXPECT_EQ(fixed->dwNeededSize, 296u + 13u);
    EXPECT_EQ(fixed->dwCalledIDSize, 0u);
    TBuffer<LINECALLINFO> info(fixed->dwNeededSize);
    ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
    EXPECT_EQ(info->hLine, line);
    EXPECT_EQ(info->dwRate, 9600u);
    EXPECT_EQ(info->dwOrigin, LINECALLORIGIN_OUTBOUND);
    EXPECT_EQ(info->dwCalledIDFlags, LINECALLPARTYID_ADDRESS);
    EXPECT_EQ(info.Bytes(info->dwCalledIDOffset, info->dwCalledIDSize), std::string("+79001234567", 13));
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_UNKNOWN);
}

TEST_F(TapiScript, ATranslatedAddressIsTheAddressAsGiven) {
    tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    TBuffer<LINETRANSLATEOUTPUT> fixed(40);
    ASSERT_EQ(lineTranslateAddress(app, 0, TapiApiVersion14, "+7 (495) 1234567", 0,
                                   LINETRANSLATEOPTION_CANCELCALLWAITING, fixed.get()),
              0);
    EXPECT_EQ(fixed->dwNeededSize, 40u + 2 * 17u);
    EXPECT_EQ(fixed->dwDialableStringSize, 0u);
    TBuffer<LINETRANSLATEOUTPUT> out(fixed->dwNeededSize);
    ASSERT_EQ(lineTranslateAddress(app, 0, TapiApiVersion14, "+7 (495) 1234567", 0, 0, out.get()), 0);
    EXPECT_EQ(out.Bytes(out->dwDialableStringOffset, out->dwDialableStringSize),
              std::string("+7 (495) 1234567", 17));
    EXPECT_EQ(out.Bytes(out->dwDisplayableStringOffset, out->dwDisplayableStringSize),
              std::string("+7 (495) 1234567", 17));
    EXPECT_EQ(lineTranslateAddress(app, 0, TapiApiVersion14, "", 0, 0, out.get()), LINEERR_INVALADDRESS);
}

// ---- Calls by script

TEST_F(TapiScript, CallsPlacedOnALineFollowTheirScriptedResults) {
    using S = std::vector<std::pair<DWORD, DWORD>>;
    const S dialling{{LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_NORMAL}, {LINECALLSTATE_DIALING, 0}};
    const auto then = [&](S tail, bool proceeding = true) {
        S all = dialling;
        if (proceeding)
            all.emplace_back(LINECALLSTATE_PROCEEDING, 0);
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    struct Case {
        const char* name;
        TTapiTestBackEnd::TDialResult result;
        DWORD bearer;
        S states;
    };
    const Case cases[] = {
        {"connected", TTapiTestBackEnd::Connected, LINEBEARERMODE_VOICE,
         then({{LINECALLSTATE_CONNECTED, 0}})},
        {"busy", TTapiTestBackEnd::Busy, LINEBEARERMODE_VOICE,
         then({{LINECALLSTATE_BUSY, LINEBUSYMODE_STATION}})},
        {"no answer", TTapiTestBackEnd::NoAnswer, LINEBEARERMODE_VOICE,
         then({{LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER}})},
        {"early disconnect", TTapiTestBackEnd::Disconnected, LINEBEARERMODE_VOICE,
         then({{LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL}}, false)},
        {"pass-through early disconnect",
         TTapiTestBackEnd::Disconnected,
         LINEBEARERMODE_PASSTHROUGH,
         {{LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL}}},
    };
    TPty pty;
    const DWORD gsm = tapi.AddLine({"GSM", pty.Slave()});
    const HLINEAPP app = Initialize();
    for (const Case& c : cases) {
        received.clear();
        const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
        tapi.QueueDialResult(gsm, c.result);
        HCALL call = 0;
        ASSERT_EQ(MakeCall(line, &call, c.bearer, "5551234"), 0) << c.name;
        PumpUntil([&] { return StatesOf(call).size() >= c.states.size(); });
        EXPECT_EQ(StatesOf(call), c.states) << c.name;
        EXPECT_EQ(lineClose(line), 0);
    }
    EXPECT_EQ(tapi.DialledNumbers(gsm).size(), std::size(cases));
    EXPECT_EQ(tapi.DialledNumbers(gsm).front(), "5551234");
}

TEST_F(TapiScript, ARequestFailsAtOnceLaterOrIsNeverAnswered) {
    enum Kind { AtOnce, Later, Never };
    struct Case {
        const char* name;
        Kind kind;
    };
    const Case cases[] = {{"synchronous", AtOnce}, {"asynchronous", Later}, {"no reply", Never}};
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    for (const Case& c : cases) {
        received.clear();
        const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
        if (c.kind == AtOnce)
            tapi.FailNext("lineMakeCall", LINEERR_RESOURCEUNAVAIL);
        else if (c.kind == Later)
            tapi.FailNextReply("lineMakeCall", LINEERR_CALLUNAVAIL);
        else
            tapi.WithholdNextReply("lineMakeCall");
        const LINECALLPARAMS params = CallParams(LINEBEARERMODE_PASSTHROUGH);
        HCALL call = 0;
        const LONG request = lineMakeCall(line, &call, "", 0, &params);
        if (c.kind == AtOnce) {
            EXPECT_EQ(request, LINEERR_RESOURCEUNAVAIL) << c.name;
            EXPECT_EQ(call, 0u);
        } else if (c.kind == Later) {
            ASSERT_GT(request, 0) << c.name;
            EXPECT_EQ(WaitForReply(request), LINEERR_CALLUNAVAIL);
            EXPECT_EQ(tapi.CallState(call), LINECALLSTATE_IDLE); // never placed: freed at once
            EXPECT_EQ(lineDeallocateCall(call), 0);
        } else {
            ASSERT_GT(request, 0) << c.name;
            EXPECT_TRUE(PumpIdle()); // a reply would have been queued by the call
            EXPECT_EQ(Count(LINE_REPLY), 0);
            const LONG drop = lineDrop(call, nullptr, 0); // the application gives up on it
            ASSERT_GT(drop, 0);
            EXPECT_EQ(WaitForReply(drop), 0);
            EXPECT_EQ(lineDeallocateCall(call), 0);
        }
        EXPECT_TRUE(PumpIdle()); // the states queued with the replies
        EXPECT_EQ(StatesOf(call).size(), c.kind == Never ? 1u : 0u) << c.name; // the drop's IDLE only
        EXPECT_EQ(lineClose(line), 0);
    }
}

TEST_F(TapiScript, RepliesAndStatesComeLaterFromTheMainLoopOneAtATime) {
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE, 0, 0xC0FFEE);
    HCALL call = 0;
    // On CONNECTED the application hangs up from inside its callback.
    LONG drop = 0;
    onReceived = [&](const TReceived& r) {
        if (r.Message == LINE_CALLSTATE && r.Param1 == LINECALLSTATE_CONNECTED)
            drop = lineDrop(call, nullptr, 0);
    };
    const LINECALLPARAMS params = CallParams(LINEBEARERMODE_VOICE);
    const LONG request = lineMakeCall(line, &call, "123", 0, &params);
    ASSERT_GT(request, 0);
    EXPECT_TRUE(received.empty()); // nothing inside the call that caused it
    ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);

    ASSERT_GT(drop, 0);
    EXPECT_EQ(received.front().Message, LINE_REPLY);
    EXPECT_EQ(received.front().Param1, DWORD_PTR(request));
    EXPECT_EQ(received.front().Instance, 0xC0FFEEu);
    EXPECT_EQ(received.back().Param1, LINECALLSTATE_IDLE);
    for (const TReceived& r : received) {
        EXPECT_TRUE(r.OnMainThread);
        EXPECT_EQ(r.Depth, 1); // the drop's reply and IDLE did not come inside the CONNECTED callback
    }
    const auto connected = std::find_if(received.begin(), received.end(), [](const TReceived& r) {
        return r.Message == LINE_CALLSTATE && r.Param1 == LINECALLSTATE_CONNECTED;
    });
    const auto dropped = std::find_if(received.begin(), received.end(), [&](const TReceived& r) {
        return r.Message == LINE_REPLY && r.Param1 == DWORD_PTR(drop);
    });
    EXPECT_LT(connected, dropped);
}

TEST_F(TapiScript, ARingingCallIsOfferedOnceAndAnsweredOnAnyRing) {
    TPty pty;
    const DWORD gsm = tapi.AddLine({"GSM", pty.Slave()});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm);
    const HCALL call = tapi.Ring(gsm, {"+79001234567", "Office"});
    ASSERT_NE(call, 0u);
    EXPECT_EQ(tapi.Ring(gsm, {"+79001234567", "Office"}), call);
    EXPECT_EQ(tapi.Ring(gsm, {"+79001234567", "Office"}), call);
    EXPECT_TRUE(received.empty());
    PumpUntil([&] { return Count(LINE_LINEDEVSTATE) == 3; });

    EXPECT_EQ(StatesOf(call), (std::vector<std::pair<DWORD, DWORD>>{{LINECALLSTATE_OFFERING, 0}}));
    EXPECT_EQ(received.front().Param3, LINECALLPRIVILEGE_OWNER);
    EXPECT_EQ(Count(LINE_CALLINFO), 1);
    std::vector<DWORD_PTR> rings;
    for (const TReceived& r : received)
        if (r.Message == LINE_LINEDEVSTATE) {
            EXPECT_EQ(r.Device, line);
            EXPECT_EQ(r.Param1, LINEDEVSTATE_RINGING);
            rings.push_back(r.Param3);
        }
    EXPECT_EQ(rings, (std::vector<DWORD_PTR>{0, 1, 2}));

    const LONG answer = lineAnswer(call, nullptr, 0);
    ASSERT_GT(answer, 0);
    EXPECT_EQ(WaitForReply(answer), 0);
    ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);
    TBuffer<VARSTRING> id(64);
    ASSERT_EQ(lineGetID(0, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"), 0);
    const int fd = DescriptorIn(id);
    Write(pty.Master(), "RING\r\n");
    EXPECT_EQ(Read(fd, 6), "RING\r\n");
    ::close(fd);
}

TEST_F(TapiScript, CallerIdentificationFollowsWhatTheNetworkTells) {
    struct Case {
        TTapiTestBackEnd::TCaller caller;
        DWORD flags;
        std::string number, name;
    };
    const Case cases[] = {
        {{"+79001234567", "Office"},
         LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME,
         {"+79001234567", 13},
         {"Office", 7}},
        {{"+79001234567", ""}, LINECALLPARTYID_ADDRESS, {"+79001234567", 13}, ""},
        {{"", ""}, LINECALLPARTYID_UNKNOWN, "", ""},
        {{"", "", LINECALLPARTYID_BLOCKED}, LINECALLPARTYID_BLOCKED, "", ""},
        {{"12345", "Out", LINECALLPARTYID_OUTOFAREA}, LINECALLPARTYID_OUTOFAREA, "", ""},
    };
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    for (const Case& c : cases) {
        const HLINE line = Open(app, gsm);
        const HCALL call = tapi.Ring(gsm, c.caller);
        TBuffer<LINECALLINFO> info(1024);
        ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
        EXPECT_EQ(info->dwOrigin, LINECALLORIGIN_EXTERNAL);
        EXPECT_EQ(info->dwCallerIDFlags, c.flags) << c.caller.Number;
        EXPECT_EQ(info.Bytes(info->dwCallerIDOffset, info->dwCallerIDSize), c.number);
        EXPECT_EQ(info.Bytes(info->dwCallerIDNameOffset, info->dwCallerIDNameSize), c.name);
        EXPECT_EQ(lineClose(line), 0);
    }
}

TEST_F(TapiScript, ARingWithoutAnOwnerOffersNothingButStillRings) {
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    const HLINE monitor = Open(app, gsm, LINECALLPRIVILEGE_MONITOR);
    EXPECT_EQ(tapi.Ring(gsm), 0u);
    ASSERT_NE(WaitFor(LINE_LINEDEVSTATE), nullptr);
    EXPECT_EQ(received.front().Device, monitor);
    EXPECT_EQ(Count(LINE_CALLSTATE), 0);
}

TEST_F(TapiScript, DigitsAreHeardWhileMonitoredAndSentOnVoiceLinesOnly) {
    const DWORD voice = tapi.AddLine({"Voice", {}, LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM});
    const DWORD data = tapi.AddLine({"Data", {}});
    const HLINEAPP app = Initialize();
    Open(app, voice, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE);
    const HCALL call = tapi.Ring(voice, {"1", "", 0, LINEMEDIAMODE_AUTOMATEDVOICE});
    ASSERT_EQ(WaitForReply(lineAnswer(call, nullptr, 0)), 0);
    tapi.Digit(call, '4'); // not monitored yet
    ASSERT_EQ(lineMonitorDigits(call, LINEDIGITMODE_DTMF), 0);
    tapi.Digit(call, '5');
    const TReceived* digit = WaitFor(LINE_MONITORDIGITS);
    ASSERT_NE(digit, nullptr);
    EXPECT_EQ(digit->Param1, DWORD_PTR('5'));
    EXPECT_EQ(digit->Param2, LINEDIGITMODE_DTMF);
    EXPECT_EQ(Count(LINE_MONITORDIGITS), 1);

    EXPECT_EQ(lineGenerateDigits(call, LINEDIGITMODE_DTMF, "12#", 100), 0);
    EXPECT_EQ(lineGenerateDigits(call, LINEDIGITMODE_DTMF, "1x", 100), LINEERR_INVALDIGITS);
    EXPECT_EQ(lineGenerateTone(call, 1, 100, 0, nullptr), 0);
    EXPECT_EQ(tapi.GeneratedDigits(call), "12#");
    EXPECT_EQ(tapi.GeneratedTones(call), 1);
    PumpUntil([&] { return Count(LINE_GENERATE) == 2; });
    EXPECT_EQ(Count(LINE_GENERATE), 2);

    Open(app, data);
    const HCALL dataCall = tapi.Ring(data);
    EXPECT_EQ(lineMonitorDigits(dataCall, LINEDIGITMODE_DTMF), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGenerateDigits(dataCall, LINEDIGITMODE_DTMF, "1", 100), LINEERR_OPERATIONUNAVAIL);
}

TEST_F(TapiScript, MonitoredTonesAreHeardByTheirEntry) {
    const DWORD voice = tapi.AddLine({"Voice", {}, LINEMEDIAMODE_AUTOMATEDVOICE});
    const HLINEAPP app = Initialize();
    Open(app, voice, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE);
    const HCALL call = tapi.Ring(voice, {"1", "", 0, LINEMEDIAMODE_AUTOMATEDVOICE});
    ASSERT_EQ(WaitForReply(lineAnswer(call, nullptr, 0)), 0);
    tapi.Tone(call, 0); // nothing monitored yet
    const LINEMONITORTONE tones[2] = {{0xA1, 500, 440, 0, 0}, {0xB2, 500, 1100, 0, 0}};
    ASSERT_EQ(lineMonitorTones(call, tones, 2), 0);
    tapi.Tone(call, 1);
    tapi.Tone(call, 2); // no such entry
    const TReceived* tone = WaitFor(LINE_MONITORTONE);
    ASSERT_NE(tone, nullptr);
    EXPECT_EQ(tone->Param1, 0xB2u);
    ASSERT_EQ(lineMonitorTones(call, nullptr, 0), 0); // monitoring ends
    tapi.Tone(call, 0);
    EXPECT_TRUE(PumpIdle());
    EXPECT_EQ(Count(LINE_MONITORTONE), 1);
}

TEST_F(TapiScript, ALineWithWaveDevicesHandsOutTheirIdentifiersAndRecordsItsDialling) {
    const DWORD voice = tapi.AddLine(
        {.Name = "Voice", .MediaModes = LINEMEDIAMODE_AUTOMATEDVOICE, .WaveIn = 3, .WaveOut = 5});
    const DWORD half =
        tapi.AddLine({.Name = "Half", .MediaModes = LINEMEDIAMODE_AUTOMATEDVOICE, .WaveOut = 0});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, voice, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_AUTOMATEDVOICE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "42", LINEMEDIAMODE_AUTOMATEDVOICE), 0);
    TBuffer<VARSTRING> id(64);
    for (const auto& [deviceClass, expected] : {std::pair{"wave/in", 3u}, std::pair{"wave/out", 5u}}) {
        for (const DWORD select : {LINECALLSELECT_LINE, LINECALLSELECT_CALL}) {
            ASSERT_EQ(lineGetID(line, 0, call, select, id.get(), deviceClass), 0) << deviceClass;
            EXPECT_EQ(id->dwStringFormat, STRINGFORMAT_BINARY);
            ASSERT_EQ(id->dwStringSize, 4u);
            EXPECT_EQ(id.Bytes(id->dwStringOffset, 4),
                      std::string(reinterpret_cast<const char*>(&expected), 4));
        }
    }
    const HLINE halfLine = Open(app, half, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_AUTOMATEDVOICE);
    EXPECT_EQ(lineGetID(halfLine, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/in"), LINEERR_NODEVICE);
    EXPECT_EQ(lineGetID(halfLine, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/out"), 0);
    EXPECT_EQ(tapi.DialledNumbers(voice), std::vector<std::string>{"42"});
    EXPECT_EQ(tapi.DialledBearerModes(voice), std::vector<DWORD>{LINEBEARERMODE_VOICE});
}

TEST_F(TapiScript, TheFarEndHangsUpAndTheCallIsDroppedToIdle) {
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "1"), 0);
    EXPECT_EQ(lineDeallocateCall(call), LINEERR_INVALCALLSTATE); // still connected
    tapi.Disconnect(call, LINEDISCONNECTMODE_NORMAL);
    ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
    EXPECT_EQ(StatesOf(call).back().second, LINEDISCONNECTMODE_NORMAL);
    EXPECT_EQ(WaitForReply(lineDrop(call, nullptr, 0)), 0);
    ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);
    EXPECT_EQ(lineDrop(call, nullptr, 0), LINEERR_INVALCALLSTATE);
    EXPECT_EQ(lineDeallocateCall(call), 0);
    EXPECT_EQ(tapi.CallState(call), std::nullopt);
}

TEST_F(TapiScript, AFailedHandleLookUpHandsOutNoDescriptor) {
    TPty pty;
    const DWORD gsm = tapi.AddLine({"GSM", pty.Slave()});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_PASSTHROUGH), 0);
    const std::set<QString> before = OpenDescriptorNames();
    tapi.FailNext("lineGetID", LINEERR_OPERATIONFAILED);
    TBuffer<VARSTRING> id(64);
    EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"),
              LINEERR_OPERATIONFAILED);
    TBuffer<VARSTRING> small(27); // no room for the handle and the name
    EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, small.get(), "comm/datamodem"), 0);
    EXPECT_EQ(small->dwStringSize, 0u);
    EXPECT_EQ(small->dwNeededSize, 24u + 4u + 4u);
    EXPECT_EQ(OpenDescriptorNames(), before);

    ASSERT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"), 0); // the next works
    EXPECT_EQ(id->dwStringFormat, STRINGFORMAT_BINARY);
    EXPECT_EQ(id.Bytes(id->dwStringOffset + 4, id->dwStringSize - 4), std::string("GSM", 4));
    ::close(DescriptorIn(id));
}

TEST_F(TapiScript, WaveDevicesAreNoneAndThePortNameIsTheDeviceAsWritten) {
    const DWORD gsm = tapi.AddLine({"GSM", QStringLiteral("COM3")});
    const DWORD voice = tapi.AddLine({"Voice", {}, LINEMEDIAMODE_AUTOMATEDVOICE});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm);
    TBuffer<VARSTRING> id(64);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/in"), LINEERR_NODEVICE);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/out"), LINEERR_NODEVICE);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "tapi/phone"), LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "comm/datamodem"), LINEERR_INVALCALLSTATE);
    ASSERT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "COMM/DATAMODEM/PORTNAME"), 0);
    EXPECT_EQ(id->dwStringFormat, STRINGFORMAT_ASCII);
    EXPECT_EQ(id.Bytes(id->dwStringOffset, id->dwStringSize), std::string("COM3", 5));
    const HLINE voiceLine = Open(app, voice, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE);
    EXPECT_EQ(lineGetID(voiceLine, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/out"), LINEERR_NODEVICE);
    EXPECT_EQ(lineGetID(voiceLine, 0, 0, LINECALLSELECT_LINE, id.get(), "comm/datamodem/portname"),
              LINEERR_NODEVICE);
}

TEST_F(TapiScript, ReinitReachesEveryApplicationAndAClosedLineTellsItsOpener) {
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP first = Initialize();
    Initialize();
    const HLINE line = Open(first, gsm, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_DATAMODEM, 0xAB);
    tapi.SendLineDevState(gsm, LINEDEVSTATE_REINIT);
    tapi.SendLineDevState(gsm, LINEDEVSTATE_OUTOFSERVICE);
    tapi.CloseLine(gsm);
    EXPECT_EQ(lineClose(line), LINEERR_INVALLINEHANDLE); // gone at once
    ASSERT_NE(WaitFor(LINE_CLOSE), nullptr);
    EXPECT_TRUE(PumpIdle());
    ASSERT_EQ(received.size(), 3u); // the out-of-service state went with the line
    EXPECT_EQ(received[0].Param1, LINEDEVSTATE_REINIT);
    EXPECT_EQ(received[0].Instance, 0xABu); // the application's component, by its open line
    EXPECT_EQ(received[1].Param1, LINEDEVSTATE_REINIT);
    EXPECT_EQ(received[1].Instance, 0u); // one with no line open has none
    EXPECT_EQ(received[2].Message, LINE_CLOSE);
    EXPECT_EQ(received[2].Device, line);
    EXPECT_EQ(received[2].Instance, 0xABu);
}

TEST_F(TapiScript, ANewLineIsBroadcastToEveryTapiDeviceWindow) {
    std::vector<std::tuple<int, unsigned, WPARAM, LPARAM>> posted;
    const auto window = [&](int which) {
        return std::make_unique<TMessageWindow>([&posted, which](unsigned m, WPARAM w, LPARAM l) {
            posted.emplace_back(which, m, w, l);
            return LRESULT(0);
        });
    };
    const auto first = window(1), second = window(2), other = window(3);
    RegisterTapiDeviceWindow(first->Handle());
    RegisterTapiDeviceWindow(second->Handle());
    // The component's callback on LINE_CREATE.
    onReceived = [](const TReceived& r) {
        if (r.Message == LINE_CREATE)
            BroadcastTapiNewLine(DWORD(r.Param1));
    };
    tapi.AddLine({"GSM", {}});
    DWORD count = 0;
    Initialize(&count);
    EXPECT_EQ(count, 1u);
    const DWORD added = tapi.AddLine({"Second", {}});
    EXPECT_EQ(added, 1u);
    EXPECT_TRUE(PumpUntil([&] { return posted.size() == 2; }));
    EXPECT_TRUE(PumpIdle());
    UnregisterTapiDeviceWindow(first->Handle());
    UnregisterTapiDeviceWindow(second->Handle());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].Message, LINE_CREATE);
    EXPECT_EQ(received[0].Instance, 0u);
    ASSERT_EQ(posted.size(), 2u);
    for (const auto& [which, message, wParam, lParam] : posted) {
        EXPECT_NE(which, 3);
        EXPECT_EQ(message, 0x7EB5u);
        EXPECT_EQ(wParam, 4u);
        EXPECT_EQ(lParam, LPARAM(added));
    }
}

TEST_F(TapiScript, ShuttingDownEndsCallsAndDeliversNothingMore) {
    TPty pty;
    const DWORD gsm = tapi.AddLine({"GSM", pty.Slave()});
    const std::set<QString> before = OpenDescriptorNames();
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    const LINECALLPARAMS params = CallParams(LINEBEARERMODE_PASSTHROUGH);
    ASSERT_GT(lineMakeCall(line, &call, "", 0, &params), 0);
    EXPECT_NE(OpenDescriptorNames(), before); // the call holds the device
    EXPECT_EQ(lineShutdown(app), 0);
    apps.clear();
    EXPECT_TRUE(PumpIdle());
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(tapi.CallState(call), std::nullopt);
    EXPECT_EQ(OpenDescriptorNames(), before);
}

TEST_F(TapiScript, ScriptingAFunctionThatDoesNotExistIsRefused) {
    EXPECT_THROW(tapi.FailNext("lineMakeCal", LINEERR_NOMEM), std::invalid_argument);
    EXPECT_THROW(tapi.WithholdNextReply("tuLineDrop"), std::invalid_argument);
    EXPECT_THROW(TTapiTestBackEnd second, std::logic_error);
}

// ---- Lines from the file

} // namespace
