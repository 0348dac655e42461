#include "core/DataFolder.h"
#include "core/StateFile.h"
#include "platform/SysError.h"
#include "tests/core/DiskFull.h"
#include "tests/platform/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const std::string Marker(NoPassword);

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <class Record> Bytes RecordBytes(const Record& record) {
    Bytes bytes(record.GetRecordSize());
    record.WriteRecord(bytes.data());
    return bytes;
}

// Writing that fails after a number of bytes, or at the rename.
class TFailingOps : public TStatesFileOps {
public:
    size_t failAfter = SIZE_MAX;
    bool failRename = false;
    bool shortRead = false;

    TFileRead ReadAll(const std::string& path, uint64_t maxSize, std::vector<uint8_t>& bytes) override {
        TFileRead read = TStatesFileOps::ReadAll(path, maxSize, bytes);
        if (shortRead && read.Result == rfRead)
            read = {rfFailed, EIO, maxSize};
        return read;
    }

protected:
    ssize_t WriteSome(int fd, const uint8_t* data, size_t n) override {
        if (written_ >= failAfter) {
            errno = ENOSPC;
            return -1;
        }
        n = std::min(n, failAfter - written_);
        ssize_t k = TStatesFileOps::WriteSome(fd, data, n);
        written_ += static_cast<size_t>(k);
        return k;
    }
    bool Rename(const std::string& from, const std::string& to) override {
        if (failRename)
            errno = EACCES;
        return !failRename && TStatesFileOps::Rename(from, to);
    }

private:
    size_t written_ = 0;
};

class StateFileTest : public testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("statefile_test." + std::to_string(::getpid()) + "." +
                   testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_ / "Vostrane");
        CompanyDataFolder = folder_.string() + "/";
        AppDataFolder = CompanyDataFolder + "Vostrane/";
        StatesFileName = AppDataFolder + "States.bin";
        SystemPassword = Marker;
        StatesNotLoaded = true;
        FirstRun = false;

        hooks.ShowError = [this](const std::string& text) { errors.push_back(text); };
        hooks.PrintMessage = [this](const std::string& line) { log.push_back(line); };
        hooks.WriteFailed = [this](const std::string& reason) { writeFailures.push_back(reason); };
        hooks.CloseMainWindow = [this] { ++closed; };
        hooks.EnterPassword = [this](const std::string& caption, const std::string& info, std::string& pw) {
            prompts.push_back(caption + "|" + info);
            if (answers.empty())
                return false;
            pw = answers.front();
            answers.pop_front();
            return pw != "<cancel>";
        };
    }
    void TearDown() override {
        CompanyDataFolder.clear();
        AppDataFolder.clear();
        MonitorFolder.clear();
        StatesFileName.clear();
        SystemPassword = Marker;
        StatesNotLoaded = true;
        FirstRun = false;
        std::filesystem::remove_all(folder_);
    }

    // A state with a little of everything.
    void MakeState(int objects, const std::string& name = "obj", const std::string& phone = "+7916") {
        settings.TcpPort = 12345;
        settings.TapiDevice = "line";
        settings.SWFileCount = 1;
        settings.SWFiles[0] = "/fw/a.prg";
        auto g = std::make_unique<TReceiver>();
        g->Name = "group";
        g->BaseID = 1;
        g->Members = {1, 2};
        settings.Receivers.push_back(std::move(g));
        for (int i = 0; i < objects; ++i) {
            auto o = std::make_unique<TObjectStates>();
            o->ObjectNumber = o->ModemID = i + 1;
            o->Name = name + std::to_string(i);
            o->Phone = phone + std::to_string(1000000 + i);
            o->Password = MakePassword("key" + std::to_string(i));
            o->InputStates = {i & 1, 0, 1, 0};
            o->LastDataTime = 45000.0 + i;
            list.push_back(std::move(o));
        }
    }

    bool Write(TStatesFileOps& ops = StatesFileOps()) {
        return WriteStates(window, settings, list, hooks, ops);
    }

    // Reads into fresh settings as a new run would.
    bool Read(TStatesFileOps& ops = StatesFileOps()) {
        SystemPassword = Marker;
        StatesNotLoaded = true;
        loaded = std::make_unique<TSettings>();
        read = {};
        return ReadStates(*loaded, read, hooks, ops);
    }

    void ExpectLoadedAsWritten() {
        EXPECT_EQ(RecordBytes(*loaded), RecordBytes(settings));
        ASSERT_TRUE(read.Window.has_value());
        EXPECT_EQ(*read.Window, window);
        ASSERT_EQ(read.Objects.size(), list.size());
        for (size_t i = 0; i < list.size(); ++i)
            ASSERT_EQ(RecordBytes(*read.Objects[i]), RecordBytes(*list[i])) << i;
    }

    std::filesystem::path folder_;
    TStatesHooks hooks;
    std::vector<std::string> errors, log, prompts, writeFailures;
    std::deque<std::string> answers;
    int closed = 0;

    TWindowValues window{10, 20, 800, 600, 300, {50, 120, 90}};
    TSettings settings;
    TObjectList list;
    std::unique_ptr<TSettings> loaded;
    TStatesRead read;
};

const std::string Prompt = "Маршрутизатор|Введите системный пароль";
const std::string CannotDecrypt = "Невозможно расшифровать файл с настройками!";
const std::string CannotOpen = "Невозможно открыть файл с настройками!";
const std::string ReadErrorLine = "CH: States.bin reading error - ";

// ---------------------------------------------------------------------------------------------------
// Key tries by security mode

TEST_F(StateFileTest, RoundTripInEverySecurityMode) {
    struct TCase {
        int mode;
        std::string settingsPassword, systemPassword; // as written
        std::vector<std::string> answers;
        size_t prompts;
        std::string passwordAfter;
    } cases[] = {
        {smNone, Marker, Marker, {}, 0, Marker},
        {smSettingsOnly, "settings", Marker, {}, 0, Marker},
        {smSettingsAndObjects, "both", Marker, {}, 0, "both888888888888"},
        {smSettingsAndObjects, "both", "other", {}, 0, "both888888888888"},
        {smOnePassword, "one", "one", {"one"}, 1, "one8888888888888"},
        {smManyPasswords,
         "many",
         "\xF1\xE8\xF1\xF2\xE5\xEC\xE0",
         {"\xF1\xE8\xF1\xF2\xE5\xEC\xE0"},
         1,
         "\xF1\xE8\xF1\xF2\xE5\xEC\xE0"
         "888888888"},
        {smOnePassword, "one", std::string(16, 'Z'), {std::string(16, 'Z')}, 1, std::string(16, 'Z')},
    };
    MakeState(3);
    for (const auto& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " " + c.systemPassword);
        settings.SecurityMode = c.mode;
        settings.Password = MakePassword(c.settingsPassword);
        SystemPassword = PasswordText(MakePassword(c.systemPassword));
        ASSERT_TRUE(Write());
        prompts.clear();
        answers.assign(c.answers.begin(), c.answers.end());

        ASSERT_TRUE(Read());
        EXPECT_EQ(prompts.size(), c.prompts);
        if (c.prompts) {
            EXPECT_EQ(prompts[0], Prompt);
        }
        EXPECT_TRUE(errors.empty());
        EXPECT_FALSE(StatesNotLoaded);
        EXPECT_EQ(SystemPassword, c.passwordAfter);
        ExpectLoadedAsWritten();
    }
}

TEST_F(StateFileTest, ModeTwoFileIsWrittenUnderTheBuiltInKey) {
    MakeState(1);
    settings.SecurityMode = smSettingsAndObjects;
    ASSERT_TRUE(Write());
    Bytes file = ReadFile(StatesFileName);
    EXPECT_TRUE(DecryptStates(file, BuiltInKey.data()));
    Bytes again = ReadFile(StatesFileName);
    EXPECT_FALSE(DecryptStates(again, reinterpret_cast<const uint8_t*>(Marker.data())));
}

TEST_F(StateFileTest, CancelAtThePromptLeavesTheFileAsItWas) {
    MakeState(2);
    settings.SecurityMode = smOnePassword;
    SystemPassword = PasswordText(MakePassword("secret"));
    ASSERT_TRUE(Write());
    Bytes before = ReadFile(StatesFileName);

    answers = {"<cancel>"};
    EXPECT_FALSE(Read());
    EXPECT_EQ(prompts, std::vector<std::string>{Prompt});
    EXPECT_EQ(errors, std::vector<std::string>{CannotDecrypt});
    EXPECT_TRUE(StatesNotLoaded);
    EXPECT_EQ(loaded->ReceiverCount(), 0) << "the settings stay as they were";
    EXPECT_TRUE(read.Objects.empty());
    EXPECT_EQ(ReadFile(StatesFileName), before);
    EXPECT_FALSE(std::filesystem::exists(TStatesFileOps::TempName(StatesFileName)));
}

TEST_F(StateFileTest, WrongPasswordAtThePromptIsRefused) {
    MakeState(1);
    settings.SecurityMode = smManyPasswords;
    SystemPassword = PasswordText(MakePassword("right"));
    ASSERT_TRUE(Write());
    answers = {"wrong", "right"};
    EXPECT_FALSE(Read());
    EXPECT_EQ(prompts.size(), 1u) << "the prompt is shown once";
    EXPECT_EQ(errors, std::vector<std::string>{CannotDecrypt});
    EXPECT_TRUE(StatesNotLoaded);
}

TEST_F(StateFileTest, VersionOtherThanZeroIsRefused) {
    MakeState(1);
    for (uint32_t version : {1u, 0x01000000u, 0xFFFFFFFFu}) {
        Bytes plain = BuildStatesPlain(window, settings, list);
        uint32_t content = static_cast<uint32_t>(StatesContentSize(settings, list));
        std::memcpy(plain.data(), &version, 4);
        EncryptStates(plain, content, reinterpret_cast<const uint8_t*>(Marker.data()));
        WriteFile(StatesFileName, plain);
        errors.clear();
        prompts.clear();
        EXPECT_FALSE(Read()) << version;
        EXPECT_TRUE(prompts.empty()) << "the file opened; it is only of another version";
        EXPECT_EQ(errors, std::vector<std::string>{CannotDecrypt});
        EXPECT_TRUE(StatesNotLoaded);
    }
}

TEST_F(StateFileTest, EmptyFileAndSizesNotAMultipleOf16FailAllThreeTries) {
    MakeState(1);
    ASSERT_TRUE(Write());
    Bytes good = ReadFile(StatesFileName);
    std::vector<Bytes> files = {
        {}, Bytes(1, 0), Bytes(good.begin(), good.end() - 1), Bytes(good.begin(), good.begin() + 17)};
    Bytes longer = good;
    longer.push_back(0);
    files.push_back(longer);
    for (const auto& file : files) {
        WriteFile(StatesFileName, file);
        errors.clear();
        prompts.clear();
        answers = {Marker};
        EXPECT_FALSE(Read()) << file.size();
        EXPECT_EQ(prompts.size(), 1u) << file.size();
        EXPECT_EQ(errors, std::vector<std::string>{CannotDecrypt}) << file.size();
        EXPECT_EQ(ReadFile(StatesFileName), file);
    }
}

// ---------------------------------------------------------------------------------------------------
// Missing and unreadable files

TEST_F(StateFileTest, MissingFileMeansDefaults) {
    EXPECT_TRUE(Read());
    EXPECT_EQ(errors, std::vector<std::string>{CannotOpen});
    EXPECT_FALSE(StatesNotLoaded) << "the defaults are written later";
    EXPECT_FALSE(read.Window.has_value());
    EXPECT_EQ(loaded->TcpPort, 10001);

    errors.clear();
    FirstRun = true;
    EXPECT_TRUE(Read());
    EXPECT_TRUE(errors.empty()) << "no message on the very first start";
    EXPECT_FALSE(StatesNotLoaded);
}

TEST_F(StateFileTest, UnreadableFileIsReportedAndNeverOverwritten) {
    std::filesystem::create_directory(StatesFileName); // exists, cannot be read
    FirstRun = true;
    EXPECT_TRUE(Read());
    EXPECT_EQ(errors, std::vector<std::string>{CannotOpen});
    EXPECT_TRUE(StatesNotLoaded);
    EXPECT_TRUE(prompts.empty());

    std::filesystem::remove(StatesFileName);
    MakeState(1);
    ASSERT_TRUE(Write());
    Bytes before = ReadFile(StatesFileName);
    TFailingOps ops;
    ops.shortRead = true;
    errors.clear();
    EXPECT_TRUE(Read(ops));
    EXPECT_EQ(errors, std::vector<std::string>{CannotOpen});
    EXPECT_TRUE(StatesNotLoaded);
    EXPECT_EQ(ReadFile(StatesFileName), before);
}

// A pipe, a device or a folder in the file's place is unreadable: nothing waits on the pipe or reads
// the device, the reason goes to the log, and no save replaces it or writes through a link to it.
TEST_F(StateFileTest, APipeOrADeviceInItsPlaceIsUnreadableAndKept) {
    using std::filesystem::file_type;
    MakeState(1);
    const TFifoWatch elsewhere(AppDataFolder + "pipe");
    ASSERT_TRUE(elsewhere.Made());
    const struct {
        const char* name;
        std::function<void()> make;
        file_type type;
        bool saved; // a save is tried (not through a link to /dev, which a test run by root may write)
    } cases[] = {
        {"pipe", [] {}, file_type::fifo, true},
        {"link to a pipe", [&] { std::filesystem::create_symlink("pipe", StatesFileName); },
         file_type::symlink, true},
        {"link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", StatesFileName); },
         file_type::symlink, false},
        {"folder", [&] { std::filesystem::create_directory(StatesFileName); }, file_type::directory, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<TFifoWatch> here;
        if (c.type == file_type::fifo)
            here = std::make_unique<TFifoWatch>(StatesFileName);
        c.make();
        errors.clear();
        log.clear();
        EXPECT_TRUE(Read());
        EXPECT_EQ(errors, std::vector<std::string>{CannotOpen});
        EXPECT_EQ(log, std::vector<std::string>{ReadErrorLine + "not a regular file"});
        EXPECT_TRUE(StatesNotLoaded);
        EXPECT_TRUE(prompts.empty());
        if (c.saved) {
            errors.clear();
            log.clear();
            writeFailures.clear();
            EXPECT_FALSE(Write());
            EXPECT_EQ(writeFailures, std::vector<std::string>{"not a regular file"});
            EXPECT_TRUE(errors.empty());
            EXPECT_TRUE(log.empty());
            EXPECT_FALSE(std::filesystem::exists(TStatesFileOps::TempName(StatesFileName)));
        }
        EXPECT_EQ(std::filesystem::symlink_status(StatesFileName).type(), c.type);
        EXPECT_FALSE(here && here->Released()) << "the open waited for a writer";
        here.reset();
        std::filesystem::remove(StatesFileName);
    }
    EXPECT_FALSE(elsewhere.Released()) << "an open waited for a writer";
}

// No state of 65,536 objects makes a file that large: it is refused unread, as one that cannot be
// decrypted, so the program stops and the file is kept.
TEST_F(StateFileTest, AFileLargerThanAnyStateIsRefusedUnreadAndKept) {
    for (const uint64_t size : {StatesMaxFileSize + 16, uint64_t{1} << 30, uint64_t{1} << 40}) {
        SCOPED_TRACE(size);
        { std::ofstream out(StatesFileName, std::ios::binary | std::ios::trunc); }
        std::filesystem::resize_file(StatesFileName, size); // holds nothing on disk
        errors.clear();
        log.clear();
        prompts.clear();
        EXPECT_FALSE(Read());
        EXPECT_TRUE(prompts.empty()) << "no key was tried";
        EXPECT_EQ(errors, std::vector<std::string>{CannotDecrypt});
        EXPECT_EQ(log, std::vector<std::string>{ReadErrorLine + "larger than 268435456 bytes"});
        EXPECT_TRUE(StatesNotLoaded);
        EXPECT_EQ(std::filesystem::file_size(StatesFileName), size);
    }
}

// The program never writes a file that it would refuse to read.
TEST_F(StateFileTest, AStateLargerThanTheFileMayHoldIsNotWritten) {
    MakeState(1);
    ASSERT_TRUE(Write());
    const Bytes previous = ReadFile(StatesFileName);
    // The smallest state whose file would be larger than the largest file read: records are whole
    // multiples of 4 bytes, the file of 16.
    const auto fileSize = [this] { return (StatesContentSize(settings, list) + 19) & ~uint64_t{15}; };
    list[0]->Name.assign(StatesMaxFileSize - 32 - StatesContentSize(settings, list) + list[0]->Name.size(),
                         'n');
    while (fileSize() <= StatesMaxFileSize)
        list[0]->Name += 'n';
    const uint64_t size = StatesContentSize(settings, list);
    ASSERT_EQ(size, StatesMaxFileSize); // 4 bytes more than the largest content
    EXPECT_FALSE(Write());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "CH: key init or block encription error - the state of " + std::to_string(size) +
                          " bytes is too large");
    EXPECT_EQ(ReadFile(StatesFileName), previous);
}

// ---------------------------------------------------------------------------------------------------
// Saving

TEST_F(StateFileTest, InterruptedSaveLeavesThePreviousFileReadable) {
    MakeState(2);
    ASSERT_TRUE(Write());
    Bytes previous = ReadFile(StatesFileName);
    size_t size = previous.size();

    settings.TcpPort = 999; // the state that does not get saved
    struct TCase {
        size_t failAfter;
        bool failRename;
    } cases[] = {{0, false}, {1, false}, {size / 2, false}, {size - 1, false}, {SIZE_MAX, true}};
    for (const auto& c : cases) {
        TFailingOps ops;
        ops.failAfter = c.failAfter;
        ops.failRename = c.failRename;
        writeFailures.clear();
        EXPECT_FALSE(Write(ops)) << c.failAfter;
        EXPECT_EQ(writeFailures, std::vector<std::string>{SysErrorMessage(c.failRename ? EACCES : ENOSPC)});
        EXPECT_TRUE(errors.empty());
        EXPECT_TRUE(log.empty());
        EXPECT_EQ(ReadFile(StatesFileName), previous) << c.failAfter;
        EXPECT_FALSE(std::filesystem::exists(TStatesFileOps::TempName(StatesFileName))) << c.failAfter;
    }
    errors.clear();
    ASSERT_TRUE(Read());
    EXPECT_EQ(loaded->TcpPort, 12345);
}

TEST_F(StateFileTest, LeftoverOfAKilledSaveIsRemovedAtTheNextStart) {
    MakeState(2);
    ASSERT_TRUE(Write());
    const std::string temp = TStatesFileOps::TempName(StatesFileName);
    for (bool fileThere : {true, false}) {
        if (!fileThere)
            std::filesystem::remove(StatesFileName);
        WriteFile(temp, Bytes(100, 0xAB)); // the save was killed before its rename
        errors.clear();
        ASSERT_TRUE(Read()) << fileThere;
        EXPECT_EQ(loaded->TcpPort, fileThere ? 12345 : 10001);
        EXPECT_FALSE(std::filesystem::exists(temp)) << fileThere;
    }
}

// On a full disk each save keeps the previous file and reports why it failed; what follows a failure
// is the saver's (statessaver_test).
TEST_F(StateFileTest, FullDiskKeepsThePreviousFileAndReportsEveryFailure) {
    MakeState(3);
    ASSERT_TRUE(Write());
    const Bytes previous = ReadFile(StatesFileName);
    settings.TcpPort = 999;
    {
        const TDiskFull full(previous.size() / 2);
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(Write()) << i;
            EXPECT_EQ(ReadFile(StatesFileName), previous) << i;
            EXPECT_FALSE(std::filesystem::exists(TStatesFileOps::TempName(StatesFileName))) << i;
        }
    }
    EXPECT_EQ(writeFailures, std::vector<std::string>(3, SysErrorMessage(EFBIG)));
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(log.empty());

    ASSERT_TRUE(Write()); // room again
    writeFailures.clear();
    {
        const TDiskFull full(16);
        EXPECT_FALSE(Write());
    }
    EXPECT_EQ(writeFailures, std::vector<std::string>{SysErrorMessage(EFBIG)});
    ASSERT_TRUE(Read());
    EXPECT_EQ(loaded->TcpPort, 999);
}

// A user who keeps the file elsewhere links it into the data folder: saves replace the file the link
// leads to, beside it, and the link stays.
TEST_F(StateFileTest, ASaveThroughALinkReplacesItsTargetAndKeepsTheLink) {
    const std::filesystem::path elsewhere = folder_ / "elsewhere";
    std::filesystem::create_directories(elsewhere / "deeper");
    const struct {
        const char* name;
        std::string link;   // what the link holds
        std::string target; // the file it leads to
        bool targetThere;
    } cases[] = {
        {"absolute", (elsewhere / "States.bin").string(), (elsewhere / "States.bin").string(), true},
        {"relative", "../elsewhere/States.bin", (elsewhere / "States.bin").string(), true},
        {"to a link", "../elsewhere/hop", (elsewhere / "deeper/States.bin").string(), true},
        {"to a file not made yet", "../elsewhere/new.bin", (elsewhere / "new.bin").string(), false},
    };
    std::filesystem::create_symlink("deeper/States.bin", elsewhere / "hop");
    MakeState(2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = StatesFileName;
        if (c.targetThere) { // an older state
            StatesFileName = c.target;
            settings.TcpPort = 1000;
            ASSERT_TRUE(Write());
            StatesFileName = path;
        }
        std::filesystem::create_symlink(c.link, StatesFileName);
        // A leftover of a killed save beside the target is removed at the start, whatever it is.
        std::filesystem::create_symlink("/dev/null", c.target + ".tmp");
        ASSERT_TRUE(Read());
        EXPECT_EQ(loaded->TcpPort, c.targetThere ? 1000 : 10001);
        EXPECT_FALSE(std::filesystem::is_symlink(c.target + ".tmp"));

        settings.TcpPort = 2000 + int(&c - cases);
        ASSERT_TRUE(Write());
        ASSERT_TRUE(std::filesystem::is_symlink(StatesFileName));
        EXPECT_EQ(std::filesystem::read_symlink(StatesFileName), c.link);
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(c.target)));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(c.target + ".tmp")));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(StatesFileName + ".tmp")));
        ASSERT_TRUE(Read());
        EXPECT_EQ(loaded->TcpPort, settings.TcpPort);

        std::filesystem::remove(StatesFileName);
        std::filesystem::remove(c.target);
    }
}

// A killed save's file, or anything else under its name, is made afresh: never written through.
TEST_F(StateFileTest, ASaveNeverWritesThroughWhatStandsUnderTheTemporaryName) {
    MakeState(1);
    const std::string victim = AppDataFolder + "victim";
    {
        std::ofstream out(victim, std::ios::binary);
        out << "keep";
    }
    std::filesystem::create_symlink(victim, TStatesFileOps::TempName(StatesFileName));
    ASSERT_TRUE(Write());
    EXPECT_EQ(ReadFile(victim), Bytes({'k', 'e', 'e', 'p'}));
    ASSERT_TRUE(Read());
    EXPECT_EQ(loaded->TcpPort, settings.TcpPort);
}

TEST_F(StateFileTest, SaveIntoAMissingFolderFailsCleanly) {
    StatesFileName = AppDataFolder + "gone/States.bin";
    EXPECT_FALSE(Write());
    EXPECT_EQ(writeFailures, std::vector<std::string>{SysErrorMessage(ENOENT)});
}

TEST_F(StateFileTest, SaveWithoutAUsableKeyWritesNothing) {
    MakeState(1);
    ASSERT_TRUE(Write());
    Bytes previous = ReadFile(StatesFileName);
    SystemPassword = "short";
    EXPECT_FALSE(Write());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("CH: key init or block encription error - ", 0), 0u) << log[0];
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(ReadFile(StatesFileName), previous);
}

TEST_F(StateFileTest, FileLayout) {
    MakeState(2);
    window = {-8, 0, 1024, 768, 400, {11, 22, 33}};
    Bytes plain = BuildStatesPlain(window, settings, list);
    uint32_t s = static_cast<uint32_t>(StatesContentSize(settings, list));
    EXPECT_EQ(s, 40 + settings.GetRecordSize() + list[0]->GetRecordSize() + list[1]->GetRecordSize());
    ASSERT_EQ(plain.size(), (s + 19) & ~15u);
    int32_t values[10];
    std::memcpy(values, plain.data(), sizeof values);
    EXPECT_EQ(values[0], 0);
    EXPECT_EQ(std::vector<int32_t>(values + 1, values + 10),
              (std::vector<int32_t>{-8, 0, 1024, 768, 400, 11, 22, 33, 0}));
    Bytes settingsRecord = RecordBytes(settings);
    EXPECT_TRUE(std::equal(settingsRecord.begin(), settingsRecord.end(), plain.begin() + 40));
    Bytes second = RecordBytes(*list[1]);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), plain.begin() + (s - second.size())));

    ASSERT_TRUE(Write());
    Bytes file = ReadFile(StatesFileName);
    ASSERT_EQ(file.size(), plain.size());
    ASSERT_TRUE(DecryptStates(file, reinterpret_cast<const uint8_t*>(Marker.data())));
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + s, file.begin()));
    if (file.size() - s > 4) {
        EXPECT_EQ(file[s], 0xFF);
    }
    uint32_t crc = Crc32_Msb(file.data(), static_cast<uint32_t>(file.size() - 4));
    EXPECT_EQ(file[file.size() - 4], crc >> 24) << "most significant byte first";
    EXPECT_EQ(file[file.size() - 1], crc & 0xFF);
}

TEST_F(StateFileTest, UpTo64KTheFileIsTheSixteenBitBlock) {
    // 100 objects with empty names: about 41 KB; then as close to the 16-bit limit as objects allow.
    int most = static_cast<int>((65516 - StatesContentSize(settings, list)) / 412);
    for (int objects : {0, 100, most}) {
        list.clear();
        for (int i = 0; i < objects; ++i)
            list.push_back(std::make_unique<TObjectStates>());
        uint32_t s = static_cast<uint32_t>(StatesContentSize(settings, list));
        ASSERT_LE(s, 65516u);
        ASSERT_TRUE(Write());
        Bytes file = ReadFile(StatesFileName);

        Bytes narrow = BuildStatesPlain(window, settings, list);
        AuthCtx cipher{};
        Auth_SetSessKey(&cipher, reinterpret_cast<const uint8_t*>(Marker.data()));
        EXPECT_EQ(Auth_EncryptBlk(&cipher, narrow.data(), uint16_t(s)), file.size());
        EXPECT_EQ(file, narrow) << objects;
        EXPECT_EQ(Auth_DecryptBlk(&cipher, narrow.data(), uint16_t(file.size())), 1);
        ASSERT_TRUE(Read());
        EXPECT_EQ(read.Objects.size(), size_t(objects));
    }
}

TEST_F(StateFileTest, ThreeHundredObjectsWithFullNamesAndPhones) {
    // Names of 60 Windows-1251 letters, phones of 20 characters: about 150 KB.
    std::string name;
    for (int i = 0; i < 60; ++i)
        name += static_cast<char>(0xC0 + i % 64);
    MakeState(300, name, "+7916123456789");
    list[299]->PinNames[2].fill('z');
    list[299]->PinNames[2][15] = '\0';
    settings.SecurityMode = smManyPasswords;
    SystemPassword = PasswordText(MakePassword("fleet"));
    ASSERT_TRUE(Write());
    EXPECT_GT(ReadFile(StatesFileName).size(), 65536u);
    answers = {"fleet"};
    ASSERT_TRUE(Read());
    ExpectLoadedAsWritten();
    EXPECT_EQ(read.Objects[299]->Name, name + "299");
    EXPECT_EQ(read.Objects[0]->Phone, "+79161234567891000000");
}

TEST_F(StateFileTest, ConnectionFlagsAreClearedOnReading) {
    MakeState(2);
    list[0]->Connected = 1;
    list[0]->ConnectedOnce = 1;
    list[1]->PowerOnSeen = 1;
    ASSERT_TRUE(Write());
    ASSERT_TRUE(Read());
    EXPECT_EQ(read.Objects[0]->Connected, 0);
    EXPECT_EQ(read.Objects[0]->ConnectedOnce, 0);
    EXPECT_EQ(read.Objects[1]->PowerOnSeen, 1);
}

// ---------------------------------------------------------------------------------------------------
// Damaged files

TEST_F(StateFileTest, FlippedByteIsRefused) {
    MakeState(3);
    ASSERT_TRUE(Write());
    Bytes good = ReadFile(StatesFileName);
    for (size_t at : {size_t(0), size_t(40), good.size() / 2, good.size() - 5, good.size() - 1}) {
        Bytes damaged = good;
        damaged[at] ^= 0x10;
        WriteFile(StatesFileName, damaged);
        errors.clear();
        EXPECT_FALSE(Read()) << at;
        EXPECT_EQ(errors, std::vector<std::string>{CannotDecrypt});
        EXPECT_EQ(ReadFile(StatesFileName), damaged);
    }
}

TEST_F(StateFileTest, TruncatedContentInsideAValidCrcIsReadSafely) {
    // Every content length closed by a valid block, each block in memory of exactly its size. What ends
    // on a record boundary reads as the records before it. A cut inside a text may still parse, the
    // block's 0xFF and zero filler ending the text, so at most one more record comes back; nothing is
    // ever read outside the block.
    MakeState(2);
    Bytes full = BuildStatesPlain(window, settings, list);
    uint32_t s = static_cast<uint32_t>(StatesContentSize(settings, list));
    std::vector<uint32_t> boundaries = {40 + settings.GetRecordSize()};
    for (const auto& o : list)
        boundaries.push_back(boundaries.back() + o->GetRecordSize());
    for (uint32_t n = 0; n <= s; ++n) {
        Bytes wrapped(full.begin(), full.begin() + n);
        wrapped.resize((n + 19) & ~15u);
        EncryptStates(wrapped, n, BuiltInKey.data());
        ASSERT_TRUE(DecryptStates(wrapped, BuiltInKey.data()));
        auto block = std::make_unique<uint8_t[]>(wrapped.size());
        std::memcpy(block.get(), wrapped.data(), wrapped.size());

        TStatesImage image;
        TDecodeResult result = DecodeStates(block.get(), wrapped.size(), image);
        size_t complete = 0;
        while (complete < boundaries.size() && boundaries[complete] <= n)
            ++complete;
        if (complete > 0 && boundaries[complete - 1] == n) {
            EXPECT_EQ(result, dcOk) << n;
            EXPECT_EQ(image.Objects.size(), complete - 1) << n;
        } else if (result == dcOk) {
            EXPECT_LE(image.Objects.size(), complete) << n;
        }
    }
}

TEST_F(StateFileTest, DamagedRecordInsideAValidCrcIsRefusedAtStartUp) {
    MakeState(2);
    Bytes plain = BuildStatesPlain(window, settings, list);
    uint32_t s = static_cast<uint32_t>(StatesContentSize(settings, list));
    int32_t groups = 1000; // more groups than the file holds
    std::memcpy(plain.data() + 40 + 188, &groups, 4);
    EncryptStates(plain, s, reinterpret_cast<const uint8_t*>(Marker.data()));
    WriteFile(StatesFileName, plain);
    EXPECT_FALSE(Read());
    EXPECT_EQ(errors, std::vector<std::string>{CannotDecrypt});
    EXPECT_TRUE(StatesNotLoaded);
    EXPECT_TRUE(read.Objects.empty());
}

// A port base whose COM number would overflow is refused by name; the file is kept and no port is made.
int portsMade = 0;

TEST_F(StateFileTest, GroupWhosePortBaseNoPortCanBeIsRefusedByNameAndTheFileKept) {
    struct TCountPorts {
        TCountPorts() {
            ReceiverPortHooks.Create = [](TReceiver&) { ++portsMade; };
        }
        ~TCountPorts() { ReceiverPortHooks.Create = nullptr; }
    } countPorts;
    portsMade = 0;
    MakeState(1);
    TReceiver& g = *settings.Receivers.back();
    g.Name = "\xC1\xE0\xE7\xE0"; // "База" in Windows-1251
    g.BaseKind = TReceiver::bkComPort;
    g.BaseID = INT32_MAX;
    ASSERT_TRUE(Write());
    const Bytes file = ReadFile(StatesFileName);
    EXPECT_FALSE(Read());
    EXPECT_EQ(errors, std::vector<std::string>{"Файл с настройками поврежден!\r\nНедопустимая база группы "
                                               "\"База\": COM2147483648"});
    EXPECT_TRUE(StatesNotLoaded);
    EXPECT_TRUE(read.Objects.empty());
    EXPECT_EQ(ReadFile(StatesFileName), file);
    EXPECT_EQ(portsMade, 0);
}

// ---------------------------------------------------------------------------------------------------
// Window values

TEST(ApplyValues, StoredGeometryWithinTheScreen) {
    const TWindowValues current{5, 6, 700, 500, 200, {1, 2, 3}};
    struct TCase {
        TWindowValues stored, expected;
    } cases[] = {
        {{100, 50, 800, 600, 300, {60, 70, 80}}, {100, 50, 800, 600, 300, {60, 70, 80}}},
        {{-8, 0, 800, 600, 300, {60, 70, 80}}, {0, 0, 800, 600, 300, {60, 70, 80}}},      // maximised
        {{1920, 1080, 800, 600, 300, {0, 0, 0}}, {0, 0, 800, 600, 300, {0, 0, 0}}},       // off screen
        {{10, 10, 2000, 600, 300, {9, 9, 9}}, {10, 10, 700, 600, 200, {9, 9, 9}}},        // too wide
        {{10, 10, 800, 600, 800, {9, 9, 9}}, {10, 10, 700, 600, 200, {9, 9, 9}}},         // panel too wide
        {{10, 10, 1920, 1200, 100, {9, 9, 9}}, {10, 10, 1920, 500, 100, {9, 9, 9}}},      // too high
        {{10, 10, 1920, 1080, 1919, {-1, 0, 5}}, {10, 10, 1920, 1080, 1919, {-1, 0, 5}}}, // exactly fits
    };
    for (const auto& c : cases) {
        TWindowValues got = ApplyValues(c.stored, current, 1920, 1080);
        EXPECT_EQ(got, c.expected) << c.stored.Left << "," << c.stored.Top << " " << c.stored.Width << "x"
                                   << c.stored.Height << " panel " << c.stored.GridPanelWidth;
    }
}

// The key of every file saved in that mode: another value would leave them all unreadable.
TEST(BuiltInKey, IsFixedAndNoText) {
    const std::array<uint8_t, 16> pinned = {0xDB, 0x1D, 0x36, 0xF4, 0x26, 0xCF, 0x99, 0xD8,
                                            0x84, 0x00, 0x8E, 0x2D, 0x3E, 0x1A, 0x3B, 0x93};
    EXPECT_EQ(BuiltInKey, pinned);
    EXPECT_NE(std::string(BuiltInKey.begin(), BuiltInKey.end()), Marker);
}

} // namespace
