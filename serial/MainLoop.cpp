// The library's hold on the program's main loop: SafeYield over the framework's message pump, and
// exceptions shown as the framework shows them.
#include "platform/Application.h"
#include "serial/Utilities.h"

std::uint32_t SafeYield() {
    if (!Application)
        return 0;
    Application->ProcessMessages();
    return Application->Terminated() ? WM_QUIT : 0;
}

void ApplicationHandleException(const std::exception_ptr& error) {
    ShowException(error);
}
