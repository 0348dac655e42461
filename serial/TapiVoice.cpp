// The voice side of the line device. Voice calls are not driven yet: with EnableVoice clear, which is
// how every device here is used, none of these is reached but StopWaveFile, and nothing plays.
#include "serial/TapiDevice.h"

void TSioCustomTapiDevice::CheckVoiceCapable() {}

void TSioCustomTapiDevice::MonitorDTMF(HCALL, DWORD) {}

void TSioCustomTapiDevice::StopWaveFile() {}

void TSioCustomTapiDevice::TapiDTMF(char digit, std::int32_t errorCode) {
    if (digit == '\0' || digit == ' ')
        return;
    if (OnTapiDTMF)
        OnTapiDTMF(this, digit, errorCode);
}

void TSioCustomTapiDevice::TapiWave(TWaveMessage message) {
    if (OnTapiWaveNotify)
        OnTapiWaveNotify(this, message);
}
