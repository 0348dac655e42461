#include "tests/gsm/GsmFixture.h"

#include <cstring>

#include "core/Settings.h"
#include "platform/StatusBar.h"
#include "tests/gsm/GsmCycle.h"
#include "tests/platform/TestSupport.h"

const std::uint8_t FactoryKey[16] = {'8', '8', '8', '8', '8', '8', '8', '8',
                                     '8', '8', '8', '8', '8', '8', '8', '8'};

GsmModemTest::GsmModemTest(const gsmsim::GsmConfig& config) : sim(config, "COM5") {
    EXPECT_TRUE(sim.Ok()) << sim.LastError();
    sim.Start();
    gsm = std::make_unique<TModemForm>();
    ModemForm = gsm.get();
}

GsmModemTest::~GsmModemTest() {
    ModemForm = nullptr;
    gsm.reset();
    SmsSending = false;
    sim.Stop();
}

void GsmModemTest::UseModem(const char* line) {
    AppSettings->UseGsmModem = 1;
    AppSettings->UseComPort = line ? 0 : 1;
    AppSettings->ComIndex = 4;
    AppSettings->TapiDevice = line ? line : "";
    std::strcpy(AppSettings->SimPin.data(), "1234");
}

void GsmModemTest::StartWithModem(const char* line) {
    Start();
    UseModem(line);
    clock->Advance(100);
}

bool GsmModemTest::RunCycle(const std::function<bool()>& done, int maxSteps) {
    return RunGsmCycle(*gsm, *clock, sim, done, 3000, maxSteps);
}

int GsmModemTest::CountCommands(const std::string& prefix) const {
    int n = 0;
    for (const std::string& c : sim.Commands())
        n += c.rfind(prefix, 0) == 0;
    return n;
}

bool GsmModemTest::RunUntilCommand(const std::string& prefix, int count) {
    const int target = CountCommands(prefix) + count;
    return RunCycle([&] { return CountCommands(prefix) >= target; });
}

QString GsmModemTest::Indicator(int panel) {
    return form->StatusBar1->Panels(panel).Text;
}

TObjectStates* GsmModemTest::AddModemObject() {
    TObjectStates* o = AddObject(5, "Насосная");
    o->ModemID = 258;
    o->Phone = "+71230000000";
    return o;
}
