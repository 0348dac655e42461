// When the state file is saved and what follows a failed save, on the fake clock with a writer that
// fails on request.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "core/StateFile.h"
#include "core/StatesSaver.h"
#include "platform/Clock.h"

namespace {

class StatesSaverTest : public testing::Test {
protected:
    StatesSaverTest() {
        StatesNotLoaded = false;
        // The writer reports at once unless the test holds its ends back.
        saver.Write = [this] {
            writes.push_back(clock.Ms() - start);
            if (!holdEnds)
                saver.Written(failWith.empty(), failWith);
            return true;
        };
        saver.PrintMessage = [this](const std::string& line) { log.push_back(line); };
        saver.ShowWriteError = [this] { ++boxes; };
        saver.ConfirmReplaceUnread = [this] {
            ++questions;
            return agree;
        };
        saver.OnUnsavedChanged = [this] { unsavedShown.push_back(saver.Unsaved()); };
    }
    ~StatesSaverTest() override { StatesNotLoaded = true; }

    // Ms since the test began.
    std::int64_t Elapsed() const { return clock.Ms() - start; }

    TFakeClock clock;
    const std::int64_t start = clock.Ms();
    TStatesSaver saver;
    std::string failWith;
    bool holdEnds = false;
    bool agree = false;
    std::vector<std::int64_t> writes;
    std::vector<std::string> log;
    std::vector<bool> unsavedShown;
    int boxes = 0, questions = 0;
};

const std::string Full = "No space left on device";
const std::string WriteError = "CH: States.bin writing error - " + Full;

// The log never rests for 5 s: a change is saved MaxSaveDelayMs after it, however many follow it,
// and the next change counts from itself.
TEST_F(StatesSaverTest, UnderSteadyTrafficAChangeIsSavedWithinTheMaximumDelay) {
    for (int second = 0; second < 150; ++second) {
        saver.Changed();
        clock.Advance(1000);
    }
    EXPECT_EQ(writes, (std::vector<std::int64_t>{60'000, 120'000}));
    // An idle save in between starts the count again at the next change.
    saver.Save(scIdle);
    clock.Advance(59'000);
    EXPECT_EQ(writes.size(), 3u);
    saver.Changed();
    clock.Advance(MaxSaveDelayMs - 1);
    EXPECT_EQ(writes.size(), 3u);
    clock.Advance(1);
    EXPECT_EQ(writes.back(), Elapsed());
    clock.Advance(10 * MaxSaveDelayMs);
    EXPECT_EQ(writes.size(), 4u) << "nothing changed, nothing saved";
}

// After the exit's save nothing starts a save of its own accord: neither a change, nor the idle
// save, nor a retry of a failed one.
TEST_F(StatesSaverTest, AfterTheStopNothingSavesOfItsOwnAccord) {
    failWith = Full;
    EXPECT_FALSE(saver.Save(scExit));
    saver.Stop();
    saver.Changed();
    EXPECT_FALSE(saver.Save(scIdle));
    clock.Advance(2 * MaxSaveDelayMs);
    EXPECT_EQ(writes, (std::vector<std::int64_t>{0})) << "the exit's own save alone";
}

// A failed save is tried again every RetryIntervalMs until one succeeds; each failure is logged with
// its count, the box comes once for the run of failures, and the state shows as unsaved meanwhile.
TEST_F(StatesSaverTest, AFailedSaveIsTriedAgainUntilOneSucceeds) {
    failWith = Full;
    EXPECT_FALSE(saver.Save(scIdle));
    EXPECT_TRUE(saver.Unsaved());
    clock.Advance(3 * RetryIntervalMs);
    EXPECT_EQ(writes, (std::vector<std::int64_t>{0, 5000, 10'000, 15'000}));
    EXPECT_EQ(log, (std::vector<std::string>{WriteError, WriteError + " (2 failures in a row)",
                                             WriteError + " (3 failures in a row)",
                                             WriteError + " (4 failures in a row)"}));
    EXPECT_EQ(boxes, 1);
    failWith.clear(); // room again
    clock.Advance(RetryIntervalMs);
    EXPECT_EQ(writes.size(), 5u);
    EXPECT_EQ(log.back(), "CH: States.bin is written again after 4 failed saves");
    EXPECT_FALSE(saver.Unsaved());
    EXPECT_EQ(unsavedShown, (std::vector<bool>{true, false}));
    clock.Advance(10 * RetryIntervalMs);
    EXPECT_EQ(writes.size(), 5u) << "no retry after a good save";

    // Full again: a new run of failures, with its own box.
    failWith = Full;
    saver.Changed();
    EXPECT_FALSE(saver.Save(scIdle));
    EXPECT_EQ(boxes, 2);
    EXPECT_EQ(log.back(), WriteError);
}

// Who asked for the save decides about the box: the operator hears of every failure of his own
// commands, an exit a signal started shows none, and an exit is not retried.
TEST_F(StatesSaverTest, TheBoxComesOncePerRunOfFailuresAndForEveryCommandOfTheOperator) {
    const struct {
        const char* name;
        std::vector<TSaveCause> saves;
        int boxes;
        bool retried; // a retry is armed after the last
    } cases[] = {
        {"background saves", {scIdle, scMaxDelay, scRetry, scIdle}, 1, true},
        {"operator after the box", {scIdle, scOperator, scOperator}, 3, true},
        {"exit", {scExit}, 1, false},
        {"exit after the box", {scIdle, scExit}, 1, false},
        {"exit on a signal", {scSignalExit}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        failWith = Full;
        boxes = 0;
        for (const TSaveCause cause : c.saves)
            EXPECT_FALSE(saver.Save(cause));
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_EQ(saver.RetryTimer.Enabled(), c.retried);
        failWith.clear();
        EXPECT_TRUE(saver.Save(scIdle)); // the run of failures ends
    }
}

// A writer that could not even build the file (no usable key, a state too large) has said why itself:
// the same state would fail again, so it is neither retried nor shown, but it is unsaved.
TEST_F(StatesSaverTest, AFailureTheWriterToldItselfIsNotRetried) {
    saver.Write = [this] {
        writes.push_back(Elapsed());
        return false;
    };
    EXPECT_FALSE(saver.Save(scIdle));
    clock.Advance(10 * RetryIntervalMs);
    EXPECT_EQ(writes.size(), 1u);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(boxes, 0);
    EXPECT_TRUE(saver.Unsaved());
}

// A file that could not be read at start is kept: saves of the saver's own accord and the exit skip it
// (the log says why, once); a command of the operator asks first and writes only on Yes.
TEST_F(StatesSaverTest, AFileNotReadIsReplacedOnlyWithTheOperatorsWord) {
    StatesNotLoaded = true;
    for (const TSaveCause cause : {scIdle, scMaxDelay, scIdle, scExit, scSignalExit})
        EXPECT_FALSE(saver.Save(cause));
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(log, std::vector<std::string>{
                       "CH: States.bin is not written - it could not be read at start and is kept"});
    EXPECT_TRUE(saver.Unsaved());
    EXPECT_EQ(questions, 0);

    log.clear();
    EXPECT_FALSE(saver.Save(scOperator)); // No
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(log, std::vector<std::string>{"CH: States.bin is not written - the operator keeps the file "
                                            "that could not be read at start"});

    agree = true;
    failWith = Full; // agreed, then the disk is full: the retries need no second question
    EXPECT_FALSE(saver.Save(scOperator));
    clock.Advance(RetryIntervalMs);
    EXPECT_EQ(writes.size(), 2u);
    EXPECT_EQ(questions, 2);
    EXPECT_EQ(log[1], "CH: States.bin that could not be read at start is replaced at the operator's word");
    failWith.clear();
    clock.Advance(RetryIntervalMs);
    EXPECT_FALSE(StatesNotLoaded) << "the file is this run's own now";
    EXPECT_FALSE(saver.Unsaved());
}

// A write goes on after its save returned: saves asked for meanwhile wait for its end and the first of
// them follows it, keeping the box of the operator's command; its failure is the saver's as ever.
TEST_F(StatesSaverTest, ASaveWhileAWriteIsUnderWayFollowsItsEnd) {
    holdEnds = true;
    EXPECT_FALSE(saver.Save(scIdle));
    EXPECT_TRUE(saver.Writing());
    saver.Changed();
    clock.Advance(MaxSaveDelayMs); // the change's save falls due
    EXPECT_FALSE(saver.Save(scOperator));
    EXPECT_FALSE(saver.Save(scIdle));
    EXPECT_EQ(writes.size(), 1u) << "one write at a time";
    saver.Written(false, Full);
    EXPECT_EQ(writes.size(), 2u) << "the waiting save follows at once";
    EXPECT_EQ(log, std::vector<std::string>{WriteError});
    EXPECT_EQ(boxes, 1);
    EXPECT_TRUE(saver.Unsaved());
    EXPECT_TRUE(saver.RetryTimer.Enabled());
    saver.Written(false, Full); // the operator's save: his own box
    EXPECT_EQ(boxes, 2);
    EXPECT_EQ(log.back(), WriteError + " (2 failures in a row)");
    EXPECT_EQ(writes.size(), 2u) << "nothing waits any more";
    clock.Advance(RetryIntervalMs);
    EXPECT_EQ(writes.size(), 3u);
    saver.Written(true, {});
    EXPECT_FALSE(saver.Writing());
    EXPECT_FALSE(saver.Unsaved());
    EXPECT_EQ(log.back(), "CH: States.bin is written again after 2 failed saves");
    saver.Written(false, Full); // no write of its own: ignored
    EXPECT_FALSE(saver.Unsaved());
}

// An exit waits for the write under way, then writes its own and waits for it, so that the program
// ends with the file replaced; a failure of either shows no box on a signal's exit and is not retried.
TEST_F(StatesSaverTest, AnExitWaitsForTheWriteUnderWayAndForItsOwn) {
    const struct {
        TSaveCause exit;
        bool fail;
        int boxes;
    } cases[] = {{scExit, false, 0}, {scSignalExit, false, 0}, {scExit, true, 1}, {scSignalExit, true, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.exit) + (c.fail ? " failing" : ""));
        writes.clear();
        log.clear();
        boxes = 0;
        holdEnds = true;
        std::vector<std::size_t> waits; // the writes started when a wait came
        saver.WaitWritten = [&] {
            waits.push_back(writes.size());
            saver.Written(!c.fail, c.fail ? Full : std::string());
        };
        EXPECT_FALSE(saver.Save(scIdle));
        EXPECT_EQ(saver.Save(c.exit), !c.fail);
        EXPECT_EQ(waits, (std::vector<std::size_t>{1, 2}));
        EXPECT_EQ(writes.size(), 2u);
        EXPECT_FALSE(saver.Writing());
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_FALSE(saver.RetryTimer.Enabled());
        EXPECT_EQ(log.size(), c.fail ? 2u : 0u);
        failWith.clear();
        holdEnds = false;
        EXPECT_TRUE(saver.Save(scIdle));
    }
}

// The box's own loop runs the timers: a save that comes up inside it does not start another.
TEST_F(StatesSaverTest, NoSaveStartsInsideTheBoxOfAnother) {
    failWith = Full;
    saver.ShowWriteError = [this] {
        ++boxes;
        EXPECT_FALSE(saver.Save(scIdle));
        clock.Advance(RetryIntervalMs); // the retry falls due while the box is open
    };
    EXPECT_FALSE(saver.Save(scIdle));
    EXPECT_EQ(writes.size(), 1u);
    EXPECT_EQ(boxes, 1);
    EXPECT_TRUE(saver.RetryTimer.Enabled());
}

} // namespace
