// The settings and service window. Its constructor creates the one settings record, AppSettings, which
// every part of the program reads.
//
// Minimal for now: the four pages exist empty, nothing is edited or applied, and no firmware image is
// loaded. The main window disables itself while the window is open; closing it enables the main
// window again and ends the access that opened it.
#pragma once

#include "platform/Forms.h"

class QTabWidget;
class TObjectStates;

class TSettingsDialog : public TForm {
public:
    explicit TSettingsDialog(QWidget* owner = nullptr);
    ~TSettingsDialog() override;

    // Pages: 0 "Общие", 1 "Обновление ПО", 2 "Файлы с ПО", 3 "SMS".
    QTabWidget* PageControl1;

    // Loads and checks the stored firmware images at start-up.
    void InitialPrepareSW();
    // Shows the object's update state in the update list (the sessions call it while this is visible).
    virtual void RedrawUpdateString(TObjectStates* object);

protected:
    void FormClose() override;
};

extern TSettingsDialog* SettingsDialog;
