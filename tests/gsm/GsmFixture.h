// The GSM modem window against the simulated GSM modem: the real window, the main window in a
// temporary data folder with a fake clock and scripted message boxes, and gsm-sim published as COM5 in
// that folder's COM folder, where the window finds it as a user's modem.
#pragma once

#include <functional>
#include <memory>

#include "gsm/ModemForm.h"
#include "tests/core/MainFormFixture.h"
#include "tools/gsm-sim/GsmSim.h"

class GsmModemTest : public MainFormTest {
protected:
    explicit GsmModemTest(const gsmsim::GsmConfig& config = {});
    ~GsmModemTest() override;

    // Settings of a GSM modem on COM5 (or, with a line name, on that telephony line) with PIN "1234".
    static void UseModem(const char* line = nullptr);
    // Starts the main window with those settings and lets its start-up timer connect the modem.
    void StartWithModem(const char* line = nullptr);

    // RunGsmCycle (tests/gsm/GsmCycle.h) on this window, clock and modem.
    bool RunCycle(const std::function<bool()>& done, int maxSteps = 3000);
    // Runs the cycle until the modem has served `count` more commands that begin with `prefix`.
    bool RunUntilCommand(const std::string& prefix, int count = 1);
    int CountCommands(const std::string& prefix) const;

    QString Indicator(int panel);
    // Object 5, modem ID 258, with the phone +71230000000.
    TObjectStates* AddModemObject();
    // Where the line is in the event log, -1 when it is not.
    int LogIndex(const QString& line) const { return int(LogLines().indexOf(line)); }

    gsmsim::GsmSim sim;
    std::unique_ptr<TModemForm> gsm;
};

// The factory key, with which a modem answers before it has a key of its own.
extern const std::uint8_t FactoryKey[16];
