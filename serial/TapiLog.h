// The TAPI line device's companions: the history log, which appends one line per call event to a
// text file, and the abstract call-progress display, which receives every status report of the
// device. A device takes the first free log and display among its owner's components when it is
// made (SearchTapiLog, SearchStatusDisplay), or is given them; the device and its companion point at
// each other, and whichever goes first clears the other's reference. Main thread only.
//
#pragma once

#include <cstdint>
#include <string>

#include <QString>

#include "platform/Forms.h"
#include "serial/Utilities.h"

class TSioCustomTapiDevice;

enum TTapiLogCode {
    ltapiNone,
    ltapiCallStart,
    ltapiCallFinish,
    ltapiDial,
    ltapiAccept,
    ltapiAnswer,
    ltapiConnect,
    ltapiCancel,
    ltapiDrop,
    ltapiBusy,
    ltapiDialFail,
    ltapiReceivedDigit,
};

class TSioTapiLog : public TSioBaseComponent {
public:
    explicit TSioTapiLog(const void* owner);
    ~TSioTapiLog() override;

    // The history file (relative to the working folder unless absolute); empty: no logging.
    std::string TapiHistoryName = "SIOTAPI.HIS";
    // Set by the device that writes here (its SetTapiLog).
    TSioCustomTapiDevice* TapiDevice = nullptr;

    // Appends the code's line, with the date and time, to the history file; creates the file when
    // missing (also for ltapiNone, which writes nothing). A file that cannot be written raises
    // EInOutError.
    virtual void UpdateLog(TTapiLogCode code);
};

// The base of a call-progress window. A concrete display builds its window in CreateDisplay, which
// its constructor calls followed by GetProperties; its destructor calls DestroyDisplay.
class TSioAbstractTapiStatus : public TSioBaseComponent {
public:
    explicit TSioAbstractTapiStatus(const void* owner);
    ~TSioAbstractTapiStatus() override;

    // Set by the device: true after AutoAnswer, false after Dial.
    bool Answering = false;
    TSioCustomTapiDevice* TapiDevice = nullptr;

    const QString& Caption() const { return caption_; }
    bool Ctl3D() const { return ctl3D_; }
    TPosition Position() const { return position_; }
    bool Visible() const { return visible_; }
    TForm* Display() const { return display_; }

    // Store a changed value and apply it to the window, if there is one.
    void SetCaption(const QString& caption);
    void SetCtl3D(bool ctl3D);
    void SetPosition(TPosition position);
    void SetVisible(bool visible);
    // Takes the window's position, 3-D look, visibility and caption.
    void GetProperties();
    void Show();

    // Every status report of the device.
    virtual void UpdateDisplay(bool first, bool last, std::uint32_t device, std::uint32_t message,
                               std::uint32_t param1, std::uint32_t param2, std::uint32_t param3) = 0;

protected:
    virtual void CreateDisplay() = 0;
    virtual void DestroyDisplay() = 0;

    TForm* display_ = nullptr;

private:
    QString caption_ = QStringLiteral("Call Progress");
    bool ctl3D_ = true;
    TPosition position_ = poScreenCenter;
    bool visible_ = false;
};

// The first log, respectively display, without a device among the owner's components, each
// component's own components looked at before the next one; null when there is none or no owner.
TSioTapiLog* SearchTapiLog(const void* owner);
TSioAbstractTapiStatus* SearchStatusDisplay(const void* owner);

// The history line's text of a code ("  dialing " and the number for ltapiDial).
std::string TapiLogText(TTapiLogCode code, const std::string& number);
