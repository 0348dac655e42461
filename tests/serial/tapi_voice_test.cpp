// The line device's voice calls over the scripted telephony and wave back-ends: recordings written
// and read back in the wave layout, silence detection, playing, DTMF digits and tones, and the
// errors of each, on the fake clock.
#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/Clock.h"
#include "platform/ScriptedDialogs.h"
#include "platform/TapiTestBackEnd.h"
#include "platform/Wave.h"
#include "serial/ComPort.h"
#include "serial/Exceptions.h"
#include "serial/TapiDevice.h"
#include "tests/platform/TestSupport.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

std::string Le16(std::uint16_t value) {
    return std::string(reinterpret_cast<const char*>(&value), 2);
}

std::string Le32(std::uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

// 16-bit samples alternating between +amplitude and -amplitude.
std::string Tone16(int samples, std::int16_t amplitude) {
    std::string audio;
    for (int i = 0; i < samples; ++i)
        audio += Le16(std::uint16_t(i % 2 ? -amplitude : amplitude));
    return audio;
}

// A PCM wave file as the device writes one: RIFF "WAVE", "fmt " of 18 bytes, "data".
std::string WaveFile(std::uint16_t tracks, std::uint32_t rate, std::uint16_t bits, const std::string& data) {
    const std::uint16_t align = std::uint16_t(tracks * bits / 8);
    return "RIFF" + Le32(std::uint32_t(4 + 26 + 8 + data.size())) + "WAVE" + "fmt " + Le32(18) + Le16(1) +
           Le16(tracks) + Le32(rate) + Le32(rate * align) + Le16(align) + Le16(bits) + Le16(0) + "data" +
           Le32(std::uint32_t(data.size())) + data;
}

constexpr std::size_t WaveHeaderSize = 46;

std::string ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

void WriteFile(const QString& path, const std::string& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes.data(), qint64(bytes.size()));
}

template <class F> std::int32_t RaisedCode(F action, std::string* message = nullptr) {
    try {
        action();
    } catch (const ETapiWaveFail& error) {
        if (message)
            *message = error.Message;
        return error.ErrorCode;
    }
    ADD_FAILURE() << "nothing raised";
    return 1;
}

// A voice line with a wave input and output of its own, a sound card, and a voice device on them.
class TapiVoice : public ::testing::Test {
protected:
    TapiVoice() {
        port.SetOnTriggerAvail([](TSioCustomComPort*, std::uint16_t) {});
        device.ComPort = &port;
        device.ShowPorts = false;
        device.ShowTapiDevices = false;
        device.SetSelectedDevice("Voice");
        device.SetEnableVoice(true);
        device.OnTapiWaveNotify = [this](TSioCustomTapiDevice*, TWaveMessage message) {
            notes.push_back(message);
        };
        device.OnTapiDTMF = [this](TSioCustomTapiDevice*, char digit, std::int32_t) { digits += digit; };
        device.OnTapiLog = [this](TSioCustomTapiDevice*, TTapiLogCode code) { logged.push_back(code); };
        device.OnTapiStatus = [this](TSioCustomTapiDevice*, bool, bool, std::int32_t, std::int32_t message,
                                     std::int32_t param1, std::int32_t, std::int32_t) {
            if (message == LINE_MONITORTONE)
                tones.push_back(param1);
        };
        device.OnTapiFail = [](TSioCustomTapiDevice*) {};
    }
    ~TapiVoice() override {
        if (owned) {
            owned->StopWaveFile();
            owned->CancelCall();
        }
    }

    HCALL Call() {
        device.Dial("100");
        EXPECT_TRUE(PumpUntil([&] { return device.CallConnected(); }));
        return device.CallHandle();
    }
    // The time passes a second at a time, and what the wave devices sent each second is handled.
    void Seconds(int count) {
        for (int i = 0; i < count; ++i) {
            clock.Advance(1000);
            QCoreApplication::sendPostedEvents();
        }
    }
    QStringList TempFiles() const { return QDir(temp.path()).entryList(QDir::Files); }
    QString Path(const char* name) const { return QDir(temp.path()).filePath(QString::fromLatin1(name)); }

    QTemporaryDir temp;
    TEnvironment tmpdir{"TMPDIR", temp.path().toLocal8Bit()};
    TComFolder folder;
    TScriptedDialogs dialogs{FailTest};
    TPtyPair pty;
    TTapiTestBackEnd tapi;
    TWaveTestBackEnd wave;
    TFakeClock clock;
    const UINT card = wave.AddOutput(); // the default output
    const UINT lineIn = wave.AddInput();
    const UINT lineOut = wave.AddOutput();
    const DWORD voice = tapi.AddLine({.Name = "Voice",
                                      .Device = QString::fromStdString(pty.SlavePath()),
                                      .MediaModes = LINEMEDIAMODE_AUTOMATEDVOICE,
                                      .WaveIn = lineIn,
                                      .WaveOut = lineOut});
    TSioComPort port;
    std::vector<TWaveMessage> notes;
    std::string digits;
    std::vector<TTapiLogCode> logged;
    std::vector<std::int32_t> tones;
    std::unique_ptr<TSioTapiDevice> owned = std::make_unique<TSioTapiDevice>(nullptr);
    TSioTapiDevice& device = *owned;
};

TEST_F(TapiVoice, ARecordingIsWrittenInTheWaveLayoutEndedBySilenceAndReadBack) {
    const std::string loud = Tone16(8000, 1000);
    Call();
    wave.Hear(lineIn, loud); // then silence
    int silences = 0;
    device.OnTapiWaveSilence = [&](TSioCustomTapiDevice*, bool&, bool&) { ++silences; };
    device.StartWaveRecord();
    EXPECT_EQ(device.WaveState(), wsRecording);
    ASSERT_EQ(TempFiles().size(), 1);
    EXPECT_TRUE(TempFiles().front().startsWith(QStringLiteral("~AP"))) << TempFiles().front().toStdString();

    Seconds(1); // a loud second
    EXPECT_EQ(silences, 0);
    Seconds(1); // a silent one: TrailingSilence 2 stops the recording and ends the call
    EXPECT_EQ(silences, 1);
    ASSERT_TRUE(
        PumpUntil([&] { return device.WaveState() == wsData && !device.Open() && notes.size() == 3; }));
    EXPECT_EQ(notes, (std::vector<TWaveMessage>{waRecordOpen, waDataReady, waRecordClose}));
    EXPECT_EQ(std::count(logged.begin(), logged.end(), ltapiCancel), 1);

    const QString saved = Path("message.wav");
    device.SaveWaveFile(saved.toStdString(), false);
    EXPECT_EQ(device.WaveState(), wsIdle);
    EXPECT_EQ(device.WaveFileName(), saved.toStdString());
    EXPECT_EQ(TempFiles(), QStringList{QStringLiteral("message.wav")}); // the temporary file is gone
    const std::string bytes = ReadFile(saved);
    const std::string header = "RIFF" + Le32(32038) + "WAVE" + "fmt " + Le32(18) + Le16(1) + Le16(1) +
                               Le32(8000) + Le32(16000) + Le16(2) + Le16(16) + Le16(0) + "data" + Le32(32000);
    ASSERT_EQ(bytes.size(), WaveHeaderSize + 32000);
    EXPECT_EQ(bytes.substr(0, WaveHeaderSize), header);
    EXPECT_EQ(bytes.substr(WaveHeaderSize), loud + std::string(16000, '\0'));

    // Read back: played on the sound card as it was recorded.
    notes.clear();
    device.UseSoundCard = true;
    device.PlayWaveFile(saved.toStdString());
    EXPECT_EQ(device.WaveState(), wsPlaying);
    Seconds(2);
    ASSERT_TRUE(PumpUntil([&] { return notes.size() == 3; }));
    EXPECT_EQ(notes, (std::vector<TWaveMessage>{waPlayOpen, waPlayDone, waPlayClose}));
    EXPECT_EQ(device.WaveState(), wsIdle);
    EXPECT_EQ(wave.Played(card), bytes.substr(WaveHeaderSize));
    EXPECT_EQ(wave.OpenDevices(), 0);
}

TEST_F(TapiVoice, ARecordingEndsAtItsLengthLimitWithTheTracksCountedInEverySecond) {
    const struct {
        std::uint8_t Tracks;
        std::uint8_t Bits;
        std::int32_t Seconds;
        std::uint32_t BytesPerSecond;
        std::uint16_t Align;
    } cases[] = {
        {1, 16, 60, 16000, 2}, // 960000 bytes
        {2, 16, 2, 32000, 4},
        {1, 8, 3, 8000, 1},
    };
    Call();
    device.TrailingSilence = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.Tracks) * 100 + c.Bits);
        device.SetRecordingParams(c.Tracks, 8000, c.Bits);
        device.MaxMessageLength = c.Seconds;
        device.StartWaveRecord();
        Seconds(c.Seconds - 1);
        EXPECT_EQ(device.WaveState(), wsRecording);
        Seconds(1);
        ASSERT_TRUE(PumpUntil([&] { return device.WaveState() == wsData; }));
        const QString saved = Path("limit.wav");
        device.SaveWaveFile(saved.toStdString(), true);
        const std::string bytes = ReadFile(saved);
        const std::uint32_t data = c.BytesPerSecond * std::uint32_t(c.Seconds);
        ASSERT_EQ(bytes.size(), WaveHeaderSize + data);
        EXPECT_EQ(bytes.substr(0, WaveHeaderSize),
                  WaveFile(c.Tracks, 8000, c.Bits, std::string(data, '\0')).substr(0, WaveHeaderSize));
        EXPECT_EQ(bytes.substr(28, 4), Le32(c.BytesPerSecond));
        EXPECT_EQ(bytes.substr(32, 2), Le16(c.Align));
        const char silence = c.Bits == 8 ? char(0x80) : '\0';
        EXPECT_EQ(bytes.find_first_not_of(silence, WaveHeaderSize), std::string::npos);
    }
    EXPECT_TRUE(device.CallConnected()); // no silence detection: the call goes on
}

TEST_F(TapiVoice, TheSilenceCounterStartsAgainWithEachRecording) {
    Call();
    device.TrailingSilence = 3; // two silent seconds in a row
    int silences = 0;
    device.OnTapiWaveSilence = [&](TSioCustomTapiDevice*, bool& stopRecording, bool& hangup) {
        ++silences;
        EXPECT_TRUE(stopRecording);
        hangup = false;
    };
    wave.Hear(lineIn, Tone16(8000, 1000));
    device.StartWaveRecord();
    Seconds(2); // loud, then one silent second
    device.StopWaveRecord();
    ASSERT_TRUE(PumpUntil([&] { return device.WaveState() == wsData; }));
    EXPECT_EQ(silences, 0);

    device.StartWaveRecord(); // the unsaved recording goes
    EXPECT_EQ(TempFiles().size(), 1);
    Seconds(1);
    EXPECT_EQ(silences, 0); // one silent second of this recording
    Seconds(1);
    EXPECT_EQ(silences, 1);
    ASSERT_TRUE(PumpUntil([&] { return device.WaveState() == wsData; }));
    EXPECT_TRUE(device.CallConnected()); // the handler kept the call
}

TEST_F(TapiVoice, AFinishedRecordingOutlastsAFilePlayedBeforeItIsSaved) {
    const QString greeting = Path("greeting.wav");
    WriteFile(greeting, WaveFile(1, 8000, 16, Tone16(8000, 500)));
    Call();
    device.TrailingSilence = 0;
    wave.Hear(lineIn, Tone16(8000, 1000));
    device.StartWaveRecord();
    Seconds(1);
    device.StopWaveRecord();
    ASSERT_TRUE(PumpUntil([&] { return device.WaveState() == wsData; }));
    const QStringList recorded = TempFiles();

    device.PlayWaveFile(greeting.toStdString());
    EXPECT_EQ(device.WaveState(), wsPlaying);
    const QString saved = Path("message.wav");
    Seconds(2);
    ASSERT_TRUE(PumpUntil([&] { return device.WaveState() != wsPlaying; }));
    EXPECT_EQ(device.WaveState(), wsData); // still waiting to be saved
    device.SaveWaveFile(saved.toStdString(), false);
    EXPECT_EQ(device.WaveState(), wsIdle);
    EXPECT_EQ(ReadFile(saved).substr(WaveHeaderSize), Tone16(8000, 1000));
    QStringList left = TempFiles();
    left.removeAll(QStringLiteral("greeting.wav"));
    EXPECT_EQ(left, QStringList{QStringLiteral("message.wav")}) << recorded.join(' ').toStdString();
}

TEST_F(TapiVoice, ALoudSecondStartsTheSilenceCountAgain) {
    Call();
    device.TrailingSilence = 3; // two silent seconds in a row
    int silences = 0;
    device.OnTapiWaveSilence = [&](TSioCustomTapiDevice*, bool&, bool& hangup) {
        ++silences;
        hangup = false;
    };
    wave.Hear(lineIn, std::string(16000, '\0') + Tone16(8000, 1000)); // silent, loud, then silence
    device.StartWaveRecord();
    Seconds(3);
    EXPECT_EQ(silences, 0);
    Seconds(1);
    EXPECT_EQ(silences, 1);
}

TEST_F(TapiVoice, ADigitStopsTheFilePlayingOnlyWhenWaveMayBeInterrupted) {
    const QString file = Path("greeting.wav");
    WriteFile(file, WaveFile(1, 8000, 8, std::string(40000, 'g'))); // five seconds
    const struct {
        const char* Name;
        bool Interrupt;
        bool Playing;
        char Digit;
        bool Heard;
        bool Stops;
    } cases[] = {
        {"no file", true, false, '5', true, false},
        {"interrupting", true, true, '#', true, true},
        {"not interrupting", false, true, '7', false, false},
        {"not interrupting, no file", false, false, '1', true, false},
        {"a blank", true, false, ' ', false, false},
    };
    const HCALL call = Call();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        device.InterruptWave = c.Interrupt;
        digits.clear();
        const std::size_t played = wave.Played(lineOut).size();
        if (c.Playing)
            device.PlayWaveFile(file.toStdString());
        Seconds(1);
        const std::size_t logs = logged.size();
        tapi.Digit(call, c.Digit);
        ASSERT_TRUE(PumpUntil([&] { return logged.size() == logs + 1; })); // ltapiReceivedDigit
        EXPECT_EQ(digits, c.Heard ? std::string(1, c.Digit) : std::string());
        PumpUntil([&] { return device.WaveState() == wsIdle; }, c.Stops ? 5000 : 20);
        EXPECT_EQ(device.WaveState(), c.Playing && !c.Stops ? wsPlaying : wsIdle);
        if (c.Stops) {
            EXPECT_EQ(wave.Played(lineOut).size() - played, 8000u); // one second of five
        }
        device.StopWaveFile();
        PumpUntil([&] { return device.WaveState() == wsIdle; });
    }
}

TEST_F(TapiVoice, DigitsAndTonesAreSentAndHeardAndTheCallCanTurnToData) {
    const HCALL call = Call();
    device.SendTone("12#", 100);
    EXPECT_EQ(tapi.GeneratedDigits(call), "12#");
    const LINEMONITORTONE busyTone[1] = {{0x77, 300, 425, 0, 0}};
    EXPECT_EQ(device.MontorTones(busyTone, 1), 0);
    tapi.Tone(call, 0);
    ASSERT_TRUE(PumpUntil([&] { return tones.size() == 1; }));
    EXPECT_EQ(tones.front(), 0x77);

    EXPECT_FALSE(port.Open());
    device.AutomatedVoicetoComms();
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));
    EXPECT_NE(port.TapiCid, 0);
}

TEST_F(TapiVoice, WaveOperationsRefuseWhatCannotBeDone) {
    const QString existing = Path("existing.wav");
    WriteFile(existing, "not a wave file");
    std::string message;
    EXPECT_EQ(RaisedCode([&] { device.SaveWaveFile(existing.toStdString(), true); }, &message), -13945);
    EXPECT_EQ(message, "No wave data available");
    EXPECT_EQ(RaisedCode([&] { device.PlayWaveFile(Path("missing.wav").toStdString()); }, &message), -2);
    EXPECT_EQ(message, "File not found");
    device.UseSoundCard = true;
    EXPECT_EQ(RaisedCode([&] { device.PlayWaveFile(existing.toStdString()); }, &message), 0);
    EXPECT_EQ(message, "TAPI wave file error");
    device.UseSoundCard = false;

    Call();
    device.TrailingSilence = 0;
    device.StartWaveRecord();
    EXPECT_EQ(RaisedCode([&] { device.StartWaveRecord(); }), -13943);
    EXPECT_EQ(RaisedCode([&] { device.PlayWaveFile(existing.toStdString()); }), -13943);
    EXPECT_EQ(RaisedCode([&] { device.SaveWaveFile(existing.toStdString(), true); }), -13943);
    Seconds(1);
    device.StopWaveRecord();
    ASSERT_TRUE(PumpUntil([&] { return device.WaveState() == wsData; }));
    EXPECT_EQ(RaisedCode([&] { device.SaveWaveFile(existing.toStdString(), false); }, &message), -13944);
    EXPECT_EQ(message, "Wave file already exists");
    EXPECT_EQ(device.WaveState(), wsData); // still there to be saved
    device.SaveWaveFile(existing.toStdString(), true);
    EXPECT_EQ(ReadFile(existing).size(), WaveHeaderSize + 16000);

    device.CancelCall();
    EXPECT_EQ(RaisedCode([&] { device.StartWaveRecord(); }), -13936); // no call: no wave device
    EXPECT_EQ(wave.OpenDevices(), 0);
}

TEST_F(TapiVoice, RecordingIsHeardOnTheSoundCardAndAnEndedDeviceLeavesNothingOpen) {
    Call();
    wave.Hear(lineIn, Tone16(8000, 1000));
    device.SetMonitorRecording(true);
    device.StartWaveRecord();
    Seconds(1);
    EXPECT_EQ(wave.OpenDevices(), 2); // the line's input and the sound card
    Seconds(1);
    EXPECT_EQ(wave.Played(card), Tone16(8000, 1000)); // what was recorded a second ago
    owned.reset();
    EXPECT_EQ(wave.OpenDevices(), 0);
    EXPECT_TRUE(TempFiles().isEmpty());
}

TEST(TapiVoiceWithoutSound, TheLineAndThePlatformSayWhatIsMissing) {
    QTemporaryDir temp;
    const QString file = QDir(temp.path()).filePath(QStringLiteral("a.wav"));
    WriteFile(file, WaveFile(1, 8000, 16, std::string(100, '\0')));
    TComFolder folder;
    TScriptedDialogs dialogs{FailTest};
    TTapiTestBackEnd tapi;
    tapi.AddLine({"Data", ""});
    tapi.AddLine({.Name = "Voice without wave", .MediaModes = LINEMEDIAMODE_AUTOMATEDVOICE});
    TSioComPort port;
    TSioTapiDevice device(nullptr);
    device.ComPort = &port;

    device.UseSoundCard = true; // no sound device on this machine
    std::string message;
    EXPECT_EQ(RaisedCode([&] { device.PlayWaveFile(file.toStdString()); }, &message), 0);
    EXPECT_EQ(message, "There is no wave device on this computer.");
    EXPECT_EQ(device.WaveState(), wsIdle);

    device.UseSoundCard = false;
    device.SetSelectedDevice("Voice without wave");
    EXPECT_EQ(RaisedCode([&] { device.PlayWaveFile(file.toStdString()); }), -13936);
    device.SetSelectedDevice("Data");
    EXPECT_THROW(device.PlayWaveFile(file.toStdString()), ETapiVoiceNotSupported);
    try {
        device.SetEnableVoice(true);
        ADD_FAILURE();
    } catch (const ETapiVoiceNotSupported& error) {
        EXPECT_EQ(error.ErrorCode, -13935);
    }
    EXPECT_FALSE(device.EnableVoice());
    device.SetSelectedDevice("Voice without wave");
    device.SetEnableVoice(true);
    EXPECT_TRUE(device.EnableVoice());
}

} // namespace
