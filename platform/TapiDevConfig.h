// Stands in for the device configuration of a telephony line: the line format its device is opened
// with, as lineGetDevConfig and lineSetDevConfig hand it over (device class "comm/datamodem", the bytes
// of one TTapiDevConfig) and the line's configuration dialog edits it (platform/TapiConfigDialog.h).
// A line without one opens its device at the speed and format the device has.
//
// The configurations of the lines of the lines file last across starts in TapiDevConfigFile(), next
// to it: one "name=speed,data bits,parity,stop bits,flow control" a line, UTF-8, for example
// "GSM modem=115200,8,N,1,RTS/CTS" (parity N, O, E, M or S; stop bits 1, 1.5 or 2; flow control
// none, RTS/CTS or XON/XOFF). An entry that cannot be used is reported on stderr and ignored; saving
// replaces the line's own entry and keeps the others as they stand.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <QString>

#include "platform/Tapi.h"
#include "platform/Win32Serial.h"

inline constexpr std::uint32_t TapiDevConfigVersion = 1;
inline constexpr std::uint8_t TapiFlowNone = 0, TapiFlowHardware = 1, TapiFlowXonXoff = 2;

struct TTapiDevConfig {
    std::uint32_t dwSize = sizeof(TTapiDevConfig);
    std::uint32_t dwVersion = TapiDevConfigVersion;
    std::uint32_t dwBaudRate = 115200;
    std::uint8_t ByteSize = 8;               // 5 to 8
    std::uint8_t Parity = NOPARITY;          // NOPARITY to SPACEPARITY, as a DCB has them
    std::uint8_t StopBits = ONESTOPBIT;      // ONESTOPBIT, ONE5STOPBITS (with 5 data bits only), TWOSTOPBITS
    std::uint8_t FlowControl = TapiFlowNone; // TapiFlowNone, TapiFlowHardware (RTS/CTS), TapiFlowXonXoff
    bool operator==(const TTapiDevConfig&) const = default;
};
static_assert(sizeof(TTapiDevConfig) == 16);

inline constexpr std::uint32_t TapiLowestRate = 50, TapiHighestRate = 4000000;

bool SoundTapiDevConfig(const TTapiDevConfig& config);
// The configuration the bytes hold; none when they are not a sound one of this size and version.
std::optional<TTapiDevConfig> TapiDevConfigOf(const void* bytes, std::size_t size);
std::string TapiDevConfigBytes(const TTapiDevConfig& config);
// The line the configuration asks for: its framing, flow control, DTR and RTS raised.
DCB TapiDevConfigDcb(const TTapiDevConfig& config);

// Opens a line's device exclusively, without waiting for the modem's carrier, non-blocking, raw with
// the configuration (a terminal without one keeps its speed and framing); 0 and the descriptor, or
// LINEERR_NODEVICE, _RESOURCEUNAVAIL or _OPERATIONFAILED with the reason on stderr (the line's name,
// Windows-1251, is for that).
LONG OpenTapiDevice(const QString& path, const std::optional<TTapiDevConfig>& config,
                    const std::string& lineName, int* fd);

// "115200,8,N,1,none"
std::string TapiDevConfigText(const TTapiDevConfig& config);
std::optional<TTapiDevConfig> TapiDevConfigFromText(std::string_view text);

// <common application-data folder>/tapi/devconfig
QString TapiDevConfigFile();
// The stored configurations by line name, read in one pass: a name's first entry counts, and one that
// does not read leaves its line without a configuration (said on stderr).
std::map<QString, TTapiDevConfig> ReadTapiDevConfigs();
// Stores it in place of the line's entry, through a link to the file; false, with the reason on
// stderr, when the file cannot be read whole or written (the one before stays).
bool WriteTapiDevConfig(const std::string& lineName, const TTapiDevConfig& config);
