// The settings dialog on a real main window (not shown on a screen) in a temporary data folder, with
// the new-password dialog, a scripted file-open box, and a session manager, a main window and a settings
// dialog that record the apply sequence's calls in one list.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <utility>

#include <QStringList>

#include "dialogs/PasswordUpdate.h"
#include "platform/OpenDialog.h"
#include "tests/core/MainFormFixture.h"

class TRecordingConnectionForm : public TFakeConnectionForm {
public:
    explicit TRecordingConnectionForm(QStringList& calls) : calls_(calls) {}
    bool ServerOpen = true; // what ClosePort reports

    bool ClosePort(bool) override {
        calls_ << "ClosePort";
        return std::exchange(ServerOpen, false);
    }
    void ApplyInternetSettings() override { calls_ << "ApplyInternetSettings"; }
    void OpenPort() override {
        calls_ << "OpenPort";
        ServerOpen = true;
    }
    void ApplySWSettings(bool versionsChanged) override {
        calls_ << QStringLiteral("ApplySWSettings(%1)").arg(versionsChanged);
    }

private:
    QStringList& calls_;
};

class TRecordingSettingsDialog : public TSettingsDialog {
public:
    explicit TRecordingSettingsDialog(QStringList& calls) : calls_(calls) {}

    void DialogToSettings() override {
        calls_ << "DialogToSettings";
        TSettingsDialog::DialogToSettings();
    }
    void ApplyGeneralSettings() override {
        calls_ << "ApplyGeneralSettings";
        TSettingsDialog::ApplyGeneralSettings();
    }

private:
    QStringList& calls_;
};

// Answers the file-open box from a queue; an empty queue is a Cancel.
class TScriptedOpenDialog : public TOpenDialog {
public:
    std::deque<QString> Answers;
    QStringList StartedAt; // FileName when each box opened

    bool Execute(QWidget*) override {
        StartedAt << FileName;
        if (Answers.empty())
            return false;
        FileName = Answers.front();
        Answers.pop_front();
        return true;
    }
};

// Answers the next showing of the new-password dialog: the entry typed twice and OK, or Cancel when ok
// is false. Its caption and prompt are appended to texts when given.
void AnswerNewPassword(TPasswordUpdate& dialog, const QString& entry, bool ok = true,
                       QStringList* texts = nullptr);

class SettingsTest : public MainFormTest {
protected:
    SettingsTest();
    ~SettingsTest() override;

    // Starts the main window unless it runs, and opens the dialog as the menu command does.
    void OpenDialog(int page = 0);
    // Answers the next new-password dialog as AnswerNewPassword above does, recording its texts.
    void AnswerNewPassword(const QString& entry, bool ok = true);
    // Ends this run of the program (without its exit) and starts it again over the same data folder,
    // with a fresh settings dialog and main window. The start-up's password prompt is answered with
    // promptEntry; without one, a prompt is cancelled. promptsShown counts them.
    void Restart(const QString& promptEntry = QString());
    // Copies a firmware image into the data folder and returns its path.
    std::string ImageFile(const char* name, uint32_t count, uint32_t versionWord, uint8_t seed = 1);

private:
    void MakeDialog();

protected:
    QStringList calls;
    QStringList newPasswordTexts; // caption and prompt of each new-password dialog
    int promptsShown = 0;
    TRecordingSettingsDialog* dialog = nullptr;
    TRecordingConnectionForm* server = nullptr;
    TScriptedOpenDialog* openDialog = nullptr;
    std::unique_ptr<TPasswordUpdate> newPassword;
    TTempFolder images;
};
