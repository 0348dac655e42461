// Stands in for the framework's SysErrorMessage (FormatMessage with the system's message table): the
// system's text for an error code (errno), in Windows-1251 as the event log takes it, whatever the
// language and encoding of the system's messages.
#pragma once

#include <string>

std::string SysErrorMessage(int error);
