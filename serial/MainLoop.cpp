// The library's hold on the program's main loop: SafeYield over the framework's message pump, and
// exceptions shown as the framework shows them.
#include "platform/Application.h"
#include "platform/Messages.h"
#include "serial/Utilities.h"

// The framework runs every event that waits; of the window messages among them the last one names
// what was handled.
std::uint32_t SafeYield() {
    if (!Application)
        return 0;
    const std::uint64_t before = LastMessageRun().Count;
    Application->ProcessMessages();
    if (Application->Terminated())
        return WM_QUIT;
    const TMessageRun run = LastMessageRun();
    if (run.Count == before)
        return 0;
    return (run.Message & 0xFFFF) | std::uint32_t(run.Window & 0xFFFF) << 16;
}

void ApplicationHandleException(const std::exception_ptr& error) {
    ShowException(error);
}
