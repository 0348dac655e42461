// A serial line for tests that carries what a pseudo-terminal cannot: modem-status lines, line
// errors and breaks, XOFF states, a failing read; and a write that stalls (the far end stops
// reading: its pipe holds 4096 bytes).
//
// Install(name) makes CreateFile of that name open a device on this line, or fail with an errno.
// The test plays the far end: Send puts bytes on the line, Receive takes what the device wrote.
// Includes platform/CommDevice.h, so not <termios.h>.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <vector>

#include "platform/CommDevice.h"

class TFakeLine : public std::enable_shared_from_this<TFakeLine> {
public:
    TFakeLine();
    ~TFakeLine();

    // Opens of `name` find this line; with refuseErrno set they fail with it.
    void Install(const std::string& name);
    void Uninstall();
    int RefuseErrno = 0;

    // The far end.
    void Send(const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> Receive(); // what is there now
    void HangUp();                       // the far end goes away

    // The lines the far end drives: TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CAR. A change counts as a
    // transition of each line that changed.
    void SetLines(int bits);
    void InjectErrors(int overrun, int parity, int frame, int breaks, int bufferOverrun = 0);
    void SetXoff(bool held, bool sent);
    void FailReads(int error); // 0: reads work again

    // What the device was told.
    int Lines(); // TIOCM_DTR and TIOCM_RTS as set, with the far end's lines
    bool BreakOn();
    int BreaksSent(); // times the break went on
    termios2 Settings();
    int SettingsWrites();
    std::uint64_t BytesWritten();
    std::uint64_t BytesWrittenAtLastSettings();
    int InputFlushes();
    bool Rs485();
    int Opens();
    int LineReads(); // times the lines were read

private:
    friend class TFakeCommDevice;
    void Changed(); // wakes the device's watcher

    std::mutex lock_;
    int toDevice_[2] = {-1, -1};   // the far end writes [1], the device reads [0]
    int fromDevice_[2] = {-1, -1}; // the device writes [1], the far end reads [0]
    termios2 settings_{};
    int settingsWrites_ = 0;
    int lines_ = 0;
    int lineReads_ = 0;
    serial_icounter_struct counters_{};
    bool breakOn_ = false;
    int breaksSent_ = 0;
    bool xoffHeld_ = false, xoffSent_ = false;
    int readErrno_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t writtenAtSettings_ = 0;
    int inputFlushes_ = 0;
    bool rs485_ = false;
    int opens_ = 0;
    std::function<void()> watcher_;
    std::string installedName_;
};
