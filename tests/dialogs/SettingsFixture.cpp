#include "tests/dialogs/SettingsFixture.h"

#include <QTest>
#include <QTimer>

#include "core/ObjectRegistry.h"
#include "core/StateFile.h"
#include "gsm/ModemForm.h"
#include "tests/dialogs/FirmwareFile.h"
#include "tests/platform/TestSupport.h"

SettingsTest::SettingsTest() {
    auto recording = std::make_unique<TRecordingConnectionForm>(calls);
    server = recording.get();
    connection = std::move(recording);
    ConnectionForm = server;
    newPassword = std::make_unique<TPasswordUpdate>();
    PasswordUpdate = newPassword.get();
    MakeDialog();
}

SettingsTest::~SettingsTest() {
    if (dialog)
        dialog->hide();
    PasswordUpdate = nullptr;
    newPassword.reset();
}

// The old dialog goes first: its destructor deletes AppSettings, which the new one creates.
void SettingsTest::MakeDialog() {
    SettingsDialog = nullptr;
    settings.reset();
    auto recording = std::make_unique<TRecordingSettingsDialog>(calls);
    auto box = std::make_unique<TScriptedOpenDialog>();
    openDialog = box.get();
    recording->OpenDialog2 = std::move(box);
    dialog = recording.get();
    settings = std::move(recording);
    SettingsDialog = dialog;
}

void SettingsTest::OpenDialog(int page) {
    if (!form)
        Start();
    form->Calls = &calls;
    // What the menu command does once the access check passed.
    AccessGranted = true;
    dialog->PageControl1->setCurrentIndex(page);
    form->setEnabled(false);
    dialog->show();
    calls.clear();
}

void AnswerNewPassword(TPasswordUpdate& dialog, const QString& entry, bool ok, QStringList* texts) {
    WhenModal(dialog, [&dialog, entry, ok, texts] {
        if (texts)
            *texts << dialog.Caption() << dialog.InfoLabel->text();
        if (!ok) {
            dialog.ButtonCancel->click();
            return;
        }
        QTest::keyClicks(dialog.PasswordEdit, entry);
        QTest::keyClicks(dialog.PasswordDoubleEdit, entry);
        dialog.ButtonOK->click();
    });
}

void SettingsTest::AnswerNewPassword(const QString& entry, bool ok) {
    ::AnswerNewPassword(*newPassword, entry, ok, &newPasswordTexts);
}

void SettingsTest::Restart(const QString& promptEntry) {
    dialog->hide();
    form.reset();
    MainForm = nullptr;
    ObjectList.clear();
    FirstShow = true;
    Shown = false;
    StatesNotLoaded = true;
    AccessGranted = false;
    SystemPassword = std::string(NoPassword);
    MutexHandle.reset();
    MakeDialog();
    promptsShown = 0;
    QTimer watch;
    watch.callOnTimeout([&] {
        if (!PasswordEnter->InModalLoop() || !PasswordEnter->isVisible())
            return;
        if (++promptsShown == 1 && !promptEntry.isEmpty()) {
            QTest::keyClicks(PasswordEnter->PasswordEdit, promptEntry);
            PasswordEnter->ButtonOK->click();
        } else {
            PasswordEnter->ButtonCancel->click();
        }
    });
    watch.start(1);
    Start();
    form->Calls = &calls;
}

std::string SettingsTest::ImageFile(const char* name, uint32_t count, uint32_t versionWord, uint8_t seed) {
    return WriteFirmwareFile(images.Path(), name, MakeFirmwareImage(count, versionWord, seed));
}
