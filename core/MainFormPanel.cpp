// The objects grid and the object panel: filling and drawing the grid, the selected object's panel, the
// lamps, the 500 ms refresh, the sessions' notifications and the in-place editing of input names.
#include "core/MainForm.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "core/ObjectRegistry.h"
#include "core/SinceTime.h"
#include "gsm/ModemForm.h"
#include "platform/Clock.h"
#include "platform/Cp1251.h"

namespace {

// Room for the lamp in front of the time in column 0.
const QString LampRoom = QStringLiteral("       ");

enum TLampKind { lkYellow = 1, lkRed = 2, lkGreen = 3, lkBlue = 4 };

QString PinName(const TObjectStates& object, int index) {
    return FromCp1251(FixedText(object.PinNames[index]));
}

void SetLabelText(QLabel* label, const QString& text) {
    if (label->text() != text)
        label->setText(text);
}

} // namespace

TObjectStates* TMainForm::SelectedObject() const {
    const std::size_t index = std::size_t(ObjectsGrid->Row() - 1);
    return index < ObjectList.size() ? ObjectList[index].get() : nullptr;
}

bool TMainForm::IsSelected(const TObjectStates* object) const {
    return object && object == SelectedObject();
}

void TMainForm::RepaintGrid() {
    ObjectsGrid->viewport()->update();
}

// Column 0 shows each row's own object only, and the rows of a longer earlier list go.
void TMainForm::FillObjectsGrid() {
    try {
        const int count = int(ObjectList.size());
        ObjectsGrid->SetRowCount(count + 1);
        if (count == 0) {
            for (int col = 0; col < ObjectsGrid->ColCount(); ++col)
                ObjectsGrid->Cells[col][1] = QString();
            return;
        }
        const TDateTime now = Now();
        const TStringGrid::TCellBatch batch(ObjectsGrid);
        for (int i = 0; i < count; ++i) {
            const TObjectStates& object = *ObjectList[i];
            ObjectsGrid->Cells[0][i + 1] = LampRoom + SinceTimeText(object.ConnectTime, now);
            ObjectsGrid->Cells[1][i + 1] = QString::number(object.ObjectNumber);
            ObjectsGrid->Cells[2][i + 1] = FromCp1251(object.Name);
        }
    } catch (...) {
    }
}

void TMainForm::ObjectsGridDrawCell(int col, int row, const QRect& rect, QPainter& painter) {
    if (col != 0 || row < 1 || std::size_t(row - 1) >= ObjectList.size())
        return;
    const QPixmap& lamp = ObjectList[row - 1]->Connected ? bitmaps_.GrnOn : bitmaps_.RedOn;
    painter.drawPixmap(rect.left() + 2, rect.top() + 2, lamp);
}

void TMainForm::ObjectsGridClick() {
    UpdateObjectPanel();
}

void TMainForm::UpdateObjectPanel(bool) {
    const int row = ObjectsGrid->Row();
    QString caption = QStringLiteral("Текущий модем:  ") + ObjectsGrid->Cell(1, row);
    const QString name = ObjectsGrid->Cell(2, row);
    if (!name.isEmpty())
        caption += QStringLiteral("  -  ") + name;
    SetLabelText(CurrentObjectLabel, caption);
    TObjectStates* object = SelectedObject();
    UpdateObjectPanelControls(object ? object : EmptyObject.get());
    ObjectPanel->setEnabled(object != nullptr);
}

void TMainForm::UpdateObjectPanelControls(TObjectStates* o) {
    if (!o)
        return;
    const QString time = o->LastDataTime == 0.0
                             ? QStringLiteral("время не известно")
                             : TimeToStr(o->LastDataTime) + ' ' + DateToStr(o->LastDataTime);
    SetLabelText(LastMessageTimeLabel, QStringLiteral("Последние данные: ") + time);
    WriteSinceTime(SinceLastMessageLabel, o->LastDataTime);
    // The lamps remember what they show, not whose it is.
    for (int i = 0; i < 4; ++i) {
        if (o->InputStates[i] == drawnStates_[i])
            continue;
        SetLed(inputImages_[i], o->InputStates[i] != 0 ? 1 : 2);
        drawnStates_[i] = o->InputStates[i];
    }
    for (int i = 0; i < 3; ++i) {
        SetLabelText(pinLabels_[i], PinName(*o, i));
        pinLabels_[i]->setEnabled(!o->IsBKModel);
    }
    if (o->Connected) {
        RequestButton->setEnabled(!(o->RequestFlags & TObjectStates::HwInfoRequested));
        SettingsButton->setEnabled(true);
        return;
    }
    const bool bySms = ModemState == msReady && !SmsSendPending;
    RequestButton->setEnabled(bySms);
    SettingsButton->setEnabled(bySms);
}

void TMainForm::UpdateAll() {
    UpdateObjectPanel();
    RepaintGrid();
}

void TMainForm::SetLed(TImage* image, int state) {
    if (state == (image->Tag & 0xF))
        return;
    const int kind = (image->Tag >> 4) & 0xF;
    const bool on = state == 1;
    if (state == 0)
        image->SetPicture(bitmaps_.Undefined);
    else if (kind == lkYellow)
        image->SetPicture(on ? bitmaps_.YelOn : bitmaps_.YelOff);
    else if (kind == lkRed)
        image->SetPicture(on ? bitmaps_.RedOn : bitmaps_.RedOff);
    else if (kind == lkGreen)
        image->SetPicture(on ? bitmaps_.GrnOn : bitmaps_.GrnOff);
    else if (kind == lkBlue)
        image->SetPicture(on ? bitmaps_.BlueOn : bitmaps_.BlueOff);
    image->Tag = (image->Tag & ~0xF) | (state & 0xF);
}

void TMainForm::WriteSinceTime(QLabel* label, TDateTime time) {
    SetLabelText(label, SinceTimeCaption(time, Now()));
}

QString TMainForm::GetSinceTime(TDateTime time) const {
    return SinceTimeText(time, Now());
}

void TMainForm::SinceTimerTimer() {
    if (!isVisible())
        return; // nobody reads a hidden window's texts: they are brought up to date when it shows
    if (!ObjectList.empty()) {
        if (const TObjectStates* selected = SelectedObject())
            WriteSinceTime(SinceLastMessageLabel, selected->LastDataTime);
        const int rows = std::min(int(ObjectList.size()), ObjectsGrid->RowCount() - 1);
        for (int i = 0; i < rows; ++i)
            ObjectsGrid->Cells[0][i + 1] = LampRoom + GetSinceTime(ObjectList[i]->ConnectTime);
    }
    UpdateObjectPanel();
}

void TMainForm::OnResolveObjNum(TObjectStates* o) {
    if (!o)
        return;
    o->RequestFlags = 0;
    o->ConnectTime = Now();
    o->Connected = 1;
    o->ConnectedOnce = 1;
    RepaintGrid();
    if (IsSelected(o))
        UpdateObjectPanelControls(o);
    Log(QStringLiteral("CH: new object connected (object №%1)").arg(o->ObjectNumber));
    Status(QStringLiteral("Подсоединился модем %1").arg(o->ObjectNumber));
}

void TMainForm::OnObjectDisconnected(int objectNumber) {
    if (TObjectStates* o = FindObjectByNum(objectNumber)) {
        o->Connected = 0;
        o->ConnectTime = Now();
        RepaintGrid();
        if (IsSelected(o))
            UpdateObjectPanelControls(o);
    }
    Log(QStringLiteral("CH: the object disconnected (№%1)").arg(objectNumber));
    Status(QStringLiteral("Отсоединился модем %1").arg(objectNumber));
}

void TMainForm::ConverterReceiveSensor(QObject*, const TReportHeader& header, const TSensorReport& report) {
    TObjectStates* o = FindObjectByNum(header.ObjectNumber);
    if (!o)
        return;
    for (int i = 0; i < 4; ++i)
        o->InputStates[i] = report.InputStates[i];
    o->LastDataTime = header.Times[2];
    if (report.Kind == 1)
        o->RequestFlags &= ~TObjectStates::HwInfoRequested;
}

void TMainForm::PinNameLabelDblClick(QLabel* label) {
    if (ObjectList.empty())
        return;
    ClosePinNameEdit(true);
    const int index = int(std::find(pinLabels_.begin(), pinLabels_.end(), label) - pinLabels_.begin());
    const TObjectStates* o = SelectedObject();
    if (index >= 3 || !o)
        return;
    PinNameEdit->setText(PinName(*o, index));
    PinNameEdit->setModified(false);
    PinNameEdit->setGeometry(label->x() - 1, label->y() - 2, label->width() + 2, label->height() + 4);
    PinNameEdit->setProperty("Tag", (ObjectsGrid->Row() - 1) * 256 + index);
    PinNameEdit->show();
    PinNameEdit->raise();
    PinNameEdit->setFocus();
}

void TMainForm::ClosePinNameEdit(bool commit) {
    if (!PinNameEdit->isVisible() || closingPinEdit_)
        return;
    closingPinEdit_ = true; // hiding moves the focus, which would close it again
    PinNameEdit->hide();
    closingPinEdit_ = false;
    if (!commit)
        return;
    const int tag = PinNameEdit->property("Tag").toInt();
    const std::size_t object = std::size_t(tag >> 8);
    const int pin = tag & 255;
    if (object < ObjectList.size() && pin < 3)
        SetFixedText(ObjectList[object]->PinNames[pin], ToCp1251(PinNameEdit->text().left(15)));
}

void TMainForm::StatesGroupBoxClick() {
    ClosePinNameEdit(true);
}
