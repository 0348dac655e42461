// The real session manager on a loopback port, with the real main window (not shown), a profile
// editor that records what the sessions tell it, a fake clock, scripted message boxes, a temporary
// data folder, and simulated modems: a pool of them over TCP, or single ones driven by hand when a
// test needs to hold or shape what a modem writes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <QStringList>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "core/MainForm.h"
#include "core/Receiver.h"
#include "dialogs/ObjSettingsDialog.h"
#include "dialogs/SettingsDialog.h"
#include "platform/Clock.h"
#include "platform/ScriptedDialogs.h"
#include "sessions/ConnectionForm.h"
#include "sessions/ServerConnection.h"
#include "tests/core/TempFolder.h"
#include "tests/platform/TestSupport.h"
#include "tools/modem-sim/ModemClient.h"

using Bytes = std::vector<uint8_t>;

// The soft limit of descriptors raised to the hard one for a scope; not Enough when even that is short
// of what the test needs.
class TDescriptorLimit {
public:
    explicit TDescriptorLimit(rlim_t needed)
        : enough_(limit_.Hard() == RLIM_INFINITY || limit_.Hard() >= needed) {
        if (enough_)
            limit_.Set(limit_.Hard());
    }
    bool Enough() const { return enough_; }
    rlim_t Hard() const { return limit_.Hard(); }

private:
    TSoftFileLimit limit_;
    bool enough_;
};

class TRecordingProfileEditor : public TObjSettingsDialog {
public:
    // The key acknowledgement's question is the editor's own business: here it stays unasked.
    TRecordingProfileEditor() { InfoTimer.SetOnTimer({}); }
    QStringList Calls;
    bool ThrowOnConnect = false; // once
    void ObjectConnected() override {
        Calls << "ObjectConnected";
        if (std::exchange(ThrowOnConnect, false))
            throw std::runtime_error("editor failed");
    }
    void ConnectionLost() override { Calls << "ConnectionLost"; }
    void DecodeHwInfo(const HwInfo&) override { Calls << "DecodeHwInfo"; }
    void DecodeProfile1(ObjProfile*, bool authFlag) override { Calls << Decoded(1, authFlag); }
    void DecodeProfile2(ObjProfile*, bool authFlag) override { Calls << Decoded(2, authFlag); }
    void OperationDone() override { Calls << "OperationDone"; }
    void UpdateButtons() override { Calls << "UpdateButtons"; }

private:
    static QString Decoded(int part, bool authFlag) {
        return QStringLiteral("DecodeProfile%1(%2)").arg(part).arg(authFlag ? "true" : "false");
    }
};

// One simulated modem on a connection of its own, driven by the test: nothing it writes leaves before
// Flush or Write.
class TManualModem {
public:
    TManualModem(uint16_t port, const modemsim::ModemConfig& config);
    ~TManualModem();

    // Starts the session: the AUTH goes out.
    void Connect();
    // Takes what arrived from the router; false once the router has closed the connection.
    bool Read();
    bool Closed() const { return closed_; }
    Bytes TakeOutput();
    void Write(const Bytes& bytes);
    void Flush() { Write(TakeOutput()); }

    modemsim::ModemSim Modem;

private:
    int fd_ = -1;
    bool closed_ = false;
};

// A plain TCP connection to the router that sends whatever it is given.
class TRawPeer {
public:
    explicit TRawPeer(uint16_t port);
    ~TRawPeer();
    void Write(const Bytes& bytes);
    // Reads and drops what arrived; false once the router has closed the connection.
    bool StillOpen();

private:
    int fd_ = -1;
};

class SessionTest : public ::testing::Test {
protected:
    SessionTest();
    ~SessionTest() override;

    // An object of the address book with that number and modem ID.
    TObjectStates* AddObject(int id);
    // Objects first to first + count - 1 likewise, the grid and the key table made once for all.
    void AddObjects(int first, int count);
    // A group of the live settings (its name in UTF-8) with its virtual port, as the group editor's OK
    // leaves one.
    TReceiver& AddLiveGroup(const char* name, int baseKind = 0, int baseID = -1,
                            std::vector<uint32_t> members = {});
    // The COM folder's entry for COMn.
    static QString ComLink(int n);
    // A modem of kind 2 with the factory key.
    static modemsim::ModemConfig Config(uint16_t id);
    // Adds a modem to the pool, opens its connection and waits until it is authenticated.
    size_t ConnectModem(const modemsim::ModemConfig& config);

    // Pumps the router's event loop and the modems, moving the fake clock stepMs forward each round,
    // until done() holds or limitMs of real time have passed.
    bool RunUntil(const std::function<bool()>& done, int stepMs = 100, int limitMs = 5000);
    // Moves the fake clock forward by ms in steps, letting the router and the modems work in between.
    void Advance(int ms, int stepMs = 100);

    TServerConnection* SessionOf(int objectNumber) const { return form->GetConnectionByObjNum(objectNumber); }
    int SessionCount() const;     // connections still open
    QStringList LogLines() const; // without their time stamps
    bool Logged(const QString& line) const { return LogLines().contains(line); }
    int CountLogged(const QString& prefix) const;

    // One round for the modems, then the router's events for a moment.
    void PumpOnce();

    TTempFolder data, runtime;
    std::unique_ptr<TFakeClock> clock;
    std::unique_ptr<TScriptedDialogs> dialogs;
    std::unique_ptr<TSettingsDialog> settings;
    std::unique_ptr<TMainForm> main;
    std::unique_ptr<TRecordingProfileEditor> profile;
    std::unique_ptr<TConnectionForm> form;
    uint16_t port = 0;
    std::unique_ptr<modemsim::ModemPool> pool;
    std::vector<TManualModem*> manual; // pumped by RunUntil
};
