#include "platform/Wave.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "platform/ClockSource.h"
#include "platform/Timer.h"

namespace {

// ---- Devices

struct TDevice {
    std::string Heard;  // input: what is still to be recorded
    std::string Played; // output: what was played
    bool Open = false;
};

struct TOpen {
    bool Input;
    UINT Device;
    WAVEFORMATEX Format;
    HWND Window; // 0: no messages
    std::deque<WAVEHDR*> Queue;
    bool Started = false; // input: recording; output: always
    std::int64_t HeadStart = 0;
    std::unique_ptr<TTimer> Timer;
};

struct TProvider {
    std::vector<TDevice> Inputs, Outputs;
    std::map<std::uintptr_t, TOpen> Opens;
    std::uintptr_t NextHandle = 0x30000;
};

TProvider& Wave() {
    static auto* const provider = new TProvider;
    return *provider;
}

std::vector<TDevice>& Devices(bool input) {
    return input ? Wave().Inputs : Wave().Outputs;
}

DWORD BytesPerSecond(const WAVEFORMATEX& format) {
    return format.nSamplesPerSec * format.nBlockAlign;
}

bool FormatSupported(const WAVEFORMATEX& format) {
    return format.wFormatTag == WAVE_FORMAT_PCM && (format.nChannels == 1 || format.nChannels == 2) &&
           (format.wBitsPerSample == 8 || format.wBitsPerSample == 16) && format.nSamplesPerSec > 0 &&
           format.nSamplesPerSec <= 192000 &&
           format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8;
}

TOpen* FindOpen(std::uintptr_t handle, bool input) {
    const auto found = Wave().Opens.find(handle);
    return found == Wave().Opens.end() || found->second.Input != input ? nullptr : &found->second;
}

void Post(const TOpen& open, unsigned message, std::uintptr_t handle, const WAVEHDR* header = nullptr) {
    if (open.Window)
        PostMessage(open.Window, message, WPARAM(handle), LPARAM(header));
}

// The bytes of the buffer done after `ms`, whole blocks only.
DWORD BytesAfter(const TOpen& open, std::int64_t ms, DWORD length) {
    const std::int64_t bytes = std::max<std::int64_t>(ms, 0) * BytesPerSecond(open.Format) / 1000;
    return DWORD(std::min<std::int64_t>(bytes - bytes % open.Format.nBlockAlign, length));
}

std::int64_t DurationMs(const TOpen& open, DWORD length) {
    const std::int64_t rate = BytesPerSecond(open.Format);
    return (std::int64_t(length) * 1000 + rate - 1) / rate;
}

// The head buffer comes back with `bytes` of audio: recorded into it, or played from it.
void CompleteHead(TOpen& open, std::uintptr_t handle, DWORD bytes) {
    WAVEHDR* header = open.Queue.front();
    open.Queue.pop_front();
    TDevice& device = Devices(open.Input).at(open.Device);
    if (open.Input) {
        const std::size_t heard = std::min<std::size_t>(bytes, device.Heard.size());
        std::memcpy(header->lpData, device.Heard.data(), heard);
        device.Heard.erase(0, heard);
        const char silence = open.Format.wBitsPerSample == 8 ? char(0x80) : 0;
        std::memset(header->lpData + heard, silence, bytes - heard);
        header->dwBytesRecorded = bytes;
    } else {
        device.Played.append(header->lpData, bytes);
    }
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    Post(open, open.Input ? MM_WIM_DATA : MM_WOM_DONE, handle, header);
}

// Starts the head buffer's time; buffers of no length come back at once.
void Pace(std::uintptr_t handle, TOpen& open) {
    open.Timer->SetEnabled(false);
    while (open.Started && !open.Queue.empty()) {
        const std::int64_t ms = DurationMs(open, open.Queue.front()->dwBufferLength);
        if (ms > 0) {
            open.HeadStart = MonotonicMs();
            open.Timer->SetInterval(int(ms));
            open.Timer->SetEnabled(true);
            return;
        }
        CompleteHead(open, handle, 0);
    }
}

void HeadDone(std::uintptr_t handle) {
    const auto found = Wave().Opens.find(handle);
    if (found == Wave().Opens.end() || found->second.Queue.empty())
        return;
    TOpen& open = found->second;
    CompleteHead(open, handle, open.Queue.front()->dwBufferLength);
    Pace(handle, open);
}

// Stops the device: the head buffer comes back with what its time gave it, the rest (when `all`)
// with nothing.
void Halt(std::uintptr_t handle, TOpen& open, bool all) {
    open.Timer->SetEnabled(false);
    if (open.Started && !open.Queue.empty())
        CompleteHead(open, handle,
                     BytesAfter(open, MonotonicMs() - open.HeadStart, open.Queue.front()->dwBufferLength));
    while (all && !open.Queue.empty())
        CompleteHead(open, handle, 0);
}

MMRESULT OpenDevice(bool input, std::uintptr_t* handle, UINT deviceId, const WAVEFORMATEX* format,
                    DWORD_PTR callback, DWORD flags) {
    const bool query = flags & WAVE_FORMAT_QUERY;
    if ((!handle && !query) || !format)
        return MMSYSERR_INVALPARAM;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_WINDOW)
        return MMSYSERR_INVALFLAG;
    std::vector<TDevice>& devices = Devices(input);
    if (deviceId == WAVE_MAPPER) {
        if (devices.empty())
            return MMSYSERR_NODRIVER;
        deviceId = 0;
    }
    if (deviceId >= devices.size())
        return MMSYSERR_BADDEVICEID;
    if (!FormatSupported(*format))
        return WAVERR_BADFORMAT;
    if (query)
        return MMSYSERR_NOERROR;
    if (devices[deviceId].Open)
        return MMSYSERR_ALLOCATED;
    devices[deviceId].Open = true;
    const std::uintptr_t opened = Wave().NextHandle++;
    TOpen& open = Wave().Opens[opened];
    open.Input = input;
    open.Device = deviceId;
    open.Format = *format;
    open.Window = callbackType == CALLBACK_WINDOW ? HWND(callback) : 0;
    open.Started = !input;
    open.Timer = std::make_unique<TTimer>();
    open.Timer->SetEnabled(false);
    open.Timer->SetOnTimer([opened] { HeadDone(opened); });
    *handle = opened;
    Post(open, input ? MM_WIM_OPEN : MM_WOM_OPEN, opened);
    return MMSYSERR_NOERROR;
}

MMRESULT CloseDevice(bool input, std::uintptr_t handle) {
    TOpen* open = FindOpen(handle, input);
    if (!open)
        return MMSYSERR_INVALHANDLE;
    if (!open->Queue.empty())
        return WAVERR_STILLPLAYING;
    Devices(input).at(open->Device).Open = false;
    Post(*open, input ? MM_WIM_CLOSE : MM_WOM_CLOSE, handle);
    Wave().Opens.erase(handle);
    return MMSYSERR_NOERROR;
}

MMRESULT Prepare(bool input, std::uintptr_t handle, WAVEHDR* header, UINT size, bool prepare) {
    if (!FindOpen(handle, input))
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags = prepare ? header->dwFlags | WHDR_PREPARED : header->dwFlags & ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Queue(bool input, std::uintptr_t handle, WAVEHDR* header, UINT size) {
    TOpen* open = FindOpen(handle, input);
    if (!open)
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR) || (!header->lpData && header->dwBufferLength))
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    open->Queue.push_back(header);
    if (open->Queue.size() == 1)
        Pace(handle, *open);
    return MMSYSERR_NOERROR;
}

MMRESULT ErrorText(MMRESULT error, char* text, UINT size) {
    static const std::map<MMRESULT, const char*> texts = {
        {MMSYSERR_NOERROR, "No error."},
        {MMSYSERR_ERROR, "An unspecified error occurred."},
        {MMSYSERR_BADDEVICEID, "There is no wave device with this identifier."},
        {MMSYSERR_NOTENABLED, "The wave device is not enabled."},
        {MMSYSERR_ALLOCATED, "The wave device is in use."},
        {MMSYSERR_INVALHANDLE, "The wave device handle is not valid."},
        {MMSYSERR_NODRIVER, "There is no wave device on this computer."},
        {MMSYSERR_NOMEM, "There is not enough memory."},
        {MMSYSERR_INVALFLAG, "A flag is not valid."},
        {MMSYSERR_INVALPARAM, "A parameter is not valid."},
        {WAVERR_BADFORMAT, "The wave device does not take this format."},
        {WAVERR_STILLPLAYING, "The wave device still holds buffers."},
        {WAVERR_UNPREPARED, "The wave buffer was not prepared."},
    };
    const auto found = texts.find(error);
    if (found == texts.end())
        return MMSYSERR_BADERRNUM;
    if (!text || size == 0)
        return MMSYSERR_INVALPARAM;
    const std::size_t length = std::min<std::size_t>(std::strlen(found->second), size - 1);
    std::memcpy(text, found->second, length);
    text[length] = '\0';
    return MMSYSERR_NOERROR;
}

} // namespace

UINT waveOutGetNumDevs() {
    return UINT(Wave().Outputs.size());
}

MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR, DWORD fdwOpen) {
    return OpenDevice(false, phwo, uDeviceID, pwfx, dwCallback, fdwOpen);
}

MMRESULT waveOutClose(HWAVEOUT hwo) {
    return CloseDevice(false, hwo);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    return Prepare(false, hwo, pwh, cbwh, true);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    return Prepare(false, hwo, pwh, cbwh, false);
}

MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    return Queue(false, hwo, pwh, cbwh);
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    TOpen* open = FindOpen(hwo, false);
    if (!open)
        return MMSYSERR_INVALHANDLE;
    Halt(hwo, *open, true);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetErrorText(MMRESULT mmrError, char* pszText, UINT cchText) {
    return ErrorText(mmrError, pszText, cchText);
}

UINT waveInGetNumDevs() {
    return UINT(Wave().Inputs.size());
}

MMRESULT waveInOpen(HWAVEIN* phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback, DWORD_PTR,
                    DWORD fdwOpen) {
    return OpenDevice(true, phwi, uDeviceID, pwfx, dwCallback, fdwOpen);
}

MMRESULT waveInClose(HWAVEIN hwi) {
    return CloseDevice(true, hwi);
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    return Prepare(true, hwi, pwh, cbwh, true);
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    return Prepare(true, hwi, pwh, cbwh, false);
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh) {
    return Queue(true, hwi, pwh, cbwh);
}

MMRESULT waveInStart(HWAVEIN hwi) {
    TOpen* open = FindOpen(hwi, true);
    if (!open)
        return MMSYSERR_INVALHANDLE;
    if (!open->Started) {
        open->Started = true;
        Pace(hwi, *open);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT waveInStop(HWAVEIN hwi) {
    TOpen* open = FindOpen(hwi, true);
    if (!open)
        return MMSYSERR_INVALHANDLE;
    Halt(hwi, *open, false);
    open->Started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInReset(HWAVEIN hwi) {
    TOpen* open = FindOpen(hwi, true);
    if (!open)
        return MMSYSERR_INVALHANDLE;
    Halt(hwi, *open, true);
    open->Started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInGetErrorText(MMRESULT mmrError, char* pszText, UINT cchText) {
    return ErrorText(mmrError, pszText, cchText);
}

// ---- Multimedia files

struct TMmioFile {
    std::FILE* File;
    bool Writes;
};

namespace {

constexpr FOURCC RiffId = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC ListId = mmioFOURCC('L', 'I', 'S', 'T');

bool ReadDword(std::FILE* file, DWORD* value) {
    unsigned char bytes[4];
    if (std::fread(bytes, 1, 4, file) != 4)
        return false;
    *value = DWORD(bytes[0]) | DWORD(bytes[1]) << 8 | DWORD(bytes[2]) << 16 | DWORD(bytes[3]) << 24;
    return true;
}

bool WriteDword(std::FILE* file, DWORD value) {
    const unsigned char bytes[4] = {std::uint8_t(value), std::uint8_t(value >> 8), std::uint8_t(value >> 16),
                                    std::uint8_t(value >> 24)};
    return std::fwrite(bytes, 1, 4, file) == 4;
}

bool Seek(std::FILE* file, std::int64_t position) {
    return position >= 0 && fseeko(file, off_t(position), SEEK_SET) == 0;
}

// Where the chunk's data and its pad byte end.
std::int64_t ChunkEnd(const MMCKINFO& chunk) {
    return std::int64_t(chunk.dwDataOffset) + chunk.cksize + (chunk.cksize & 1);
}

} // namespace

HMMIO mmioOpen(const char* pszFileName, MMIOINFO* pmmioinfo, DWORD fdwOpen) {
    if (!pszFileName || pmmioinfo)
        return nullptr;
    const DWORD access = fdwOpen & 0x3;
    const char* mode = (fdwOpen & MMIO_CREATE) ? "wb+" : access == MMIO_READ ? "rb" : "rb+";
    std::FILE* file = std::fopen(pszFileName, mode);
    if (!file)
        return nullptr;
    return new TMmioFile{file, access != MMIO_READ || (fdwOpen & MMIO_CREATE)};
}

MMRESULT mmioClose(HMMIO hmmio, UINT) {
    if (!hmmio)
        return MMSYSERR_INVALHANDLE;
    const bool closed = std::fclose(hmmio->File) == 0;
    delete hmmio;
    return closed ? MMSYSERR_NOERROR : MMIOERR_CANNOTWRITE;
}

LONG mmioRead(HMMIO hmmio, char* pch, LONG cch) {
    if (!hmmio || cch < 0 || (!pch && cch))
        return -1;
    const std::size_t read = std::fread(pch, 1, std::size_t(cch), hmmio->File);
    return std::ferror(hmmio->File) ? -1 : LONG(read);
}

LONG mmioWrite(HMMIO hmmio, const char* pch, LONG cch) {
    if (!hmmio || !hmmio->Writes || cch < 0 || (!pch && cch))
        return -1;
    return std::fwrite(pch, 1, std::size_t(cch), hmmio->File) == std::size_t(cch) ? cch : -1;
}

MMRESULT mmioDescend(HMMIO hmmio, MMCKINFO* pmmcki, const MMCKINFO* pmmckiParent, UINT fuDescend) {
    if (!hmmio || !pmmcki)
        return MMSYSERR_INVALPARAM;
    const FOURCC wantedId = pmmcki->ckid;
    const FOURCC wantedType = pmmcki->fccType;
    const std::int64_t end =
        pmmckiParent ? std::int64_t(pmmckiParent->dwDataOffset) + pmmckiParent->cksize : INT64_MAX;
    for (;;) {
        const std::int64_t at = ftello(hmmio->File);
        if (at < 0 || at + 8 > end)
            return MMIOERR_CHUNKNOTFOUND;
        MMCKINFO chunk{};
        if (!ReadDword(hmmio->File, &chunk.ckid) || !ReadDword(hmmio->File, &chunk.cksize))
            return MMIOERR_CHUNKNOTFOUND;
        chunk.dwDataOffset = DWORD(at + 8);
        const bool grouping = chunk.ckid == RiffId || chunk.ckid == ListId;
        if (grouping && !ReadDword(hmmio->File, &chunk.fccType))
            return MMIOERR_CHUNKNOTFOUND;
        const bool found = (fuDescend & MMIO_FINDRIFF)   ? chunk.ckid == RiffId && chunk.fccType == wantedType
                           : (fuDescend & MMIO_FINDLIST) ? chunk.ckid == ListId && chunk.fccType == wantedType
                           : (fuDescend & MMIO_FINDCHUNK) ? chunk.ckid == wantedId
                                                          : true;
        if (found) {
            *pmmcki = chunk;
            return MMSYSERR_NOERROR;
        }
        if (!Seek(hmmio->File, ChunkEnd(chunk)))
            return MMIOERR_CHUNKNOTFOUND;
    }
}

MMRESULT mmioAscend(HMMIO hmmio, MMCKINFO* pmmcki, UINT) {
    if (!hmmio || !pmmcki)
        return MMSYSERR_INVALPARAM;
    if (pmmcki->dwFlags & MMIO_DIRTY) {
        const std::int64_t at = ftello(hmmio->File);
        if (at < pmmcki->dwDataOffset)
            return MMIOERR_CANNOTSEEK;
        const DWORD size = DWORD(at - pmmcki->dwDataOffset);
        if (size != pmmcki->cksize) {
            if (!Seek(hmmio->File, std::int64_t(pmmcki->dwDataOffset) - 4) ||
                !WriteDword(hmmio->File, size) || !Seek(hmmio->File, at))
                return MMIOERR_CANNOTWRITE;
            pmmcki->cksize = size;
        }
        if ((size & 1) && std::fputc(0, hmmio->File) == EOF)
            return MMIOERR_CANNOTWRITE;
        pmmcki->dwFlags &= ~MMIO_DIRTY;
    }
    return Seek(hmmio->File, ChunkEnd(*pmmcki)) ? MMSYSERR_NOERROR : MMIOERR_CANNOTSEEK;
}

MMRESULT mmioCreateChunk(HMMIO hmmio, MMCKINFO* pmmcki, UINT fuCreate) {
    if (!hmmio || !pmmcki)
        return MMSYSERR_INVALPARAM;
    if (!hmmio->Writes)
        return MMIOERR_CANNOTWRITE;
    const std::int64_t at = ftello(hmmio->File);
    if (at < 0)
        return MMIOERR_CANNOTSEEK;
    const bool grouping = fuCreate & (MMIO_CREATERIFF | MMIO_CREATELIST);
    if (grouping)
        pmmcki->ckid = (fuCreate & MMIO_CREATERIFF) ? RiffId : ListId;
    if (!WriteDword(hmmio->File, pmmcki->ckid) || !WriteDword(hmmio->File, pmmcki->cksize) ||
        (grouping && !WriteDword(hmmio->File, pmmcki->fccType)))
        return MMIOERR_CANNOTWRITE;
    pmmcki->dwDataOffset = DWORD(at + 8);
    pmmcki->dwFlags = MMIO_DIRTY;
    return MMSYSERR_NOERROR;
}

// ---- Temporary files

DWORD GetTempPath(DWORD nBufferLength, char* lpBuffer) {
    const char* folder = std::getenv("TMPDIR");
    std::string path = folder && *folder ? folder : "/tmp";
    if (path.back() != '/')
        path += '/';
    if (!lpBuffer || nBufferLength <= path.size())
        return DWORD(path.size() + 1);
    std::memcpy(lpBuffer, path.c_str(), path.size() + 1);
    return DWORD(path.size());
}

UINT GetTempFileName(const char* lpPathName, const char* lpPrefixString, UINT uUnique, char* lpTempFileName) {
    if (!lpPathName || !lpPrefixString || !lpTempFileName)
        return 0;
    std::string folder = lpPathName;
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    const std::string prefix = std::string(lpPrefixString).substr(0, 3);
    const auto name = [&](UINT number) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04X", number & 0xFFFF);
        return folder + prefix + digits + ".tmp";
    };
    const auto give = [&](const std::string& path) {
        if (path.size() >= MAX_PATH)
            return false;
        std::memcpy(lpTempFileName, path.c_str(), path.size() + 1);
        return true;
    };
    if (uUnique != 0)
        return give(name(uUnique)) ? uUnique & 0xFFFF : 0;
    const UINT start = UINT(::getpid() ^ MonotonicMs()) & 0xFFFF;
    for (UINT i = 0; i < 0xFFFF; ++i) {
        const UINT number = (start + i) % 0xFFFF + 1;
        const std::string path = name(number);
        if (path.size() >= MAX_PATH)
            return 0;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            give(path);
            return number;
        }
        if (errno != EEXIST)
            return 0;
    }
    return 0;
}

// ---- The test back-end

namespace {

bool backEndInstalled = false;

void Forget() {
    Wave().Opens.clear();
    Wave().Inputs.clear();
    Wave().Outputs.clear();
}

} // namespace

TWaveTestBackEnd::TWaveTestBackEnd() {
    if (backEndInstalled)
        throw std::logic_error("one wave test back-end at a time");
    backEndInstalled = true;
    Forget();
}

TWaveTestBackEnd::~TWaveTestBackEnd() {
    Forget();
    backEndInstalled = false;
}

UINT TWaveTestBackEnd::AddInput() {
    Wave().Inputs.emplace_back();
    return UINT(Wave().Inputs.size() - 1);
}

UINT TWaveTestBackEnd::AddOutput() {
    Wave().Outputs.emplace_back();
    return UINT(Wave().Outputs.size() - 1);
}

void TWaveTestBackEnd::Hear(UINT input, const std::string& audio) {
    Wave().Inputs.at(input).Heard += audio;
}

std::string TWaveTestBackEnd::Played(UINT output) const {
    return Wave().Outputs.at(output).Played;
}

int TWaveTestBackEnd::OpenDevices() const {
    return int(Wave().Opens.size());
}
