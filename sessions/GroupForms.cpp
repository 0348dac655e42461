#include "sessions/GroupForms.h"

#include <algorithm>
#include <exception>
#include <new>

#include <QCollator>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>

#include "core/FormControls.h"
#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/Cp1251.h"
#include "sessions/GroupRouting.h"
#include "sessions/VirtualPorts.h"

TGroupsDialog* GroupsDialog = nullptr;
TRenameForm* RenameForm = nullptr;
TSelectBaseForm* SelectBaseForm = nullptr;

namespace {

constexpr int MaxNameLength = 20;
constexpr int EditorWidth = 668, ParamsWidth = 412, RenameWidth = 270, SelectBaseWidth = 424;

QPushButton* Button(const QString& text, QWidget* parent, const char* name, int left, int top) {
    auto* b = Placed(new QPushButton(text, parent), name, left, top);
    b->resize(75, 25);
    return b;
}

QToolButton* Arrow(const QString& text, const QString& hint, QWidget* parent, const char* name, int top) {
    auto* b = Placed(new QToolButton(parent), name, 184, top);
    b->setText(text);
    b->setToolTip(hint);
    b->setProperty("Tag", ArrowButtonTag);
    b->resize(40, 25);
    return b;
}

QListWidget* List(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* list = Placed(new QListWidget(parent), name, left, top);
    list->resize(width, height);
    return list;
}

QLabel* BoldLabel(QWidget* parent, const char* name, int left, int top) {
    auto* label = Placed(new QLabel(parent), name, left, top);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    return label;
}

// A list's click: a row chosen by the mouse (the selected one too) or the keyboard, not by the program
// while it fills the list (filling set).
template <class Handler> void OnRowClick(QListWidget* list, const bool& filling, Handler handler) {
    QObject::connect(list, &QListWidget::currentRowChanged, list, [&filling, handler] {
        if (!filling)
            handler();
    });
    QObject::connect(list, &QListWidget::itemClicked, list, [&filling, handler] {
        if (!filling)
            handler();
    });
}

QString Quoted(const QString& text) {
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString ObjectRow(uint32_t number) {
    const TObjectStates* o = FindObjectByNum(int32_t(number));
    return o ? QString::number(o->ObjectNumber) + QStringLiteral(" - ") + FromCp1251(o->Name)
             : QString::number(number);
}

// Objects of the object list that are members of no working group and no modem base but keep's.
QStringList FreeObjectRows(const std::vector<std::unique_ptr<TReceiver>>& groups, const TReceiver* keep) {
    QStringList rows;
    for (const auto& o : ObjectList) {
        const auto n = o->ObjectNumber;
        const bool taken = std::any_of(groups.begin(), groups.end(), [&](const auto& g) {
            return (g.get() != keep && g->BaseKind == 0 && g->BaseID == n) ||
                   std::find(g->Members.begin(), g->Members.end(), uint32_t(n)) != g->Members.end();
        });
        if (!taken)
            rows << ObjectRow(uint32_t(n));
    }
    return SortedRows(rows);
}

void Fill(QListWidget* list, const QStringList& rows, int select) {
    list->clear();
    list->addItems(rows);
    list->setCurrentRow(select < list->count() ? select : -1);
}

} // namespace

QString TrimName(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text[first].unicode() <= ' ')
        ++first;
    while (last > first && text[last - 1].unicode() <= ' ')
        --last;
    return text.mid(first, last - first);
}

int RowNumber(const QString& row) {
    qsizetype i = 0;
    long long n = 0;
    while (i < row.size() && row[i].isDigit() && n <= INT32_MAX)
        n = n * 10 + row[i++].digitValue();
    return i > 0 && n <= INT32_MAX ? int(n) : -1;
}

QStringList SortedRows(QStringList rows) {
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(rows.begin(), rows.end(), [&](const QString& a, const QString& b) {
        const int c = collator.compare(a, b);
        return c != 0 ? c < 0 : a < b;
    });
    return rows;
}

// The editor.

TGroupsDialog::TGroupsDialog(QWidget* owner)
    : TForm(owner), ReceiverNameEdit(Placed(new QLineEdit(this), "ReceiverNameEdit", 8, 8)),
      NameAddButton(Button(QStringLiteral("Добавить"), this, "NameAddButton", 164, 6)),
      RenameButton(Button(QStringLiteral("Переименовать..."), this, "RenameButton", 8, 352)),
      NameDeleteButton(Button(QStringLiteral("Удалить"), this, "NameDeleteButton", 164, 352)),
      ReceiversListBox(List(this, "ReceiversListBox", 8, 40, 231, 304)),
      ParamsGroupBox(
          Placed(new QGroupBox(QStringLiteral("Параметры группы "), this), "ParamsGroupBox", 248, 4)),
      BaseLabel(Placed(new QLabel(QStringLiteral("База:"), ParamsGroupBox), "BaseLabel", 8, 26)),
      ProtocolLabel(
          Placed(new QLabel(QStringLiteral("Маршрутизация исходящего трафика базы:"), ParamsGroupBox),
                 "ProtocolLabel", 8, 58)),
      FreeObjectsLabel(
          Placed(new QLabel(QStringLiteral("Свободные модемы"), ParamsGroupBox), "FreeObjectsLabel", 8, 88)),
      ModemsLabel(
          Placed(new QLabel(QStringLiteral("Модемы группы "), ParamsGroupBox), "ModemsLabel", 232, 88)),
      BaseEdit(Placed(new QLineEdit(ParamsGroupBox), "BaseEdit", 48, 22)),
      SelectBaseButton(Button(QStringLiteral("Выбрать..."), ParamsGroupBox, "SelectBaseButton", 324, 20)),
      ProtocolComboBox(Placed(new QComboBox(ParamsGroupBox), "ProtocolComboBox", 264, 54)),
      FreeObjectsListBox(List(ParamsGroupBox, "FreeObjectsListBox", 8, 106, 170, 250)),
      ObjectsListBox(List(ParamsGroupBox, "ObjectsListBox", 232, 106, 170, 250)),
      SpeedButton1(
          Arrow(QStringLiteral(">"), QStringLiteral("Добавить"), ParamsGroupBox, "SpeedButton1", 150)),
      SpeedButton2(
          Arrow(QStringLiteral(">>"), QStringLiteral("Добавить все"), ParamsGroupBox, "SpeedButton2", 182)),
      SpeedButton3(
          Arrow(QStringLiteral("<<"), QStringLiteral("Убрать все"), ParamsGroupBox, "SpeedButton3", 246)),
      SpeedButton4(Arrow(QStringLiteral("<"), QStringLiteral("Убрать"), ParamsGroupBox, "SpeedButton4", 278)),
      ButtonOK(Button(QStringLiteral("ОК"), this, "ButtonOK", 504, 384)),
      ButtonCancel(Button(QStringLiteral("Отмена"), this, "ButtonCancel", 586, 384)) {
    setObjectName(QStringLiteral("GroupsDialog"));
    SetCaption(QStringLiteral("Редактор групп"));
    setFixedSize(EditorWidth, 418);
    ParamsGroupBox->resize(ParamsWidth, 370);
    ReceiverNameEdit->resize(150, 21);
    ReceiverNameEdit->setMaxLength(MaxNameLength);
    ReceiverNameEdit->setValidator(new TCp1251Validator(ReceiverNameEdit));
    RenameButton->resize(150, 25);
    BaseEdit->setReadOnly(true);
    BaseEdit->resize(270, 21);
    ProtocolComboBox->addItems({QStringLiteral("Всем"), QStringLiteral("Modbus ASCII")});
    // The protocol's list follows its label, as long as the font makes it; the box, the member list
    // and the dialog widen when it would not fit.
    ProtocolComboBox->setGeometry(TextRight(ProtocolLabel, 6), 54,
                                  std::max(140, ProtocolComboBox->sizeHint().width()), 21);
    const int grow = std::max(0, ProtocolComboBox->geometry().right() + 9 - ParamsWidth);
    ParamsGroupBox->resize(ParamsWidth + grow, ParamsGroupBox->height());
    ObjectsListBox->resize(ObjectsListBox->width() + grow, ObjectsListBox->height());
    FitWidth(this, EditorWidth, EditorWidth + grow, {ButtonOK, ButtonCancel});
    ButtonOK->setDefault(true);

    connect(NameAddButton, &QPushButton::clicked, this, [this] { NameAddButtonClick(); });
    connect(RenameButton, &QPushButton::clicked, this, [this] { RenameButtonClick(); });
    connect(NameDeleteButton, &QPushButton::clicked, this, [this] { NameDeleteButtonClick(); });
    OnRowClick(ReceiversListBox, filling_, [this] { ReceiversListBoxClick(); });
    connect(SelectBaseButton, &QPushButton::clicked, this, [this] { SelectBaseButtonClick(); });
    connect(ProtocolComboBox, &QComboBox::activated, this, [this] { ProtocolComboBoxChange(); });
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    connect(SpeedButton2, &QToolButton::clicked, this, [this] { SpeedButton2Click(); });
    connect(SpeedButton3, &QToolButton::clicked, this, [this] { SpeedButton3Click(); });
    connect(SpeedButton4, &QToolButton::clicked, this, [this] { SpeedButton4Click(); });
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    SetButtonModalResult(ButtonCancel, mrCancel);
    UpdateVSPTimer.SetEnabled(false);
    UpdateVSPTimer.SetOnTimer([this] { UpdateVSPTimerTimer(); });
}

TGroupsDialog::~TGroupsDialog() {
    FreeWorkReceivers();
}

void TGroupsDialog::FreeWorkReceivers() {
    WorkReceivers.clear();
    origins_.clear();
}

void TGroupsDialog::FormShow() {
    if (AccessGranted && AppSettings) {
        FreeWorkReceivers();
        try {
            for (const auto& live : AppSettings->Receivers) {
                auto& copy = WorkReceivers.emplace_back(std::make_unique<TReceiver>());
                copy->Assign(*live, true);
                origins_[copy.get()] = live.get();
            }
        } catch (const std::bad_alloc&) {
            FreeWorkReceivers();
            MessageDlg(QStringLiteral("Недостаточно памяти для редактирования групп!\r\n"), mtError, mbOK);
        }
        RefreshList();
        ShowReceiver();
    }
    GroupsChanged = false;
    for (const auto& g : WorkReceivers)
        g->Changed = false;
}

void TGroupsDialog::FormClose() {
    FreeWorkReceivers();
    if (MainForm)
        MainForm->setEnabled(true);
    AccessGranted = false;
}

TReceiver* TGroupsDialog::FindWorkReceiver(const QString& name) const {
    const std::string bytes = ToCp1251(name);
    for (const auto& g : WorkReceivers)
        if (g->Name == bytes)
            return g.get();
    return nullptr;
}

TReceiver* TGroupsDialog::CurrentReceiver() const {
    const QListWidgetItem* row = ReceiversListBox->currentItem();
    return row ? FindWorkReceiver(row->text()) : nullptr;
}

void TGroupsDialog::RefreshList(const QString& select, int row) {
    QStringList names;
    for (const auto& g : WorkReceivers)
        names << FromCp1251(g->Name);
    names = SortedRows(names);
    if (!select.isEmpty())
        row = int(names.indexOf(select));
    filling_ = true;
    Fill(ReceiversListBox, names, std::clamp(row, 0, std::max(0, int(names.size()) - 1)));
    filling_ = false;
    shownRow_ = ReceiversListBox->currentRow();
}

void TGroupsDialog::ReceiversListBoxClick() {
    const int row = ReceiversListBox->currentRow();
    if (row != shownRow_)
        ShowReceiver();
    shownRow_ = row;
}

void TGroupsDialog::ShowReceiver() {
    TReceiver* g = CurrentReceiver();
    filling_ = true;
    for (QWidget* control : ParamsGroupBox->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!g || control->property("Tag").toInt() != ArrowButtonTag)
            control->setEnabled(g != nullptr);
    if (!g) {
        ParamsGroupBox->setTitle(QStringLiteral("Параметры группы "));
        ShowModemsLabel(QStringLiteral("Модемы группы "));
        BaseEdit->clear();
        ProtocolComboBox->setCurrentIndex(0);
        FreeObjectsListBox->clear();
        ObjectsListBox->clear();
        filling_ = false;
        return;
    }
    const QString name = FromCp1251(g->Name);
    ParamsGroupBox->setTitle(QStringLiteral("Параметры группы  ") + Quoted(name) + QLatin1Char(' '));
    ShowModemsLabel(QStringLiteral("Модемы группы  ") + Quoted(name));
    BaseEdit->setText(ReceiverBaseDescription(g->BaseKind, g->BaseID));
    ProtocolComboBox->setCurrentIndex(g->Protocol != 0 ? 1 : 0);
    QStringList members;
    for (const uint32_t m : g->Members)
        members << ObjectRow(m);
    Fill(ObjectsListBox, SortedRows(members), 0);
    Fill(FreeObjectsListBox, FreeObjectRows(WorkReceivers, nullptr), 0);
    SpeedButton1->setEnabled(FreeObjectsListBox->count() > 0);
    SpeedButton2->setEnabled(FreeObjectsListBox->count() > 0);
    SpeedButton3->setEnabled(ObjectsListBox->count() > 0);
    SpeedButton4->setEnabled(ObjectsListBox->count() > 0);
    filling_ = false;
}

// The label stands over the member list; a long group name takes room to its left, over the arrows,
// as far as the free modems' label. A name longer than that shows with its middle cut out.
void TGroupsDialog::ShowModemsLabel(const QString& text) {
    const QFontMetrics fm = ModemsLabel->fontMetrics();
    const int right = ObjectsListBox->x() + ObjectsListBox->width();
    const int room = right - TextRight(FreeObjectsLabel, 12);
    QString shown = text;
    if (fm.horizontalAdvance(text) > room) {
        const qsizetype quote = text.indexOf(QLatin1Char('"'));
        const QString name = text.mid(quote + 1, text.size() - quote - 2);
        shown =
            text.left(quote) + Quoted(fm.elidedText(name, Qt::ElideMiddle,
                                                    room - fm.horizontalAdvance(text.left(quote + 1) + '"')));
    }
    ModemsLabel->setText(shown);
    ModemsLabel->setToolTip(shown == text ? QString() : text);
    const int width = fm.horizontalAdvance(shown);
    ModemsLabel->setGeometry(std::min(ObjectsListBox->x(), right - width), ModemsLabel->y(), width,
                             ModemsLabel->sizeHint().height());
}

void TGroupsDialog::NameAddButtonClick() {
    const QString name = TrimName(ReceiverNameEdit->text());
    if (name.isEmpty()) {
        MessageDlg(QStringLiteral("Не введено название добавляемой группы"), mtInformation, mbOK);
        ReceiverNameEdit->setFocus();
        return;
    }
    if (FindWorkReceiver(name)) {
        MessageDlg(QStringLiteral("Группа с таким названием уже существует"), mtError, mbOK);
        RefreshList(name);
        ReceiverNameEdit->clear();
        ShowReceiver();
        return;
    }
    try {
        auto group = std::make_unique<TReceiver>();
        group->Name = ToCp1251(name);
        WorkReceivers.insert(WorkReceivers.begin(), std::move(group));
    } catch (const std::bad_alloc&) {
        return;
    }
    GroupsChanged = true;
    RefreshList(name);
    ReceiverNameEdit->clear();
    ShowReceiver();
}

void TGroupsDialog::NameDeleteButtonClick() {
    TReceiver* g = CurrentReceiver();
    if (!g) {
        MessageDlg(QStringLiteral("Не выбрана группа для удаления"), mtInformation, mbOK);
        return;
    }
    const QString name = FromCp1251(g->Name);
    if (MessageDlg(QStringLiteral("Удалить группу ") + Quoted(name) + QLatin1Char('?'), mtConfirmation,
                   mbYesNo) != mrYes)
        return;
    const int row = ReceiversListBox->currentRow();
    const auto at = std::size_t(std::find_if(WorkReceivers.begin(), WorkReceivers.end(),
                                             [g](const auto& w) { return w.get() == g; }) -
                                WorkReceivers.begin());
    TReceiverArray rest;
    // Runs a step; when it throws, what the steps moved goes back and its error box is shown.
    auto step = [&](const char* error, auto action) {
        try {
            action();
            return true;
        } catch (const std::exception&) {
            for (std::size_t i = 0; i < rest.size(); ++i)
                if (rest[i])
                    WorkReceivers[i < at ? i : i + 1] = std::move(rest[i]);
            MessageDlg(QString::fromUtf8(error), mtError, mbOK);
            return false;
        }
    };
    if (!step("Ошибка копирования групп до текущей", [&] { CopyGroupsBefore(at, rest); }) ||
        !step("Ошибка копирования групп после текущей", [&] { CopyGroupsAfter(at, rest); }) ||
        !step("Ошибка удаления группы", [&] { DeleteGroup(WorkReceivers[at]); }))
        return;
    WorkReceivers = std::move(rest);
    GroupsChanged = true;
    try {
        FillList(std::min(row, WorkReceiverCount() - 1));
    } catch (const std::exception&) {
        MessageDlg(QStringLiteral("Ошибка заполнения списка"), mtError, mbOK);
    }
}

void TGroupsDialog::CopyGroupsBefore(std::size_t index, TReceiverArray& to) {
    to.reserve(WorkReceivers.size() - 1);
    for (std::size_t i = 0; i < index; ++i)
        to.push_back(std::move(WorkReceivers[i]));
}

void TGroupsDialog::CopyGroupsAfter(std::size_t index, TReceiverArray& to) {
    for (std::size_t i = index + 1; i < WorkReceivers.size(); ++i)
        to.push_back(std::move(WorkReceivers[i]));
}

void TGroupsDialog::DeleteGroup(std::unique_ptr<TReceiver>& group) {
    // The live group keeps its port until OK deletes it.
    origins_.erase(group.get());
    group.reset();
}

void TGroupsDialog::FillList(int row) {
    RefreshList({}, row);
    ShowReceiver();
}

void TGroupsDialog::RenameButtonClick() {
    TReceiver* g = CurrentReceiver();
    if (!g || !RenameForm)
        return;
    RenameForm->NameLabel->setText(FromCp1251(g->Name));
    if (RenameForm->ShowModal() != mrOk)
        return;
    g->Name = ToCp1251(RenameForm->NameEdit->text());
    GroupsChanged = true;
    RefreshList();
    ShowReceiver();
}

void TGroupsDialog::SelectBaseButtonClick() {
    TReceiver* g = CurrentReceiver();
    if (!g || !SelectBaseForm)
        return;
    SelectBaseForm->NameLabel->setText(FromCp1251(g->Name));
    SelectBaseForm->BaseKind = g->BaseKind;
    SelectBaseForm->BaseID = g->BaseID;
    if (SelectBaseForm->ShowModal() != mrOk)
        return;
    // A port is made again even when the same one is chosen.
    if (SelectBaseForm->BaseKind > 0 || SelectBaseForm->BaseKind != g->BaseKind)
        g->Changed = true;
    g->BaseKind = SelectBaseForm->BaseKind;
    g->BaseID = SelectBaseForm->BaseID;
    GroupsChanged = true;
    ShowReceiver();
}

void TGroupsDialog::ProtocolComboBoxChange() {
    if (TReceiver* g = CurrentReceiver()) {
        g->Protocol = ProtocolComboBox->currentIndex() == 1 ? TReceiver::prModbusAscii : TReceiver::prAll;
        GroupsChanged = true;
    }
}

void TGroupsDialog::MembersChanged() {
    ShowReceiver();
    GroupsChanged = true;
}

void TGroupsDialog::SpeedButton1Click() {
    TReceiver* g = CurrentReceiver();
    if (!g)
        return;
    if (const QListWidgetItem* row = FreeObjectsListBox->currentItem())
        g->Members.push_back(uint32_t(RowNumber(row->text())));
    MembersChanged();
}

void TGroupsDialog::SpeedButton2Click() {
    TReceiver* g = CurrentReceiver();
    if (!g)
        return;
    for (int i = 0; i < FreeObjectsListBox->count(); ++i)
        g->Members.push_back(uint32_t(RowNumber(FreeObjectsListBox->item(i)->text())));
    MembersChanged();
}

void TGroupsDialog::SpeedButton3Click() {
    TReceiver* g = CurrentReceiver();
    if (!g)
        return;
    g->Members.clear();
    MembersChanged();
}

void TGroupsDialog::SpeedButton4Click() {
    TReceiver* g = CurrentReceiver();
    if (!g)
        return;
    if (const QListWidgetItem* row = ObjectsListBox->currentItem()) {
        const auto at = std::find(g->Members.begin(), g->Members.end(), uint32_t(RowNumber(row->text())));
        if (at != g->Members.end())
            g->Members.erase(at);
    }
    MembersChanged();
}

void TGroupsDialog::ButtonOKClick() {
    if (!AccessGranted)
        return;
    if (GroupsChanged && AppSettings) {
        DeleteChangedVirtualPorts(*this);
        // A surviving group keeps its comment and the member data still waiting for its base.
        for (const auto& g : WorkReceivers) {
            const auto origin = origins_.find(g.get());
            if (origin == origins_.end())
                continue;
            g->Comment = origin->second->Comment;
            g->Buffer = origin->second->Buffer;
            g->BufferCount = origin->second->BufferCount;
        }
        origins_.clear();
        AppSettings->Receivers = std::move(WorkReceivers);
        WorkReceivers.clear();
    }
    SetModalResult(mrOk);
}

void TGroupsDialog::UpdateVSPTimerTimer() {
    UpdateVSPTimer.SetEnabled(false);
    if (!AppSettings)
        return;
    for (const auto& g : AppSettings->Receivers)
        if (g->Changed)
            CreateVirtualPort(*g); // a group that has its port keeps it
}

// Renaming.

TRenameForm::TRenameForm(QWidget* owner)
    : TForm(owner), InfoLabel(Placed(new QLabel(QStringLiteral("Введите новое название для группы"), this),
                                     "InfoLabel", 8, 8)),
      NameLabel(BoldLabel(this, "NameLabel", 8, 28)),
      NameEdit(Placed(new QLineEdit(this), "NameEdit", 8, 52)),
      ButtonOK(Button(QStringLiteral("ОК"), this, "ButtonOK", 56, 84)),
      ButtonCancel(Button(QStringLiteral("Отмена"), this, "ButtonCancel", 138, 84)) {
    setObjectName(QStringLiteral("RenameForm"));
    SetCaption(QStringLiteral("Переименование группы"));
    setFixedSize(RenameWidth, 118);
    NameLabel->resize(254, 17);
    NameEdit->resize(254, 21);
    NameEdit->setValidator(new TCp1251Validator(NameEdit));
    ButtonOK->setDefault(true);
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    SetButtonModalResult(ButtonCancel, mrCancel);
}

void TRenameForm::FormShow() {
    // The old name shows whole, however long it is in the bold font.
    FitWidth(this, RenameWidth,
             std::max({TextRight(NameLabel), TextRight(InfoLabel), CaptionWidth(Caption())}),
             {ButtonOK, ButtonCancel}, {NameEdit});
    NameLabel->resize(NameEdit->width(), NameLabel->sizeHint().height());
    NameEdit->setText(NameLabel->text());
    NameEdit->setFocus();
}

void TRenameForm::ButtonOKClick() {
    const QString name = TrimName(NameEdit->text());
    if (name.isEmpty()) {
        MessageDlg(QStringLiteral("Не введено новое название группы"), mtError, mbOK);
        NameEdit->clear();
        return;
    }
    if (name != NameLabel->text() && GroupsDialog && GroupsDialog->FindWorkReceiver(name)) {
        MessageDlg(QStringLiteral("Группа с таким названием уже существует"), mtError, mbOK);
        NameEdit->clear();
        return;
    }
    NameEdit->setText(name);
    SetModalResult(mrOk);
}

// Choosing the base.

TSelectBaseForm::TSelectBaseForm(QWidget* owner)
    : TForm(owner),
      InfoLabel(Placed(new QLabel(QStringLiteral("Выберите базу для группы"), this), "InfoLabel", 8, 8)),
      NameLabel(BoldLabel(this, "NameLabel", 168, 8)),
      BaseLabel(Placed(new QLabel(QStringLiteral("База"), this), "BaseLabel", 8, 38)),
      FreeObjectsLabel(
          Placed(new QLabel(QStringLiteral("Свободные модемы"), this), "FreeObjectsLabel", 8, 66)),
      COMLabel(Placed(new QLabel(QStringLiteral("Последовательные порты"), this), "COMLabel", 216, 66)),
      BaseEdit(Placed(new QLineEdit(this), "BaseEdit", 48, 34)),
      FreeObjectsListBox(List(this, "FreeObjectsListBox", 8, 84, 200, 250)),
      COMListBox(List(this, "COMListBox", 216, 84, 200, 250)),
      ListBox1(List(this, "ListBox1", 8, 84, 200, 250)),
      ButtonOK(Button(QStringLiteral("ОК"), this, "ButtonOK", 260, 344)),
      ButtonCancel(Button(QStringLiteral("Отмена"), this, "ButtonCancel", 342, 344)) {
    setObjectName(QStringLiteral("SelectBaseForm"));
    SetCaption(QStringLiteral("Выбор базы"));
    setFixedSize(SelectBaseWidth, 378);
    BaseEdit->setReadOnly(true);
    BaseEdit->resize(368, 21);
    ListBox1->hide();
    ButtonOK->setDefault(true);
    SetButtonModalResult(ButtonOK, mrOk);
    SetButtonModalResult(ButtonCancel, mrCancel);
    OnRowClick(FreeObjectsListBox, filling_, [this] { FreeObjectsListBoxClick(); });
    OnRowClick(COMListBox, filling_, [this] { COMListBoxClick(); });
}

void TSelectBaseForm::FormShow() {
    // The group's name follows the prompt, a blank after it, and shows whole: the form widens for it.
    NameLabel->move(TextRight(InfoLabel, InfoLabel->fontMetrics().horizontalAdvance(QLatin1Char(' '))),
                    InfoLabel->y());
    NameLabel->resize(NameLabel->sizeHint());
    FitWidth(this, SelectBaseWidth, TextRight(NameLabel), {ButtonOK, ButtonCancel}, {BaseEdit});
    filling_ = true;
    BaseEdit->setText(ReceiverBaseDescription(BaseKind, BaseID));
    static const std::vector<std::unique_ptr<TReceiver>> none;
    const auto& groups = GroupsDialog ? GroupsDialog->WorkReceivers : none;
    const TReceiver* edited = GroupsDialog ? GroupsDialog->FindWorkReceiver(NameLabel->text()) : nullptr;
    const QStringList rows = FreeObjectRows(groups, edited);
    int select = -1;
    if (BaseKind <= 0) {
        select = 0;
        for (int i = 0; i < rows.size(); ++i)
            if (BaseID >= 0 && RowNumber(rows[i]) == BaseID)
                select = i;
    }
    Fill(FreeObjectsListBox, rows, select);
    BuildPortStatus(*this);
    filling_ = false;
}

void TSelectBaseForm::FreeObjectsListBoxClick() {
    const QListWidgetItem* row = FreeObjectsListBox->currentItem();
    if (!row)
        return;
    BaseKind = TReceiver::bkObject;
    BaseID = RowNumber(row->text());
    BaseEdit->setText(ReceiverBaseDescription(BaseKind, BaseID));
    filling_ = true;
    COMListBox->setCurrentRow(-1);
    filling_ = false;
}

void TSelectBaseForm::COMListBoxClick() {
    const int i = COMListBox->currentRow();
    if (i < 0)
        return;
    const bool free = i < int(PortStatus.size()) &&
                      (PortStatus[size_t(i)] == psFree || PortStatus[size_t(i)] == psReserved);
    BaseKind = free ? TReceiver::bkComPort : TReceiver::bkObject;
    BaseID = free ? i : -1;
    BaseEdit->setText(ReceiverBaseDescription(BaseKind, BaseID));
    filling_ = true;
    FreeObjectsListBox->setCurrentRow(-1);
    filling_ = false;
}
