// The line device and its serial port: the checks before a call, the hand-over of the call's COM
// handle and its return, and the choice of a line or a COM port for the port.
#include "serial/DeviceSelectionForm.h"
#include "serial/ErrorCodes.h"
#include "serial/Exceptions.h"
#include "serial/TapiDevice.h"

namespace {

// The port's TapiCid for a handle of the call: none for a failed look-up, and none for a descriptor
// that its 16 bits cannot carry (closed here, as nobody else will).
std::uint16_t PortHandle(std::int32_t handle) {
    if (handle < 0)
        return 0;
    if (handle == 0 || handle > 0xFFFF) {
        CloseTapiCommHandle(handle);
        return 0;
    }
    return std::uint16_t(handle);
}

} // namespace

void TSioCustomTapiDevice::AssureTapiReady() {
    if (!ComPort)
        CheckException(this, ecPortNotAssigned);
    if (ComPort->TapiMode() == tmAuto)
        ComPort->SetTapiMode(tmOn);
    if (ComPort->TapiMode() != tmOn)
        CheckException(this, -13929);
    if (GetTapiState() != tsIdle)
        CheckException(this, -13928);
}

void TSioCustomTapiDevice::OpenTapiPort() {
    if (!ComPort)
        return;
    ComPort->SetOpen(false);
    // A close from inside one of the port's own handlers finishes from the loop: the port opens on
    // the call's handle after it, so that "port open" is told of a port that is open.
    while (ComPort->PortState() == psShuttingDown && SafeYield() != WM_QUIT)
        Sleep(1);
    ComPort->TapiCid = PortHandle(CidFromTapiDevice());
    try {
        ComPort->SetOpen(true); // the port now owns the handle
        if (ComPort->PortState() != psOpen) {
            PostTapiEvent(teFail); // the program ends
            return;
        }
        ComPort->FlushInBuffer();
        ComPort->FlushOutBuffer();
        ComPort->ValidDispatcher()->DeviceName = SelectedDevice();
        waitingForCall_ = false;
        PostTapiEvent(tePortOpen);
    } catch (...) {
        PostTapiEvent(teFail);
    }
}

bool TSioCustomTapiDevice::CloseTapiPort() {
    if (!ComPort)
        return false;
    const bool wasOpen = ComPort->Open();
    ComPort->SetOpen(false);
    ComPort->TapiCid = 0;
    return wasOpen;
}

int TSioCustomTapiDevice::SelectDevice() {
    TDeviceSelectionForm dialog(OwnerWindow(Owner()));
    dialog.ShowTapiDevices = ShowTapiDevices;
    dialog.ShowPorts = ShowPorts;
    dialog.FilterUnsupportedDevices = FilterUnsupportedDevices();
    dialog.EnableVoice = EnableVoice();
    dialog.TapiMode = ComPort ? ComPort->TapiMode() : tmAuto;
    if (ComPort && dialog.TapiMode == tmOff)
        dialog.ComNumber = ComPort->ComNumber();
    else
        dialog.DeviceName = SelectedDevice();
    const int result = dialog.ShowModal();
    if (result != mrOk)
        return result;
    if (dialog.TapiMode == tmOff) {
        if (ComPort) {
            ComPort->SetTapiMode(tmOff);
            ComPort->SetComNumber(dialog.ComNumber);
        }
        return result;
    }
    if (ComPort)
        ComPort->SetTapiMode(dialog.TapiMode);
    SetSelectedDevice(dialog.DeviceName);
    SetEnableVoice(EnableVoice()); // checks the new line
    return result;
}
