// The one settings record of the program: server port, event log, security mode and password, GSM
// modem settings, firmware file names and the groups, and its record in "States.bin".
#pragma once

#include "core/OwnedList.h"
#include "core/Receiver.h"
#include "core/RecordFields.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The keys groups are looked up by: base object, base port (COM number - 1) and member.
struct TReceiverKeys {
    enum { BaseObject, BasePort, Member, Count };
    template <class Add> static void Of(const TReceiver& group, Add&& add) {
        if (group.BaseKind == TReceiver::bkObject)
            add(BaseObject, group.BaseID);
        else if (group.BaseKind > 0)
            add(BasePort, group.BaseID);
        for (const uint32_t member : group.Members)
            add(Member, int32_t(member));
    }
};
using TReceiverList = TOwnedList<TReceiver, TReceiverKeys>;

enum TSecurityMode : int32_t {
    smNone = 0,
    smSettingsOnly = 1,
    smSettingsAndObjects = 2,
    smOnePassword = 3,
    smManyPasswords = 4,
};

// The fields of the settings record but the groups, in record order.
struct TSettingsFields {
    static constexpr int SoundCount = 22;
    static constexpr int SWFileMax = 25;

    int32_t TcpPort = 10001;
    int32_t LogSizeMB = 10;
    uint8_t NoLogging = 0;
    int32_t SecurityMode = smNone;                 // TSecurityMode
    TPassword Password = MakePassword(NoPassword); // settings password (mode 1) or system password
    uint8_t ExtraInfo = 0;                         // request hardware information periodically
    int32_t ExtraPeriod = 5;                       // minutes
    int32_t Baud = 115200;
    std::array<char, 12> SimPin{}; // NUL-terminated
    uint8_t UseComPort = 1;        // 1 COM port, 0 TAPI line
    std::array<char, 20> Reserved1{};
    uint8_t Reserved2 = 0;
    std::array<char, 20> DispatcherPhone{}; // NUL-terminated
    uint8_t UseGsmModem = 0;
    int8_t ComIndex = 0; // port number - 1
    int32_t SWFileCount = 0;
    uint8_t HwFlow = 0;
    int8_t DataBitsCode = 0; // data bits = 8 - code
    uint8_t Parity = 0;
    int8_t StopBitsCode = 0; // stop bits = code + 1
    std::array<uint8_t, 80> Reserved3{};
    int32_t Reserved4 = 0;
    std::array<std::string, SoundCount> Sounds; // stored and restored, never played
    std::string OutboxFolder;                   // of the sibling map program, never used
    std::array<std::string, SWFileMax> SWFiles; // firmware images, the first SWFileCount used
    std::string TapiDevice;
};

class TSettings : public TSettingsFields {
public:
    static constexpr uint32_t FixedSize = 196; // the raw block before the strings

    // The defaults; forms MonitorFolder and OutboxFolder.
    TSettings();
    virtual ~TSettings();
    TSettings(const TSettings&) = delete;
    TSettings& operator=(const TSettings&) = delete;
    TSettings(TSettings&&) = default;
    TSettings& operator=(TSettings&&) = default;

    int32_t ReceiverCount() const { return static_cast<int32_t>(Receivers.size()); }

    // The sum of the record's parts rounded up to a multiple of 4.
    uint32_t GetRecordSize() const;
    // Writes the record at dest, which holds GetRecordSize() bytes; returns its size.
    int32_t WriteRecord(uint8_t* dest) const;
    // Replaces the stored fields and the groups with those of the record at src, of which avail bytes
    // may be read, then lets ReceiverPortHooks create the ports of the port-based groups, and returns
    // the record's size. 0: the record does not fit, holds a group count below 0, a firmware file
    // count outside 0-25 or a group that its reader refuses (the record is left as it was; refusal,
    // when given, takes the group's message). The version is not used.
    int32_t ReadRecord(const uint8_t* src, size_t avail, int32_t version, std::string* refusal = nullptr);

    TReceiverList Receivers; // the groups, owned
};

// The one settings record; the settings dialog creates and deletes it.
extern TSettings* AppSettings;
// The sibling map program's folder, formed by the settings record's constructor.
extern std::string MonitorFolder;
