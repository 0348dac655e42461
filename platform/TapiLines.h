// The telephony lines file, tapi/lines (platform/Tapi.h tells its form): read whole, each usable
// "name=device" line a line of the provider, each other one a warning (platform/Warning.h).
#pragma once

#include <vector>

#include "platform/TapiLineData.h"

// The lines of TapiLinesFile(), first of each name; none when the file is missing or cannot be used.
std::vector<TTapiLineSpec> ReadTapiLinesFile();
