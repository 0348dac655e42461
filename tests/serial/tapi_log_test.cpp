#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QWidget>

#include "platform/Clock.h"
#include "platform/Forms.h"
#include "serial/Exceptions.h"
#include "serial/TapiLog.h"

namespace {

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A display with a window of its own, as a concrete display builds one.
class TTestStatus : public TSioAbstractTapiStatus {
public:
    explicit TTestStatus(const void* owner) : TSioAbstractTapiStatus(owner) {
        CreateDisplay();
        GetProperties();
    }
    ~TTestStatus() override { DestroyDisplay(); }

    void UpdateDisplay(bool, bool, std::uint32_t, std::uint32_t message, std::uint32_t, std::uint32_t,
                       std::uint32_t) override {
        messages.push_back(message);
    }
    std::vector<std::uint32_t> messages;

protected:
    void CreateDisplay() override {
        display_ = new TForm;
        display_->SetCaption(QStringLiteral("Progress"));
    }
    void DestroyDisplay() override {
        delete display_;
        display_ = nullptr;
    }
};

class TapiHistory : public ::testing::Test {
protected:
    std::string Path(const char* name) const {
        return (folder.path() + QLatin1Char('/') + name).toStdString();
    }

    QTemporaryDir folder;
    TFakeClock clock{EncodeDateTime({2024, 3, 15, 12, 0, 5, 0})};
};

TEST_F(TapiHistory, ACallWritesOneLinePerEventAndAnEmptyLineAfterIt) {
    TSioTapiLog log(nullptr);
    EXPECT_EQ(log.TapiHistoryName, "SIOTAPI.HIS");
    log.TapiHistoryName = Path("calls.his");
    for (TTapiLogCode code : {ltapiCallStart, ltapiDial, ltapiConnect, ltapiDrop, ltapiCallFinish})
        log.UpdateLog(code);
    log.UpdateLog(ltapiBusy); // appended
    const std::string stamp = "15.03.2024 12:00:05 : ";
    EXPECT_EQ(FileText(log.TapiHistoryName), stamp + "call started\r\n" + stamp + "  dialing \r\n" + stamp +
                                                 "  connected\r\n" + stamp + "  dropped\r\n" + stamp +
                                                 "call finished\r\n\r\n" + stamp + "  busy\r\n");
}

TEST_F(TapiHistory, EveryCodeHasItsText) {
    const std::pair<TTapiLogCode, const char*> texts[] = {
        {ltapiNone, ""},
        {ltapiCallStart, "call started"},
        {ltapiCallFinish, "call finished\r\n"},
        {ltapiDial, "  dialing +7900"},
        {ltapiAccept, "  accepting"},
        {ltapiAnswer, "  answering"},
        {ltapiConnect, "  connected"},
        {ltapiCancel, "  cancelled"},
        {ltapiDrop, "  dropped"},
        {ltapiBusy, "  busy"},
        {ltapiDialFail, "  dial failed"},
        {ltapiReceivedDigit, "  received digit"},
    };
    for (const auto& [code, text] : texts)
        EXPECT_EQ(TapiLogText(code, "+7900"), text) << code;
}

TEST_F(TapiHistory, NoNameTouchesNoFileAndNoneOnlyCreatesIt) {
    TSioTapiLog log(nullptr);
    log.TapiHistoryName.clear();
    log.UpdateLog(ltapiCallStart);
    EXPECT_TRUE(std::filesystem::is_empty(folder.path().toStdString()));

    log.TapiHistoryName = Path("calls.his");
    log.UpdateLog(ltapiNone);
    ASSERT_TRUE(std::filesystem::exists(log.TapiHistoryName));
    EXPECT_EQ(std::filesystem::file_size(log.TapiHistoryName), 0u);
}

TEST_F(TapiHistory, AFileThatCannotBeWrittenRaisesTheInputOutputError) {
    TSioTapiLog log(nullptr);
    log.TapiHistoryName = Path("missing/calls.his");
    try {
        log.UpdateLog(ltapiCallStart);
        ADD_FAILURE() << "no exception";
    } catch (const EInOutError& error) {
        EXPECT_EQ(error.ErrorCode, 3);
    }
}

TEST(TapiCompanions, TheOwnerSearchTakesTheFirstFreeOneDepthFirst) {
    QWidget form;
    EXPECT_EQ(SearchStatusDisplay(&form), nullptr);
    EXPECT_EQ(SearchStatusDisplay(nullptr), nullptr);
    {
        TSioTapiLog holder(&form); // a component that owns one of its own
        TTestStatus nested(&holder);
        EXPECT_EQ(SearchStatusDisplay(&form), &nested);
        nested.TapiDevice = reinterpret_cast<TSioCustomTapiDevice*>(&holder); // some device has it
        EXPECT_EQ(SearchStatusDisplay(&form), nullptr);
        nested.TapiDevice = nullptr;
    }
    TTestStatus first(&form);
    TSioTapiLog holder(&form);
    TTestStatus nested(&holder);
    EXPECT_EQ(SearchStatusDisplay(&form), &first);
    EXPECT_EQ(SearchTapiLog(&form), &holder);
    EXPECT_EQ(SearchTapiLog(&holder), nullptr);
}

TEST(TapiCompanions, TheDisplayKeepsItsWindowInStep) {
    TTestStatus status(nullptr);
    EXPECT_EQ(status.Caption(), QStringLiteral("Progress")); // taken from the window
    EXPECT_FALSE(status.Visible());
    status.SetCaption(QStringLiteral("Звонок"));
    EXPECT_EQ(status.Display()->Caption(), QStringLiteral("Звонок"));
    status.SetVisible(true);
    EXPECT_TRUE(status.Display()->isVisible());
    status.SetVisible(false);
    EXPECT_FALSE(status.Display()->isVisible());

    EXPECT_EQ(status.Position(), poDesigned); // taken from the window
    EXPECT_TRUE(status.Ctl3D());
    status.SetPosition(poScreenCenter);
    EXPECT_EQ(status.Display()->Position(), poScreenCenter);
    status.SetCtl3D(false);
    EXPECT_FALSE(status.Display()->Ctl3D());
    status.Display()->SetPosition(poMainFormCenter);
    status.Display()->SetCtl3D(true);
    status.Display()->SetCaption(QStringLiteral("Снова"));
    status.Display()->show();
    status.GetProperties();
    EXPECT_EQ(status.Position(), poMainFormCenter);
    EXPECT_TRUE(status.Ctl3D());
    EXPECT_TRUE(status.Visible());
    EXPECT_EQ(status.Caption(), QStringLiteral("Снова"));
}

} // namespace
