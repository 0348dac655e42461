// The main window's controls and their places: menus, tool bar, objects grid, object panel, status
// bar, and the sizing that fits the window around them.
#include "core/MainForm.h"

#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/Bitmaps.h"
#include "core/FormControls.h"
#include "core/HeapForm.h"
#include "gsm/ModemForm.h"
#include "platform/Cp1251.h"
#include "sessions/ConnectionForm.h"

namespace {

constexpr int GridLineWidth = 1;
constexpr int SplitterWidth = 5;
constexpr int BevelHeight = 40;
constexpr int ButtonHeight = 25;
constexpr int CellPadding = 12;
// The lamp's state in the low four bits of an image's tag, its colour kind in the next four.
constexpr int YellowLamp = 1 << 4;

QIcon ToolIcon(const char* name) {
    QIcon icon(LoadBitmap(name));
    icon.addPixmap(LoadBitmap((std::string(name) + "_DIS").c_str()), QIcon::Disabled);
    return icon;
}

int TextButtonWidth(const QWidget* widget, const QString& text) {
    return widget->fontMetrics().horizontalAdvance(text) + 24;
}

} // namespace

void TMainForm::CreateMenus() {
    auto item = [this](QMenu* menu, const char* name, const QString& caption, auto handler) {
        QAction* action = Named(menu->addAction(caption), name);
        connect(action, &QAction::triggered, this, [this, handler] {
            ClosePinNameEdit(true);
            (this->*handler)();
        });
        return action;
    };
    QMenu* control = Named(menuBar()->addMenu(QStringLiteral("&Управление")), "ControlMenu");
    TCPOpenMenuItem = item(control, "TCPOpenMenuItem", QStringLiteral("&Открыть доступ из Интернета"),
                           &TMainForm::TCPOpenMenuItemClick);
    TCPCloseMenuItem = item(control, "TCPCloseMenuItem", QStringLiteral("&Закрыть доступ из Интернета"),
                            &TMainForm::TCPCloseMenuItemClick);
    control->addSeparator();
    ExitMenuItem = item(control, "ExitMenuItem", QStringLiteral("&Выход"), &TMainForm::ExitMenuItemClick);

    QMenu* settings = Named(menuBar()->addMenu(QStringLiteral("&Настройки")), "SettingsMenu");
    GeneralMenuItem =
        item(settings, "GeneralMenuItem", QStringLiteral("&Общие..."), &TMainForm::GeneralMenuItemClick);
    ABookMenuItem =
        item(settings, "ABookMenuItem", QStringLiteral("&Адресная книга..."), &TMainForm::ABookMenuItemClick);
    GroupsMenuItem = item(settings, "GroupsMenuItem", QStringLiteral("&Редактор групп..."),
                          &TMainForm::GroupsMenuItemClick);

    QMenu* service = Named(menuBar()->addMenu(QStringLiteral("&Сервис")), "ServiceMenu");
    UpdateMenuItem =
        item(service, "UpdateMenuItem", QStringLiteral("&Обновление ПО..."), &TMainForm::UpdateMenuItemClick);
    SMSMenuItem =
        item(service, "SMSMenuItem", QStringLiteral("&SMS-команды..."), &TMainForm::SMSMenuItemClick);

    QMenu* help = Named(menuBar()->addMenu(QStringLiteral("&Помощь")), "HelpMenu");
    AboutMenuItem =
        item(help, "AboutMenuItem", QStringLiteral("О программе..."), &TMainForm::AboutMenuItemClick);
}

void TMainForm::CreateToolBar() {
    ToolBar1 = Named(addToolBar(QStringLiteral("ToolBar1")), "ToolBar1");
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(16, 16));
    ToolBar1->toggleViewAction()->setVisible(false);
    auto button = [this](const char* name, const char* icon, const QString& hint,
                         void (TMainForm::*handler)()) {
        QAction* action = Named(ToolBar1->addAction(ToolIcon(icon), hint), name);
        action->setToolTip(hint);
        if (QWidget* widget = ToolBar1->widgetForAction(action)) {
            widget->setObjectName(QLatin1String(name));
            widget->setFixedWidth(25);
        }
        connect(action, &QAction::triggered, this, [this, handler] {
            ClosePinNameEdit(true);
            (this->*handler)();
        });
        return action;
    };
    ToolButton2 =
        button("ToolButton2", "TB_GROUPS", QStringLiteral("Редактор групп"), &TMainForm::GroupsMenuItemClick);
    ToolButton3 = button("ToolButton3", "TB_ADDRBOOK", QStringLiteral("Адресная книга"),
                         &TMainForm::ABookMenuItemClick);
    ToolBar1->addSeparator();
    ToolButton4 = button("ToolButton4", "TB_GENERAL", QStringLiteral("Общие настройки"),
                         &TMainForm::GeneralMenuItemClick);
    ToolButton5 = button("ToolButton5", "TB_UPDATE", QStringLiteral("Обновление ПО модемов"),
                         &TMainForm::UpdateMenuItemClick);
    ToolButton8 =
        button("ToolButton8", "TB_SMS", QStringLiteral("Формирование SMS"), &TMainForm::SMSMenuItemClick);
}

void TMainForm::CreateGrid() {
    Splitter1 = Named(new QSplitter(Qt::Horizontal, this), "Splitter1");
    Splitter1->setHandleWidth(SplitterWidth);
    Splitter1->setChildrenCollapsible(false);
    setCentralWidget(Splitter1);

    GridPanel = Named(new QFrame(Splitter1), "GridPanel");
    GridPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    GridPanel->setMinimumWidth(1);
    ObjectsGrid = Named(new TStringGrid(GridPanel), "ObjectsGrid");
    ObjectsGrid->setFrameShape(QFrame::NoFrame);
    ObjectsGrid->SetColCount(3);
    ObjectsGrid->SetRowCount(2);
    ObjectsGrid->SetDefaultRowHeight(20);
    ObjectsGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ObjectsGrid->horizontalHeader()->setHighlightSections(false);
    auto* layout = new QVBoxLayout(GridPanel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(ObjectsGrid);

    const char* headers[] = {"Статус/время", "ID модема", "Имя модема"};
    const double factors[] = {1.3, 1.2, 1.5};
    for (int col = 0; col < 3; ++col) {
        const QString header = QString::fromUtf8(headers[col]);
        ObjectsGrid->Cells[col][0] = header;
        ObjectsGrid->SetColWidth(col, int(fontMetrics().horizontalAdvance(header) * factors[col]));
    }
    // Whatever the font, the lamp's blanks and the time must fit.
    const int timeWidth =
        fontMetrics().horizontalAdvance(QStringLiteral("       000 00:00:00")) + CellPadding;
    ObjectsGrid->SetColWidth(0, std::max(ObjectsGrid->ColWidth(0), timeWidth));
    ObjectsGrid->OnDrawCell = [this](int col, int row, const QRect& rect, QPainter& painter) {
        ObjectsGridDrawCell(col, row, rect, painter);
    };
    connect(ObjectsGrid->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { ObjectsGridClick(); });
}

void TMainForm::CreateObjectPanel() {
    ObjectPanel = Named(new QFrame(Splitter1), "ObjectPanel");
    ObjectPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    ObjectPanel->installEventFilter(this);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);

    CurrentObjectBevel = Named(new QFrame(ObjectPanel), "CurrentObjectBevel");
    CurrentObjectBevel->setFrameStyle(QFrame::Box | QFrame::Sunken);
    CurrentObjectBevel->setFixedHeight(BevelHeight);
    CurrentObjectLabel =
        Named(new QLabel(QStringLiteral("Текущий модем:"), CurrentObjectBevel), "CurrentObjectLabel");
    LastMessageTimeLabel =
        Named(new QLabel(QStringLiteral("Последние данные: время не известно"), CurrentObjectBevel),
              "LastMessageTimeLabel");
    SinceLastMessageLabel = Named(new QLabel(CurrentObjectBevel), "SinceLastMessageLabel");
    SinceLastMessageLabel->setAlignment(Qt::AlignCenter);
    auto* bevel = new QVBoxLayout(CurrentObjectBevel);
    bevel->setContentsMargins(8, 2, 8, 2);
    bevel->setSpacing(0);
    bevel->addWidget(CurrentObjectLabel);
    auto* times = new QHBoxLayout;
    times->addWidget(LastMessageTimeLabel);
    times->addWidget(SinceLastMessageLabel, 1);
    bevel->addLayout(times);

    ObjectScrollBox = Named(new QScrollArea(ObjectPanel), "ObjectScrollBox");
    ObjectScrollBox->setFrameShape(QFrame::NoFrame);
    auto* content = Named(new QWidget(ObjectScrollBox), "ObjectScrollBoxContent");
    CreateStatesGroupBox(content);
    CreateHiddenControls(content);
    content->resize(StatesGroupBox->geometry().right() + 9, SettingsButton->geometry().bottom() + 9);
    ObjectScrollBox->setWidget(content);

    auto* panel = new QVBoxLayout(ObjectPanel);
    panel->setContentsMargins(0, 0, 0, 0);
    panel->setSpacing(0);
    panel->addWidget(CurrentObjectBevel);
    panel->addWidget(ObjectScrollBox, 1);
}

void TMainForm::CreateStatesGroupBox(QWidget* parent) {
    StatesGroupBox =
        Named(new QGroupBox(QStringLiteral("Состояния входов модема"), parent), "StatesGroupBox");
    StatesGroupBox->installEventFilter(this);
    const QFontMetrics fm = fontMetrics();
    const int rowHeight = std::max(20, fm.height() + 4);
    const int top = fm.height() + 8;
    const int labelLeft = 34, labelWidth = fm.averageCharWidth() * 15 + 8;
    const char* imageNames[] = {"In1Image", "In2Image", "In3Image", "In4Image"};
    const char* labelNames[] = {"In1Label", "In2Label", "In3Label"};
    for (int i = 0; i < 4; ++i) {
        TImage* image = Named(new TImage(StatesGroupBox), imageNames[i]);
        image->setGeometry(12, top + i * rowHeight + (rowHeight - 16) / 2, 16, 16);
        image->Tag = YellowLamp;
        inputImages_[i] = image;
        QLabel* label = new QLabel(StatesGroupBox);
        label->setGeometry(labelLeft, top + i * rowHeight, labelWidth, rowHeight);
        if (i == 3) {
            RTSLabel = Named(label, "RTSLabel");
            RTSLabel->setText(QStringLiteral("Сигнал RTS"));
            RTSLabel->installEventFilter(this);
            continue;
        }
        Named(label, labelNames[i])->setText(QStringLiteral("IN%1").arg(i + 1));
        label->setCursor(Qt::PointingHandCursor);
        label->setToolTip(QStringLiteral("Щелкните дважды для редактирования"));
        label->installEventFilter(this);
        pinLabels_[i] = label;
    }
    In1Image = inputImages_[0], In2Image = inputImages_[1], In3Image = inputImages_[2],
    In4Image = inputImages_[3];
    In1Label = pinLabels_[0], In2Label = pinLabels_[1], In3Label = pinLabels_[2];

    const QString request = QStringLiteral("Запросить состояния");
    RequestButton = Named(new QPushButton(request, StatesGroupBox), "RequestButton");
    RequestButton->setGeometry(labelLeft + labelWidth + 12, top, TextButtonWidth(this, request),
                               ButtonHeight);
    connect(RequestButton, &QPushButton::clicked, this, [this] { RequestCoordsButtonClick(); });

    PinNameEdit = Named(new QLineEdit(StatesGroupBox), "PinNameEdit");
    PinNameEdit->setFrame(false);
    PinNameEdit->setMaxLength(15);
    PinNameEdit->setValidator(new TCp1251Validator(PinNameEdit));
    PinNameEdit->hide();
    PinNameEdit->installEventFilter(this);

    StatesGroupBox->setGeometry(8, 4, 0, top + 4 * rowHeight + 8);
    ResizeStatesGroupBox();
}

void TMainForm::CreateHiddenControls(QWidget* parent) {
    const int y = StatesGroupBox->y() + StatesGroupBox->height() + 4;
    const QString profile = QStringLiteral("Профиль...");
    SettingsButton = Named(new QPushButton(profile, parent), "SettingsButton");
    const int width = std::max(TextButtonWidth(this, profile), 90);
    SettingsButton->setGeometry(StatesGroupBox->geometry().right() + 1 - width, y, width, ButtonHeight);
    SettingsButton->setEnabled(false);
    connect(SettingsButton, &QPushButton::clicked, this, [this] { SettingsButtonClick(); });

    auto hidden = [parent](const char* name, const char* caption, int left, int top) {
        auto* button = Named(new QPushButton(QString::fromUtf8(caption), parent), name);
        button->setGeometry(left, top, 75, ButtonHeight);
        button->hide();
        return button;
    };
    CallButton = hidden("CallButton", "Голосовой вызов", 8, y);
    HangupButton = hidden("HangupButton", "Modem", 88, y);
    Button1 = hidden("Button1", "Куча", 168, y);
    Button2 = hidden("Button2", "Term", 8, y + 30);
    SetOutputsButton = hidden("SetOutputsButton", "Установить выходы", 88, y + 30);
    ResetButton = hidden("ResetButton", "Сброс", 168, y + 30);
    Button3 = hidden("Button3", "Report nav OK", 8, y + 60);
    Button7 = hidden("Button7", "Check outbox", 88, y + 60);
    connect(Button1, &QPushButton::clicked, this, [] {
        if (Form9)
            Form9->ShowModal();
    });
    connect(CallButton, &QPushButton::clicked, this, [this] { CallButtonClick(); });
    connect(HangupButton, &QPushButton::clicked, this, [] {
        if (ModemForm)
            ModemForm->show();
    });
    CallImage = Named(new TImage(parent), "CallImage");
    CallImage->setGeometry(256, y + 3, 16, 16);
    CallImage->SetPicture(bitmaps_.PhoneDis);
    CallImage->hide();
    CountLabel1 = Named(new QLabel(parent), "CountLabel1");
    CountLabel2 = Named(new QLabel(parent), "CountLabel2");
    CountLabel1->hide();
    CountLabel2->hide();
}

void TMainForm::CreateStatusBar() {
    StatusBar1 = Named(new TStatusBar(this), "StatusBar1");
    setStatusBar(StatusBar1);
    StatusBar1->AddPanel(78, QStringLiteral("0"), true);
    StatusBar1->AddPanel(0, QStringLiteral("6"), true);
    StatusBar1->AddPanel(80, QStringLiteral("2"), true);
    StatusBar1->AddPanel(80, QStringLiteral("4"), true);
    StatusBar1->AddPanel(50);
    StatusBar1->OnDrawPanel = [this](int index, QPainter& painter, const QRect& rect) {
        StatusBar1DrawPanel(index, painter, rect);
    };
}

// The window is sized to show the grid's three columns and the whole object panel.
void TMainForm::LayOut() {
    int gridWidth =
        2 * GridLineWidth + style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 2 * GridPanel->frameWidth();
    for (int col = 0; col < 3; ++col)
        gridWidth += ObjectsGrid->ColWidth(col);
    const int panelLeft = gridWidth + SplitterWidth, boxLeft = ObjectPanel->frameWidth();
    const int panelTop = menuBar()->sizeHint().height() + ToolBar1->sizeHint().height();
    const int boxTop = ObjectPanel->frameWidth() + BevelHeight;
    // The line with the time of the last data and how long ago it was must fit as well, however long
    // ago that was; the window is never made narrower than that line.
    int sinceWidth = 0;
    for (const char* since : {"(00 мин 00 с назад)", "(00 ч 00 мин назад)", "(00000 сут 00 ч назад)"})
        sinceWidth = std::max(sinceWidth, fontMetrics().horizontalAdvance(QString::fromUtf8(since)));
    const int lineWidth =
        16 + 12 + fontMetrics().horizontalAdvance(QStringLiteral("Последние данные: 00:00:00 00.00.0000")) +
        sinceWidth;
    CurrentObjectBevel->setMinimumWidth(lineWidth);
    const int timesWidth = 2 * ObjectPanel->frameWidth() + lineWidth;
    const int panelWidth = std::max(boxLeft + SettingsButton->x() + SettingsButton->width() + 17, timesWidth);
    resize(panelLeft + panelWidth, panelTop + boxTop + SettingsButton->y() + SettingsButton->height() +
                                       StatusBar1->sizeHint().height() + 10);
    SetGridPanelWidth(gridWidth);
    for (TImage* image : inputImages_) {
        image->Tag |= 1;
        SetLed(image, 0);
    }
    ResizeStatesGroupBox();
}

void TMainForm::SetGridPanelWidth(int width) {
    Splitter1->setSizes({width, std::max(1, this->width() - width - SplitterWidth)});
}

int TMainForm::GridPanelWidth() const {
    const QList<int> sizes = Splitter1->sizes();
    return sizes.isEmpty() ? GridPanel->width() : sizes.front();
}

void TMainForm::ResizeStatesGroupBox() {
    StatesGroupBox->resize(RequestButton->x() + RequestButton->width() + 8, StatesGroupBox->height());
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::MouseButtonDblClick) {
        for (QLabel* label : pinLabels_)
            if (watched == label) {
                PinNameLabelDblClick(label);
                return true;
            }
    }
    if (watched == PinNameEdit && type == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
            ClosePinNameEdit(key != Qt::Key_Escape);
            return true;
        }
    }
    if (watched == PinNameEdit && type == QEvent::FocusOut)
        ClosePinNameEdit(true);
    if (type == QEvent::MouseButtonPress &&
        (watched == ObjectPanel || watched == StatesGroupBox || watched == RTSLabel))
        StatesGroupBoxClick();
    if (watched == ObjectPanel && type == QEvent::Resize)
        ResizeStatesGroupBox();
    return TMainWindowForm::eventFilter(watched, event);
}
