// The state file written on the writer's thread: the same bytes as ever, in the order given, the newest
// waiting state only, and each end reported on the main thread.
#include "core/StatesSaver.h"
#include "core/StatesWriter.h"
#include "protocol/tmgsm.h"
#include "tests/core/HeldFileOps.h"
#include "tests/core/TempFolder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <cstdio>
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

class StatesWriterTest : public ::testing::Test {
protected:
    StatesWriterTest() {
        StatesFileName = folder.Path() + "States.bin";
        SystemPassword = std::string(NoPassword);
    }
    ~StatesWriterTest() override { StatesFileName.clear(); }

    TStatesSnapshot Snapshot(const TSettings& settings, const TObjectList& objects) {
        TStatesSnapshot snapshot;
        EXPECT_TRUE(TakeStatesSnapshot(Window, settings, objects, {}, snapshot));
        return snapshot;
    }

    TTempFolder folder;
};

// The digest of the file that the saving code wrote for this state before it had a thread.
TEST_F(StatesWriterTest, FileOfManyObjectsIsTheSameByteForByte) {
    TSettings settings;
    TObjectList objects;
    MakeObjects(3000, objects);
    TStatesWriter writer;
    std::vector<TStatesWritten> ended;
    writer.OnWritten = [&](const TStatesWritten& written) { ended.push_back(written); };
    writer.Write(Snapshot(settings, objects));
    writer.Wait();
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
TEST_F(StatesWriterTest, WritesInOrderTheNewestWaitingStateAndReportsOnTheMainThread) {
    THeldOps ops;
    TStatesWriter writer(ops);
    std::vector<bool> onMain;
    writer.OnWritten = [&](const TStatesWritten& written) {
        EXPECT_TRUE(written.Ok);
        onMain.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
    };
    TSettings settings;
    TObjectList objects;
    MakeObjects(10, objects);
    ops.Hold();
    settings.TcpPort = 1;
    writer.Write(Snapshot(settings, objects));
    ASSERT_TRUE(ops.WaitUntilHeld());
    EXPECT_TRUE(writer.Busy());
    for (const int port : {2, 3}) {
        settings.TcpPort = port;
        writer.Write(Snapshot(settings, objects));
    }
    EXPECT_TRUE(onMain.empty());
    ops.Release();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (onMain.size() < 2 && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(onMain, std::vector<bool>({true, true})); // the first and the last
    writer.Wait();
    EXPECT_EQ(onMain.size(), 2u);
    EXPECT_FALSE(writer.Busy());
    TSettings read;
    TStatesRead states;
    ASSERT_TRUE(ReadStates(read, states, {}));
    EXPECT_EQ(read.TcpPort, 3);
}

// A failed write keeps the previous file and reports the errno; the saver that started it hears of
// it on the main thread and tells it as a failed save: every failure logged, the box once.
TEST_F(StatesWriterTest, FailedWriteKeepsTheFileAndReportsItsError) {
    TSettings settings;
    TObjectList objects;
    MakeObjects(10, objects);
    ASSERT_TRUE(WriteStates(Window, settings, objects, {}));
    const std::string previous = ReadFile(StatesFileName);
    THeldOps ops;
    ops.fail = true;
    TStatesWriter writer(ops);
    TStatesSaver saver;
    std::vector<std::string> lines;
    int boxes = 0;
    saver.PrintMessage = [&](const std::string& line) { lines.push_back(line); };
    saver.ShowWriteError = [&] { ++boxes; };
    settings.TcpPort = 77;
    saver.Write = [&] {
        writer.Write(Snapshot(settings, objects));
        return true;
    };
    std::vector<TStatesWritten> ended;
    writer.OnWritten = [&](const TStatesWritten& written) {
        ended.push_back(written);
        saver.Written(written.Ok, ReplaceProblem(written.Error));
    };
    StatesNotLoaded = false;
    for (int save = 0; save < 2; ++save) {
        EXPECT_FALSE(saver.Save(scIdle));
        writer.Wait();
    }
    StatesNotLoaded = true;
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_FALSE(ended[0].Ok);
    EXPECT_EQ(ended[0].Error, ENOSPC);
    EXPECT_EQ(ReadFile(StatesFileName), previous);
    EXPECT_FALSE(FileExists(TStatesFileOps::TempName(StatesFileName)));
    const std::string line = "CH: States.bin writing error - " + ReplaceProblem(ENOSPC);
    EXPECT_EQ(lines, std::vector<std::string>({line, line + " (2 failures in a row)"}));
    EXPECT_EQ(boxes, 1);
    EXPECT_TRUE(saver.Unsaved());
}

// What waits when the writer goes is written first: nothing given to it is lost at exit.
TEST_F(StatesWriterTest, DestroyingTheWriterWritesWhatWaits) {
    TSettings settings;
    TObjectList objects;
    MakeObjects(10, objects);
    THeldOps ops;
    {
        TStatesWriter writer(ops);
        ops.Hold();
        settings.TcpPort = 5;
        writer.Write(Snapshot(settings, objects));
        ASSERT_TRUE(ops.WaitUntilHeld());
        settings.TcpPort = 6;
        writer.Write(Snapshot(settings, objects));
        ops.Release();
    }
    TSettings read;
    TStatesRead states;
    ASSERT_TRUE(ReadStates(read, states, {}));
    EXPECT_EQ(read.TcpPort, 6);
}

} // namespace
