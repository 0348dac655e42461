// Stands in for the virtual serial port control (TVirtualPortAx): one virtual COM port over a
// pseudo-terminal pair.
//
// CreatePort("COMn") makes the pair, sets the slave raw (no echo, no line discipline, every byte value
// passes) and publishes COMn in the COM folder as a symlink to the slave, which PC software opens; a
// link removed while the port lives is published again. The control keeps the master. It is ready while some
// program holds the port open; while nobody does, the control waits for an open without polling, and Write
// takes nothing, so that the data waits where it is (bytes written into a pty nobody holds would be handed to
// the next program that opens it). OnRxChar reports bytes that the program wrote; a handler that reads fewer
// than it was told holds further reports until ResumeRx, so that a writer faster than its readers is held
// back by the pty's own buffer. Destruction closes the pair and removes the link. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QObject>
#include <QString>

class QSocketNotifier;

class TVirtualPortAx : public QObject {
public:
    // owner: the parent that deletes the control when it is not deleted before.
    explicit TVirtualPortAx(QObject* owner = nullptr);
    ~TVirtualPortAx() override;
    TVirtualPortAx(const TVirtualPortAx&) = delete;
    TVirtualPortAx& operator=(const TVirtualPortAx&) = delete;

    // True: COMn did not exist and now is this control's port. False when the name is no "COM" and a
    // number from 1 to 256, the control already serves a port, the COM folder already has an entry of
    // that name, or the pair or the link cannot be made.
    bool CreatePort(const QString& portName);
    // True: the control now serves COMn, whose entry was a leftover of an earlier run (a link to a
    // pty, or a link to nothing), replaced by a link to a new pair. A link to a device of the machine,
    // or a port that another control of this process serves, is left alone (false).
    bool Attach(const QString& portName);
    // A pty has no baud rate or modem lines to hold; the settings are kept and change nothing.
    int SetStrictBaudrate(int strict);
    int SetWiring(int dtr, int rts, int out1, int out2);

    // Writes up to count bytes for the program; the number taken, 0 while the port is not ready or
    // its buffer is full, and for a moment after each open of it by a program: programs purge their
    // input while they set a port up, which would lose what was written in between.
    int Write(const std::uint8_t* buffer, int count);
    static constexpr int SettleMs = 100;
    // Reads up to count bytes the program wrote; the number read.
    int Read(std::uint8_t* buffer, int count);
    // The ready property: some program holds the port open, as the last sign of the port's opening
    // or closing that reached the control from the event loop left it (Write asks the system itself).
    bool Ready() const;
    // Lets a held port report waiting bytes again (soon, from the event loop).
    void ResumeRx();

    // (sender, count): count bytes wait to be read.
    std::function<void(TVirtualPortAx* sender, int count)> OnRxChar;
    int Tag = 0;

    QString PortName() const { return name_; } // "COMn" while it serves a port
    QString LinkPath() const { return link_; }
    QString SlavePath() const { return slave_; }

private:
    bool Open(const QString& portName, bool replace);
    void Release();
    void Service();
    void Report(bool ready);
    // Asks the system whether some program holds the port; keeps the answer for Ready.
    bool Poll(bool* opensQueued = nullptr);
    void TakeLeftOver();
    bool Settled(bool ready, bool opensQueued = true);
    int Waiting() const;
    int WatchFolder(const QString& folder);
    void Republish();

    int master_ = -1;
    int watch_ = -1;       // of the slave's opens and closes by other programs
    int folderWatch_ = -1; // of entries leaving the COM folder
    QSocketNotifier* readNotifier_ = nullptr;
    QString name_, link_, slave_;
    bool ready_ = false;
    bool held_ = false;
    int taken_ = 0; // bytes read during the current report
    // Bytes a program wrote before it closed the port, taken off the hung-up master.
    std::vector<std::uint8_t> leftOver_;
    // The programs' opens seen so far; settled_ tells whether the last one is SettleMs old.
    unsigned opensSeen_ = 0;
    unsigned changesSeen_ = ~0u; // of the open watch, at the last look at opensSeen_
    unsigned settles_ = 0;
    bool settled_ = false;
    int strictBaudrate_ = 0;
    int wiring_[4] = {};
};

// While one lives, the ports served in one pass over them take the programs' opens from the system
// once, at the first port that asks, instead of once for every port. Meant for passes that report what
// programs wrote (every held port resumed): an open missed there starts its moment at the next write,
// which asks afresh. A write in a pass could meet a program still setting the port up. Passes nest;
// the next pass asks afresh.
class TPortPass {
public:
    TPortPass() {
        if (Depth++ == 0)
            ++Number;
    }
    ~TPortPass() { --Depth; }
    TPortPass(const TPortPass&) = delete;
    TPortPass& operator=(const TPortPass&) = delete;

    static inline int Depth = 0;
    static inline unsigned Number = 0; // of the outermost pass, counted from 1
};

// Whether a control of this process serves the port ("COMn", compared without regard to case).
bool IsOwnVirtualPort(const QString& portName);
// The COM number of "COMn" (1 to 256), else 0.
int ComPortNumber(const QString& portName);
