// SafeYield over the framework's message pump.
#include "platform/Application.h"
#include "serial/Utilities.h"

std::uint32_t SafeYield() {
    if (!Application)
        return 0;
    Application->ProcessMessages();
    return Application->Terminated() ? WM_QUIT : 0;
}
