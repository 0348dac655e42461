// The profile editor's controls: its five pages with their group boxes, whose tags say which loaded
// profile parts enable them, the edits' limits and key filters, and the buttons under the pages.
#include "dialogs/ObjSettingsDialog.h"

#include <algorithm>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "core/FormControls.h"
#include "dialogs/EditEvents.h"
#include "platform/Cp1251.h"
#include "platform/Image.h"
#include "platform/RadioGroup.h"

namespace {

// The form's lengths, not the codec's: a user name or password longer than the profile holds can be
// typed, and is refused with its own message when the profile is written.
constexpr int ApnLength = 32;
constexpr int UserLength = 30;
constexpr int PhoneDigits = 15;
constexpr int SessionDigits = 3;

// A group box placed on a page, enabled by the loaded parts in tag; its contents in a grid.
QGroupBox* TaggedBox(QWidget* page, const char* name, const char* caption, unsigned tag) {
    auto* box = Named(new QGroupBox(QString::fromUtf8(caption), page), name);
    box->setProperty("Tag", tag);
    new QGridLayout(box);
    return box;
}

QGridLayout* Grid(QGroupBox* box) {
    return static_cast<QGridLayout*>(box->layout());
}

// A control across the box's grid, below what it holds.
void AddWide(QGroupBox* box, QWidget* control) {
    QGridLayout* grid = Grid(box);
    grid->addWidget(control, grid->count() ? grid->rowCount() : 0, 0, 1, 2);
}

QLabel* Label(const char* text, QWidget* parent) {
    return new QLabel(QString::fromUtf8(text), parent);
}

// A row of the box's grid: a caption, then the controls side by side.
void AddRow(QGroupBox* box, const char* caption, std::initializer_list<QWidget*> controls) {
    QGridLayout* grid = Grid(box);
    const int row = grid->count() ? grid->rowCount() : 0;
    grid->addWidget(Label(caption, box), row, 0);
    auto* line = new QHBoxLayout;
    for (QWidget* control : controls)
        line->addWidget(control);
    line->addStretch();
    grid->addLayout(line, row, 1);
}

// The width of the widest caption of the box's rows.
int CaptionsWidth(QGroupBox* box) {
    QGridLayout* grid = Grid(box);
    int width = 0;
    for (int row = 0; row < grid->rowCount(); ++row)
        if (QLayoutItem* item = grid->itemAtPosition(row, 0))
            width = std::max(width, item->sizeHint().width());
    return width;
}

// A text field of the profile: as many characters as it holds, each one Windows-1251 can hold.
QLineEdit* TextEdit(QWidget* parent, const char* name, int maxLength) {
    QLineEdit* edit = FilteredEdit(parent, name, maxLength, nullptr);
    edit->setValidator(new TCp1251Validator(edit));
    return edit;
}

QRadioButton* Radio(QWidget* parent, const char* name, const char* caption) {
    return Named(new QRadioButton(QString::fromUtf8(caption), parent), name);
}

QCheckBox* Check(QWidget* parent, const char* name, const char* caption) {
    return Named(new QCheckBox(QString::fromUtf8(caption), parent), name);
}

// A pair of radio buttons that exclude each other, the first checked.
void Pair(QWidget* parent, QRadioButton* first, QRadioButton* second) {
    auto* group = new QButtonGroup(parent);
    group->addButton(first);
    group->addButton(second);
    first->setChecked(true);
}

// A delay: its edit and its unit, 1 or 100 ms.
QWidget* Delay(QWidget* parent, QLineEdit* edit, QRadioButton* unit1, QRadioButton* unit100) {
    auto* row = new QWidget(parent);
    for (QWidget* w : std::initializer_list<QWidget*>{edit, unit1, unit100})
        w->setParent(row);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(edit);
    layout->addWidget(unit1);
    layout->addWidget(unit100);
    Pair(row, unit1, unit100);
    return row;
}

// A field of the diagnostics page: shown, never typed into.
QLineEdit* Shown(QWidget* parent, const char* name) {
    auto* edit = Named(new QLineEdit(parent), name);
    edit->setMaxLength(16);
    edit->setReadOnly(true);
    return edit;
}

} // namespace

void TObjSettingsDialog::CreateControls() {
    PageControl1 = Named(new QTabWidget(this), "PageControl1");
    const char* titles[] = {"GSM/GPRS", "Порт", "Соединение", "Телеметрия", "Диагностика"};
    QWidget* pages[5];
    for (int i = 0; i < 5; ++i)
        PageControl1->addTab(pages[i] = new QWidget(PageControl1), QString::fromUtf8(titles[i]));
    CreateGsmPage(pages[0]);
    CreatePortPage(pages[1]);
    CreateConnectionPage(pages[2]);
    CreateTelemetryPage(pages[3]);
    CreateDiagnosticsPage(pages[4]);

    LoadButton = Named(new QPushButton(QStringLiteral("Считать профиль"), this), "LoadButton");
    SaveButton = Named(new QPushButton(QStringLiteral("Записать профиль"), this), "SaveButton");
    CloseButton = Named(new QPushButton(QStringLiteral("Закрыть"), this), "CloseButton");
    connect(LoadButton, &QPushButton::clicked, this, [this] { LoadButtonClick(); });
    connect(SaveButton, &QPushButton::clicked, this, [this] { SaveButtonClick(); });
    SetButtonModalResult(CloseButton, mrCancel);
    // No button is the default: Enter in an edit must not read or write a profile.
    for (QPushButton* button : {LoadButton, SaveButton, CloseButton})
        button->setAutoDefault(false);

    // Each edit as wide as the text it takes, up to 32 characters; the texts of the GPRS part, which
    // stand one under another, all as wide as the widest.
    const int digit = fontMetrics().horizontalAdvance(QLatin1Char('0'));
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        edit->setFixedWidth(std::min(edit->maxLength(), 32) * digit + 12);
    for (QLineEdit* edit : {Edit22, Edit23})
        edit->setFixedWidth(Edit21->width());

    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : {LoadButton, SaveButton})
        buttons->addWidget(button);
    buttons->addStretch();
    buttons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1);
    layout->addLayout(buttons);
}

void TObjSettingsDialog::CreateGsmPage(QWidget* page) {
    GroupBox7 = TaggedBox(page, "GroupBox7", "Интернет - GPRS", Part1);
    Edit21 = TextEdit(GroupBox7, "Edit21", ApnLength);
    Edit22 = TextEdit(GroupBox7, "Edit22", UserLength);
    Edit23 = TextEdit(GroupBox7, "Edit23", UserLength);
    Edit25 = FilteredEdit(GroupBox7, "Edit25", 15, NumDotEditKeyPress);
    Edit12 = FilteredEdit(GroupBox7, "Edit12", 5, NumEditKeyPress, [this] { Edit12Exit(); });
    Edit13 = FilteredEdit(GroupBox7, "Edit13", 5, NumEditKeyPress, [this] { Edit12Exit(); });
    Edit24 = FilteredEdit(GroupBox7, "Edit24", SessionDigits, NumEditKeyPress);
    AddRow(GroupBox7, "Точка доступа (APN)", {Edit21});
    AddRow(GroupBox7, "Имя пользователя", {Edit22});
    AddRow(GroupBox7, "Пароль", {Edit23});
    AddRow(GroupBox7, "IP и порт диспетчера", {Edit25, Label(":", GroupBox7), Edit12});
    AddRow(GroupBox7, "Резервный порт", {Edit13});
    AddRow(GroupBox7, "Длительность GPRS-сессии", {Edit24, Label("мин", GroupBox7)});

    GroupBox1 = TaggedBox(page, "GroupBox1", "SMS", Part2);
    SMSSCAEdit = FilteredEdit(GroupBox1, "SMSSCAEdit", PhoneDigits, NumEditKeyPress);
    SMSPhoneEdit = FilteredEdit(GroupBox1, "SMSPhoneEdit", PhoneDigits, NumEditKeyPress);
    AddRow(GroupBox1, "Номер SMS-центра", {SMSSCAEdit});
    AddRow(GroupBox1, "Заданный номер", {SMSPhoneEdit});
    // The two boxes stand one under the other: their fields start at one line.
    const int captions = std::max(CaptionsWidth(GroupBox7), CaptionsWidth(GroupBox1));
    for (QGroupBox* box : {GroupBox7, GroupBox1})
        Grid(box)->setColumnMinimumWidth(0, captions);

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(GroupBox7);
    layout->addWidget(GroupBox1);
    layout->addStretch();
}

void TObjSettingsDialog::CreatePortPage(QWidget* page) {
    GroupBox2 = TaggedBox(page, "GroupBox2", "Параметры последовательного порта", Part1 | Part2);
    RS232RadioButton = Radio(GroupBox2, "RS232RadioButton", "RS-232");
    RS485RadioButton = Radio(GroupBox2, "RS485RadioButton", "RS-485");
    Pair(GroupBox2, RS232RadioButton, RS485RadioButton);
    auto* baud = Named(new QComboBox(GroupBox2), "BaudComboBox");
    for (const char* rate : {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"})
        baud->addItem(QLatin1String(rate));
    RTCCheckBox = Check(GroupBox2, "RTCCheckBox", "RTS/CTS");
    DCDRadioGroup = Named(
        new TRadioGroup(QStringLiteral("DCD"),
                        {QStringLiteral("Всегда активен"), QStringLiteral("При соединении")}, GroupBox2),
        "DCDRadioGroup");
    DCDRadioGroup->SetItemIndex(0);
    STimeEdit = FilteredEdit(GroupBox2, "STimeEdit", 3, NumEditKeyPress);
    STimeRadioButton1 = Radio(GroupBox2, "STimeRadioButton1", "x1 мс");
    STimeRadioButton100 = Radio(GroupBox2, "STimeRadioButton100", "x100 мс");
    ETimeEdit = FilteredEdit(GroupBox2, "ETimeEdit", 3, NumEditKeyPress);
    ETimeRadioButton1 = Radio(GroupBox2, "ETimeRadioButton1", "x1 мс");
    ETimeRadioButton100 = Radio(GroupBox2, "ETimeRadioButton100", "x100 мс");
    DataImage = Named(new TImage(GroupBox2), "DataImage");
    AddRow(GroupBox2, "Интерфейс", {RS232RadioButton, RS485RadioButton});
    AddRow(GroupBox2, "Скорость, бод", {baud, RTCCheckBox});
    AddWide(GroupBox2, DCDRadioGroup);
    AddRow(GroupBox2, "Задержка перед передачей",
           {Delay(GroupBox2, STimeEdit, STimeRadioButton1, STimeRadioButton100)});
    AddRow(GroupBox2, "Задержка после передачи",
           {Delay(GroupBox2, ETimeEdit, ETimeRadioButton1, ETimeRadioButton100)});
    AddWide(GroupBox2, DataImage);

    GroupBox3 = TaggedBox(page, "GroupBox3", "Ожидание ответа от устройства", Part2);
    RTimeCheckBox = Check(GroupBox3, "RTimeCheckBox", "Ожидать ответ");
    RTimeEdit = FilteredEdit(GroupBox3, "RTimeEdit", 3, NumEditKeyPress);
    RTimeRadioButton1 = Radio(GroupBox3, "RTimeRadioButton1", "x1 мс");
    RTimeRadioButton100 = Radio(GroupBox3, "RTimeRadioButton100", "x100 мс");
    Grid(GroupBox3)->addWidget(RTimeCheckBox, 0, 0);
    Grid(GroupBox3)->addWidget(Delay(GroupBox3, RTimeEdit, RTimeRadioButton1, RTimeRadioButton100), 0, 1);

    GroupBox4 = TaggedBox(page, "GroupBox4", "Формирование пакета для передачи", Part2);
    TimeoutRadioButton = Radio(GroupBox4, "TimeoutRadioButton", "По паузе");
    SymbolRadioButton = Radio(GroupBox4, "SymbolRadioButton", "По символу (hex)");
    Pair(GroupBox4, TimeoutRadioButton, SymbolRadioButton);
    TimeoutEdit = FilteredEdit(GroupBox4, "TimeoutEdit", 5, NumEditKeyPress);
    TimeoutLabel = Named(Label("мс", GroupBox4), "TimeoutLabel");
    SymbolEdit = FilteredEdit(GroupBox4, "SymbolEdit", 2, NumHexEditKeyPress);
    SymbolLabel = Named(Label("\" \"", GroupBox4), "SymbolLabel");
    QGridLayout* packet = Grid(GroupBox4);
    packet->addWidget(TimeoutRadioButton, 0, 0);
    packet->addWidget(TimeoutEdit, 0, 1);
    packet->addWidget(TimeoutLabel, 0, 2);
    packet->addWidget(SymbolRadioButton, 1, 0);
    packet->addWidget(SymbolEdit, 1, 1);
    packet->addWidget(SymbolLabel, 1, 2);

    connect(RS232RadioButton, &QRadioButton::toggled, this, [this] { RS232RadioButtonClick(); });
    connect(RS485RadioButton, &QRadioButton::toggled, this, [this] { RS485RadioButtonClick(); });
    connect(TimeoutRadioButton, &QRadioButton::toggled, this, [this] { TimeoutRadioButtonClick(); });
    connect(SymbolRadioButton, &QRadioButton::toggled, this, [this] { SymbolRadioButtonClick(); });
    connect(SymbolEdit, &QLineEdit::textChanged, this, [this] { SymbolEditChange(); });
    RS232RadioButtonClick();
    RS485RadioButtonClick();
    TimeoutRadioButtonClick();
    SymbolRadioButtonClick();

    auto* layout = new QGridLayout(page);
    layout->addWidget(GroupBox2, 0, 0, 2, 1);
    layout->addWidget(GroupBox3, 0, 1);
    layout->addWidget(GroupBox4, 1, 1);
    layout->setRowStretch(2, 1);
}

void TObjSettingsDialog::CreateConnectionPage(QWidget* page) {
    InstantConnectCheckBox = Check(page, "InstantConnectCheckBox", "Постоянное соединение");
    InstantConnectCheckBox->setProperty("Tag", 0u);
    ConnectGroupBox = TaggedBox(page, "ConnectGroupBox", "Условия установки", 0);
    ConnectPhoneEdit = FilteredEdit(ConnectGroupBox, "ConnectPhoneEdit", PhoneDigits, NumEditKeyPress);
    AddRow(ConnectGroupBox, "По звонку с номера  +", {ConnectPhoneEdit});
    AddWide(ConnectGroupBox, Check(ConnectGroupBox, "ConnectSmsCheckBox", "По SMS"));
    DisconnectGroupBox = TaggedBox(page, "DisconnectGroupBox", "Условия разрыва", 0);
    AddWide(DisconnectGroupBox, Check(DisconnectGroupBox, "SessionEndCheckBox", "По окончании GPRS-сессии"));
    connect(InstantConnectCheckBox, &QCheckBox::clicked, this, [this] { InstantConnectCheckBoxClick(); });

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(InstantConnectCheckBox);
    layout->addWidget(ConnectGroupBox);
    layout->addWidget(DisconnectGroupBox);
    layout->addStretch();
}

void TObjSettingsDialog::CreateTelemetryPage(QWidget* page) {
    GroupBox5 = TaggedBox(page, "GroupBox5", "Опрос периферии", Part2);
    AddWide(GroupBox5, Check(GroupBox5, "PollCheckBox", "Опрашивать"));
    AddRow(GroupBox5, "Строка опроса (hex)",
           {FilteredEdit(GroupBox5, "PollStringEdit", 64, NumHexEditKeyPress)});
    AddRow(GroupBox5, "Период опроса, с", {FilteredEdit(GroupBox5, "PollPeriodEdit", 5, NumEditKeyPress)});

    GroupBox9 = TaggedBox(page, "GroupBox9", "Сигнализация изменения состояний входов", Part2);
    for (int i = 1; i <= 5; ++i) {
        const QByteArray name = "InputCheckBox" + QByteArray::number(i);
        const QByteArray caption = "IN" + QByteArray::number(i);
        Grid(GroupBox9)->addWidget(Check(GroupBox9, name.constData(), caption.constData()), 0, i - 1);
    }

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(GroupBox5);
    layout->addWidget(GroupBox9);
    layout->addStretch();
}

void TObjSettingsDialog::CreateDiagnosticsPage(QWidget* page) {
    struct TBox {
        QGroupBox** Box;
        const char *Name, *Caption, *Field, *FieldName;
        unsigned Tag;
    };
    const TBox boxes[] = {
        {&GroupBox13, "GroupBox13", "Питание", "Напряжение, В", "PowerEdit", 4},
        {&GroupBox14, "GroupBox14", "Статус навигац. приемника", "Состояние", "NavStatusEdit", 4},
        {&GroupBox15, "GroupBox15", "Статус GSM-терминала", "Состояние", "GsmStatusEdit", 4},
        {&GroupBox16, "GroupBox16", "Отчеты", "Отправлено", "ReportsEdit", 4},
        {&GroupBox17, "GroupBox17", "Версии", "ПО", "VersionsEdit", 4},
        {&GroupBox12, "GroupBox12", "Статистика", "Сеансов", "StatisticsEdit", 8},
    };
    auto* layout = new QGridLayout(page);
    for (int i = 0; const TBox& b : boxes) {
        *b.Box = TaggedBox(page, b.Name, b.Caption, b.Tag);
        AddRow(*b.Box, b.Field, {Shown(*b.Box, b.FieldName)});
        layout->addWidget(*b.Box, i / 2, i % 2);
        ++i;
    }
    layout->setRowStretch(3, 1);
}
