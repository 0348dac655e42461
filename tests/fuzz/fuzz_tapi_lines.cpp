// The telephony lines file ("tapi/lines") as a user may write it: every line application sees only
// usable lines, each under a name of its own that the line's capabilities give back whole, and a device
// that is a COM name or an absolute path. No call is placed, so no device named in the file is opened.
#include "platform/Tapi.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>

#include "tests/core/TempFolder.h"

namespace {

void Require(bool ok) {
    if (!ok)
        std::abort();
}

void Callback(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// A variable-size structure of the size the call asks for: a first call with the fixed part learns it.
template <class T> class TBuffer {
public:
    template <class Call> explicit TBuffer(Call&& call) {
        Resize(sizeof(T));
        Require(call(get()) == 0);
        if (get()->dwNeededSize > get()->dwTotalSize) {
            Resize(get()->dwNeededSize);
            Require(call(get()) == 0 && get()->dwUsedSize == get()->dwNeededSize);
        }
    }
    T* get() { return reinterpret_cast<T*>(words_.data()); }
    std::string Bytes(DWORD offset, DWORD size) const {
        Require(offset + size <= words_.size() * sizeof(DWORD));
        return std::string(reinterpret_cast<const char*>(words_.data()) + offset, size);
    }

private:
    void Resize(DWORD size) {
        words_.assign((size + 3) / 4, 0);
        get()->dwTotalSize = size;
    }
    std::vector<DWORD> words_;
};

struct TWorld {
    TTempFolder data;
    int argc = 1;
    char name[6] = "fuzz";
    char* argv[2] = {name, nullptr};
    QCoreApplication* app;

    TWorld() {
        setenv("XDG_DATA_HOME", data.Path().c_str(), 1);
        QDir().mkpath(QString::fromStdString(data.Path()) + QStringLiteral("tapi"));
        app = new QCoreApplication(argc, argv);
    }
};

// The line's name as its capabilities give it: the bytes before the terminating zero.
std::string LineName(HLINEAPP app, DWORD device) {
    TBuffer<LINEDEVCAPS> caps(
        [&](LINEDEVCAPS* out) { return lineGetDevCaps(app, device, TapiApiVersion14, 0, out); });
    Require(caps.get()->dwLineNameSize >= 1);
    const std::string name = caps.Bytes(caps.get()->dwLineNameOffset, caps.get()->dwLineNameSize);
    Require(name.back() == '\0');
    return name.substr(0, name.size() - 1);
}

std::string PortName(HLINEAPP app, DWORD device) {
    HLINE line = 0;
    Require(lineOpen(app, device, &line, TapiApiVersion14, 0, 0, LINECALLPRIVILEGE_NONE,
                     LINEMEDIAMODE_DATAMODEM, nullptr) == 0);
    TBuffer<VARSTRING> id([&](VARSTRING* out) {
        return lineGetID(line, 0, 0, LINECALLSELECT_LINE, out, "comm/datamodem/portname");
    });
    std::string port = id.Bytes(id.get()->dwStringOffset, id.get()->dwStringSize);
    Require(lineClose(line) == 0);
    return std::string(port.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TWorld* world = new TWorld;
    WriteFile(TapiLinesFile().toStdString(), std::string(reinterpret_cast<const char*>(data), size));

    HLINEAPP app = 0;
    DWORD devices = 0;
    Require(lineInitialize(&app, 0, Callback, "fuzz", &devices) == 0);
    Require(devices <= 1 + std::count(data, data + size, uint8_t('\n')));
    std::set<std::string> names;
    for (DWORD d = 0; d < devices; ++d) {
        const std::string name = LineName(app, d);
        Require(!name.empty() && name.find('\0') == std::string::npos && names.insert(name).second);
        const std::string port = PortName(app, d);
        Require(port.rfind("COM", 0) == 0 || port.rfind("/", 0) == 0);
    }
    Require(lineShutdown(app) == 0);
    QCoreApplication::sendPostedEvents();
    (void)world;
    return 0;
}
