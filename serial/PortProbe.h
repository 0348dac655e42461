// Whether COM port n can be used: it exists and this program may have it, or another program holds
// it. Main thread; it opens the device (non-blocking, not as a controlling terminal, changing no
// setting or line) and closes it again at once.
#pragma once

#include <cstdint>

// Probe through a Win32 dispatcher rather than opening the device directly.
inline constexpr bool UseDispatcherForAvail = true;
// A port that another program holds (access denied) counts as available.
inline constexpr bool ShowPortsInUse = true;

// False for 0 without touching any device, and for a port that does not exist or fails otherwise.
bool IsPortAvailable(std::uint32_t n);
