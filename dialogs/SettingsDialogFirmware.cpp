// The settings dialog's firmware pages: the image files, one per hardware group, the objects' update
// marks, and the loading of the images into the table that uploads are sent from.
#include "dialogs/SettingsDialog.h"

#include <algorithm>

#include <QListWidget>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/Cp1251.h"
#include "platform/OpenDialog.h"
#include "platform/StringGrid.h"

namespace {

constexpr int FileCol = 2;

int StoredFileCount() {
    return std::clamp(AppSettings->SWFileCount, 0, TSettingsFields::SWFileMax);
}

// An entry of the version list without a version: a stored file whose image did not load. It keeps
// its row and its name until the operator closes it, and belongs to no hardware group.
bool Loaded(const TSWVersion& version) {
    return version != TSWVersion{};
}

// The first loaded entry of the list of the same hardware group as the version.
std::vector<TSWVersion>::iterator FindGroup(std::vector<TSWVersion>& list, const TSWVersion& version) {
    return std::find_if(list.begin(), list.end(), [&](const TSWVersion& v) {
        return Loaded(v) && HardwareGroup(v[0]) == HardwareGroup(version[0]);
    });
}

// Loads entry i of the table from its file. A file that does not load leaves the entry empty, and
// the pages show it as not loaded; the log says which file it was.
void LoadStoredImage(std::size_t i) {
    if (PrepareSW(AppSettings->SWFiles[i], SWImages[i], SWVersions[i]) != prLoaded && MainForm)
        MainForm->PrintMessage("CH: firmware file not loaded - " + AppSettings->SWFiles[i]);
}

} // namespace

void TSettingsDialog::InitialPrepareSW() {
    for (int i = 0; i < StoredFileCount(); ++i)
        LoadStoredImage(std::size_t(i));
}

// The update list, the file grid and the version list from the settings and the loaded images, one row
// and one list entry for each stored file, loaded or not.
void TSettingsDialog::ShowSWPages() {
    ObjectsCheckListBox->clear();
    for (const auto& o : ObjectList) {
        auto* line = new QListWidgetItem(
            FromCp1251(MakeObjStr(o->ObjectNumber, o->Name, o->UpdateState, o->HwVersion)),
            ObjectsCheckListBox);
        line->setFlags(line->flags() | Qt::ItemIsUserCheckable);
        line->setCheckState(o->UpdateState >= 0 ? Qt::Checked : Qt::Unchecked);
    }
    SWVersionList.clear();
    std::vector<QString> files;
    for (int i = 0; i < StoredFileCount(); ++i) {
        SWVersionList.push_back(SWVersions[std::size_t(i)]);
        files.push_back(FromCp1251(AppSettings->SWFiles[std::size_t(i)]));
    }
    StringGrid1->SetRowCount(int(std::max<std::size_t>(SWVersionList.size(), 1)) + 1);
    for (int col = 0; col < StringGrid1->ColCount(); ++col)
        StringGrid1->Cells[col][1] = QString();
    for (std::size_t i = 0; i < SWVersionList.size(); ++i)
        FillFileRow(int(i) + 1, SWVersionList[i], files[i]);
}

void TSettingsDialog::FillFileRow(int row, const TSWVersion& version, const QString& fileName) {
    const bool loaded = Loaded(version);
    StringGrid1->Cells[0][row] =
        loaded ? QString::fromStdString(VersionText(version)) : QStringLiteral("---");
    StringGrid1->Cells[1][row] = loaded ? QString::fromLatin1(ModelName(version[0])) : QString();
    StringGrid1->Cells[FileCol][row] = fileName;
    // The hint shows the whole name with its path, which the column is too narrow for.
    StringGrid1->SetCellHint(FileCol, row,
                             loaded ? fileName : fileName + QStringLiteral("\nФайл не загружен"));
}

void TSettingsDialog::EnterSWButtonClick() {
    const QString selected = StringGrid1->Cells[FileCol][StringGrid1->Row()];
    if (OpenDialog2->FileName.isEmpty() && !selected.isEmpty())
        OpenDialog2->FileName = selected;
    if (!OpenDialog2->Execute(this))
        return;
    const QString chosen = OpenDialog2->FileName;
    std::vector<uint8_t> image; // only checked here: the table is loaded when the settings are applied
    TSWVersion version;
    // The name is stored in Windows-1251, so a name it cannot hold could never be opened again.
    const int result = IsCp1251(chosen) ? PrepareSW(ToCp1251(chosen), image, version) : prNoFile;
    switch (result) {
    case prNoFile:
        MessageDlg(QStringLiteral("Невозможно открыть файл!\r\n"), mtError, mbOK);
        return;
    case prInvalid:
        MessageDlg(QStringLiteral("Некорректный файл!\r\n"), mtError, mbOK);
        return;
    case prUnsupported:
        MessageDlg(QStringLiteral("Обновление данного ПО не поддерживается!\r\n"), mtError, mbOK);
        return;
    }
    const auto same = FindGroup(SWVersionList, version);
    const int entry = int(same - SWVersionList.begin());
    if (same == SWVersionList.end()) {
        SWVersionList.push_back(version);
        if (SWVersionList.size() > 1) // the single empty row of an empty list is reused
            StringGrid1->SetRowCount(int(SWVersionList.size()) + 1);
    } else {
        *same = version;
    }
    FillFileRow(entry + 1, version, chosen);
    StringGrid1->SetRow(entry + 1);
}

void TSettingsDialog::DeleteSWButtonClick() {
    const int row = StringGrid1->Row();
    if (row < 1 || std::size_t(row) > SWVersionList.size())
        return; // an empty list, or a row without an image
    if (SWVersionList.size() == 1) {
        for (int col = 0; col < StringGrid1->ColCount(); ++col)
            StringGrid1->Cells[col][1] = QString();
        StringGrid1->SetCellHint(FileCol, 1, QString());
    } else {
        StringGrid1->DeleteRow(row);
    }
    SWVersionList.erase(SWVersionList.begin() + (row - 1));
}

bool TSettingsDialog::Marked(int line) const {
    const QListWidgetItem* item = ObjectsCheckListBox->item(line);
    return item && item->checkState() == Qt::Checked;
}

void TSettingsDialog::Button1Click() {
    for (int i = 0; i < ObjectsCheckListBox->count(); ++i)
        ObjectsCheckListBox->item(i)->setCheckState(Qt::Checked);
}

void TSettingsDialog::Button2Click() {
    for (int i = 0; i < ObjectsCheckListBox->count(); ++i)
        ObjectsCheckListBox->item(i)->setCheckState(Qt::Unchecked);
}

// Only the main program's version is compared; an object that never reported one is never marked.
void TSettingsDialog::Button3Click() {
    const int lines = std::min(ObjectsCheckListBox->count(), int(ObjectList.size()));
    for (int i = 0; i < lines; ++i) {
        const TSWVersion& have = ObjectList[std::size_t(i)]->HwVersion;
        bool older = false;
        if (have[0] != 0) {
            const auto image = FindGroup(SWVersionList, have);
            older = image != SWVersionList.end() && have[0] * 256 + have[1] < (*image)[0] * 256 + (*image)[1];
        }
        ObjectsCheckListBox->item(i)->setCheckState(older ? Qt::Checked : Qt::Unchecked);
    }
}

bool TSettingsDialog::SWVersionChanged() const {
    if (int(SWVersionList.size()) != AppSettings->SWFileCount)
        return true;
    for (std::size_t i = 0; i < SWVersionList.size(); ++i)
        if (SWVersionList[i] != SWVersions[i])
            return true;
    return false;
}

bool TSettingsDialog::SWSettingsChanged() const {
    const int lines = std::min(ObjectsCheckListBox->count(), int(ObjectList.size()));
    for (int i = 0; i < lines; ++i)
        if (Marked(i) != (ObjectList[std::size_t(i)]->UpdateState >= 0))
            return true;
    return false;
}

// The marks, then the file names, then the images whose version changed. A running update keeps its
// progress; entries past the new count are emptied.
void TSettingsDialog::CommitSW() {
    const int lines = std::min(ObjectsCheckListBox->count(), int(ObjectList.size()));
    for (int i = 0; i < lines; ++i) {
        TObjectStates& o = *ObjectList[std::size_t(i)];
        if (!Marked(i))
            o.UpdateState = -1;
        else if (o.UpdateState < 0)
            o.UpdateState = 0;
    }
    AppSettings->SWFileCount = int32_t(SWVersionList.size());
    for (std::size_t i = 0; i < SWVersionList.size(); ++i) {
        AppSettings->SWFiles[i] = ToCp1251(StringGrid1->Cells[FileCol][int(i) + 1]);
        if (SWVersionList[i] != SWVersions[i])
            LoadStoredImage(i);
    }
    for (std::size_t i = SWVersionList.size(); i < SWImages.size(); ++i) {
        AppSettings->SWFiles[i].clear();
        SWImages[i] = std::vector<uint8_t>();
        SWVersions[i] = {};
    }
}

void TSettingsDialog::RedrawUpdateString(TObjectStates* object) {
    const auto same = std::find_if(ObjectList.begin(), ObjectList.end(), [&](const auto& o) {
        return o->ModemID == object->ModemID && o->IsBKModel == object->IsBKModel;
    });
    QListWidgetItem* line = ObjectsCheckListBox->item(int(same - ObjectList.begin()));
    if (same == ObjectList.end() || !line)
        return;
    line->setText(
        FromCp1251(MakeObjStr(object->ObjectNumber, object->Name, object->UpdateState, object->HwVersion)));
    if (object->UpdateState < 0)
        line->setCheckState(Qt::Unchecked);
}
