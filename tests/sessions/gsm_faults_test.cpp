// Faults of the GSM modem under the running router: a modem that stops answering, and its device pulled
// in the middle of a reply. Afterwards the router still binds a modem over TCP, its memory is back at
// its level before the fault and it does not spin.
#include <cstring>
#include <iostream>

#include <sys/resource.h>

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator keeps the program's memory; its runtime provides this.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "gsm/ModemForm.h"
#include "serial/ComPort.h"
#include "tests/gsm/GsmCycle.h"
#include "tests/platform/TestSupport.h"
#include "tests/sessions/SessionFixture.h"
#include "tools/gsm-sim/GsmSim.h"

namespace {

std::size_t AllocatedBytes() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class GsmFaultSessionTest : public SessionTest {
protected:
    GsmFaultSessionTest() : sim({}, "COM5") {
        EXPECT_TRUE(sim.Ok()) << sim.LastError();
        sim.Start();
        gsm = std::make_unique<TModemForm>();
        ModemForm = gsm.get();
        AppSettings->UseGsmModem = 1;
        AppSettings->UseComPort = 1;
        AppSettings->ComIndex = 4;
        std::strcpy(AppSettings->SimPin.data(), "1234");
    }
    ~GsmFaultSessionTest() override {
        ModemForm = nullptr;
        gsm.reset();
        SmsSending = false;
        sim.Stop();
    }

    bool RunCycle(const std::function<bool()>& done) {
        return RunGsmCycle(*gsm, *clock, sim, done, 3000, 3000, [this] { pool->Poll(0); });
    }
    bool Closed() const { return ModemState == msClosed && !gsm->SioComPort1->Open(); }

    // The router in its steady state with the GSM modem ready and one modem bound; the memory in use.
    std::size_t Steady() {
        AddObject(5);
        AddObject(6);
        ConnectModem(Config(5));
        EXPECT_TRUE(gsm->Connect());
        EXPECT_TRUE(RunCycle([] { return ModemState == msReady; }));
        EXPECT_TRUE(RunCycle([&] { return gsm->MakeCommandTimer.Enabled(); }));
        return AllocatedBytes();
    }

    // After the fault: the memory back at its level, no busy loop, and a good modem still bound.
    void CheckRouterAfter(std::size_t before) {
        sim.Stop(); // the simulator's thread is not the router's
        const std::size_t after = AllocatedBytes();
        EXPECT_LE(after, before + 256 * 1024);
        const double cpu = CpuSeconds();
        PumpFor(500); // a busy loop shows only over time: no event marks that none runs
        const double used = CpuSeconds() - cpu;
        EXPECT_LT(used, 0.2);
        std::cout << "memory " << (long long)after - (long long)before
                  << " bytes against the level before, CPU " << used << " s in 0.5 s\n";
        ConnectModem(Config(6));
        EXPECT_TRUE(RunUntil([] { return ObjectList[1]->Connected != 0; }));
        EXPECT_TRUE(ObjectList[0]->Connected);
    }

    gsmsim::GsmSim sim;
    std::unique_ptr<TModemForm> gsm;
};

TEST_F(GsmFaultSessionTest, GsmModemThatStopsAnsweringIsClosedAndTheRouterGoesOn) {
    const std::size_t before = Steady();
    sim.Inject(gsmsim::Fault::Silent);
    dialogs->Expect(mtError, QStringLiteral("Модем не отвечает"), mrOk);
    ASSERT_TRUE(RunCycle([&] { return Closed(); }));
    EXPECT_EQ(dialogs->Pending(), 0u);
    EXPECT_FALSE(gsm->ATCommandTimer.Enabled() || gsm->MakeCommandTimer.Enabled());
    CheckRouterAfter(before);
}

// The SMS whose reply was cut is not deleted: it is read again once the modem is back.
TEST_F(GsmFaultSessionTest, GsmModemPulledInTheMiddleOfAReplyIsClosedAndTheRouterGoesOn) {
    const std::size_t before = Steady();
    ASSERT_EQ(sim.AddSms("+79990000000", "hello"), 1);
    sim.Inject(gsmsim::Fault::Silent, "AT+CMGR=");
    ASSERT_TRUE(RunCycle([&] { return gsm->CommandIndex == cmdRead && gsm->ATCommandTimer.Enabled(); }));
    sim.Unsolicited("+CMGR: 0,,23");
    ASSERT_TRUE(PumpUntil([&] { return gsm->AnswerBuffer.find("+CMGR:") != std::string::npos; }));
    dialogs->Expect(mtError, QStringLiteral("Связь с модемом прервана"), mrOk);
    ASSERT_TRUE(PullCable(sim, *gsm));
    ASSERT_TRUE(RunCycle([&] { return Closed() && dialogs->Pending() == 0; }));
    EXPECT_FALSE(gsm->ATCommandTimer.Enabled() || gsm->MakeCommandTimer.Enabled() ||
                 gsm->ProcessSMSTimer.Enabled());
    EXPECT_EQ(sim.Cells().size(), 1u);
    CheckRouterAfter(before);
}

} // namespace
