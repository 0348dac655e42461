#include "core/StateFile.h"

#include "core/RecordIo.h"
#include "protocol/tmgsm.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

std::string StatesFileName;
std::string SystemPassword(NoPassword);
bool StatesNotLoaded = true;
bool FirstRun = false;

namespace {

// The built-in key is the digest of this table, so that the key itself appears nowhere in the program.
constexpr uint8_t KeyTable[16] = {0x3A, 0xC5, 0x71, 0x0E, 0x9B, 0x24, 0xD8, 0x63,
                                  0xF1, 0x4C, 0x87, 0x12, 0x6D, 0xB0, 0x2F, 0xE9};

std::array<uint8_t, 16> BuildBuiltInKey() {
    Md5Ctx md5;
    Md5_Init(&md5);
    Md5_Update(&md5, KeyTable, sizeof KeyTable);
    std::array<uint8_t, 16> key;
    Md5_Final(&md5, key.data(), 1);
    return key;
}

const char* const OpenError = "Невозможно открыть файл с настройками!";
const char* const DecryptError = "Невозможно расшифровать файл с настройками!";
const char* const NoMemoryError = "Недостаточно памяти для работы программы";
const char* const KeyErrorLine = "CH: key init or block encription error - ";
const char* const ReadErrorLine = "CH: States.bin reading error - ";
const char* const PromptCaption = "Маршрутизатор";
const char* const PromptInfo = "Введите системный пароль";

uint64_t BlockSize(uint64_t contentSize) {
    return (contentSize + 19) & ~uint64_t{15};
}

// The window values; F is const for writing. The ninth value is always 0 and never read.
template <class Io, class F> void TransferWindow(Io& io, F& w) {
    io.Field(w.Left);
    io.Field(w.Top);
    io.Field(w.Width);
    io.Field(w.Height);
    io.Field(w.GridPanelWidth);
    io.Field(w.ColWidths);
    io.Skip(4);
}

// The key the security mode chooses; false with the reason when there is none.
bool StatesKey(const TSettings& settings, std::array<uint8_t, 16>& key, std::string& reason) {
    if (settings.SecurityMode == smSettingsAndObjects) {
        key = BuiltInKey;
        return true;
    }
    if (SystemPassword.size() != key.size()) {
        reason = "the system password is not 16 bytes";
        return false;
    }
    std::memcpy(key.data(), SystemPassword.data(), key.size());
    return true;
}

void Call(const std::function<void(const std::string&)>& hook, const std::string& text) {
    if (hook)
        hook(text);
}

// The next key to try after one that did not open the file; false when none is left.
bool NextKey(bool& builtInTried, bool& promptShown, const TStatesHooks& hooks) {
    if (!builtInTried) {
        builtInTried = true;
        SystemPassword.assign(BuiltInKey.begin(), BuiltInKey.end());
        return true;
    }
    if (promptShown || !hooks.EnterPassword)
        return false;
    promptShown = true;
    std::string password;
    if (!hooks.EnterPassword(PromptCaption, PromptInfo, password))
        return false;
    SystemPassword = PasswordText(MakePassword(password));
    return true;
}

} // namespace

const std::array<uint8_t, 16> BuiltInKey = BuildBuiltInKey();

TWindowValues ApplyValues(const TWindowValues& stored, const TWindowValues& current, int32_t screenWidth,
                          int32_t screenHeight) {
    TWindowValues window = current;
    window.Left = stored.Left > 0 && stored.Left < screenWidth ? stored.Left : 0;
    window.Top = stored.Top > 0 && stored.Top < screenHeight ? stored.Top : 0;
    if (stored.Width <= screenWidth && stored.GridPanelWidth < stored.Width) {
        window.Width = stored.Width;
        window.GridPanelWidth = stored.GridPanelWidth;
    }
    if (stored.Height <= screenHeight)
        window.Height = stored.Height;
    window.ColWidths = stored.ColWidths;
    return window;
}

uint64_t StatesContentSize(const TSettings& settings, const TObjectList& objects) {
    uint64_t size = StatesHeaderSize + settings.GetRecordSize();
    for (const auto& object : objects)
        size += object->GetRecordSize();
    return size;
}

std::vector<uint8_t> BuildStatesPlain(const TWindowValues& window, const TSettings& settings,
                                      const TObjectList& objects) {
    std::vector<uint8_t> buf(BlockSize(StatesContentSize(settings, objects)));
    TRecordWriter w(buf.data());
    w.Field(StatesVersion);
    TransferWindow(w, window);
    w.Record(settings);
    for (const auto& object : objects)
        w.Record(*object);
    return buf;
}

void EncryptStates(std::vector<uint8_t>& buf, uint32_t contentSize, const uint8_t key[16]) {
    AuthCtx cipher{}; // a cipher holder only; its stopped nonce generator fills with zeros
    Auth_SetSessKey(&cipher, key);
    Auth_EncryptBlk32(&cipher, buf.data(), contentSize);
}

bool DecryptStates(std::vector<uint8_t>& buf, const uint8_t key[16]) {
    if (buf.empty() || buf.size() % 16 != 0 || buf.size() > StatesMaxContent + 4)
        return false;
    AuthCtx cipher{};
    Auth_SetSessKey(&cipher, key);
    return Auth_DecryptBlk32(&cipher, buf.data(), static_cast<uint32_t>(buf.size())) == 1;
}

TDecodeResult DecodeStates(const uint8_t* plain, size_t size, TStatesImage& image) {
    if (size < 4)
        return dcDamaged;
    TRecordReader r(plain, size - 4); // the CRC is no content
    if (r.Get<uint32_t>() != StatesVersion)
        return dcBadVersion;
    TransferWindow(r, image.Window);
    image.Settings = std::make_unique<TSettings>();
    r.Record(*image.Settings, int32_t{StatesVersion}, &image.Refusal);
    if (!image.Refusal.empty())
        return dcRefused;
    // An object follows while the block's closing does not start here.
    while (r.Ok() && BlockSize(r.Pos()) < size) {
        auto& object = *image.Objects.emplace_back(std::make_unique<TObjectStates>());
        r.Record(object, int32_t{StatesVersion});
        object.Connected = 0;
        object.ConnectedOnce = 0;
    }
    return r.Ok() ? dcOk : dcDamaged;
}

bool TakeStatesSnapshot(const TWindowValues& window, const TSettings& settings, const TObjectList& objects,
                        const TStatesHooks& hooks, TStatesSnapshot& snapshot) {
    std::string reason;
    uint64_t contentSize = StatesContentSize(settings, objects);
    if (contentSize > StatesMaxContent)
        reason = "the state of " + std::to_string(contentSize) + " bytes is too large";
    if (!reason.empty() || !StatesKey(settings, snapshot.Key, reason)) {
        Call(hooks.PrintMessage, KeyErrorLine + reason); // nothing is written: the file would not open
        return false;
    }
    try {
        snapshot.Path = StatesFileName;
        snapshot.Block = BuildStatesPlain(window, settings, objects);
    } catch (const std::bad_alloc&) {
        Call(hooks.ShowError, NoMemoryError);
        if (hooks.CloseMainWindow)
            hooks.CloseMainWindow();
        return false;
    }
    snapshot.ContentSize = static_cast<uint32_t>(contentSize);
    return true;
}

TStatesWritten WriteStatesSnapshot(TStatesSnapshot& snapshot, TStatesFileOps& ops) {
    EncryptStates(snapshot.Block, snapshot.ContentSize, snapshot.Key.data());
    TStatesWritten written;
    try {
        written.Error = ops.Replace(snapshot.Path, snapshot.Block.data(), snapshot.Block.size());
        written.Ok = written.Error == 0;
    } catch (const std::bad_alloc&) {
        written.Error = ENOMEM;
    }
    return written;
}

bool WriteStates(const TWindowValues& window, const TSettings& settings, const TObjectList& objects,
                 const TStatesHooks& hooks, TStatesFileOps& ops) {
    TStatesSnapshot snapshot;
    if (!TakeStatesSnapshot(window, settings, objects, hooks, snapshot))
        return false;
    const TStatesWritten written = WriteStatesSnapshot(snapshot, ops);
    if (!written.Ok && hooks.WriteFailed)
        hooks.WriteFailed(ReplaceProblem(written.Error));
    return written.Ok;
}

bool ReadStates(TSettings& settings, TStatesRead& read, const TStatesHooks& hooks, TStatesFileOps& ops) {
    ops.RemoveTemp(StatesFileName);
    std::vector<uint8_t> file;
    const TFileRead reading = ops.ReadAll(StatesFileName, StatesMaxFileSize, file);
    switch (reading.Result) {
    case rfMissing:
        StatesNotLoaded = false; // the defaults stand and are written later
        if (!FirstRun)
            Call(hooks.ShowError, OpenError);
        return true;
    case rfNotRegular:
    case rfFailed:
        Call(hooks.PrintMessage, ReadErrorLine + reading.Problem());
        Call(hooks.ShowError, OpenError); // StatesNotLoaded stays: the file is kept as it is
        return true;
    case rfTooLarge: // no state is that large: the program stops and the file is kept, as if undecryptable
        Call(hooks.PrintMessage, ReadErrorLine + reading.Problem());
        Call(hooks.ShowError, DecryptError);
        return false;
    case rfRead:
        break;
    }

    TStatesImage image;
    try {
        bool builtInTried = false, promptShown = false, opened = false;
        std::vector<uint8_t> plain;
        do {
            plain = file;
            TPassword key = MakePassword(SystemPassword);
            opened = DecryptStates(plain, reinterpret_cast<const uint8_t*>(key.data()));
        } while (!opened && NextKey(builtInTried, promptShown, hooks));
        const TDecodeResult decoded = opened ? DecodeStates(plain.data(), plain.size(), image) : dcDamaged;
        if (decoded != dcOk) {
            Call(hooks.ShowError, decoded == dcRefused ? image.Refusal : DecryptError);
            return false;
        }
    } catch (const std::bad_alloc&) {
        Call(hooks.ShowError, NoMemoryError);
        return false;
    }
    settings = std::move(*image.Settings);
    if (settings.SecurityMode == smSettingsAndObjects)
        SystemPassword = PasswordText(settings.Password);
    read.Window = image.Window;
    read.Objects = std::move(image.Objects);
    StatesNotLoaded = false;
    return true;
}
