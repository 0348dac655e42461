#include "core/DataFolder.h"
#include "core/ObjectStates.h"
#include "core/Receiver.h"
#include "core/RecordIo.h"
#include "core/Settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A record in a heap block of exactly its size, so that a read past the end is a sanitizer report.
struct TExactBytes {
    explicit TExactBytes(const std::vector<uint8_t>& bytes, size_t n)
        : size(n), data(std::make_unique<uint8_t[]>(n)) {
        std::memcpy(data.get(), bytes.data(), n);
    }
    size_t size;
    std::unique_ptr<uint8_t[]> data;
};

template <class Record> std::vector<uint8_t> Write(const Record& record) {
    std::vector<uint8_t> bytes(record.GetRecordSize(), 0xCC);
    EXPECT_EQ(static_cast<uint32_t>(record.WriteRecord(bytes.data())), bytes.size());
    return bytes;
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

double Le64(const std::vector<uint8_t>& bytes, size_t at) {
    double value;
    std::memcpy(&value, bytes.data() + at, 8);
    return value;
}

std::string TextAt(const std::vector<uint8_t>& bytes, size_t at) {
    return reinterpret_cast<const char*>(bytes.data() + at);
}

// An object with a distinct value in every stored field.
void Fill(TObjectStates& o, std::string name, std::string phone) {
    o.ObjectNumber = 1234;
    o.ModemID = 0x4D2;
    o.LastDataTime = 45000.25;
    o.Reserved1 = {1.5, 2.5, 3.5};
    o.InputStates = {1, 0, 7, -1};
    o.Reserved2 = 11;
    o.RequestFlags = 0x5;
    o.HwVersion = {21, 3, 4, 5};
    o.UpdateState = 42;
    o.IsBKModel = 1;
    o.Reserved3 = {9, 8, 7};
    o.Reserved4 = {4.5, 5.5, 6.5};
    o.DevIDs = {1, 2, -1, 4};
    o.Reserved5 = 12;
    o.OutputStates = {1, 0, 1, 0, 1};
    SetFixedText(o.PinNames[0], "\xC4\xE2\xE5\xF0\xFC"); // "Дверь" in Windows-1251
    SetFixedText(o.PinNames[12], "fifteen-chars!!");
    o.Reserved6 = 13;
    o.Connected = 1;
    o.ConnectTime = 45001.5;
    o.PowerOnSeen = 1;
    o.ConnectedOnce = 1;
    o.Reserved7 = {1, 2, 3, 4, 5, 6, 7};
    o.Reserved8 = {14, 15, 16};
    o.Password = MakePassword("secret");
    o.Reserved9 = {0xA, 0xB, 0xC, 0xD};
    o.Name = std::move(name);
    o.Phone = std::move(phone);
}

void ExpectSameFields(const TObjectFields& a, const TObjectFields& b) {
    EXPECT_EQ(a.ObjectNumber, b.ObjectNumber);
    EXPECT_EQ(a.ModemID, b.ModemID);
    EXPECT_EQ(a.LastDataTime, b.LastDataTime);
    EXPECT_EQ(a.Reserved1, b.Reserved1);
    EXPECT_EQ(a.InputStates, b.InputStates);
    EXPECT_EQ(a.Reserved2, b.Reserved2);
    EXPECT_EQ(a.RequestFlags, b.RequestFlags);
    EXPECT_EQ(a.HwVersion, b.HwVersion);
    EXPECT_EQ(a.UpdateState, b.UpdateState);
    EXPECT_EQ(a.IsBKModel, b.IsBKModel);
    EXPECT_EQ(a.Reserved3, b.Reserved3);
    EXPECT_EQ(a.Reserved4, b.Reserved4);
    EXPECT_EQ(a.DevIDs, b.DevIDs);
    EXPECT_EQ(a.Reserved5, b.Reserved5);
    EXPECT_EQ(a.OutputStates, b.OutputStates);
    EXPECT_EQ(a.PinNames, b.PinNames);
    EXPECT_EQ(a.Reserved6, b.Reserved6);
    EXPECT_EQ(a.Connected, b.Connected);
    EXPECT_EQ(a.ConnectTime, b.ConnectTime);
    EXPECT_EQ(a.PowerOnSeen, b.PowerOnSeen);
    EXPECT_EQ(a.ConnectedOnce, b.ConnectedOnce);
    EXPECT_EQ(a.Reserved7, b.Reserved7);
    EXPECT_EQ(a.Reserved8, b.Reserved8);
    EXPECT_EQ(a.Password, b.Password);
    EXPECT_EQ(a.Reserved9, b.Reserved9);
    EXPECT_EQ(a.Name, b.Name);
    EXPECT_EQ(a.Phone, b.Phone);
}

// ---------------------------------------------------------------------------------------------------
// Object record

// Buffers come from a pool of pages: one freed with data in its queues, or one never written, is
// handed out again as a new one.
TEST(ObjectStates, BufferHandedOutAgainIsAsNew) {
    auto fresh = std::make_unique<::AppBuf>();
    AppBuf_Init(fresh.get());
    std::vector<const ::AppBuf*> freed;
    {
        std::vector<std::unique_ptr<TObjectStates>> objects(100);
        const uint8_t data[] = {1, 2, 3, 4, 5};
        for (std::size_t i = 0; i < objects.size(); ++i) {
            objects[i] = std::make_unique<TObjectStates>();
            if (i % 2 == 0) { // the others are never asked for their buffer
                ASSERT_EQ(AppBuf_Push(objects[i]->AppBuf.get(), data, sizeof data), sizeof data);
                objects[i]->AppBuf->RxFill = 7;
                objects[i]->AppBuf->TxId = 3;
            }
            freed.push_back(objects[i]->AppBuf.get());
        }
    }
    int reused = 0;
    std::vector<std::unique_ptr<TObjectStates>> again(100);
    for (auto& object : again) {
        object = std::make_unique<TObjectStates>();
        const ::AppBuf* buffer = object->AppBuf.get();
        reused += std::find(freed.begin(), freed.end(), buffer) != freed.end();
        EXPECT_EQ(std::memcmp(buffer, fresh.get(), sizeof(::AppBuf)), 0);
    }
    EXPECT_EQ(reused, 100);
}

TEST(ObjectStates, DefaultsOfANewObject) {
    TObjectStates o;
    EXPECT_EQ(o.ObjectNumber, INT32_MIN);
    EXPECT_EQ(o.ModemID, -1);
    EXPECT_EQ(o.UpdateState, -1);
    EXPECT_EQ(o.DevIDs, (std::array<int32_t, 4>{-1, -1, -1, -1}));
    EXPECT_EQ(PasswordText(o.Password), "8888888888888888");
    const char* pins[] = {"IN1",    "IN2",  "IN3",  "IN4",  "IN5",  "AN_IN1", "AN_IN2",
                          "AN_IN3", "OUT1", "OUT2", "OUT3", "OUT4", "OUT5"};
    for (int i = 0; i < TObjectStates::PinCount; ++i)
        EXPECT_EQ(FixedText(o.PinNames[i]), pins[i]) << i;
    ASSERT_NE(o.AppBuf, nullptr);
    EXPECT_EQ(o.AppBuf->TxId, AppBufNoId) << "the buffer is initialised";
    EXPECT_TRUE(o.Name.empty());
    EXPECT_TRUE(o.Phone.empty());
}

TEST(ObjectStates, RecordSizeIsRoundedToFourBytes) {
    struct TCase {
        std::string name, phone;
        uint32_t size;
    } cases[] = {
        {"", "", 412},
        {"ab", "+79161234567", 424},
        {"a", "", 412},
        {"abc", "", 416},
        {"ab", "", 412},
        {"abcdef", "123456", 424},
        {std::string(255, 'x'), std::string(20, '9'), (410 + 275 + 3) & ~3u},
    };
    for (const auto& c : cases) {
        TObjectStates o;
        o.Name = c.name;
        o.Phone = c.phone;
        EXPECT_EQ(o.GetRecordSize(), c.size) << c.name.size() << "+" << c.phone.size();
        EXPECT_EQ(Write(o).size(), c.size);
    }
}

TEST(ObjectStates, RecordLayoutByteForByte) {
    TObjectStates o;
    Fill(o, "ab", "+79161234567");
    auto bytes = Write(o);
    EXPECT_EQ(Le32(bytes, 0), 1234u);
    EXPECT_EQ(Le32(bytes, 4), 0x4D2u);
    EXPECT_EQ(Le64(bytes, 8), 45000.25);
    EXPECT_EQ(Le64(bytes, 16), 1.5);
    EXPECT_EQ(Le64(bytes, 32), 3.5);
    EXPECT_EQ(Le32(bytes, 40), 1u);
    EXPECT_EQ(Le32(bytes, 48), 7u);
    EXPECT_EQ(Le32(bytes, 52), 0xFFFFFFFFu);
    EXPECT_EQ(Le32(bytes, 56), 11u);
    EXPECT_EQ(Le32(bytes, 60), 5u);
    EXPECT_EQ(bytes[64], 21);
    EXPECT_EQ(bytes[67], 5);
    EXPECT_EQ(Le32(bytes, 68), 42u);
    EXPECT_EQ(bytes[72], 1);
    EXPECT_EQ(bytes[73], 9);
    EXPECT_EQ(bytes[75], 7);
    EXPECT_EQ(Le32(bytes, 76), 0u) << "the AppBuf reference is not written";
    EXPECT_EQ(Le64(bytes, 80), 4.5);
    EXPECT_EQ(Le32(bytes, 104), 1u);
    EXPECT_EQ(Le32(bytes, 112), 0xFFFFFFFFu);
    EXPECT_EQ(Le32(bytes, 120), 12u);
    EXPECT_EQ(bytes[124], 1);
    EXPECT_EQ(bytes[128], 1);
    EXPECT_EQ(TextAt(bytes, 129), "\xC4\xE2\xE5\xF0\xFC");
    EXPECT_EQ(TextAt(bytes, 129 + 16), "IN2");
    EXPECT_EQ(TextAt(bytes, 129 + 12 * 16), "fifteen-chars!!");
    EXPECT_EQ(Le32(bytes, 340), 13u);
    EXPECT_EQ(bytes[344], 1);
    EXPECT_EQ(Le64(bytes, 352), 45001.5);
    EXPECT_EQ(bytes[360], 1);
    EXPECT_EQ(bytes[361], 1);
    EXPECT_EQ(bytes[362], 1);
    EXPECT_EQ(bytes[368], 7);
    EXPECT_EQ(Le32(bytes, 376), 14u);
    EXPECT_EQ(Le32(bytes, 384), 16u);
    EXPECT_EQ(std::string(bytes.begin() + 388, bytes.begin() + 404), "secret8888888888");
    EXPECT_EQ(bytes[404], 0xA);
    EXPECT_EQ(bytes[407], 0xD);
    EXPECT_EQ(TextAt(bytes, 408), "ab");
    EXPECT_EQ(TextAt(bytes, 411), "+79161234567");
    for (size_t at : {337u, 338u, 339u, 345u, 351u, 369u, 375u})
        EXPECT_EQ(bytes[at], 0) << "padding at " << at;
}

TEST(ObjectStates, RecordReadBackKeepsTheObjectsOwnBuffer) {
    TObjectStates source;
    Fill(source, "\xCE\xE1\xFA\xE5\xEA\xF2 1", "89161234567");
    auto bytes = Write(source);
    bytes[76] = 0x55; // a stored reference means nothing

    TObjectStates target;
    ::AppBuf* own = target.AppBuf.get();
    EXPECT_EQ(target.ReadRecord(bytes.data(), bytes.size(), 0), static_cast<int32_t>(bytes.size()));
    ExpectSameFields(target, source);
    EXPECT_EQ(target.AppBuf.get(), own);
    EXPECT_EQ(Write(target), Write(source));
}

TEST(ObjectStates, RecordThatDoesNotFitIsRefusedAndChangesNothing) {
    TObjectStates source;
    Fill(source, "name", "12345");
    auto bytes = Write(source); // 408 + 5 + 6 = 419, rounded to 420
    for (size_t n = 0; n < bytes.size(); ++n) {
        TExactBytes exact(bytes, n);
        TObjectStates target;
        EXPECT_EQ(target.ReadRecord(exact.data.get(), exact.size, 0), 0) << n;
        EXPECT_EQ(target.ObjectNumber, INT32_MIN) << n;
        EXPECT_TRUE(target.Name.empty()) << n;
    }
}

TEST(ObjectStates, RecordWithoutItsNulsIsRefused) {
    std::vector<uint8_t> bytes(600, 'x');
    TExactBytes exact(bytes, bytes.size());
    TObjectStates target;
    EXPECT_EQ(target.ReadRecord(exact.data.get(), exact.size, 0), 0);
    bytes[500] = 0; // a name, but no phone
    TExactBytes named(bytes, bytes.size());
    EXPECT_EQ(target.ReadRecord(named.data.get(), named.size, 0), 0);
}

TEST(ObjectStates, EmbeddedNulEndsATextInTheRecord) {
    TObjectStates source;
    source.Name = std::string("ab\0cd", 5);
    auto bytes = Write(source);
    EXPECT_EQ(bytes.size(), 412u);
    TObjectStates target;
    EXPECT_EQ(target.ReadRecord(bytes.data(), bytes.size(), 0), 412);
    EXPECT_EQ(target.Name, "ab");
    EXPECT_EQ(target.Phone, "");
}

// ---------------------------------------------------------------------------------------------------
// Group record

TEST(Receiver, DefaultsOfANewGroup) {
    TReceiver g;
    EXPECT_EQ(g.BaseKind, 0);
    EXPECT_EQ(g.BaseID, -1);
    EXPECT_EQ(g.Protocol, 0);
    EXPECT_EQ(g.MemberCount(), 0);
    EXPECT_FALSE(g.Changed);
    EXPECT_EQ(g.BufferCount, 0);
}

TEST(Receiver, RecordSizes) {
    struct TCase {
        std::string name, comment;
        size_t members;
        uint32_t size;
    } cases[] = {
        {"", "", 0, 32}, {"abc", "", 2, 40}, {"abcd", "", 2, 44}, {"ab", "c", 1, 36}, {"a", "", 100, 432},
    };
    for (const auto& c : cases) {
        TReceiver g;
        g.Name = c.name;
        g.Comment = c.comment;
        g.Members.assign(c.members, 7);
        EXPECT_EQ(g.GetRecordSize(), c.size) << c.name << "/" << c.members;
        EXPECT_EQ(Write(g).size(), c.size);
    }
}

TEST(Receiver, RecordLayoutAndRoundTrip) {
    TReceiver g;
    g.BaseKind = 1;
    g.BaseID = 4;
    g.Protocol = 1;
    g.Int1 = -5;
    g.Int2 = 6;
    g.Members = {100, 0xFFFF};
    g.Byte1 = 1;
    g.Byte2 = 2;
    g.Byte3 = 3;
    g.Name = "\xC3\xF0\xF3\xEF\xEF\xE0"; // "Группа"
    g.Comment = "c";
    auto bytes = Write(g);
    EXPECT_EQ(Le32(bytes, 0), 1u);
    EXPECT_EQ(Le32(bytes, 4), 4u);
    EXPECT_EQ(Le32(bytes, 8), 1u);
    EXPECT_EQ(Le32(bytes, 12), 2u);
    EXPECT_EQ(Le32(bytes, 16), static_cast<uint32_t>(-5));
    EXPECT_EQ(Le32(bytes, 20), 6u);
    EXPECT_EQ(Le32(bytes, 24), 100u);
    EXPECT_EQ(Le32(bytes, 28), 0xFFFFu);
    EXPECT_EQ(bytes[32], 1);
    EXPECT_EQ(bytes[34], 3);
    EXPECT_EQ(TextAt(bytes, 35), g.Name);
    EXPECT_EQ(TextAt(bytes, 42), "c");

    static int portsMade = 0;
    ReceiverPortHooks.Create = [](TReceiver&) { ++portsMade; };
    TReceiver back;
    EXPECT_EQ(back.ReadRecord(bytes.data(), bytes.size()), static_cast<int32_t>(bytes.size()));
    ReceiverPortHooks.Create = nullptr;
    EXPECT_EQ(Write(back), bytes);
    EXPECT_EQ(back.Members, g.Members);
    EXPECT_EQ(portsMade, 0) << "reading a group creates no port by itself";
}

TEST(Receiver, DamagedRecordIsRefusedAndChangesNothing) {
    TReceiver g;
    g.Name = "grp";
    g.Members = {1, 2, 3};
    auto bytes = Write(g);
    for (size_t n = 0; n < bytes.size(); ++n) {
        TExactBytes exact(bytes, n);
        TReceiver target;
        EXPECT_EQ(target.ReadRecord(exact.data.get(), exact.size), 0) << n;
        EXPECT_TRUE(target.Name.empty());
    }
    for (uint32_t count : {0xFFFFFFFFu, 0x80000000u, 0x40000000u, 1000u}) {
        auto damaged = bytes;
        std::memcpy(damaged.data() + 12, &count, 4);
        TExactBytes exact(damaged, damaged.size());
        TReceiver target;
        EXPECT_EQ(target.ReadRecord(exact.data.get(), exact.size), 0) << count;
    }
}

// A port base is COM1 to COM256 or none; an object base may be any number.
TEST(Receiver, PortBaseThatNoPortCanBeIsRefusedWithItsReason) {
    struct {
        int32_t kind, id;
        bool read;
        const char* refusal;
    } const cases[] = {
        {TReceiver::bkComPort, INT32_MAX, false, "COM2147483648"},
        {TReceiver::bkComPort, 256, false, "COM257"},
        {7, -2, false, "COM-1"},
        {TReceiver::bkComPort, 255, true, nullptr},
        {TReceiver::bkComPort, 0, true, nullptr},
        {TReceiver::bkComPort, -1, true, nullptr},
        {TReceiver::bkObject, INT32_MAX, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + " " + std::to_string(c.id));
        TReceiver g;
        g.Name = "grp";
        g.BaseKind = c.kind;
        g.BaseID = c.id;
        const auto bytes = Write(g);
        TReceiver target;
        std::string refusal;
        EXPECT_EQ(target.ReadRecord(bytes.data(), bytes.size(), &refusal) != 0, c.read);
        EXPECT_EQ(target.Name.empty(), !c.read);
        EXPECT_EQ(refusal, c.refusal
                               ? std::string("Файл с настройками поврежден!\r\nНедопустимая база группы "
                                             "\"grp\": ") +
                                     c.refusal
                               : std::string());
    }
}

// ---------------------------------------------------------------------------------------------------
// Settings record

class SettingsTest : public testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("settings_test." + std::to_string(::getpid()) + "." +
                   testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_ / "Vostrane");
        CompanyDataFolder = folder_.string() + "/";
        AppDataFolder = CompanyDataFolder + "Vostrane/";
    }
    void TearDown() override {
        CompanyDataFolder.clear();
        AppDataFolder.clear();
        MonitorFolder.clear();
        ReceiverPortHooks = {};
        std::filesystem::remove_all(folder_);
    }

    std::filesystem::path folder_;
};

TEST_F(SettingsTest, Defaults) {
    TSettings s;
    EXPECT_EQ(s.TcpPort, 10001);
    EXPECT_EQ(s.LogSizeMB, 10);
    EXPECT_EQ(s.NoLogging, 0);
    EXPECT_EQ(s.SecurityMode, smNone);
    EXPECT_EQ(PasswordText(s.Password), "8888888888888888");
    EXPECT_EQ(s.Baud, 115200);
    EXPECT_EQ(s.UseComPort, 1);
    EXPECT_EQ(s.UseGsmModem, 0);
    EXPECT_EQ(s.SWFileCount, 0);
    EXPECT_EQ(s.ReceiverCount(), 0);
    EXPECT_EQ(FixedText(s.SimPin), "");
    EXPECT_EQ(s.Sounds[0], "Connect.wav");
    EXPECT_EQ(s.Sounds[8], "");
    EXPECT_EQ(s.Sounds[10], "Alarm.wav");
    EXPECT_EQ(s.Sounds[21], "Phone.wav");
    EXPECT_EQ(s.TapiDevice, "");
}

TEST_F(SettingsTest, MonitorFolderIsCreatedBesideTheProgramsFolder) {
    TSettings s;
    EXPECT_EQ(MonitorFolder, CompanyDataFolder + "Truvessa/");
    EXPECT_TRUE(std::filesystem::is_directory(MonitorFolder));
    EXPECT_EQ(s.OutboxFolder, MonitorFolder + "Outbox");
    EXPECT_FALSE(std::filesystem::exists(s.OutboxFolder)) << "the outbox itself is not created";
}

TEST_F(SettingsTest, MonitorFolderFallsBackToTheDataFolder) {
    // A file where the folder should be makes it impossible to create.
    std::FILE* blocker = std::fopen((CompanyDataFolder + "Truvessa").c_str(), "w");
    ASSERT_NE(blocker, nullptr);
    std::fclose(blocker);
    TSettings s;
    EXPECT_EQ(MonitorFolder, AppDataFolder);
    EXPECT_EQ(s.OutboxFolder, AppDataFolder + "Outbox");

    CompanyDataFolder.clear(); // not yet known: nothing is created anywhere
    TSettings early;
    EXPECT_EQ(early.OutboxFolder, AppDataFolder + "Outbox");
}

TEST_F(SettingsTest, RecordSizes) {
    TSettings s;
    s.Sounds.fill("");
    s.OutboxFolder.clear();
    EXPECT_EQ(s.GetRecordSize(), 220u) << "196 + 21 + 1 + 1 = 219, rounded";

    TSettings d; // default sounds and outbox folder
    uint32_t sounds = 0;
    for (int i = 0; i < 21; ++i)
        sounds += d.Sounds[i].size() + 1;
    EXPECT_EQ(d.GetRecordSize(), RoundUp4(196 + sounds + 1 + d.OutboxFolder.size() + 1));

    d.Receivers.push_back(std::make_unique<TReceiver>());
    d.SWFileCount = 2;
    d.SWFiles[0] = "a.prg";
    d.SWFiles[1] = "bb.prg";
    EXPECT_EQ(d.GetRecordSize(), RoundUp4(196 + sounds + 1 + 32 + d.OutboxFolder.size() + 1 + 6 + 7));
    EXPECT_EQ(Write(d).size(), d.GetRecordSize());
}

TEST_F(SettingsTest, RecordLayoutByteForByte) {
    TSettings s;
    s.TcpPort = 20002;
    s.LogSizeMB = 99;
    s.NoLogging = 1;
    s.SecurityMode = smOnePassword;
    s.Password = MakePassword("pw");
    s.ExtraInfo = 1;
    s.ExtraPeriod = 10;
    s.Baud = 9600;
    SetFixedText(s.SimPin, "1234");
    s.UseComPort = 0;
    SetFixedText(s.DispatcherPhone, "+70000000000");
    s.UseGsmModem = 1;
    s.ComIndex = 3;
    s.HwFlow = 1;
    s.DataBitsCode = 1;
    s.Parity = 2;
    s.StopBitsCode = 1;
    s.Reserved3[0] = 0x77;
    s.Reserved4 = 0x1234;
    s.TapiDevice = "Line";
    s.OutboxFolder = "/out";
    s.SWFileCount = 1;
    s.SWFiles[0] = "fw.prg";
    s.SWFiles[1] = "not stored";
    auto g = std::make_unique<TReceiver>();
    g.get()->Name = "g";
    s.Receivers.push_back(std::move(g));
    auto bytes = Write(s);

    EXPECT_EQ(Le32(bytes, 0), 20002u);
    EXPECT_EQ(Le32(bytes, 4), 99u);
    EXPECT_EQ(bytes[8], 1);
    EXPECT_EQ(Le32(bytes, 12), 3u);
    EXPECT_EQ(std::string(bytes.begin() + 16, bytes.begin() + 32), "pw88888888888888");
    EXPECT_EQ(bytes[32], 1);
    EXPECT_EQ(Le32(bytes, 36), 10u);
    EXPECT_EQ(Le32(bytes, 40), 9600u);
    EXPECT_EQ(TextAt(bytes, 44), "1234");
    EXPECT_EQ(bytes[56], 0);
    EXPECT_EQ(TextAt(bytes, 78), "+70000000000");
    EXPECT_EQ(bytes[98], 1);
    EXPECT_EQ(bytes[99], 3);
    EXPECT_EQ(Le32(bytes, 100), 1u);
    EXPECT_EQ(bytes[104], 1);
    EXPECT_EQ(bytes[105], 1);
    EXPECT_EQ(bytes[106], 2);
    EXPECT_EQ(bytes[107], 1);
    EXPECT_EQ(bytes[108], 0x77);
    EXPECT_EQ(Le32(bytes, 188), 1u);
    EXPECT_EQ(Le32(bytes, 192), 0x1234u);
    size_t at = 196;
    for (int i = 0; i < 21; ++i) {
        EXPECT_EQ(TextAt(bytes, at), s.Sounds[i]) << i;
        at += s.Sounds[i].size() + 1;
    }
    EXPECT_EQ(TextAt(bytes, at), "Line");
    at += 5;
    EXPECT_EQ(TextAt(bytes, at + 27), "g") << "the group record";
    at += 32;
    EXPECT_EQ(TextAt(bytes, at), "/out");
    at += 5;
    EXPECT_EQ(TextAt(bytes, at), "fw.prg");
    EXPECT_EQ(RoundUp4(at + 7), bytes.size());
}

TEST_F(SettingsTest, RecordReadBackPutsTheDeviceIntoTheLastSound) {
    TSettings s;
    s.SecurityMode = smSettingsAndObjects;
    s.Password = MakePassword("\xEF\xE0\xF0\xEE\xEB\xFC"); // "пароль"
    s.TapiDevice = "Modem on line 1";
    s.SWFileCount = 25;
    for (int i = 0; i < 25; ++i)
        s.SWFiles[i] = "/fw/image" + std::to_string(i) + ".prg";
    for (int i = 0; i < 3; ++i) {
        auto g = std::make_unique<TReceiver>();
        g->Name = "group " + std::to_string(i);
        g->BaseKind = i == 1 ? 1 : 0;
        g->BaseID = i;
        g->Members = {uint32_t(i), 10, 20};
        s.Receivers.push_back(std::move(g));
    }
    auto bytes = Write(s);

    TSettings back;
    auto old = std::make_unique<TReceiver>();
    old->Name = "old";
    back.Receivers.push_back(std::move(old));
    EXPECT_EQ(back.ReadRecord(bytes.data(), bytes.size(), 0), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(back.Sounds[21], "Modem on line 1") << "the default Phone.wav is gone";
    EXPECT_EQ(back.TapiDevice, "Modem on line 1");
    EXPECT_EQ(back.SecurityMode, smSettingsAndObjects);
    EXPECT_EQ(back.Password, s.Password);
    EXPECT_EQ(back.SWFiles, s.SWFiles);
    ASSERT_EQ(back.ReceiverCount(), 3) << "the old groups are replaced";
    EXPECT_EQ(back.Receivers[1]->Name, "group 1");
    EXPECT_EQ(back.Receivers[2]->Members, (std::vector<uint32_t>{2, 10, 20}));
    EXPECT_EQ(Write(back), bytes);
}

TEST_F(SettingsTest, PortHooksRunForPortBasedGroups) {
    static std::vector<std::string> events;
    events.clear();
    ReceiverPortHooks.Create = [](TReceiver& g) { events.push_back("create " + g.Name); };
    ReceiverPortHooks.Destroy = [](TReceiver& g) { events.push_back("destroy " + g.Name); };

    TSettings s;
    for (int kind : {0, 1, 2}) {
        auto g = std::make_unique<TReceiver>();
        g->Name = "k" + std::to_string(kind);
        g->BaseKind = kind;
        s.Receivers.push_back(std::move(g));
    }
    auto bytes = Write(s);
    {
        TSettings back;
        ASSERT_GT(back.ReadRecord(bytes.data(), bytes.size(), 0), 0);
        EXPECT_EQ(events, (std::vector<std::string>{"create k1", "create k2"}));
        ASSERT_GT(back.ReadRecord(bytes.data(), bytes.size(), 0), 0);
        EXPECT_EQ(events, (std::vector<std::string>{"create k1", "create k2", "destroy k1", "destroy k2",
                                                    "create k1", "create k2"}))
            << "the old groups go before the new ports are made";
        events.clear();
    }
    EXPECT_EQ(events, (std::vector<std::string>{"destroy k1", "destroy k2"}));
}

TEST_F(SettingsTest, DamagedRecordIsRefusedAndChangesNothing) {
    TSettings s;
    s.TcpPort = 1;
    s.SWFileCount = 2;
    s.SWFiles = {"a", "b"};
    auto g = std::make_unique<TReceiver>();
    g->Members = {1, 2};
    s.Receivers.push_back(std::move(g));
    auto bytes = Write(s);
    // Every truncation, the trailing NUL included, since the last text ends two bytes before the end.
    for (size_t n = 0; n + 2 < bytes.size(); ++n) {
        TExactBytes exact(bytes, n);
        TSettings target;
        EXPECT_EQ(target.ReadRecord(exact.data.get(), exact.size, 0), 0) << n;
        EXPECT_EQ(target.TcpPort, 10001) << n;
    }
    struct TCase {
        size_t at;
        int32_t value;
    } counts[] = {{100, 26}, {100, -1}, {100, INT32_MIN}, {188, -1}, {188, 2}, {188, 0x7FFFFFFF}};
    for (const auto& c : counts) {
        auto damaged = bytes;
        std::memcpy(damaged.data() + c.at, &c.value, 4);
        TExactBytes exact(damaged, damaged.size());
        TSettings target;
        EXPECT_EQ(target.ReadRecord(exact.data.get(), exact.size, 0), 0) << c.at << "=" << c.value;
        EXPECT_EQ(target.ReceiverCount(), 0);
    }
}

TEST_F(SettingsTest, CountsOutsideTheirRangeAreNotWritten) {
    TSettings s;
    s.SWFileCount = 40;
    auto bytes = Write(s);
    EXPECT_EQ(Le32(bytes, 100), 25u);
    TSettings back;
    EXPECT_GT(back.ReadRecord(bytes.data(), bytes.size(), 0), 0);
    EXPECT_EQ(back.SWFileCount, 25);
}

// A damaged or foreign file must not start a timer that never fires or whose interval overflows.
TEST_F(SettingsTest, HardwareInformationSettingsAreHeldInRangeWhenRead) {
    const struct {
        uint8_t extraInfo;
        int32_t extraPeriod;
        uint8_t infoRead;
        int32_t periodRead;
    } cases[] = {{1, 10, 1, 10}, {0, 0, 0, 1}, {7, -3, 1, 1}, {1, 100, 1, 99}, {1, INT32_MAX, 1, 99}};
    for (const auto& c : cases) {
        TSettings s;
        s.ExtraInfo = c.extraInfo;
        s.ExtraPeriod = c.extraPeriod;
        auto bytes = Write(s);
        TSettings back;
        ASSERT_GT(back.ReadRecord(bytes.data(), bytes.size(), 0), 0);
        EXPECT_EQ(back.ExtraInfo, c.infoRead) << c.extraPeriod;
        EXPECT_EQ(back.ExtraPeriod, c.periodRead) << c.extraPeriod;
    }
}

} // namespace
