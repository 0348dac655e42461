// The voice side of the line device: voice calls (EnableVoice) with DTMF digits and tones, and wave
// files played into a call or recorded from it into a temporary file, with silence detection that can
// end the recording or the call. The audio goes through the platform's wave devices (platform/Wave),
// whose completion messages come to the hidden window.
//
// A recording's format counts its tracks: a second of it is NumTracks x BitsPerSample / 8 x
// SamplesPerSec bytes, in the file's header as in the buffers and the length limit.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "serial/Exceptions.h"
#include "serial/MessageTable.h"
#include "serial/TapiDevice.h"

namespace {

constexpr std::int32_t ecFileNotFound = -2;
constexpr std::int32_t ecVoiceNotSupported = -13935;
constexpr std::int32_t ecWaveFail = -13936;
constexpr std::int32_t ecWaveRead = -13940;
constexpr std::int32_t ecWaveInUse = -13943;
constexpr std::int32_t ecWaveExists = -13944;
constexpr std::int32_t ecNoWaveData = -13945;
constexpr const char* WriteError = "MMIO Write Error";

enum TWaveErrorKind { wkInput = 1, wkOutput = 2, wkFile = 3 };

constexpr std::int64_t PlayStopTimeoutMs = 30000;
constexpr DWORD PlaySeconds = 3;
constexpr DWORD MinPlayBuffer = 4096;
constexpr DWORD ShortBufferSlack = 7; // a buffer this much short of full ends the recording
constexpr DWORD MinPassThroughRate = 1200;
constexpr DWORD MaxPassThroughRate = 115200;
constexpr std::size_t MaxFileName = 255;
constexpr const char* TempPrefix = "~AP";

constexpr FOURCC WaveType = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC FormatId = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC DataId = mmioFOURCC('d', 'a', 't', 'a');

std::string PlatformName(const std::string& name) {
    return name.substr(0, MaxFileName);
}

void RemoveFile(const std::string& name) {
    std::error_code ignored;
    if (!name.empty())
        std::filesystem::remove(name, ignored);
}

// The average absolute sample value over the first second's samples of the buffer: 16-bit samples as
// they are, 8-bit ones (unsigned, 128 silent) scaled to the same range.
std::int32_t Level(const char* data, DWORD bytes, std::uint32_t samplesPerSec, std::uint8_t bitsPerSample) {
    if (samplesPerSec == 0)
        return 0;
    std::int64_t sum = 0;
    if (bitsPerSample == 16) {
        const DWORD count = std::min<DWORD>(samplesPerSec, bytes / 2);
        for (DWORD i = 0; i < count; ++i) {
            std::int16_t sample;
            std::memcpy(&sample, data + 2 * i, sizeof sample);
            sum += std::abs(std::int32_t(sample));
        }
    } else {
        const DWORD count = std::min<DWORD>(samplesPerSec, bytes);
        for (DWORD i = 0; i < count; ++i)
            sum += std::abs(std::int32_t(std::uint8_t(data[i])) - 128) * 256;
    }
    return std::int32_t(sum / samplesPerSec);
}

} // namespace

struct TSioCustomTapiDevice::TWaveAudio {
    // Playing: one header, two buffers, one chunk playing while the next is loaded.
    HWAVEOUT Out = 0;
    WAVEHDR PlayHeader{};
    std::vector<char> PlayBuffers[2];
    int PlayTurn = 0; // the buffer loaded next
    DWORD DataSize = 0;
    std::int64_t Position = -1; // bytes of the data sent to the device; -1 when all are
    DWORD ChunkLength = 0;      // loaded and waiting to be played
    HMMIO PlayFile = nullptr;

    // Recording: one header, two buffers of a second each, the one filling and the one written.
    HWAVEIN In = 0;
    WAVEHDR RecordHeader{};
    std::vector<char> RecordBuffers[2];
    int RecordTurn = 0; // the buffer being filled
    DWORD LastBytes = 0;
    std::uint64_t Recorded = 0;
    HMMIO TempWaveFile = nullptr;
    std::string TempName; // of the recording under way or waiting to be saved
    MMCKINFO Riff{}, Data{};
    std::int32_t Level = 0;
    HWAVEOUT Monitor = 0;
    WAVEHDR MonitorHeaders[2]{}; // one per record buffer
};

void TSioCustomTapiDevice::TWaveAudioFree::operator()(TWaveAudio* audio) const {
    delete audio;
}

TSioCustomTapiDevice::TWaveAudio& TSioCustomTapiDevice::Audio() {
    if (!wave_)
        wave_.reset(new TWaveAudio);
    return *wave_;
}

// ---- Voice calls

void TSioCustomTapiDevice::CheckVoiceCapable() {
    HLINEAPP app = 0;
    DWORD devices = 0;
    bool capable = false;
    bool negotiated = true;
    try {
        if (tuLineInitialize(app, 0, TapiLineCallback, "", devices) == 0) {
            const DWORD line = DWORD(GetSelectedLine());
            DWORD version = 0;
            TLineExtensionID extension{};
            negotiated = tuLineNegotiateApiVersion(app, line, TapiApiVersion14, TapiApiVersion14, version,
                                                   extension) == 0;
            TLineDevCaps* fetched = nullptr;
            const LONG result = negotiated ? tuLineGetDevCapsDyn(app, line, version, 0, fetched) : -1;
            const TTapiBuffer<TLineDevCaps> caps(fetched);
            capable = result == 0 && caps && (caps->dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE);
        }
    } catch (const std::exception&) { // the line could not be selected
        capable = false;
    }
    if (app != 0)
        tuLineShutdown(app);
    if (!negotiated)
        return;
    enableVoice_ = capable;
    if (!capable)
        CheckException(this, ecVoiceNotSupported);
}

void TSioCustomTapiDevice::SendTone(const std::string& digits, DWORD duration) {
    if (enableVoice_)
        CheckError(tuLineGenerateDigits(callHandle_, LINEDIGITMODE_DTMF, digits.c_str(), duration));
}

void TSioCustomTapiDevice::MonitorDTMF(HCALL call, DWORD digitModes) {
    if (!enableVoice_)
        return;
    if (tuLineMonitorDigits(call, digitModes) != 0 && !OnTapiDTMF)
        CheckException(this, ecVoiceNotSupported);
}

LONG TSioCustomTapiDevice::MontorTones(const LINEMONITORTONE* toneList, DWORD count) {
    return enableVoice_ ? tuLineMonitorTones(callHandle_, toneList, count) : 0;
}

void TSioCustomTapiDevice::TapiDTMF(char digit, std::int32_t errorCode) {
    if (digit == '\0' || digit == ' ')
        return;
    const bool playing = waveState_ == wsPlaying;
    if (InterruptWave && playing)
        StopWaveFile();
    else if (playing)
        return;
    if (OnTapiDTMF)
        OnTapiDTMF(this, digit, errorCode);
}

void TSioCustomTapiDevice::AutomatedVoicetoComms() {
    if (!enableVoice_ || !callInfo_ || !(callInfo_->dwMediaMode & LINEMEDIAMODE_AUTOMATEDVOICE))
        return;
    WaitForReply(tuLineSetCallParams(callHandle_, LINEBEARERMODE_PASSTHROUGH, MinPassThroughRate,
                                     MaxPassThroughRate, nullptr));
    OpenTapiPort();
}

void TSioCustomTapiDevice::TapiWave(TWaveMessage message) {
    if (OnTapiWaveNotify)
        OnTapiWaveNotify(this, message);
}

// ---- Wave devices and errors

DWORD TSioCustomTapiDevice::GetWaveDeviceId(bool play) {
    const DWORD line = DWORD(GetSelectedLine());
    TLineDevCaps* fetched = nullptr;
    const LONG result = tuLineGetDevCapsDyn(lineApp_, line, apiVersion_, 0, fetched);
    const TTapiBuffer<TLineDevCaps> caps(fetched);
    if (result != 0 || !caps)
        throw ETapiWaveFail(ecWaveFail);
    if (!(caps->dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE))
        throw ETapiVoiceNotSupported(ecVoiceNotSupported);
    TVarString& id = VarStringBuf();
    if (tuLineGetID(lineHandle_, 0, callHandle_, LINECALLSELECT_CALL, id, play ? "wave/out" : "wave/in") !=
            0 ||
        id.dwStringSize < sizeof(DWORD) || id.dwStringOffset > id.dwTotalSize - sizeof(DWORD))
        throw ETapiWaveFail(ecWaveFail);
    DWORD device = 0;
    std::memcpy(&device, varStringBuf_ + id.dwStringOffset, sizeof device);
    return device;
}

// A finished recording waiting to be saved stays: the error is not its.
void TSioCustomTapiDevice::CheckWaveException(MMRESULT result, int kind) {
    if (result == MMSYSERR_NOERROR)
        return;
    char text[MAXERRORLENGTH] = {};
    if (kind == wkInput)
        waveInGetErrorText(result, text, sizeof text);
    else if (kind == wkOutput)
        waveOutGetErrorText(result, text, sizeof text);
    throw ETapiWaveFail(text[0] ? std::string(text) : ErrorMsg(ecWaveFail));
}

void TSioCustomTapiDevice::SetRecordingParams(std::uint8_t tracks, std::uint32_t samplesPerSec,
                                              std::uint8_t bitsPerSample) {
    numTracks_ = tracks;
    samplesPerSec_ = samplesPerSec;
    bitsPerSample_ = bitsPerSample;
}

// PCM in NumTracks, SamplesPerSec and BitsPerSample; its bytes per second count the tracks.
WAVEFORMATEX TSioCustomTapiDevice::RecordingFormat() const {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = numTracks_;
    format.nSamplesPerSec = samplesPerSec_;
    format.nBlockAlign = WORD(numTracks_ * (bitsPerSample_ / 8));
    format.nAvgBytesPerSec = format.nBlockAlign * samplesPerSec_;
    format.wBitsPerSample = bitsPerSample_;
    format.cbSize = 0;
    return format;
}

// ---- Playing

void TSioCustomTapiDevice::PlayWaveFile(const std::string& fileName) {
    if (waveState_ == wsRecording)
        throw ETapiWaveFail(ecWaveInUse);
    if (waveState_ == wsPlaying) {
        if (!InterruptWave)
            return;
        StopWaveFile();
        if (!WaitUntil([this] { return Audio().Out == 0; }, PlayStopTimeoutMs))
            EndPlaying();
    }
    waveFileName_ = fileName;
    const std::string name = PlatformName(fileName);
    std::error_code error;
    if (!std::filesystem::is_regular_file(name, error))
        throw ETapiWaveFail(ecFileNotFound);
    const UINT device = UseSoundCard ? WAVE_MAPPER : UINT(GetWaveDeviceId(true));
    const DWORD mapped = UseSoundCard ? 0 : WAVE_MAPPED;
    TWaveAudio& a = Audio();
    try {
        a.PlayFile = mmioOpen(name.c_str(), nullptr, MMIO_READ | MMIO_ALLOCBUF);
        if (!a.PlayFile)
            CheckWaveException(MMIOERR_CANNOTOPEN, wkFile);
        MMCKINFO riff{};
        riff.fccType = WaveType;
        CheckWaveException(mmioDescend(a.PlayFile, &riff, nullptr, MMIO_FINDRIFF), wkFile);
        MMCKINFO chunk{};
        chunk.ckid = FormatId;
        CheckWaveException(mmioDescend(a.PlayFile, &chunk, &riff, MMIO_FINDCHUNK), wkFile);
        WAVEFORMATEX format{};
        const LONG formatSize = LONG(std::min<DWORD>(chunk.cksize, sizeof format));
        if (formatSize < LONG(offsetof(WAVEFORMATEX, cbSize)) ||
            mmioRead(a.PlayFile, reinterpret_cast<char*>(&format), formatSize) != formatSize)
            throw ETapiWaveFail(ecWaveRead);
        const DWORD bufferSize = std::max(PlaySeconds * RecordingFormat().nAvgBytesPerSec, MinPlayBuffer);
        CheckWaveException(waveOutOpen(nullptr, device, &format, 0, 0, WAVE_FORMAT_QUERY | mapped), wkOutput);
        CheckWaveException(mmioAscend(a.PlayFile, &chunk, 0), wkFile);
        chunk.ckid = DataId;
        CheckWaveException(mmioDescend(a.PlayFile, &chunk, &riff, MMIO_FINDCHUNK), wkFile);
        a.DataSize = chunk.cksize;
        a.Position = 0;
        const MMRESULT opened =
            waveOutOpen(&a.Out, device, &format, TapiWnd(), DWORD_PTR(this), CALLBACK_WINDOW | mapped);
        if (opened == MMSYSERR_NOTENABLED) { // nothing plays, and that is no error
            EndPlaying();
            return;
        }
        CheckWaveException(opened, wkOutput);
        a.PlayBuffers[0].assign(bufferSize, 0);
        a.PlayBuffers[1].assign(bufferSize, 0);
        a.PlayTurn = 0;
        waveState_ = wsPlaying;
        LoadChunk();
        PlayChunk();
    } catch (...) {
        EndPlaying();
        throw;
    }
}

void TSioCustomTapiDevice::LoadChunk() {
    TWaveAudio& a = Audio();
    std::vector<char>& buffer = a.PlayBuffers[a.PlayTurn];
    const DWORD wanted = DWORD(std::min<std::int64_t>(std::int64_t(buffer.size()), a.DataSize - a.Position));
    const LONG read = mmioRead(a.PlayFile, buffer.data(), LONG(wanted));
    if (read < 0)
        throw ETapiWaveFail(ecWaveRead);
    a.ChunkLength = DWORD(read);
    if (DWORD(read) < wanted) // the file ends before its data chunk says
        a.DataSize = DWORD(a.Position + read);
}

// Plays the loaded chunk and loads the next one while it plays.
void TSioCustomTapiDevice::PlayChunk() {
    TWaveAudio& a = Audio();
    a.PlayHeader = {};
    a.PlayHeader.lpData = a.PlayBuffers[a.PlayTurn].data();
    a.PlayHeader.dwBufferLength = a.ChunkLength;
    a.PlayTurn ^= 1;
    MMRESULT result = waveOutPrepareHeader(a.Out, &a.PlayHeader, sizeof a.PlayHeader);
    if (result == MMSYSERR_NOERROR)
        result = waveOutWrite(a.Out, &a.PlayHeader, sizeof a.PlayHeader);
    if (result != MMSYSERR_NOERROR) {
        EndPlaying();
        CheckWaveException(result, wkOutput);
    }
    a.Position += a.ChunkLength;
    if (a.Position >= a.DataSize) {
        a.Position = -1;
        return;
    }
    try {
        LoadChunk();
    } catch (...) {
        EndPlaying();
        throw;
    }
}

void TSioCustomTapiDevice::StopWaveFile() {
    if (!wave_ || !wave_->Out)
        return;
    wave_->Position = -1;
    waveOutReset(wave_->Out); // its MM_WOM_DONE ends the playing
}

void TSioCustomTapiDevice::EndPlaying() {
    TWaveAudio& a = Audio();
    if (a.Out) {
        waveOutReset(a.Out);
        waveOutUnprepareHeader(a.Out, &a.PlayHeader, sizeof a.PlayHeader);
        waveOutClose(a.Out);
        a.Out = 0;
    }
    if (a.PlayFile) {
        mmioClose(a.PlayFile, 0);
        a.PlayFile = nullptr;
    }
    a.PlayBuffers[0] = {};
    a.PlayBuffers[1] = {};
    a.Position = -1;
    if (waveState_ == wsPlaying)
        waveState_ = AfterPlaying();
}

// A finished recording outlasts a file played meanwhile: it stays until saved or a new one starts.
bool TSioCustomTapiDevice::RecordingWaits() const {
    return wave_ && !wave_->TempName.empty() && !wave_->TempWaveFile && !wave_->In;
}

TWaveState TSioCustomTapiDevice::AfterPlaying() const {
    return RecordingWaits() ? wsData : wsIdle;
}

// ---- Recording

void TSioCustomTapiDevice::StartWaveRecord() {
    if (waveState_ == wsRecording || waveState_ == wsPlaying)
        throw ETapiWaveFail(ecWaveInUse);
    if (GetTapiState() == tsIdle)
        SetOpen(true);
    const UINT device = UINT(GetWaveDeviceId(false));
    const WAVEFORMATEX format = RecordingFormat();
    TWaveAudio& a = Audio();
    // A finished recording nobody saved goes once the next one runs.
    const std::string unsaved = std::exchange(a.TempName, {});
    try {
        CheckWaveException(
            waveInOpen(&a.In, device, &format, TapiWnd(), DWORD_PTR(this), CALLBACK_WINDOW | WAVE_MAPPED),
            wkInput);
        if (monitorRecording_)
            OpenMonitor();
        const DWORD size = format.nAvgBytesPerSec; // a second
        a.RecordBuffers[0].assign(size, 0);
        a.RecordBuffers[1].assign(size, 0);
        a.RecordTurn = 0;
        a.LastBytes = 0;
        a.Recorded = 0;
        a.RecordHeader = {};
        a.RecordHeader.lpData = a.RecordBuffers[0].data();
        a.RecordHeader.dwBufferLength = size;
        CheckWaveException(waveInPrepareHeader(a.In, &a.RecordHeader, sizeof a.RecordHeader), wkInput);
        CheckWaveException(waveInAddBuffer(a.In, &a.RecordHeader, sizeof a.RecordHeader), wkInput);
        // The temporary file: RIFF "WAVE", "fmt " of 18 bytes, then the open "data" chunk.
        char folder[MAX_PATH];
        char name[MAX_PATH];
        if (GetTempPath(sizeof folder, folder) >= sizeof folder ||
            GetTempFileName(folder, TempPrefix, 0, name) == 0)
            throw ETapiWaveFail(ecWaveFail);
        a.TempName = name;
        a.TempWaveFile = mmioOpen(name, nullptr, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
        if (!a.TempWaveFile)
            throw ETapiWaveFail(ecWaveFail);
        a.Riff = {};
        a.Riff.fccType = WaveType;
        MMCKINFO formatChunk{};
        formatChunk.ckid = FormatId;
        formatChunk.cksize = sizeof format;
        a.Data = {};
        a.Data.ckid = DataId;
        if (mmioCreateChunk(a.TempWaveFile, &a.Riff, MMIO_CREATERIFF) != 0 ||
            mmioCreateChunk(a.TempWaveFile, &formatChunk, 0) != 0 ||
            mmioWrite(a.TempWaveFile, reinterpret_cast<const char*>(&format), sizeof format) !=
                sizeof format ||
            mmioAscend(a.TempWaveFile, &formatChunk, 0) != 0 ||
            mmioCreateChunk(a.TempWaveFile, &a.Data, 0) != 0)
            throw ETapiWaveFail(WriteError);
        CheckWaveException(waveInStart(a.In), wkInput);
    } catch (...) {
        EndRecording(false);
        a.TempName = unsaved;
        throw;
    }
    RemoveFile(unsaved);
    silentBufferCount_ = 0;
    waveState_ = wsRecording;
}

void TSioCustomTapiDevice::RecordedData(HWAVEIN input, WAVEHDR* header) {
    TWaveAudio& a = Audio();
    if (waveState_ != wsRecording || input != a.In || header != &a.RecordHeader)
        return; // a buffer of a recording that has ended
    a.LastBytes = header->dwBytesRecorded;
    a.Recorded += a.LastBytes;
    const DWORD size = header->dwBufferLength;
    const char* data = a.RecordBuffers[a.RecordTurn].data();
    const bool full =
        a.Recorded >= std::uint64_t(std::max(MaxMessageLength, 0)) * RecordingFormat().nAvgBytesPerSec;
    const bool stopped = a.LastBytes + ShortBufferSlack < size;
    try {
        WriteRecorded(data, a.LastBytes);
        if (full || stopped) {
            EndRecording(true);
            TapiWave(waDataReady);
            return;
        }
        a.RecordTurn ^= 1;
        waveInUnprepareHeader(a.In, &a.RecordHeader, sizeof a.RecordHeader);
        a.RecordHeader = {};
        a.RecordHeader.lpData = a.RecordBuffers[a.RecordTurn].data();
        a.RecordHeader.dwBufferLength = size;
        CheckWaveException(waveInPrepareHeader(a.In, &a.RecordHeader, sizeof a.RecordHeader), wkInput);
        CheckWaveException(waveInAddBuffer(a.In, &a.RecordHeader, sizeof a.RecordHeader), wkInput);
    } catch (...) {
        EndRecording(false);
        throw;
    }
    if (TrailingSilence > 0)
        CheckSilence(data, a.LastBytes);
}

void TSioCustomTapiDevice::WriteRecorded(const char* data, DWORD bytes) {
    TWaveAudio& a = Audio();
    WAVEHDR& monitor = a.MonitorHeaders[a.RecordTurn];
    if (a.Monitor && !(monitor.dwFlags & WHDR_INQUEUE)) { // one still playing is not overtaken
        waveOutUnprepareHeader(a.Monitor, &monitor, sizeof monitor);
        monitor = {};
        monitor.lpData = const_cast<char*>(data);
        monitor.dwBufferLength = bytes;
        MMRESULT result = waveOutPrepareHeader(a.Monitor, &monitor, sizeof monitor);
        if (result == MMSYSERR_NOERROR)
            result = waveOutWrite(a.Monitor, &monitor, sizeof monitor);
        CheckWaveException(result, wkOutput);
    }
    if (bytes && mmioWrite(a.TempWaveFile, data, LONG(bytes)) != LONG(bytes))
        throw ETapiWaveFail(WriteError);
}

// The silence counter is this recording's.
void TSioCustomTapiDevice::CheckSilence(const char* data, DWORD bytes) {
    TWaveAudio& a = Audio();
    a.Level = Level(data, bytes, samplesPerSec_, bitsPerSample_);
    if (a.Level >= SilenceThreshold) {
        silentBufferCount_ = 0;
        return;
    }
    if (++silentBufferCount_ < TrailingSilence - 1)
        return;
    bool stopRecording = true;
    bool hangup = true;
    if (OnTapiWaveSilence)
        OnTapiWaveSilence(this, stopRecording, hangup);
    if (stopRecording)
        StopWaveRecord();
    if (hangup)
        CancelCall();
}

void TSioCustomTapiDevice::StopWaveRecord() {
    if (waveState_ != wsRecording || !wave_ || !wave_->In)
        return;
    CheckWaveException(waveInStop(wave_->In), wkInput); // the short buffer ends the recording
    CheckWaveException(waveInReset(wave_->In), wkInput);
}

// keepData: the recording is complete and waits to be saved; otherwise it is thrown away.
void TSioCustomTapiDevice::EndRecording(bool keepData) {
    TWaveAudio& a = Audio();
    if (a.In) {
        waveInReset(a.In);
        waveInUnprepareHeader(a.In, &a.RecordHeader, sizeof a.RecordHeader);
        waveInClose(a.In);
        a.In = 0;
    }
    CloseMonitor();
    a.RecordBuffers[0] = {};
    a.RecordBuffers[1] = {};
    bool written = true;
    if (a.TempWaveFile) {
        if (keepData) // the sizes of both chunks
            written =
                mmioAscend(a.TempWaveFile, &a.Data, 0) == 0 && mmioAscend(a.TempWaveFile, &a.Riff, 0) == 0;
        written = mmioClose(a.TempWaveFile, 0) == 0 && written;
        a.TempWaveFile = nullptr;
    }
    if (keepData && written) {
        waveState_ = wsData;
        return;
    }
    RemoveFile(a.TempName);
    a.TempName.clear();
    if (waveState_ == wsRecording)
        waveState_ = wsIdle;
    if (keepData)
        throw ETapiWaveFail(WriteError);
}

void TSioCustomTapiDevice::SaveWaveFile(const std::string& fileName, bool overwrite) {
    if (waveState_ == wsRecording)
        throw ETapiWaveFail(ecWaveInUse);
    if (!RecordingWaits())
        throw ETapiWaveFail(ecNoWaveData);
    const std::string target = PlatformName(fileName);
    std::error_code error;
    if (!overwrite && std::filesystem::exists(target, error))
        throw ETapiWaveFail(ecWaveExists);
    waveFileName_ = fileName;
    TWaveAudio& a = Audio();
    std::filesystem::copy_file(a.TempName, target, std::filesystem::copy_options::overwrite_existing, error);
    if (error) // the recording stays, to be saved elsewhere
        throw ETapiWaveFail(ecWaveFail);
    RemoveFile(a.TempName);
    a.TempName.clear();
    if (waveState_ == wsData)
        waveState_ = wsIdle;
}

void TSioCustomTapiDevice::SetMonitorRecording(bool value) {
    monitorRecording_ = value;
    if (waveState_ != wsRecording)
        return;
    if (value && !Audio().Monitor)
        OpenMonitor();
    else if (!value)
        CloseMonitor();
}

void TSioCustomTapiDevice::OpenMonitor() {
    TWaveAudio& a = Audio();
    const WAVEFORMATEX format = RecordingFormat();
    a.MonitorHeaders[0] = {};
    a.MonitorHeaders[1] = {};
    CheckWaveException(waveOutOpen(&a.Monitor, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), wkOutput);
}

void TSioCustomTapiDevice::CloseMonitor() {
    TWaveAudio& a = Audio();
    if (!a.Monitor)
        return;
    waveOutReset(a.Monitor);
    for (WAVEHDR& header : a.MonitorHeaders)
        waveOutUnprepareHeader(a.Monitor, &header, sizeof header);
    waveOutClose(a.Monitor);
    a.Monitor = 0;
}

// ---- Completion messages

void TSioCustomTapiDevice::WaveMessage(unsigned message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case MM_WOM_OPEN:
        TapiWave(waPlayOpen);
        break;
    case MM_WOM_DONE:
        if (!wave_ || wave_->Out == 0 || HWAVEOUT(wParam) != wave_->Out)
            break; // of a playing that has ended
        waveOutUnprepareHeader(wave_->Out, &wave_->PlayHeader, sizeof wave_->PlayHeader);
        if (wave_->Position != -1) {
            PlayChunk();
            break;
        }
        EndPlaying();
        TapiWave(waPlayDone);
        break;
    case MM_WOM_CLOSE:
        if (waveState_ == wsPlaying && !(wave_ && wave_->Out))
            waveState_ = AfterPlaying();
        TapiWave(waPlayClose);
        break;
    case MM_WIM_OPEN:
        TapiWave(waRecordOpen);
        break;
    case MM_WIM_DATA:
        RecordedData(HWAVEIN(wParam), reinterpret_cast<WAVEHDR*>(lParam));
        break;
    case MM_WIM_CLOSE:
        TapiWave(waRecordClose);
        break;
    default:
        break;
    }
}

// A recording nobody saved is thrown away: nobody can save it any more.
void TSioCustomTapiDevice::CloseWaveDevices() {
    if (!wave_)
        return;
    EndPlaying();
    EndRecording(false);
}
