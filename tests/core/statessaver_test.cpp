// The state file written on the saver's thread: the same bytes as ever, in the order given, the newest
// waiting state only, and each end reported on the main thread.
#include "core/StatesSaver.h"
#include "protocol/tmgsm.h"
#include "tests/core/TempFolder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

const TWindowValues Window{10, 20, 800, 600, 300, {50, 120, 90}};

// A state of many objects, names of every length up to 36 characters.
void MakeObjects(int count, TObjectList& objects) {
    for (int i = 0; i < count; ++i) {
        auto o = std::make_unique<TObjectStates>();
        o->ObjectNumber = i + 1;
        o->ModemID = (i * 7919) % 65536;
        o->Name = "object " + std::to_string(i) + std::string(std::size_t(i % 37), 'n');
        o->Phone = "+7916" + std::to_string(1000000 + i);
        o->Password = MakePassword("Key" + std::to_string(100000000000 + i));
        o->LastDataTime = 45000.25 + i;
        o->DevIDs = {i % 5, -1, i % 3, -1};
        objects.push_back(std::move(o));
    }
}

std::string Digest(const std::string& bytes) {
    Md5Ctx md5;
    Md5_Init(&md5);
    Md5_Update(&md5, reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
    uint8_t digest[16];
    Md5_Final(&md5, digest, 1);
    std::string text;
    char hex[3];
    for (const uint8_t b : digest) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        text += hex;
    }
    return text;
}

// Writing that waits while held, or fails with ENOSPC.
class THeldOps : public TStatesFileOps {
public:
    bool fail = false;

    void Hold() {
        const std::lock_guard lock(mutex_);
        held_ = true;
    }
    void Release() {
        {
            const std::lock_guard lock(mutex_);
            held_ = false;
        }
        released_.notify_all();
    }
    // Waits, with a bound, until a write waits on the hold.
    bool WaitUntilHeld() {
        std::unique_lock lock(mutex_);
        return waitingWriter_.wait_for(lock, std::chrono::seconds(10), [this] { return writerHeld_; });
    }

protected:
    ssize_t WriteSome(int fd, const uint8_t* data, size_t n) override {
        {
            std::unique_lock lock(mutex_);
            writerHeld_ = held_;
            waitingWriter_.notify_all();
            released_.wait(lock, [this] { return !held_; });
            writerHeld_ = false;
            if (fail) {
                errno = ENOSPC;
                return -1;
            }
        }
        return TStatesFileOps::WriteSome(fd, data, n);
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable released_, waitingWriter_;
    bool held_ = false, writerHeld_ = false;
};

class StatesSaverTest : public ::testing::Test {
protected:
    StatesSaverTest() {
        StatesFileName = folder.Path() + "States.bin";
        SystemPassword = std::string(NoPassword);
        StatesSaveFailing = false;
    }
    ~StatesSaverTest() override { StatesFileName.clear(); }

    TStatesSnapshot Snapshot(const TSettings& settings, const TObjectList& objects) {
        TStatesSnapshot snapshot;
        EXPECT_TRUE(TakeStatesSnapshot(Window, settings, objects, {}, snapshot));
        return snapshot;
    }

    TTempFolder folder;
};

// The digest of the file that the saving code wrote for this state before it had a thread.
TEST_F(StatesSaverTest, FileOfManyObjectsIsTheSameByteForByte) {
    TSettings settings;
    TObjectList objects;
    MakeObjects(3000, objects);
    TStatesSaver saver;
    std::vector<TStatesWritten> ended;
    saver.OnWritten = [&](const TStatesWritten& written) { ended.push_back(written); };
    saver.Save(Snapshot(settings, objects));
    saver.Wait();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_TRUE(ended[0].Ok);
    const std::string file = ReadFile(StatesFileName);
    EXPECT_EQ(file.size(), 1356848u);
    EXPECT_EQ(Digest(file), "079cf0aece4db7ca11e4899f83da8749");
    ASSERT_TRUE(WriteStates(Window, settings, objects, {})); // and the save without the thread
    EXPECT_EQ(ReadFile(StatesFileName), file);

    TSettings read;
    TStatesRead states;
    ASSERT_TRUE(ReadStates(read, states, {}));
    ASSERT_EQ(states.Objects.size(), objects.size());
    EXPECT_EQ(states.Objects[2999]->Name, objects[2999]->Name);
}

// While one state is written, the later ones wait; of those only the newest is written, and each end
// is reported on the main thread, through its event loop.
TEST_F(StatesSaverTest, WritesInOrderTheNewestWaitingStateAndReportsOnTheMainThread) {
    THeldOps ops;
    TStatesSaver saver(ops);
    std::vector<bool> onMain;
    saver.OnWritten = [&](const TStatesWritten& written) {
        EXPECT_TRUE(written.Ok);
        onMain.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
    };
    TSettings settings;
    TObjectList objects;
    MakeObjects(10, objects);
    ops.Hold();
    settings.TcpPort = 1;
    saver.Save(Snapshot(settings, objects));
    ASSERT_TRUE(ops.WaitUntilHeld());
    EXPECT_TRUE(saver.Busy());
    for (const int port : {2, 3}) {
        settings.TcpPort = port;
        saver.Save(Snapshot(settings, objects));
    }
    EXPECT_TRUE(onMain.empty());
    ops.Release();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (onMain.size() < 2 && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(onMain, std::vector<bool>({true, true})); // the first and the last
    saver.Wait();
    EXPECT_EQ(onMain.size(), 2u);
    EXPECT_FALSE(saver.Busy());
    TSettings read;
    TStatesRead states;
    ASSERT_TRUE(ReadStates(read, states, {}));
    EXPECT_EQ(read.TcpPort, 3);
}

// A failed write keeps the previous file and reports the errno; the failure is told once, as a save
// on the main thread tells it.
TEST_F(StatesSaverTest, FailedWriteKeepsTheFileAndReportsItsError) {
    TSettings settings;
    TObjectList objects;
    MakeObjects(10, objects);
    ASSERT_TRUE(WriteStates(Window, settings, objects, {}));
    const std::string previous = ReadFile(StatesFileName);
    THeldOps ops;
    ops.fail = true;
    TStatesSaver saver(ops);
    std::vector<std::string> lines, boxes;
    TStatesHooks hooks;
    hooks.PrintMessage = [&](const std::string& line) { lines.push_back(line); };
    hooks.ShowError = [&](const std::string& text) { boxes.push_back(text); };
    std::vector<TStatesWritten> ended;
    saver.OnWritten = [&](const TStatesWritten& written) {
        ended.push_back(written);
        StatesWriteEnded(written, hooks);
    };
    settings.TcpPort = 77;
    for (int save = 0; save < 2; ++save) {
        saver.Save(Snapshot(settings, objects));
        saver.Wait();
    }
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_FALSE(ended[0].Ok);
    EXPECT_EQ(ended[0].Error, ENOSPC);
    EXPECT_EQ(ReadFile(StatesFileName), previous);
    EXPECT_FALSE(FileExists(TStatesFileOps::TempName(StatesFileName)));
    EXPECT_EQ(lines, std::vector<std::string>({"CH: States.bin writing error - " + ReplaceProblem(ENOSPC)}));
    EXPECT_EQ(boxes, std::vector<std::string>({"Невозможно записать файл с состояниями объектов"}));
    EXPECT_TRUE(StatesSaveFailing);
}

// What waits when the saver goes is written first: nothing given to it is lost at exit.
TEST_F(StatesSaverTest, DestroyingTheSaverWritesWhatWaits) {
    TSettings settings;
    TObjectList objects;
    MakeObjects(10, objects);
    THeldOps ops;
    {
        TStatesSaver saver(ops);
        ops.Hold();
        settings.TcpPort = 5;
        saver.Save(Snapshot(settings, objects));
        ASSERT_TRUE(ops.WaitUntilHeld());
        settings.TcpPort = 6;
        saver.Save(Snapshot(settings, objects));
        ops.Release();
    }
    TSettings read;
    TStatesRead states;
    ASSERT_TRUE(ReadStates(read, states, {}));
    EXPECT_EQ(read.TcpPort, 6);
}

} // namespace
