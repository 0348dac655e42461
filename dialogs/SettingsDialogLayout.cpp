// The settings dialog's controls: its pages, the buttons under them, the edits' key filters.
#include "dialogs/SettingsDialog.h"

#include <algorithm>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTabWidget>
#include <QVBoxLayout>

#include "core/FormControls.h"
#include "dialogs/EditEvents.h"
#include "platform/Image.h"
#include "platform/RadioGroup.h"
#include "platform/StringGrid.h"

namespace {

QLabel* Label(const char* text, QWidget* parent) {
    return new QLabel(QString::fromUtf8(text), parent);
}

// The update list's column headings, each over the column of the lines it names. A line (MakeObjStr) is
// " %8d  %-14s " and the version part, then " %4d%" for a marked object: the number ends at character 9,
// the name starts at 11, the version part at 26 and the load at 47, counted from where the list draws
// a line's text, right of its check box.
class TUpdateHeadings : public QWidget {
public:
    TUpdateHeadings(QListWidget* list, QWidget* parent) : QWidget(parent), list_(list) {
        const char* texts[] = {"Обновить", "№", "Имя модема", "Версия ПО (h/w mcv prf)", "Загрузка"};
        for (int i = 0; i < Count; ++i)
            labels_[i] = Named(Label(texts[i], this), HeadingNames[i]);
        setFixedHeight(labels_[0]->sizeHint().height());
        Place();
    }

protected:
    // The list's frame and check box are the style's, known for certain once the list is shown.
    void showEvent(QShowEvent* event) override {
        QWidget::showEvent(event);
        Place();
    }

private:
    static constexpr int Count = 5;
    static constexpr const char* HeadingNames[Count] = {"UpdateHeading", "NumberHeading", "NameHeading",
                                                        "VersionHeading", "LoadHeading"};
    enum TLineColumn { NumberEnd = 9, NameColumn = 11, VersionColumn = 26, LoadColumn = 47 };

    void Place() {
        QStyleOptionViewItem option;
        option.initFrom(list_);
        option.font = list_->font();
        option.fontMetrics = QFontMetrics(option.font);
        option.text = QStringLiteral("0");
        option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
        option.rect = QRect(0, 0, list_->viewport()->width(), option.fontMetrics.height());
        const QStyle* style = list_->style();
        const int viewport = list_->viewport()->geometry().left();
        const int check =
            viewport + style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list_).left();
        // The view leaves a focus frame's margin and a pixel before the text.
        const int text = viewport +
                         style->subElementRect(QStyle::SE_ItemViewItemText, &option, list_).left() +
                         style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list_) + 1;
        // A character's advance is fractional: a column lies where so many characters end.
        const auto at = [&](int column) {
            return text + option.fontMetrics.horizontalAdvance(QString(column, QLatin1Char('0')));
        };
        const auto width = [this](int i) { return labels_[i]->sizeHint().width(); };
        const int lefts[Count - 1] = {check, at(NumberEnd) - width(1), at(NameColumn), at(VersionColumn)};
        for (int i = 0; i < Count - 1; ++i)
            labels_[i]->setGeometry(lefts[i], 0, width(i), height());
        // The version heading is wider than its column: the load heading follows it.
        const int load = std::max(at(LoadColumn), labels_[3]->geometry().right() + at(1) - at(0) + 1);
        labels_[4]->setGeometry(load, 0, width(4), height());
        setMinimumWidth(labels_[4]->geometry().right() + 1);
    }

    QListWidget* list_;
    QLabel* labels_[Count];
};

} // namespace

void TSettingsDialog::CreateControls() {
    PageControl1 = Named(new QTabWidget(this), "PageControl1");
    const char* titles[] = {"Общие", "Обновление ПО", "Файлы с ПО", "SMS"};
    QWidget* pages[4];
    for (int i = 0; i < 4; ++i)
        PageControl1->addTab(pages[i] = new QWidget(PageControl1), QString::fromUtf8(titles[i]));
    CreateGeneralPage(pages[0]);
    CreateUpdatePage(pages[1]);
    CreateFilesPage(pages[2]);
    CreateSmsPage(pages[3]);

    ButtonOK = Named(new QPushButton(QStringLiteral("ОК"), this), "ButtonOK");
    ButtonCancel = Named(new QPushButton(QStringLiteral("Отмена"), this), "ButtonCancel");
    ApplyButton = Named(new QPushButton(QStringLiteral("Применить"), this), "ApplyButton");
    ButtonOK->setDefault(true);
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    connect(ButtonCancel, &QPushButton::clicked, this, [this] { ButtonCancelClick(); });
    SetCancelButton(ButtonCancel);
    connect(ApplyButton, &QPushButton::clicked, this, [this] { ApplyButtonClick(); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    for (QPushButton* button : {ButtonOK, ButtonCancel, ApplyButton})
        buttons->addWidget(button);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1);
    layout->addLayout(buttons);
    resize(520, 400);
}

void TSettingsDialog::CreateGeneralPage(QWidget* page) {
    TcpPortEdit = FilteredEdit(page, "TcpPortEdit", 5, TimeoutEditKeyPress, [this] { TcpPortEditExit(); });
    LogSizeEdit = FilteredEdit(page, "LogSizeEdit", 2, TimeoutEditKeyPress, [this] { LogSizeEditExit(); });
    TcpPortEdit->setText(QStringLiteral("10001"));
    LogSizeEdit->setText(QStringLiteral("1"));
    NoLoggingCheckBox = Named(new QCheckBox(QStringLiteral("Не протоколировать"), page), "NoLoggingCheckBox");

    SecurityModeRadioGroup =
        Named(new TRadioGroup(QStringLiteral("Режим защиты"),
                              {QStringLiteral("Без паролей"), QStringLiteral("Только настройки"),
                               QStringLiteral("Настройки и объекты"), QStringLiteral("Один пароль"),
                               QStringLiteral("Много паролей")},
                              page),
              "SecurityModeRadioGroup");
    SecurityModeRadioGroup->OnClick = [this] { SecurityModeRadioGroupClick(); };
    HelpMemo = Named(new QPlainTextEdit(page), "HelpMemo");
    HelpMemo->setReadOnly(true);
    EnterPasswordButton =
        Named(new QPushButton(QStringLiteral("Ввести пароль"), page), "EnterPasswordButton");
    connect(EnterPasswordButton, &QPushButton::clicked, this, [this] { EnterPasswordButtonClick(); });
    PassImage = Named(new TImage(page), "PassImage");

    PhoneNumberEdit = FilteredEdit(page, "PhoneNumberEdit", 16, PhoneNumberEditKeyPress);
    PhoneNumberEdit->setToolTip(QStringLiteral("Номер телефона диспетчера для голосовых вызовов"));
    ExtraInfoCheckBox =
        Named(new QCheckBox(QStringLiteral("Запрашивать расширенные данные по TCP/IP каждые"), page),
              "ExtraInfoCheckBox");
    connect(ExtraInfoCheckBox, &QCheckBox::clicked, this, [this] { ExtraInfoCheckBoxClick(); });
    ExtraPeriodEdit =
        FilteredEdit(page, "ExtraPeriodEdit", 2, TimeoutEditKeyPress, [this] { ExtraPeriodEditExit(); });
    ExtraPeriodEdit->setText(QStringLiteral("99"));
    ExtraPeriodLabel = Named(new QLabel(QStringLiteral("мин"), page), "ExtraPeriodLabel");
    for (QWidget* hidden :
         {static_cast<QWidget*>(PhoneNumberEdit), static_cast<QWidget*>(ExtraInfoCheckBox),
          static_cast<QWidget*>(ExtraPeriodEdit), static_cast<QWidget*>(ExtraPeriodLabel)}) {
        hidden->setEnabled(false);
        hidden->hide();
    }

    for (QLineEdit* edit : {TcpPortEdit, LogSizeEdit})
        edit->setFixedWidth(72);
    PassImage->setFixedSize(32, 32);
    auto* password = new QHBoxLayout;
    password->addWidget(EnterPasswordButton, 1);
    password->addWidget(PassImage);

    auto* layout = new QGridLayout(page);
    layout->addWidget(Label("TCP-порт:", page), 0, 0);
    layout->addWidget(TcpPortEdit, 0, 1);
    layout->addWidget(Label("Размер файла:", page), 1, 0);
    layout->addWidget(LogSizeEdit, 1, 1);
    layout->addWidget(Label("Мб", page), 1, 2);
    layout->addWidget(NoLoggingCheckBox, 2, 0, 1, 3);
    layout->addWidget(SecurityModeRadioGroup, 3, 0, 3, 3);
    layout->addWidget(HelpMemo, 3, 3);
    layout->addLayout(password, 4, 3);
    layout->setColumnStretch(3, 1);
    layout->setRowStretch(5, 1);
}

void TSettingsDialog::CreateUpdatePage(QWidget* page) {
    ObjectsCheckListBox = Named(new QListWidget(page), "ObjectsCheckListBox");
    ObjectsCheckListBox->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* headings = Named(new TUpdateHeadings(ObjectsCheckListBox, page), "UpdateHeadings");
    Button1 = Named(new QPushButton(QStringLiteral("Отметить все"), page), "Button1");
    Button2 = Named(new QPushButton(QStringLiteral("Снять все"), page), "Button2");
    Button3 = Named(new QPushButton(QStringLiteral("Рекомендуемые"), page), "Button3");
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });

    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : {Button1, Button2, Button3})
        buttons->addWidget(button);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(headings);
    layout->addWidget(ObjectsCheckListBox);
    layout->addLayout(buttons);
}

void TSettingsDialog::CreateFilesPage(QWidget* page) {
    StringGrid1 = Named(new TStringGrid(page), "StringGrid1");
    StringGrid1->SetColCount(3);
    const char* headers[] = {"mcv   prf", "H/W", "Файл"};
    // At least wide enough for a version in this font.
    const int widths[] = {
        std::max(62, StringGrid1->fontMetrics().horizontalAdvance(QStringLiteral("00.00 00.00")) + 12), 58,
        176};
    for (int col = 0; col < 3; ++col) {
        StringGrid1->Cells[col][0] = QString::fromUtf8(headers[col]);
        StringGrid1->SetColWidth(col, widths[col]);
    }
    StringGrid1->horizontalHeader()->setStretchLastSection(true);
    EnterSWButton = Named(new QPushButton(QStringLiteral("Открыть..."), page), "EnterSWButton");
    DeleteSWButton = Named(new QPushButton(QStringLiteral("Закрыть"), page), "DeleteSWButton");
    connect(EnterSWButton, &QPushButton::clicked, this, [this] { EnterSWButtonClick(); });
    connect(DeleteSWButton, &QPushButton::clicked, this, [this] { DeleteSWButtonClick(); });

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(EnterSWButton);
    buttons->addWidget(DeleteSWButton);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(page);
    layout->addWidget(StringGrid1);
    layout->addLayout(buttons);
}

void TSettingsDialog::CreateSmsPage(QWidget* page) {
    auto* heading = Named(Label("Формирование SMS-команд модемам", page), "SmsHeadingLabel");
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    ComboBox1 = Named(new QComboBox(page), "ComboBox1");
    ComboBox1->addItem(QStringLiteral("Изменить IP-адрес и порт"));
    Edit25 = FilteredEdit(page, "Edit25", 15, Edit25KeyPress);
    Edit12 = FilteredEdit(page, "Edit12", 5, Edit12KeyPress, [this] { Edit12Exit(); });
    Edit12->setFixedWidth(72);
    RadioGroup1 = Named(new TRadioGroup(QStringLiteral("Пароль"),
                                        {QStringLiteral("Системный"), QStringLiteral("Произвольный")}, page),
                        "RadioGroup1");
    RadioGroup1->OnClick = [this] { RadioGroup1Click(); };
    Button6 = Named(new QPushButton(QStringLiteral("Ввести пароль объекта"), page), "Button6");
    connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(); });
    Image7 = Named(new TImage(page), "Image7");
    Image7->setFixedSize(32, 32);
    Button5 = Named(new QPushButton(QStringLiteral("Сформировать"), page), "Button5");
    connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
    Memo1 = Named(new QPlainTextEdit(page), "Memo1");

    // Outputs that the command does not set: kept, hidden and disabled.
    auto* outputs = new QHBoxLayout;
    QWidget* outputsLabel = Named(Label("Выходы", page), "OutputsLabel");
    outputs->addWidget(outputsLabel);
    std::vector<QWidget*> hidden{outputsLabel};
    for (int i = 1; i <= 5; ++i) {
        const QByteArray n = QByteArray::number(i);
        auto* label = Named(new QLabel(QStringLiteral("OUT") + QString::number(i), page),
                            QByteArray("OutLabel" + n).constData());
        label->setToolTip(QStringLiteral("Щелкните дважды для редактирования"));
        auto* check = Named(new QCheckBox(page), QByteArray("OutCheckBox" + n).constData());
        outputs->addWidget(label);
        outputs->addWidget(check);
        hidden.insert(hidden.end(), {label, check});
    }
    for (QWidget* w : hidden) {
        w->setEnabled(false);
        w->hide();
    }

    auto* address = new QHBoxLayout;
    address->addWidget(Edit25, 1);
    address->addWidget(Label(":", page));
    address->addWidget(Edit12);
    auto* key = new QHBoxLayout;
    key->addWidget(Button6, 1);
    key->addWidget(Image7);
    auto* layout = new QGridLayout(page);
    layout->addWidget(heading, 0, 0, 1, 2);
    layout->addWidget(Label("Команда", page), 1, 0);
    layout->addWidget(ComboBox1, 1, 1);
    layout->addWidget(Label("IP : порт", page), 2, 0);
    layout->addLayout(address, 2, 1);
    layout->addWidget(RadioGroup1, 3, 0, 2, 1);
    layout->addLayout(key, 3, 1);
    layout->addWidget(Button5, 4, 1);
    layout->addLayout(outputs, 5, 0, 1, 2);
    layout->addWidget(Memo1, 6, 0, 1, 2);
    layout->setColumnStretch(1, 1);
    layout->setRowStretch(6, 1);
}
