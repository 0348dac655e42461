#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <QCursor>
#include <QGuiApplication>

#include "serial/TapiBinding.h"

namespace {

// A telephony library of the test's own under the name "TAPI32", for one test.
class TFakeTapi32 {
public:
    explicit TFakeTapi32(std::vector<TModuleEntry> entries) {
        UnloadTapiProcs();
        RegisterModule("TAPI32", std::move(entries));
    }
    ~TFakeTapi32() {
        UnloadTapiProcs();
        RegisterModule("TAPI32", Tapi32Entries());
    }
};

// lineGetDevCaps by script: each call takes the next answer (result, dwNeededSize) and records the
// buffer size it was given.
struct TCapsAnswer {
    LONG Result;
    DWORD Needed;
};
std::vector<TCapsAnswer> capsScript;
std::vector<DWORD> capsSizes;

LONG ScriptedDevCaps(HLINEAPP, DWORD, DWORD, DWORD, LINEDEVCAPS* caps) {
    capsSizes.push_back(caps->dwTotalSize);
    const TCapsAnswer answer = capsScript.at(capsSizes.size() - 1);
    caps->dwNeededSize = answer.Needed;
    return answer.Result;
}

TEST(TapiBinding, AMissingLibraryAnswersLoadFailureAndIsLookedForAgainAtEveryCall) {
    UnloadTapiProcs();
    UnregisterModule("TAPI32");
    HLINEAPP app = 0;
    DWORD count = 0;
    EXPECT_EQ(tuLineInitialize(app, 0, nullptr, "", count), ecTapiLoadFail);
    EXPECT_EQ(tuLineShutdown(1), ecTapiLoadFail);
    EXPECT_EQ(tuLineTranslateDialog(1, 0, TapiApiVersion14, 0, "1"), ecTapiLoadFail);
    TLineTranslateOutput* out = nullptr;
    EXPECT_EQ(tuLineTranslateAddressDyn(1, 0, TapiApiVersion14, "1", 0, 0, out), ecTapiLoadFail);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(TapiModule, 0u);

    RegisterModule("TAPI32", Tapi32Entries());
    EXPECT_EQ(tuLineShutdown(0x1234), LINEERR_INVALAPPHANDLE); // the library's own answer now
    EXPECT_NE(TapiModule, 0u);
}

TEST(TapiBinding, AMissingEntryAnswersItsOwnCodeAndTheTranslateDialogMinusOne) {
    std::vector<TModuleEntry> entries;
    for (const TModuleEntry& entry : Tapi32Entries())
        if (entry.Name != "lineClose" && entry.Name != "lineTranslateDialog" &&
            entry.Name != "lineTranslateAddress")
            entries.push_back(entry);
    const TFakeTapi32 library(entries);
    EXPECT_EQ(tuLineClose(1), ecTapiGetAddrFail);
    EXPECT_EQ(tuLineTranslateDialog(1, 0, TapiApiVersion14, 0, "1"), -1);
    TLineTranslateOutput* out = nullptr;
    EXPECT_EQ(tuLineTranslateAddressDyn(1, 0, TapiApiVersion14, "1", 0, 0, out), ecTapiGetAddrFail);
    const TTapiBuffer<TLineTranslateOutput> handedOut(out); // the buffer stays handed out
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->dwTotalSize, 40u);
}

TEST(TapiBinding, HoldUnholdAndTransferReachTheLibrary) {
    ASSERT_TRUE(LoadTapiProcs());
    HCALL call = 0x4242; // the library knows no such call
    EXPECT_EQ(tuLineHold(call), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(tuLineUnhold(call), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(tuLineTransfer(call, "123", 0), LINEERR_OPERATIONUNAVAIL);
}

TEST(TapiBinding, AddressesLongerThanTheBufferAreRefused) {
    ASSERT_TRUE(LoadTapiProcs());
    const std::string longest(99, '7'), tooLong(100, '7');
    TLineTranslateOutput* out = nullptr;
    EXPECT_EQ(tuLineTranslateAddressDyn(1, 0, TapiApiVersion14, tooLong.c_str(), 0, 0, out),
              LINEERR_INVALADDRESS);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(tuLineTranslateDialog(1, 0, TapiApiVersion14, 0, tooLong.c_str()), LINEERR_INVALADDRESS);
    // One that fits reaches the library, which knows no such application.
    EXPECT_EQ(tuLineTranslateAddressDyn(1, 0, TapiApiVersion14, longest.c_str(), 0, 0, out),
              LINEERR_INVALAPPHANDLE);
    std::free(out);
}

TEST(TapiBinding, TheGrowingVariantCallsAtMostThreeTimes) {
    struct Case {
        const char* Name;
        std::vector<TCapsAnswer> Script;
        std::vector<DWORD> Sizes;
        LONG Result;
        DWORD BufferSize; // 0: none handed out
    };
    const Case cases[] = {
        {"fits at once", {{0, 200}}, {240}, 0, 240},
        {"needs more", {{0, 700}, {0, 700}}, {240, 700}, 0, 700},
        {"too small, then more",
         {{LINEERR_STRUCTURETOOSMALL, 0}, {0, 2000}, {0, 2000}},
         {240, 1024, 2000},
         0,
         2000},
        {"too small, then failing",
         {{LINEERR_STRUCTURETOOSMALL, 0}, {LINEERR_NODEVICE, 0}},
         {240, 1024},
         LINEERR_NODEVICE,
         0},
        {"failing at once", {{LINEERR_NODEVICE, 0}}, {240}, LINEERR_NODEVICE, 240},
        {"third call failing", {{0, 900}, {LINEERR_NOMEM, 0}}, {240, 900}, LINEERR_NOMEM, 0},
    };
    std::vector<TModuleEntry> entries = Tapi32Entries();
    for (TModuleEntry& entry : entries)
        if (entry.Name == "lineGetDevCaps")
            entry = ModuleEntry("lineGetDevCaps", &ScriptedDevCaps);
    const TFakeTapi32 library(entries);
    ASSERT_TRUE(LoadTapiProcs());
    for (const Case& c : cases) {
        capsScript = c.Script;
        capsSizes.clear();
        TLineDevCaps* fetched = reinterpret_cast<TLineDevCaps*>(1);
        const LONG result = tuLineGetDevCapsDyn(1, 0, TapiApiVersion14, 0, fetched);
        const TTapiBuffer<TLineDevCaps> caps(fetched);
        EXPECT_EQ(result, c.Result) << c.Name;
        EXPECT_EQ(capsSizes, c.Sizes) << c.Name;
        EXPECT_EQ(caps ? caps->dwTotalSize : 0u, c.BufferSize) << c.Name;
    }
}

TEST(TapiBinding, LineErrorsMapOntoTheLibraryNumbering) {
    EXPECT_EQ(TapiErrorToCode(0), 0);
    EXPECT_EQ(TapiErrorToCode(LINEERR_CALLUNAVAIL), 13805);
    EXPECT_EQ(TapiErrorToCode(LINEERR_REINIT), 13882);
    EXPECT_EQ(TapiErrorToCode(LINEERR_STRUCTURETOOSMALL), 13877);
}

TEST(TapiBinding, TheWaitCursorIsShownOnceAndRestored) {
    ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);
    SetWaitCursor();
    SetWaitCursor();
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    RestoreWaitCursor();
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    RestoreWaitCursor(); // nothing kept: nothing to restore
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

} // namespace
