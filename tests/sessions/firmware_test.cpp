// Firmware uploads to simulated modems: the image chosen at binding, the upload block by block with its
// progress in the settings dialog, its resumption after a reconnect, a modem that holds the image
// already, the marks and images of the settings taking effect, and a changed server port.
#include "tests/sessions/SessionFixture.h"

#include <cstring>
#include <deque>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/OpenDialog.h"
#include "tests/dialogs/FirmwareFile.h"
#include "tools/bench-common/BenchSupport.h"

namespace {

constexpr uint32_t ImageBlocks = 40;         // 41 blocks with the header: 6 frames of at most 7
constexpr uint32_t VersionWord = 0xFFFE1600; // 1.6.0.0, hardware group 0

class TQueuedOpenDialog : public TOpenDialog {
public:
    std::deque<QString> Answers;
    bool Execute(QWidget*) override {
        if (Answers.empty())
            return false;
        FileName = Answers.front();
        Answers.pop_front();
        return true;
    }
};

// The progress shown at the end of a line of the update list; -1 without one.
int Progress(const QString& line) {
    if (!line.endsWith(QLatin1Char('%')))
        return -1;
    return line.chopped(1).right(4).trimmed().toInt();
}

class FirmwareTest : public SessionTest {
protected:
    FirmwareTest() {
        AppSettings->TcpPort = port; // as the dialog shows it: applying it changes nothing
        auto box = std::make_unique<TQueuedOpenDialog>();
        openDialog = box.get();
        settings->OpenDialog2 = std::move(box);
    }
    ~FirmwareTest() override {
        settings->hide();
        AccessGranted = false;
    }

    std::string ImageFile(const char* name, uint32_t blocks, uint32_t versionWord, uint8_t seed = 1) {
        return WriteFirmwareFile(data.Path(), name, MakeFirmwareImage(blocks, versionWord, seed));
    }
    // The stored file as the state file gives it, loaded at start-up.
    void LoadStored(const std::string& path) {
        AppSettings->SWFileCount = 1;
        AppSettings->SWFiles[0] = path;
        settings->InitialPrepareSW();
    }
    // Shows the settings dialog and records the texts of the update list's first line.
    void ShowSettings() {
        AccessGranted = true;
        settings->show();
        QObject::connect(settings->ObjectsCheckListBox, &QListWidget::itemChanged, settings.get(),
                         [this](QListWidgetItem* line) {
                             if (line == settings->ObjectsCheckListBox->item(0) &&
                                 (lines.isEmpty() || lines.back() != line->text()))
                                 lines << line->text();
                         });
    }
    std::vector<int> ProgressShown() const {
        std::vector<int> shown;
        for (const QString& line : lines)
            shown.push_back(Progress(line));
        return shown;
    }
    uint32_t Commands(size_t i, uint8_t code) { return pool->Modem(i).Stats().commands[code]; }
    // The image stored in fileName, object 5 marked, the settings dialog shown; the object's modem
    // connects, and the upload starts. Returns the modem.
    size_t StartUpload(const char* fileName) {
        LoadStored(ImageFile(fileName, ImageBlocks, VersionWord));
        object = AddObject(5);
        object->UpdateState = 0;
        ShowSettings();
        return ConnectModem(Config(5));
    }

    TQueuedOpenDialog* openDialog = nullptr;
    TObjectStates* object = nullptr;
    QStringList lines;
};

TEST_F(FirmwareTest, UploadGoesBlockByBlockWithItsProgress) {
    const std::vector<uint8_t> image = MakeFirmwareImage(ImageBlocks, VersionWord);
    const size_t i = StartUpload("fw.prg");
    ASSERT_TRUE(RunUntil([&] { return object->UpdateState < 0; }));

    const modemsim::UpdateState& held = pool->Modem(i).Update();
    EXPECT_EQ(held.held, ImageBlocks + 1);
    EXPECT_EQ(held.count, ImageBlocks);
    EXPECT_EQ(0, std::memcmp(held.digest, image.data() + 4, 16));
    EXPECT_EQ(Commands(i, CMD_GET_UPD_CTX), 1u);
    EXPECT_EQ(Commands(i, CMD_SET_UPD_BLK), 6u);
    EXPECT_EQ(ProgressShown(), (std::vector<int>{0, 17, 34, 51, 68, 85, 100, -1}));
    EXPECT_EQ(settings->ObjectsCheckListBox->item(0)->checkState(), Qt::Unchecked);
    EXPECT_TRUE(Logged("SM: update ctx received - progress: 0, err: 0"));
    EXPECT_TRUE(Logged("SM: update block ack - progress: 17, stop: 0"));
    EXPECT_TRUE(Logged("SM: update block ack - progress: 100, stop: 1"));
}

// Marked again after an upload, the modem's context says it holds the whole image, so no block goes
// out and the connection stays. It is finished only when it runs the image's version, all four bytes;
// otherwise it waits at 100 % for a binding with that version.
TEST_F(FirmwareTest, ModemHoldingTheWholeImageIsFinishedOnlyWhenItRunsTheImagesVersion) {
    const struct {
        const char* name;
        uint8_t version[4];
        int32_t state;
    } cases[] = {
        {"its own version", {1, 5, 0, 0}, 100},
        {"other profile bytes", {1, 6, 0, 1}, 100},
        {"the image's version", {1, 6, 0, 0}, -1},
    };
    LoadStored(ImageFile("fw.prg", ImageBlocks, VersionWord));
    ShowSettings();
    uint16_t id = 20;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        object = AddObject(++id);
        object->UpdateState = 0;
        settings->SettingsToDialog();
        modemsim::ModemConfig config = Config(id);
        std::copy(std::begin(c.version), std::end(c.version), config.version);
        const size_t i = ConnectModem(config);
        ASSERT_TRUE(RunUntil([&] { return object->UpdateState < 0; }));
        const uint32_t frames = Commands(i, CMD_SET_UPD_BLK);
        const int finished = CountLogged(QStringLiteral("SM: update finished"));

        settings->ObjectsCheckListBox->item(int(ObjectList.size()) - 1)->setCheckState(Qt::Checked);
        settings->ApplyButton->click();
        ASSERT_TRUE(RunUntil([&] { return Commands(i, CMD_GET_UPD_CTX) == 2; }));
        Advance(3000);
        EXPECT_EQ(object->UpdateState, c.state);
        EXPECT_EQ(CountLogged(QStringLiteral("SM: update finished")), finished + (c.state < 0 ? 1 : 0));
        EXPECT_EQ(Commands(i, CMD_SET_UPD_BLK), frames);
        EXPECT_EQ(SessionOf(id)->PendingCommands & (REQ_SET_UPD_BLK | REQ_GET_UPD_CTX), 0u);
        EXPECT_TRUE(pool->IsConnected(i));
        EXPECT_TRUE(object->Connected);
    }
    EXPECT_EQ(CountLogged("CH: the object disconnected"), 0);
}

TEST_F(FirmwareTest, UploadResumesAfterAReconnectWhereTheModemsContextSaysItStopped) {
    const size_t i = StartUpload("fw.prg");
    ASSERT_TRUE(RunUntil([&] { return pool->Modem(i).Update().held >= 14; }));
    pool->Close(i);
    ASSERT_TRUE(RunUntil([&] { return !object->Connected; }));
    const uint32_t held = pool->Modem(i).Update().held;
    const uint32_t framesBefore = Commands(i, CMD_SET_UPD_BLK);
    EXPECT_GE(object->UpdateState, 0); // still marked, with the progress acknowledged so far

    pool->Open(i);
    ASSERT_TRUE(RunUntil([&] { return object->UpdateState < 0; }));
    EXPECT_TRUE(
        Logged(QStringLiteral("SM: update ctx received - progress: %1, err: 0").arg(held * 100 / 41)));
    EXPECT_EQ(pool->Modem(i).Update().held, ImageBlocks + 1);
    EXPECT_EQ(Commands(i, CMD_SET_UPD_BLK), framesBefore + (ImageBlocks + 1 - held + 6) / 7);
}

struct TBindCase {
    const char* name;
    uint8_t version[4];
    int32_t stateBefore;
    int32_t stateAfter;
    bool contextAsked; // the modem's context is asked for (the modem answers nothing here)
};

TEST_F(FirmwareTest, BindingChoosesTheImageOfTheModemsGroupAndFinishesAModemBackWithIt) {
    const TBindCase cases[] = {
        {"no image of its group", {12, 0, 0, 0}, 0, -1, false},
        {"at 100 with the image's version", {1, 6, 0, 0}, 100, -1, false},
        {"at 100 with another version", {1, 5, 0, 0}, 100, 100, true},
        {"at 100 with another first byte of its group", {2, 6, 0, 0}, 100, 100, true},
        {"at 100 with another third byte", {1, 6, 1, 0}, 100, 100, true},
        {"at 100 with another fourth byte", {1, 6, 0, 1}, 100, 100, true},
        {"marked", {1, 5, 0, 0}, 0, 0, true},
        {"not marked", {1, 5, 0, 0}, -1, -1, false},
    };
    LoadStored(ImageFile("fw.prg", ImageBlocks, VersionWord));
    uint16_t id = 10;
    for (const TBindCase& c : cases) {
        SCOPED_TRACE(c.name);
        object = AddObject(++id);
        object->UpdateState = c.stateBefore;
        modemsim::ModemConfig config = Config(id);
        std::copy(std::begin(c.version), std::end(c.version), config.version);
        const size_t i = ConnectModem(config);
        pool->Modem(i).SetSilent(true, modemsim::MonotonicMs()); // no blocks are taken from here on
        Advance(1500);
        EXPECT_EQ(Commands(i, CMD_GET_UPD_CTX), c.contextAsked ? 1u : 0u);
        EXPECT_EQ(object->UpdateState, c.stateAfter);
        EXPECT_EQ(SessionOf(id)->Link->Upd.Image, c.version[0] == 12 ? nullptr : SWImages[0].data());
    }
}

TEST_F(FirmwareTest, UnmarkingARunningUploadStopsItAtOnce) {
    const size_t i = StartUpload("fw.prg");
    ASSERT_TRUE(RunUntil([&] { return pool->Modem(i).Update().held >= 7; }));
    settings->ObjectsCheckListBox->item(0)->setCheckState(Qt::Unchecked);
    settings->ApplyButton->click();
    EXPECT_EQ(object->UpdateState, -1);
    EXPECT_EQ(SessionOf(5)->PendingCommands & (REQ_SET_UPD_BLK | REQ_GET_UPD_CTX), 0u);
    Advance(1000); // a frame already on its way is still acknowledged
    const uint32_t frames = Commands(i, CMD_SET_UPD_BLK);
    Advance(3000);
    EXPECT_EQ(Commands(i, CMD_SET_UPD_BLK), frames);
    EXPECT_LT(pool->Modem(i).Update().held, ImageBlocks + 1);
    EXPECT_EQ(object->UpdateState, -1);
}

TEST_F(FirmwareTest, ImageWithOtherVersionBytesRestartsARunningUploadFromTheModemsContext) {
    const size_t i = StartUpload("old.prg");
    ASSERT_TRUE(RunUntil([&] { return pool->Modem(i).Update().held >= 14; }));

    const std::vector<uint8_t> newer = MakeFirmwareImage(30, 0xFFFE1700, 2);
    openDialog->Answers.push_back(QString::fromStdString(WriteFirmwareFile(data.Path(), "new.prg", newer)));
    settings->EnterSWButton->click();
    settings->ApplyButton->click();
    EXPECT_EQ(SWVersions[0], (TSWVersion{1, 7, 0, 0}));
    EXPECT_EQ(SessionOf(5)->Link->Upd.Image, SWImages[0].data());
    EXPECT_FALSE(SessionOf(5)->Link->Upd.Flags & UPD_CTX_KNOWN);

    ASSERT_TRUE(RunUntil([&] { return object->UpdateState < 0; }));
    EXPECT_TRUE(Logged("SM: update ctx received - progress: 0, err: 1"));
    EXPECT_EQ(pool->Modem(i).Update().held, 31);
    EXPECT_EQ(0, std::memcmp(pool->Modem(i).Update().digest, newer.data() + 4, 16));
}

TEST_F(FirmwareTest, ChangedPortReopensTheServerWhereAModemThenConnects) {
    object = AddObject(5);
    const size_t first = ConnectModem(Config(5));
    const TReservedPort reserved; // no other program's bind takes it before the router's
    const uint16_t newPort = reserved.Port();
    ASSERT_NE(newPort, 0);
    ShowSettings();
    settings->TcpPortEdit->setText(QString::number(newPort));
    settings->ApplyButton->click();

    EXPECT_EQ(AppSettings->TcpPort, newPort);
    EXPECT_EQ(form->ServerSocket.LocalPort(), newPort);
    EXPECT_TRUE(Logged(QStringLiteral("CH: TCP port is opened (%1)").arg(newPort)));
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(first) && !object->Connected; }));

    pool = std::make_unique<modemsim::ModemPool>("127.0.0.1", newPort);
    ConnectModem(Config(5));
    EXPECT_TRUE(object->Connected);
    EXPECT_NE(SessionOf(5), nullptr);
}

} // namespace
