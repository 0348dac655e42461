// The plain data of the telephony provider's lines that the lines file (platform/TapiLines.h) and
// the tests' script (platform/TapiScript.h, platform/TapiTestBackEnd.h) hand it: a line, how a call
// placed on it goes on, a caller.
#pragma once

#include <optional>
#include <string>

#include <QString>

#include "platform/Tapi.h"

struct TTapiLineSpec {
    std::string Name;    // Windows-1251
    QString Device = {}; // a COM name or a path, opened by data calls; empty: none
    DWORD MediaModes = LINEMEDIAMODE_DATAMODEM;
    DWORD LineFeatures = LINEFEATURE_MAKECALL;
    DWORD Rate = 0; // of connected calls
    // Its wave devices (platform/Wave), for "wave/in" and "wave/out"; none when not given.
    std::optional<DWORD> WaveIn = {}, WaveOut = {};
    LONG CapsError = 0; // what lineGetDevCaps of the line answers, when not 0
};

// How a call placed on a line goes on after its LINE_REPLY.
enum class TTapiDialResult {
    Connected,    // dialled: DIALTONE, DIALING, PROCEEDING, CONNECTED; pass-through: CONNECTED
    Busy,         // ... BUSY (LINEBUSYMODE_STATION)
    NoAnswer,     // ... DISCONNECTED (LINEDISCONNECTMODE_NOANSWER)
    Disconnected, // the line drops before connecting: DISCONNECTED (LINEDISCONNECTMODE_UNAVAIL)
};

struct TTapiCaller {
    std::string Number, Name;
    DWORD Flags = 0; // LINECALLPARTYID_; 0: ADDRESS and NAME for what is given, else UNKNOWN
    DWORD MediaMode = LINEMEDIAMODE_DATAMODEM;
};
