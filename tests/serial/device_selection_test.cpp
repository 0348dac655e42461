#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "platform/TapiTestBackEnd.h"
#include "serial/DeviceSelectionForm.h"
#include "tests/platform/TestSupport.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

// Two modem lines and a voice line; COM ports 3 and 12 lead to a device, every other number up to 50
// to nothing.
class DeviceSelection : public ::testing::Test {
protected:
    DeviceSelection() {
        tapi.AddLine({"\xcc\xee\xe4\xe5\xec", ""}); // "Модем" in Windows-1251
        tapi.AddLine({"Voice", "", LINEMEDIAMODE_AUTOMATEDVOICE});
        tapi.AddLine({"GSM", ""});
        for (std::uint32_t n = 1; n <= 50; ++n)
            folder.Map(n, folder.Root() + "/nothing");
        for (std::uint32_t n : {3u, 12u}) {
            ptys.push_back(std::make_unique<TPtyPair>());
            folder.Map(n, ptys.back()->SlavePath());
        }
    }

    QStringList Entries(const TDeviceSelectionForm& form) const {
        QStringList entries;
        for (int i = 0; i < form.dsfComboBox->count(); ++i)
            entries << form.dsfComboBox->itemText(i);
        return entries;
    }

    // Shows the dialog, lets `choose` act on it and presses the button once the modal loop runs (the
    // list is built first, with the loop running now and then).
    int Show(TDeviceSelectionForm& form, QPushButton* button, std::function<void()> choose = {}) {
        std::function<void()> poll = [&form, &poll, button, choose] {
            if (!form.isVisible() || !form.Enumerated()) {
                QTimer::singleShot(1, &form, poll);
                return;
            }
            QTimer::singleShot(0, &form, [button, choose] {
                if (choose)
                    choose();
                button->click();
            });
        };
        QTimer::singleShot(0, &form, poll);
        return form.ShowModal();
    }

    TComFolder folder;
    std::vector<std::unique_ptr<TPtyPair>> ptys;
    TTapiTestBackEnd tapi;
};

TEST_F(DeviceSelection, ListsTheLinesThenTheComPorts) {
    TDeviceSelectionForm form;
    form.DeviceName = "GSM";
    EXPECT_EQ(Show(form, form.dsfOkBitBtn), mrOk);
    EXPECT_EQ(form.Caption(), QStringLiteral("Выбор GSM-модема"));
    // As its form gives it, wider only as far as the label needs in the screen's font.
    EXPECT_EQ(form.height(), 68);
    EXPECT_EQ(form.width(), 318 + std::max(0, form.dsfLabel->geometry().right() + 8 - 68));
    EXPECT_EQ(Entries(form),
              (QStringList{QStringLiteral("Модем"), QStringLiteral("GSM"), QStringLiteral("Direct to COM3"),
                           QStringLiteral("Direct to COM12")}));
    EXPECT_EQ(form.DeviceName, "GSM");
    EXPECT_EQ(form.TapiMode, tmAuto);
    EXPECT_EQ(form.ComNumber, 0);
}

TEST_F(DeviceSelection, WhatIsListedFollowsTheSettings) {
    struct Case {
        const char* Name;
        bool Lines, Ports, Filter, Voice;
        QStringList Expected;
    };
    const QStringList ports = {QStringLiteral("Direct to COM3"), QStringLiteral("Direct to COM12")};
    const Case cases[] = {
        {"ports only", false, true, true, false, ports},
        {"lines unfiltered",
         true,
         false,
         false,
         false,
         {QStringLiteral("Модем"), QStringLiteral("Voice"), QStringLiteral("GSM")}},
        // voice with the filter: no ports, and the voice line has no wave device here
        {"voice", true, true, true, true, {QStringLiteral("Модем"), QStringLiteral("GSM")}},
        {"nothing", false, false, true, false, {}},
    };
    for (const Case& c : cases) {
        TDeviceSelectionForm form;
        form.ShowTapiDevices = c.Lines;
        form.ShowPorts = c.Ports;
        form.FilterUnsupportedDevices = c.Filter;
        form.EnableVoice = c.Voice;
        EXPECT_EQ(Show(form, form.dsfCancelBitBtn), mrCancel) << c.Name;
        EXPECT_EQ(Entries(form), c.Expected) << c.Name;
        if (c.Expected.isEmpty()) {
            EXPECT_EQ(form.dsfComboBox->currentIndex(), -1) << c.Name;
        }
    }
}

TEST_F(DeviceSelection, TheFilterDropsALineThatCannotPlaceCalls) {
    tapi.AddLine({"Listening only", "", LINEMEDIAMODE_DATAMODEM, 0});
    for (const bool filter : {true, false}) {
        TDeviceSelectionForm form;
        form.ShowPorts = false;
        form.FilterUnsupportedDevices = filter;
        EXPECT_EQ(Show(form, form.dsfCancelBitBtn), mrCancel);
        EXPECT_EQ(Entries(form).contains(QStringLiteral("Listening only")), !filter) << filter;
        EXPECT_TRUE(Entries(form).contains(QStringLiteral("GSM"))) << filter;
    }
}

TEST_F(DeviceSelection, ChoosingAComPortGivesItsNumber) {
    TDeviceSelectionForm form;
    form.DeviceName = "Nowhere";
    EXPECT_EQ(Show(form, form.dsfOkBitBtn), mrOk);
    EXPECT_EQ(form.DeviceName, "\xcc\xee\xe4\xe5\xec"); // an unknown name: the first entry
    EXPECT_EQ(Show(form, form.dsfOkBitBtn,
                   [&] { form.dsfComboBox->setCurrentText(QStringLiteral("Direct to COM12")); }),
              mrOk);
    EXPECT_EQ(form.TapiMode, tmOff);
    EXPECT_EQ(form.ComNumber, 12);
    EXPECT_EQ(form.DeviceName, "Direct to COM12");
}

TEST_F(DeviceSelection, APortIsPreselectedInDirectModeAndASecondShowingKeepsTheList) {
    TDeviceSelectionForm form;
    form.TapiMode = tmOff;
    form.ComNumber = 3;
    EXPECT_EQ(Show(form, form.dsfCancelBitBtn), mrCancel);
    EXPECT_EQ(form.dsfComboBox->currentText(), QStringLiteral("Direct to COM3"));
    const QStringList first = Entries(form);
    tapi.AddLine({"Later", ""});
    form.dsfComboBox->setCurrentIndex(1);
    EXPECT_EQ(Show(form, form.dsfCancelBitBtn), mrCancel);
    EXPECT_EQ(Entries(form), first);
    EXPECT_EQ(form.dsfComboBox->currentIndex(), 1);
}

} // namespace
