// The device among the components of its form: it takes a serial port, a status display and a
// history log that come along, forgets those that go, and copies another device's settings.
#include "serial/TapiDevice.h"

namespace {

// A port that the device hands calls to runs on them: it opens only when a call is connected.
void TakeOverPort(TSioCustomComPort& port) {
    if (port.TapiMode() != tmAuto)
        return;
    port.SetTapiMode(tmOn);
    port.SetAutoOpen(false);
    port.SetOpen(false);
}

} // namespace

void TSioCustomTapiDevice::Notification(TSioBaseComponent* component, TOperation operation) {
    if (!component)
        return;
    if (operation == opRemove) {
        if (component == ComPort)
            ComPort = nullptr;
        if (component == statusDisplay_)
            SetStatusDisplay(nullptr);
        if (component == tapiLog_)
            SetTapiLog(nullptr);
        return;
    }
    if (auto* port = dynamic_cast<TSioCustomComPort*>(component); port && !ComPort) {
        ComPort = port;
        TakeOverPort(*port);
    }
    if (auto* display = dynamic_cast<TSioAbstractTapiStatus*>(component);
        display && !display->TapiDevice && !statusDisplay_)
        SetStatusDisplay(display);
    if (auto* log = dynamic_cast<TSioTapiLog*>(component); log && !log->TapiDevice && !tapiLog_)
        SetTapiLog(log);
}

void TSioCustomTapiDevice::Loaded() {
    TSioBaseComponent::Loaded();
    if (ComPort)
        return;
    ComPort = TSioCustomComPort::SearchComPort(Owner());
    if (ComPort)
        TakeOverPort(*ComPort);
}

// Open is not copied: the line is the source's. The status display and the history log serve one
// device each, which they point back at: a shared reference would outlive whichever goes first.
void TSioCustomTapiDevice::Assign(const TSioCustomTapiDevice& source) {
    tapiDevices_.clear();
    dialing_ = source.dialing_;
    selectedDevice_ = source.selectedDevice_;
    deviceCount_ = source.deviceCount_;
    MaxAttempts = source.MaxAttempts;
    AnswerOnRing = source.AnswerOnRing;
    attempt_ = source.attempt_;
    RetryWait = source.RetryWait;
    ShowTapiDevices = source.ShowTapiDevices;
    ComPort = source.ComPort;
    TCallInfo* copy = nullptr;
    source.CopyCallInfo(copy);
    callInfo_.reset(copy);
}
