#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "platform/Clock.h"
#include "platform/Wave.h"
#include "tests/platform/TestSupport.h"

namespace {

WAVEFORMATEX Pcm(WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = WORD(channels * bits / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    format.wBitsPerSample = bits;
    return format;
}

// What a device's window received.
struct TWaveMessage {
    unsigned Message;
    WPARAM Device;
    const WAVEHDR* Header;
    bool operator==(const TWaveMessage&) const = default;
};

class TWaveWindow {
public:
    TWaveWindow()
        : window_([this](unsigned message, WPARAM wParam, LPARAM lParam) {
              received.push_back({message, wParam, reinterpret_cast<const WAVEHDR*>(lParam)});
              return LRESULT(0);
          }) {}
    DWORD_PTR Callback() const { return window_.Handle(); }
    std::vector<TWaveMessage> received;

private:
    TMessageWindow window_;
};

struct TPrepared {
    std::vector<char> Data;
    WAVEHDR Header{};
    explicit TPrepared(const std::string& bytes) : Data(bytes.begin(), bytes.end()) {
        Header.lpData = Data.data();
        Header.dwBufferLength = DWORD(Data.size());
    }
    std::string Recorded() const { return std::string(Data.data(), Header.dwBytesRecorded); }
};

std::string ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

std::string Le32(DWORD value) {
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

TEST(WaveDevices, WithoutASoundDeviceEveryOpenAnswersAsAMachineWithoutOne) {
    const WAVEFORMATEX format = Pcm(1, 8000, 16);
    HWAVEOUT out = 0;
    HWAVEIN in = 0;
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_EQ(waveInGetNumDevs(), 0u);
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutOpen(&out, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInOpen(&in, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(in, 0u);
    char text[MAXERRORLENGTH];
    ASSERT_EQ(waveOutGetErrorText(MMSYSERR_NODRIVER, text, sizeof text), MMSYSERR_NOERROR);
    EXPECT_STREQ(text, "There is no wave device on this computer.");
    ASSERT_EQ(waveInGetErrorText(MMSYSERR_BADDEVICEID, text, 10), MMSYSERR_NOERROR);
    EXPECT_EQ(std::strlen(text), 9u); // cut to the buffer
    EXPECT_EQ(waveInGetErrorText(12345, text, sizeof text), MMSYSERR_BADERRNUM);
}

TEST(WaveDevices, OpensCheckTheDeviceTheFormatAndTheHandle) {
    TWaveTestBackEnd wave;
    const UINT in = wave.AddInput();
    const UINT out = wave.AddOutput();
    WAVEFORMATEX format = Pcm(2, 8000, 16);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(wave.OpenDevices(), 0); // a query opens nothing
    for (const WAVEFORMATEX& bad : {Pcm(1, 8000, 12), Pcm(3, 8000, 16), Pcm(1, 0, 16)})
        EXPECT_EQ(waveInOpen(nullptr, in, &bad, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    format.nBlockAlign = 2; // not 2 channels of 2 bytes
    EXPECT_EQ(waveOutOpen(nullptr, out, &format, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    format = Pcm(1, 8000, 16);
    EXPECT_EQ(waveInOpen(nullptr, in, &format, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(nullptr, in + 1, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);

    HWAVEOUT played = 0;
    ASSERT_EQ(waveOutOpen(&played, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    HWAVEOUT again = 0;
    EXPECT_EQ(waveOutOpen(&again, out, &format, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(waveInClose(HWAVEIN(played)), MMSYSERR_INVALHANDLE); // an output is no input
    TPrepared buffer(std::string(1600, 'x'));
    EXPECT_EQ(waveOutWrite(played, &buffer.Header, sizeof buffer.Header), WAVERR_UNPREPARED);
    ASSERT_EQ(waveOutPrepareHeader(played, &buffer.Header, sizeof buffer.Header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(played, &buffer.Header, sizeof buffer.Header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(played, &buffer.Header, sizeof buffer.Header), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(played), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutReset(played), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(played, &buffer.Header, sizeof buffer.Header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(played), MMSYSERR_NOERROR);
    EXPECT_EQ(wave.OpenDevices(), 0);
}

TEST(WaveDevices, AnInputRecordsWhatItHearsThenSilenceInRealTime) {
    TFakeClock clock;
    TWaveTestBackEnd wave;
    const UINT device = wave.AddInput();
    wave.Hear(device, std::string(2000, 'a'));
    TWaveWindow window;
    const WAVEFORMATEX format = Pcm(1, 8000, 16); // 16000 bytes a second
    HWAVEIN in = 0;
    ASSERT_EQ(waveInOpen(&in, device, &format, window.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    TPrepared first(std::string(1600, '?')), second(std::string(1600, '?')), third(std::string(1600, '?'));
    for (TPrepared* b : {&first, &second, &third}) {
        ASSERT_EQ(waveInPrepareHeader(in, &b->Header, sizeof b->Header), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &b->Header, sizeof b->Header), MMSYSERR_NOERROR);
    }
    clock.Advance(1000); // not started: nothing recorded
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    clock.Advance(99);
    EXPECT_FALSE(first.Header.dwFlags & WHDR_DONE);
    clock.Advance(1); // 100 ms: 1600 bytes
    EXPECT_TRUE(first.Header.dwFlags & WHDR_DONE);
    EXPECT_EQ(first.Recorded(), std::string(1600, 'a'));
    clock.Advance(50);
    ASSERT_EQ(waveInStop(in), MMSYSERR_NOERROR); // half of the second buffer
    EXPECT_EQ(second.Recorded(), std::string(400, 'a') + std::string(400, '\0'));
    EXPECT_FALSE(third.Header.dwFlags & WHDR_DONE); // still queued
    EXPECT_EQ(waveInClose(in), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_TRUE(third.Header.dwFlags & WHDR_DONE);
    EXPECT_EQ(third.Header.dwBytesRecorded, 0u);
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);

    EXPECT_TRUE(PumpUntil([&] { return window.received.size() == 5; }));
    const std::vector<TWaveMessage> expected = {{MM_WIM_OPEN, in, nullptr},
                                                {MM_WIM_DATA, in, &first.Header},
                                                {MM_WIM_DATA, in, &second.Header},
                                                {MM_WIM_DATA, in, &third.Header},
                                                {MM_WIM_CLOSE, in, nullptr}};
    EXPECT_EQ(window.received, expected);
}

TEST(WaveDevices, AnOutputKeepsWhatItPlayedAndAResetCutsThePlayingBufferShort) {
    TFakeClock clock;
    TWaveTestBackEnd wave;
    const UINT device = wave.AddOutput();
    TWaveWindow window;
    const WAVEFORMATEX format = Pcm(1, 8000, 8); // 8000 bytes a second
    HWAVEOUT out = 0;
    ASSERT_EQ(waveOutOpen(&out, device, &format, window.Callback(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    TPrepared first(std::string(800, '1')), second(std::string(800, '2'));
    for (TPrepared* b : {&first, &second}) {
        ASSERT_EQ(waveOutPrepareHeader(out, &b->Header, sizeof b->Header), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(out, &b->Header, sizeof b->Header), MMSYSERR_NOERROR);
    }
    clock.Advance(100);
    EXPECT_EQ(wave.Played(device), std::string(800, '1'));
    clock.Advance(25);
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(wave.Played(device), std::string(800, '1') + std::string(200, '2'));
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(PumpUntil([&] { return window.received.size() == 4; }));
    const std::vector<TWaveMessage> expected = {{MM_WOM_OPEN, out, nullptr},
                                                {MM_WOM_DONE, out, &first.Header},
                                                {MM_WOM_DONE, out, &second.Header},
                                                {MM_WOM_CLOSE, out, nullptr}};
    EXPECT_EQ(window.received, expected);
}

TEST(WaveFiles, ChunksAreWrittenWithTheirSizesAndFoundAgainPastOthers) {
    QTemporaryDir folder;
    const std::string path = QDir(folder.path()).filePath(QStringLiteral("a.wav")).toStdString();
    HMMIO file = mmioOpen(path.c_str(), nullptr, MMIO_CREATE | MMIO_WRITE);
    ASSERT_NE(file, nullptr);
    MMCKINFO riff{};
    riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    ASSERT_EQ(mmioCreateChunk(file, &riff, MMIO_CREATERIFF), MMSYSERR_NOERROR);
    MMCKINFO other{};
    other.ckid = mmioFOURCC('j', 'u', 'n', 'k');
    ASSERT_EQ(mmioCreateChunk(file, &other, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioWrite(file, "odd", 3), 3);
    ASSERT_EQ(mmioAscend(file, &other, 0), MMSYSERR_NOERROR); // size 3 and a pad byte
    MMCKINFO data{};
    data.ckid = mmioFOURCC('d', 'a', 't', 'a');
    ASSERT_EQ(mmioCreateChunk(file, &data, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioWrite(file, "samples!", 8), 8);
    ASSERT_EQ(mmioAscend(file, &data, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioAscend(file, &riff, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioClose(file, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(ReadAll(QString::fromStdString(path)), "RIFF" + Le32(4 + 12 + 16) + "WAVE" + "junk" + Le32(3) +
                                                         std::string("odd\0", 4) + "data" + Le32(8) +
                                                         "samples!");

    file = mmioOpen(path.c_str(), nullptr, MMIO_READ);
    ASSERT_NE(file, nullptr);
    MMCKINFO found{};
    found.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    ASSERT_EQ(mmioDescend(file, &found, nullptr, MMIO_FINDRIFF), MMSYSERR_NOERROR);
    EXPECT_EQ(found.cksize, 32u);
    MMCKINFO chunk{};
    chunk.ckid = mmioFOURCC('d', 'a', 't', 'a');
    ASSERT_EQ(mmioDescend(file, &chunk, &found, MMIO_FINDCHUNK), MMSYSERR_NOERROR);
    EXPECT_EQ(chunk.cksize, 8u);
    char bytes[8];
    EXPECT_EQ(mmioRead(file, bytes, 8), 8);
    EXPECT_EQ(std::string(bytes, 8), "samples!");
    EXPECT_EQ(mmioWrite(file, "x", 1), -1); // opened for reading
    ASSERT_EQ(mmioAscend(file, &chunk, 0), MMSYSERR_NOERROR);
    chunk.ckid = mmioFOURCC('f', 'm', 't', ' ');
    EXPECT_EQ(mmioDescend(file, &chunk, &found, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(mmioClose(file, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmioOpen((path + ".missing").c_str(), nullptr, MMIO_READ), nullptr);
}

TEST(WaveFiles, TemporaryNamesAreNewFilesInTheTemporaryFolder) {
    QTemporaryDir folder;
    const TEnvironment tmp("TMPDIR", folder.path().toLocal8Bit());
    char path[MAX_PATH];
    ASSERT_EQ(GetTempPath(sizeof path, path), DWORD(folder.path().size() + 1));
    EXPECT_EQ(QString::fromLocal8Bit(path), folder.path() + QLatin1Char('/'));
    EXPECT_EQ(GetTempPath(2, path), DWORD(folder.path().size() + 2)); // the size it needs
    char first[MAX_PATH], second[MAX_PATH];
    ASSERT_NE(GetTempFileName(path, "~APX", 0, first), 0u);
    ASSERT_NE(GetTempFileName(path, "~APX", 0, second), 0u);
    EXPECT_STRNE(first, second);
    for (const char* name : {first, second}) {
        const QFileInfo file(QString::fromLocal8Bit(name));
        EXPECT_TRUE(file.exists());
        EXPECT_EQ(file.size(), 0);
        EXPECT_EQ(file.path(), folder.path());
        EXPECT_TRUE(file.fileName().startsWith(QStringLiteral("~AP"))) << name;
        EXPECT_EQ(file.fileName().size(), 11); // ~AP, 4 digits, .tmp
    }
    EXPECT_EQ(GetTempFileName(path, "~AP", 0x1A2B, first), 0x1A2Bu);
    EXPECT_EQ(QString::fromLocal8Bit(first), folder.path() + QStringLiteral("/~AP1A2B.tmp"));
    EXPECT_FALSE(QFile::exists(QString::fromLocal8Bit(first))); // a given number makes no file
}

} // namespace
