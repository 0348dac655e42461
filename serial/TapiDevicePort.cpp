// The line device and its serial port: the checks before a call and the hand-over of the call's COM
// handle.
#include "serial/ErrorCodes.h"
#include "serial/Exceptions.h"
#include "serial/TapiDevice.h"

void TSioCustomTapiDevice::AssureTapiReady() {
    if (!ComPort)
        CheckException(this, ecPortNotAssigned);
    if (GetTapiState() != tsIdle)
        CheckException(this, -13928);
}

void TSioCustomTapiDevice::OpenTapiPort() {
    if (!ComPort)
        return;
}

bool TSioCustomTapiDevice::CloseTapiPort() {
    return false;
}

int TSioCustomTapiDevice::SelectDevice() {
    return 2;
}
