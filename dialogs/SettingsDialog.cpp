#include "dialogs/SettingsDialog.h"

#include <QTabWidget>
#include <QVBoxLayout>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"

TSettingsDialog* SettingsDialog = nullptr;

TSettingsDialog::TSettingsDialog(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("SettingsDialog"));
    SetCaption(QStringLiteral("Настройки и сервис"));
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    for (const char* page : {"Общие", "Обновление ПО", "Файлы с ПО", "SMS"})
        PageControl1->addTab(new QWidget(PageControl1), QString::fromUtf8(page));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1);
    resize(480, 360);
    AppSettings = new TSettings;
}

TSettingsDialog::~TSettingsDialog() {
    delete AppSettings;
    AppSettings = nullptr;
}

void TSettingsDialog::InitialPrepareSW() {}

void TSettingsDialog::RedrawUpdateString(TObjectStates*) {}

void TSettingsDialog::FormClose() {
    if (MainForm)
        MainForm->setEnabled(true);
    AccessGranted = false;
}
