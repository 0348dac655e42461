// Where COM port names lead: the COM folder, <common application-data folder>/com/, holds an entry
// COMn for each port that is mapped (a symbolic link to a real device such as /dev/ttyUSB0, or to a
// pseudo-terminal the router made); a port without an entry is /dev/ttyS<n-1>. Free of Qt, so the
// serial device layer can use it; platform/Shell.h gives the same folder to the forms.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// $XDG_DATA_HOME, else $HOME/.local/share (the home folder from the user database when $HOME is
// empty), without a trailing '/'.
std::string CommonAppDataPath();
std::string ComFolderPath();

// The device path of COMn: the COM folder's entry when there is one (even a link that leads
// nowhere, so that a mapped port never falls through to a built-in one), else /dev/ttyS<n-1>.
std::string ComDevicePath(std::uint32_t n);

// The port number of "COMn" or "\\.\COMn" (any letter case, n from 1); nothing for other names.
std::optional<std::uint32_t> ComPortNumber(const std::string& name);
