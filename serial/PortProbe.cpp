#include "serial/PortProbe.h"

#include <string>

#include "platform/Win32Serial.h"
#include "serial/Win32Dispatcher.h"

namespace {

// Opens and closes the device: ERROR_SUCCESS when it opened, else the reason it did not.
std::uint32_t TryOpen(const std::string& name) {
    if (UseDispatcherForAvail) {
        TSioWin32Dispatcher probe(nullptr);
        if (probe.OpenCom(name.c_str(), 64, 64) < 0)
            return GetLastError();
        probe.CloseCom();
        return ERROR_SUCCESS;
    }
    const HANDLE handle = CreateFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, INVALID_HANDLE_VALUE);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(handle);
    return ERROR_SUCCESS;
}

} // namespace

bool IsPortAvailable(std::uint32_t n) {
    if (n == 0)
        return false;
    const std::uint32_t error = TryOpen("\\\\.\\COM" + std::to_string(n));
    return error == ERROR_SUCCESS || (ShowPortsInUse && error == ERROR_ACCESS_DENIED);
}
