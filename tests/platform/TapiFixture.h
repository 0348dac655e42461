// What the telephony tests share: the line callback's record, a pty pair, the line applications of a
// test, and the fixtures of the scripted lines and of the lines file.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <QComboBox>
#include <QPushButton>
#include <QStandardItemModel>

#include "platform/Clock.h"
#include "platform/Tapi.h"
#include "platform/TapiConfigDialog.h"
#include "platform/TapiDevConfig.h"
#include "platform/TapiModem.h"
#include "platform/TapiTestBackEnd.h"
#include "tests/platform/TestSupport.h"
#include "tools/gsm-sim/GsmSim.h"

// Named, so that none of its helpers meets another of the test program under the same name.
namespace tapi_test {

// ---- What the line callback received

struct TReceived {
    DWORD Device, Message;
    DWORD_PTR Instance, Param1, Param2, Param3;
    bool OnMainThread;
    int Depth; // callbacks running when it came, itself included
};

inline std::vector<TReceived> received;
inline int depth = 0;
inline std::function<void(const TReceived&)> onReceived; // what a test's callback does besides recording

inline void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2,
                     DWORD_PTR param3) {
    ++depth;
    const TReceived r{device,
                      message,
                      instance,
                      param1,
                      param2,
                      param3,
                      QThread::currentThread() == QCoreApplication::instance()->thread(),
                      depth};
    received.push_back(r);
    if (onReceived)
        onReceived(r);
    --depth;
}

// A zero-filled, aligned buffer for a variable-size structure.
template <class T> class TBuffer {
public:
    explicit TBuffer(DWORD size = sizeof(T)) : words_((size + 3) / 4) { get()->dwTotalSize = size; }
    T* get() { return reinterpret_cast<T*>(words_.data()); }
    T* operator->() { return get(); }
    std::string Bytes(DWORD offset, DWORD size) {
        return std::string(reinterpret_cast<char*>(get()) + offset, size);
    }

private:
    std::vector<DWORD> words_;
};

// Whether this program has the file open: a modem's device, which it opens and closes as it goes. A
// pseudo-terminal whose master is gone is still held, under its name with " (deleted)".
inline bool HoldsOpen(const std::string& path) {
    const QString name = QString::fromStdString(path);
    for (const QString& fd : OpenDescriptorNames()) {
        const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + fd);
        if (target == name || target == name + QStringLiteral(" (deleted)"))
            return true;
    }
    return false;
}

// The far end of the terminal is gone: the master of the pseudo-terminal closed, or the cable pulled.
inline bool HungUp(int fd) {
    pollfd hup{fd, 0, 0};
    return ::poll(&hup, 1, 0) > 0 && (hup.revents & POLLHUP);
}

inline LINECALLPARAMS CallParams(DWORD bearer, DWORD media = LINEMEDIAMODE_DATAMODEM) {
    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwBearerMode = bearer;
    params.dwMediaMode = media;
    params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    return params;
}

// A pseudo-terminal pair whose slave end is raw: the modem's side is the master.
class TPty {
public:
    TPty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master_);
        ::unlockpt(master_);
        slave_ = QString::fromLocal8Bit(::ptsname(master_));
        const int slave = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings{};
        ::tcgetattr(slave, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(slave, TCSANOW, &settings);
        ::close(slave);
    }
    ~TPty() { ::close(master_); }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    int Master() const { return master_; }
    QString Slave() const { return slave_; }

private:
    int master_;
    QString slave_;
};

inline void Write(int fd, const std::string& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

inline std::string Read(int fd, std::size_t count) {
    std::string bytes;
    pollfd ready{fd, POLLIN, 0};
    while (bytes.size() < count && ::poll(&ready, 1, 2000) == 1) {
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        bytes.append(buffer, std::size_t(got));
    }
    return bytes;
}

inline int DescriptorIn(TBuffer<VARSTRING>& id) {
    std::int32_t fd = -1;
    std::memcpy(&fd, id.Bytes(id->dwStringOffset, 4).data(), 4);
    return fd;
}

// ---- Fixtures

class Tapi : public ::testing::Test {
protected:
    void SetUp() override {
        received.clear();
        onReceived = nullptr;
    }
    void TearDown() override {
        onReceived = nullptr;
        for (HLINEAPP app : apps)
            lineShutdown(app);
    }

    HLINEAPP Initialize(DWORD* count = nullptr) {
        HLINEAPP app = 0;
        DWORD devices = 0;
        EXPECT_EQ(lineInitialize(&app, 0, Callback, "tapi-test", &devices), 0);
        apps.push_back(app);
        if (count)
            *count = devices;
        return app;
    }

    HLINE Open(HLINEAPP app, DWORD device, DWORD privileges = LINECALLPRIVILEGE_OWNER,
               DWORD media = LINEMEDIAMODE_DATAMODEM, DWORD_PTR instance = 0x5151) {
        HLINE line = 0;
        EXPECT_EQ(lineOpen(app, device, &line, TapiApiVersion14, 0, instance, privileges, media, nullptr), 0);
        EXPECT_EQ(lineSetStatusMessages(line, LINEDEVSTATE_ALL, LINEADDRESSSTATE_ALL), 0);
        return line;
    }

    // Places a call and pumps until its reply has come; the request's result.
    LONG MakeCall(HLINE line, HCALL* call, DWORD bearer, const char* number = "",
                  DWORD media = LINEMEDIAMODE_DATAMODEM) {
        const LINECALLPARAMS params = CallParams(bearer, media);
        const LONG request = lineMakeCall(line, call, number, 0, &params);
        return request > 0 ? WaitForReply(request) : request;
    }

    LONG WaitForReply(LONG request) {
        const TReceived* reply = WaitFor(LINE_REPLY, DWORD_PTR(request));
        return reply ? LONG(DWORD(reply->Param2)) : 1;
    }

    // Pumps until the message (with that first parameter, if given) has come.
    const TReceived* WaitFor(DWORD message, std::optional<DWORD_PTR> param1 = {}) {
        const TReceived* found = nullptr;
        PumpUntil([&] {
            for (const TReceived& r : received)
                if (r.Message == message && (!param1 || r.Param1 == *param1))
                    found = &r;
            return found != nullptr;
        });
        return found;
    }

    // The call states and their modes delivered for the call, in order.
    std::vector<std::pair<DWORD, DWORD>> StatesOf(HCALL call) const {
        std::vector<std::pair<DWORD, DWORD>> states;
        for (const TReceived& r : received)
            if (r.Message == LINE_CALLSTATE && r.Device == call)
                states.emplace_back(DWORD(r.Param1), DWORD(r.Param2));
        return states;
    }

    int Count(DWORD message) const {
        return int(std::count_if(received.begin(), received.end(),
                                 [&](const TReceived& r) { return r.Message == message; }));
    }

    std::vector<HLINEAPP> apps;
};

class TapiScript : public Tapi {
protected:
    TTapiTestBackEnd tapi;
};

class TapiLines : public Tapi {
protected:
    QTemporaryDir data;
    TEnvironment dataHome{"XDG_DATA_HOME", data.path().toLocal8Bit()};

    void WriteLines(const QByteArray& text) {
        ASSERT_TRUE(QDir().mkpath(data.path() + QStringLiteral("/tapi")));
        QFile file(TapiLinesFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    void LinkCom(const QString& name, const QString& target) {
        ASSERT_TRUE(QDir().mkpath(data.path() + QStringLiteral("/com")));
        ASSERT_TRUE(QFile::link(target, data.path() + QStringLiteral("/com/") + name));
    }
    std::string NameOf(HLINEAPP app, DWORD device) {
        TBuffer<LINEDEVCAPS> caps(1024);
        EXPECT_EQ(lineGetDevCaps(app, device, TapiApiVersion14, 0, caps.get()), 0);
        return caps.Bytes(caps->dwLineNameOffset, caps->dwLineNameSize - 1);
    }
    std::string PortNameOf(HLINE line) {
        TBuffer<VARSTRING> id(256);
        EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "comm/datamodem/portname"), 0);
        return id.Bytes(id->dwStringOffset, id->dwStringSize);
    }
};

} // namespace tapi_test
