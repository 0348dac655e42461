#include "core/Settings.h"

#include "core/DataFolder.h"
#include "core/RecordIo.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

TSettings* AppSettings = nullptr;
std::string MonitorFolder;

namespace {

constexpr const char* DefaultSounds[TSettingsFields::SoundCount] = {"Connect.wav",
                                                                    "Disconnect.wav",
                                                                    "Connect.wav",
                                                                    "Disconnect.wav",
                                                                    "Disconnect.wav",
                                                                    "Connect.wav",
                                                                    "Disconnect.wav",
                                                                    "Disconnect.wav",
                                                                    "",
                                                                    "",
                                                                    "Alarm.wav",
                                                                    "",
                                                                    "",
                                                                    "",
                                                                    "ObjConn.wav",
                                                                    "ObjDisc.wav",
                                                                    "NewSMS.wav",
                                                                    "SendOk.wav",
                                                                    "SendError.wav",
                                                                    "NewNav.wav",
                                                                    "OldNav.wav",
                                                                    "Phone.wav"};

constexpr size_t StoredSounds = TSettingsFields::SoundCount - 1; // the last place holds the TAPI device

// The raw block; F is const for writing. The group count and the firmware file count are handled by
// the callers, which check them.
template <class Io, class F> void TransferFixed(Io& io, F& f) {
    io.Field(f.TcpPort);
    io.Field(f.LogSizeMB);
    io.Field(f.NoLogging);
    io.SkipTo(12);
    io.Field(f.SecurityMode);
    io.Field(f.Password);
    io.Field(f.ExtraInfo);
    io.SkipTo(36);
    io.Field(f.ExtraPeriod);
    io.Field(f.Baud);
    io.Field(f.SimPin);
    io.Field(f.UseComPort);
    io.Field(f.Reserved1);
    io.Field(f.Reserved2);
    io.Field(f.DispatcherPhone);
    io.Field(f.UseGsmModem);
    io.Field(f.ComIndex);
}

template <class Io, class F> void TransferPort(Io& io, F& f) {
    io.Field(f.HwFlow);
    io.Field(f.DataBitsCode);
    io.Field(f.Parity);
    io.Field(f.StopBitsCode);
    io.Field(f.Reserved3);
}

int32_t StoredFileCount(int32_t count) {
    return std::clamp(count, 0, int32_t{TSettingsFields::SWFileMax});
}

std::string FormMonitorFolder() {
    if (!CompanyDataFolder.empty()) {
        std::string folder = CompanyDataFolder + "Truvessa/";
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (std::filesystem::is_directory(folder, error))
            return folder;
    }
    return AppDataFolder;
}

} // namespace

TSettings::TSettings() {
    std::copy(std::begin(DefaultSounds), std::end(DefaultSounds), Sounds.begin());
    MonitorFolder = FormMonitorFolder();
    OutboxFolder = MonitorFolder + "Outbox";
}

TSettings::~TSettings() = default;

uint32_t TSettings::GetRecordSize() const {
    uint64_t size = FixedSize;
    for (size_t i = 0; i < StoredSounds; ++i)
        size += RecordTextLength(Sounds[i]) + 1;
    size += RecordTextLength(TapiDevice) + 1;
    for (const auto& group : Receivers)
        size += group->GetRecordSize();
    size += RecordTextLength(OutboxFolder) + 1;
    for (int32_t i = 0; i < StoredFileCount(SWFileCount); ++i)
        size += RecordTextLength(SWFiles[i]) + 1;
    return RoundUp4(size);
}

int32_t TSettings::WriteRecord(uint8_t* dest) const {
    TRecordWriter w(dest);
    TransferFixed(w, *this);
    w.Field(StoredFileCount(SWFileCount));
    TransferPort(w, *this);
    w.Field(ReceiverCount());
    w.Field(Reserved4);
    for (size_t i = 0; i < StoredSounds; ++i)
        w.Text(Sounds[i]);
    w.Text(TapiDevice);
    for (const auto& group : Receivers)
        w.Record(*group);
    w.Text(OutboxFolder);
    for (int32_t i = 0; i < StoredFileCount(SWFileCount); ++i)
        w.Text(SWFiles[i]);
    uint32_t size = GetRecordSize();
    w.SkipTo(size);
    return static_cast<int32_t>(size);
}

int32_t TSettings::ReadRecord(const uint8_t* src, size_t avail, int32_t /*version*/, std::string* refusal) {
    TSettingsFields f; // a record that does not fit changes nothing
    TRecordReader r(src, avail);
    TransferFixed(r, f);
    f.SWFileCount = r.Get<int32_t>();
    TransferPort(r, f);
    auto groupCount = r.Get<int32_t>();
    f.Reserved4 = r.Get<int32_t>();
    for (std::string& sound : f.Sounds)
        r.Text(sound);
    f.TapiDevice = f.Sounds.back();

    // Every group record takes at least 32 bytes, so the count is checked before anything is allocated.
    if (f.SWFileCount != StoredFileCount(f.SWFileCount) || groupCount < 0 ||
        static_cast<uint64_t>(groupCount) * 32 > r.Left())
        r.Fail();
    std::vector<std::unique_ptr<TReceiver>> groups;
    for (int32_t i = 0; r.Ok() && i < groupCount; ++i)
        r.Record(*groups.emplace_back(std::make_unique<TReceiver>()), refusal);
    r.Text(f.OutboxFolder);
    for (int32_t i = 0; i < StoredFileCount(f.SWFileCount); ++i)
        r.Text(f.SWFiles[i]);
    uint32_t size = RoundUp4(r.Pos());
    if (!r.Ok() || size > avail)
        return 0;

    // From a damaged or foreign file: a period outside 1-99 minutes would make a timer that never fires
    // or an interval that overflows.
    f.ExtraInfo = f.ExtraInfo != 0;
    f.ExtraPeriod = std::clamp(f.ExtraPeriod, 1, 99);
    static_cast<TSettingsFields&>(*this) = std::move(f);
    Receivers = std::move(groups);
    if (ReceiverPortHooks.Create)
        for (const auto& group : Receivers)
            if (group->BaseKind > 0)
                ReceiverPortHooks.Create(*group);
    return static_cast<int32_t>(size);
}
