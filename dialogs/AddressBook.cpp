#include "dialogs/AddressBook.h"

#include <algorithm>
#include <functional>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "core/FormControls.h"
#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "core/StateFile.h"
#include "dialogs/PasswordUpdate.h"
#include "platform/Cp1251.h"

TAddrBook* AddrBook = nullptr;
TEnterDevIDs* EnterDevIDs = nullptr;

namespace {

constexpr int ClientWidth = 645;
constexpr int ToolBarHeight = 29;
constexpr int GridHeight = 340;
constexpr int GridLineWidth = 1;
constexpr int MaxPhoneLength = 21;
constexpr int MaxModemID = 65535;
constexpr std::array<std::int32_t, 4> NoDevices{-1, -1, -1, -1};

enum TColumn { colID, colName, colPhone, colPassword, colDevices };

int SecurityMode() {
    return AppSettings ? AppSettings->SecurityMode : smNone;
}

QString TrimBlanks(const QString& text) {
    qsizetype first = 0, last = text.size();
    auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (first < last && blank(text[first]))
        ++first;
    while (last > first && blank(text[last - 1]))
        --last;
    return text.mid(first, last - first);
}

bool CellToInt(const QString& cell, std::int32_t& value) {
    return TryStrToInt(ToCp1251(cell), value);
}

// What incoming SMS find the row's object by.
std::string PhoneKeyOf(const QString& phone) {
    return std::string(PhoneKey(ToCp1251(phone)));
}

QString HexAddress(std::int32_t address) {
    return QStringLiteral("%1").arg(address, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

TAddrBook::TAddrBook(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("AddrBook"));
    SetCaption(QStringLiteral("Адресная книга"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(ClientWidth, 405);

    CreateToolBar();
    CreateGrid();

    OkButton = Placed(new QPushButton(QStringLiteral("ОК"), this), "OkButton", 480, 374);
    ButtonOK = Placed(new QPushButton(QStringLiteral("Отмена"), this), "ButtonOK", 562, 374);
    for (QPushButton* b : {OkButton, ButtonOK})
        b->resize(75, 25);
    OkButton->setDefault(true);
    connect(OkButton, &QPushButton::clicked, this, [this] { OkButtonClick(); });
    SetButtonModalResult(ButtonOK, mrCancel);

    TypeComboBox = Placed(new QComboBox(this), "TypeComboBox", 8, 376);
    TypeComboBox->addItems({QStringLiteral("Тервел"), QStringLiteral("Бирок")});
    TypeComboBox->setEnabled(false);
    TypeComboBox->hide();

    ClearGrid();
}

void TAddrBook::CreateToolBar() {
    ToolBar1 = Placed(new QToolBar(this), "ToolBar1", 0, 0);
    ToolBar1->resize(ClientWidth, ToolBarHeight);
    ToolBar1->setIconSize(QSize(16, 16));
    auto button = [this](const char* name, QStyle::StandardPixmap icon, const QString& hint,
                         void (TAddrBook::*handler)()) {
        auto* tool = new QToolButton(ToolBar1);
        tool->setObjectName(QLatin1String(name));
        tool->setIcon(style()->standardIcon(icon));
        tool->setToolTip(hint);
        tool->setAutoRaise(true);
        ToolBar1->addWidget(tool);
        connect(tool, &QToolButton::clicked, this, [this, handler] { (this->*handler)(); });
        return tool;
    };
    ToolButton1 = button("ToolButton1", QStyle::SP_FileDialogNewFolder,
                         QStringLiteral("Добавить новый объект"), &TAddrBook::ToolButton1Click);
    ToolBar1->addSeparator();
    ToolButton3 = button("ToolButton3", QStyle::SP_ArrowUp, QStringLiteral("В начало списка"),
                         &TAddrBook::ToolButton3Click);
    ToolButton4 = button("ToolButton4", QStyle::SP_ArrowDown, QStringLiteral("В конец списка"),
                         &TAddrBook::ToolButton4Click);
    ToolBar1->addSeparator();
    ToolButton5 = button("ToolButton5", QStyle::SP_FileDialogListView,
                         QStringLiteral("Сортировать по номерам"), &TAddrBook::ToolButton5Click);
    ToolBar1->addSeparator();
    ToolButton7 = button("ToolButton7", QStyle::SP_TrashIcon, QStringLiteral("Удалить текущий объект"),
                         &TAddrBook::ToolButton7Click);
    ToolBar1->addSeparator();
    ToolButton9 =
        button("ToolButton9", QStyle::SP_DialogApplyButton,
               QStringLiteral("Ввести пароль контроллера текущего объекта"), &TAddrBook::ToolButton9Click);
    ToolBar1->addSeparator();
    ToolButton11 = button("ToolButton11", QStyle::SP_FileDialogDetailedView,
                          QStringLiteral("Ввести ID подключенных устройств"), &TAddrBook::ToolButton11Click);
}

void TAddrBook::CreateGrid() {
    ABGrid = Placed(new TStringGrid(this), "ABGrid", 0, ToolBarHeight);
    ABGrid->resize(ClientWidth, GridHeight);
    ABGrid->SetColCount(5);
    ABGrid->SetDefaultRowHeight(20);
    ABGrid->setSelectionBehavior(QAbstractItemView::SelectItems);
    ABGrid->setSelectionMode(QAbstractItemView::ContiguousSelection);
    ABGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ABGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ABGrid->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ABGrid->horizontalHeader()->setHighlightSections(false);
    ABGrid->SetEditValidator(new TCp1251Validator(ABGrid));
    ABGrid->OnSelectCell = [this](int col, int row, bool& canSelect) {
        ABGridSelectCell(col, row, canSelect);
    };
    ABGrid->OnDblClick = [this] { ABGridDblClick(); };
    ABGrid->OnExit = [this] { CheckStringGrid(); };
    ABGrid->SetRowCount(2);
    const char* headers[] = {"ID модема", "Имя модема", "Телефон модема", "Пароль модема",
                             "Адреса устройств"};
    for (int col = 0; col < 5; ++col)
        ABGrid->Cells[col][0] = QString::fromUtf8(headers[col]);
    ResizeColumns();
    ABGrid->SetEditing(true);
}

void TAddrBook::FormShow() {
    if (MainForm)
        CentreOn(this, MainForm);
    if (AccessGranted)
        FillFromObjects();
    ABGrid->SetEditing(ABGrid->Col() != colPassword && ABGrid->Col() != colDevices);
    ABGrid->selectionModel()->setCurrentIndex(ABGrid->currentIndex(), QItemSelectionModel::ClearAndSelect);
    ABGrid->setFocus();
}

// The widths of the grid's client area; the vertical scroll bar is always there, so they hold.
void TAddrBook::ResizeColumns() {
    ABGrid->setUpdatesEnabled(false);
    const int w =
        ABGrid->width() - 2 * ABGrid->frameWidth() - ABGrid->verticalScrollBar()->sizeHint().width();
    const int l = GridLineWidth;
    const int name = int(w * 0.22 - l), id = int(w * 0.13 - l), phone = int(w * 0.19 - l),
              password = int(w * 0.17 - l);
    ABGrid->SetColWidth(colName, name);
    ABGrid->SetColWidth(colID, id);
    ABGrid->SetColWidth(colPhone, phone);
    ABGrid->SetColWidth(colPassword, password);
    ABGrid->SetColWidth(colDevices, w - name - id - phone - password - 6 * l);
    ABGrid->setUpdatesEnabled(true);
}

void TAddrBook::ClearGrid() {
    ABGrid->SetRowCount(2);
    for (const int col : {colName, colID, colPhone, colDevices})
        ABGrid->Cells[col][1] = QString();
    PasswordList.assign(1, std::string(NoPassword));
    ShowPasswordColumn();
    DevIDList.assign(1, NoDevices);
    ShowDeviceColumn();
}

bool TAddrBook::ResizeLists() {
    const auto rows = std::size_t(ABGrid->RowCount() - 1);
    try {
        PasswordList.resize(rows, std::string(NoPassword));
        DevIDList.resize(rows, NoDevices);
        return true;
    } catch (const std::bad_alloc&) {
        MessageDlg(QStringLiteral("Недостаточно памяти для работы программы!"), mtError, mbOK);
        SetModalResult(mrCancel);
        if (MainForm)
            QTimer::singleShot(0, MainForm, [] { MainForm->ExitMenuItemClick(); });
        return false;
    }
}

void TAddrBook::FillFromObjects() {
    if (ObjectList.empty())
        return;
    ABGrid->SetRowCount(int(ObjectList.size()) + 1);
    PasswordList.clear();
    DevIDList.clear();
    if (!ResizeLists())
        return;
    const TStringGrid::TCellBatch batch(ABGrid);
    for (std::size_t i = 0; i < ObjectList.size(); ++i) {
        const TObjectStates& object = *ObjectList[i];
        const int row = int(i) + 1;
        ABGrid->Cells[colName][row] = FromCp1251(object.Name);
        ABGrid->Cells[colID][row] = QString::number(object.ModemID);
        ABGrid->Cells[colPhone][row] = FromCp1251(object.Phone);
        PasswordList[i] = PasswordText(object.Password);
        DevIDList[i] = object.DevIDs;
    }
    ShowPasswordColumn();
    ShowDeviceColumn();
}

void TAddrBook::ShowPasswordCell(int row) {
    bool hasKey = false;
    switch (SecurityMode()) {
    case smSettingsAndObjects:
    case smOnePassword:
        hasKey = SystemPassword != NoPassword; // every modem uses the system key
        break;
    case smManyPasswords:
        hasKey = PasswordList[std::size_t(row - 1)] != NoPassword;
        break;
    default:
        break;
    }
    ABGrid->Cells[colPassword][row] = hasKey ? QStringLiteral("Есть") : QStringLiteral("Нет");
}

void TAddrBook::ShowPasswordColumn() {
    for (int row = 1; row < ABGrid->RowCount(); ++row)
        ShowPasswordCell(row);
}

void TAddrBook::ShowDeviceCell(int row) {
    QString text;
    for (const std::int32_t address : DevIDList[std::size_t(row - 1)])
        if (address >= 0)
            text += HexAddress(address) + QStringLiteral("h  ");
    ABGrid->Cells[colDevices][row] = text;
}

void TAddrBook::ShowDeviceColumn() {
    for (int row = 1; row < ABGrid->RowCount(); ++row)
        ShowDeviceCell(row);
}

bool TAddrBook::CheckStringGrid() {
    if (checking_)
        return false;
    bool ok = true;
    {
        const QScopedValueRollback guard(checking_, true);
        const int row = ABGrid->Row();
        if (ABGrid->Col() == colID)
            ok = IDIsOK(row);
        else if (ABGrid->Col() == colPhone)
            ok = PhoneIsOK(row) && IDIsOK(row);
    }
    if (!ok)
        ABGrid->setFocus();
    return ok;
}

bool TAddrBook::IDIsOK(int row) {
    return IDIsOK(row, [this, row](std::int32_t id) {
        return OtherRowHas(colID, row, [id](const QString& cell) {
            std::int32_t other = 0;
            return CellToInt(cell, other) && other == id;
        });
    });
}

bool TAddrBook::IDIsOK(int row, const std::function<bool(std::int32_t)>& taken) {
    const QString text = TrimBlanks(ABGrid->Cell(colID, row));
    ABGrid->Cells[colID][row] = text;
    if (text.isEmpty())
        return true;
    std::int32_t id = 0;
    if (!CellToInt(text, id))
        return Verdict(colID, row, QStringLiteral("Некорректная строка с ID модема!"));
    ABGrid->Cells[colID][row] = QString::number(id);
    if (id < 0 || id > MaxModemID)
        return Verdict(colID, row, QStringLiteral("Значение ID должно лежать в диапазоне\r\nот 0 до 65535!"));
    return Verdict(colID, row, taken(id) ? QStringLiteral("Модем с данным ID уже существует!") : QString());
}

bool TAddrBook::PhoneIsOK(int row) {
    return PhoneIsOK(row, [this, row](const std::string& key) {
        return OtherRowHas(colPhone, row, [&key](const QString& cell) {
            return !cell.isEmpty() && PhoneKeyOf(cell) == key;
        });
    });
}

bool TAddrBook::PhoneIsOK(int row, const std::function<bool(const std::string&)>& taken) {
    const QString phone = ABGrid->Cell(colPhone, row);
    if (phone.isEmpty())
        return true;
    if (phone.size() > MaxPhoneLength)
        return Verdict(colPhone, row, QStringLiteral("Слишком большая строка с номером телефона!"));
    return Verdict(colPhone, row,
                   taken(PhoneKeyOf(phone))
                       ? QStringLiteral("Модем с данным номером телефона уже существует!")
                       : QString());
}

bool TAddrBook::OtherRowHas(int col, int row, const std::function<bool(const QString&)>& match) const {
    for (int other = 1; other < ABGrid->RowCount(); ++other)
        if (other != row && match(ABGrid->Cell(col, other)))
            return true;
    return false;
}

bool TAddrBook::Verdict(int col, int row, const QString& error) {
    if (error.isEmpty())
        return true;
    MessageDlg(error, mtError, mbOK);
    ABGrid->Cells[col][row] = QString();
    return false;
}

bool TAddrBook::AllCellsOK() {
    // The IDs and phone keys of all rows are counted once, and the counts follow each cell as its check
    // rewrites it, so that no check reads the other rows again.
    const int last = ABGrid->RowCount() - 1;
    // Only IDs in the range are counted: no other is ever asked about.
    std::vector<std::optional<std::int32_t>> ids(std::size_t(last) + 1);
    std::vector<int> idCount(MaxModemID + 1);
    std::unordered_map<std::string, int> phoneCount;
    phoneCount.reserve(std::size_t(last));
    // A row whose cells are as their checks would leave them is plain: an empty ID or one written as
    // its number shows it, a phone number empty or short enough. When every row is plain and no
    // value is taken twice, no check would change or say anything.
    bool plain = true, twice = false;
    for (int row = 1; row <= last; ++row) {
        const QString idText = ABGrid->Cell(colID, row);
        if (std::int32_t id = 0; CellToInt(idText, id) && id >= 0 && id <= MaxModemID) {
            ids[std::size_t(row)] = id;
            twice = ++idCount[std::size_t(id)] > 1 || twice;
            plain = plain && idText == QString::number(id);
        } else {
            plain = plain && idText.isEmpty();
        }
        if (const QString phone = ABGrid->Cell(colPhone, row); !phone.isEmpty()) {
            twice = ++phoneCount[PhoneKeyOf(phone)] > 1 || twice;
            plain = plain && phone.size() <= MaxPhoneLength;
        }
    }
    if (plain && !twice)
        return true;
    // From the bottom, so that of two equal entries the later one is refused.
    for (int row = last; row >= 1; --row) {
        std::optional<std::int32_t>& held = ids[std::size_t(row)];
        std::optional<std::int32_t> checked; // the ID the cell holds once it passed
        const auto idTaken = [&](std::int32_t id) {
            checked = id;
            return idCount[std::size_t(id)] - (held == id ? 1 : 0) > 0;
        };
        const auto phoneTaken = [&](const std::string& key) { return phoneCount[key] > 1; };
        int failed = -1;
        {
            const QScopedValueRollback guard(checking_, true);
            if (!IDIsOK(row, idTaken)) {
                failed = colID;
                checked.reset(); // the cell was emptied
            } else if (!PhoneIsOK(row, phoneTaken)) {
                failed = colPhone;
            }
        }
        if (held)
            --idCount[std::size_t(*held)];
        held = checked;
        if (held)
            ++idCount[std::size_t(*held)];
        if (failed >= 0) {
            ABGrid->FocusCell(failed, row);
            ABGrid->setFocus();
            return false;
        }
    }
    return true;
}

void TAddrBook::ABGridSelectCell(int col, int row, bool& canSelect) {
    (void)row;
    canSelect = CheckStringGrid();
    if (canSelect)
        ABGrid->SetEditing(col != colPassword && col != colDevices);
}

void TAddrBook::ABGridDblClick() {
    switch (ABGrid->Col()) {
    case colPassword:
        ToolButton9Click();
        break;
    case colDevices:
        ToolButton11Click();
        break;
    default:
        ABGrid->ShowEditor();
        break;
    }
}

void TAddrBook::EmptyRow(int row) {
    for (int col = 0; col < ABGrid->ColCount(); ++col)
        ABGrid->Cells[col][row] = QString();
    PasswordList[std::size_t(row - 1)] = std::string(NoPassword);
    DevIDList[std::size_t(row - 1)] = NoDevices;
    ShowPasswordCell(row);
}

bool TAddrBook::DeleteRow(int row) {
    if (!ABGrid->DeleteRow(row))
        return false;
    PasswordList.erase(PasswordList.begin() + (row - 1));
    DevIDList.erase(DevIDList.begin() + (row - 1));
    return true;
}

void TAddrBook::ToolButton1Click() {
    if (!CheckStringGrid())
        return;
    const int row = ABGrid->RowCount();
    ABGrid->SetRowCount(row + 1);
    if (!ResizeLists())
        return;
    EmptyRow(row);
    ShowPasswordColumn();
    ShowDeviceColumn();
    ABGrid->FocusCell(colID, row);
}

void TAddrBook::ToolButton3Click() {
    if (CheckStringGrid())
        ABGrid->SetRow(1);
}

void TAddrBook::ToolButton4Click() {
    if (CheckStringGrid())
        ABGrid->SetRow(ABGrid->RowCount() - 1);
}

void TAddrBook::ToolButton5Click() {
    if (CheckStringGrid())
        SortByID();
}

// A selection sort: row i takes the first row of the smallest key among rows i to the last, the row it
// held going to that row's place. The exchanges are played on the row numbers alone, and the grid then
// takes the order they give in one pass. The rows not yet placed are kept by key, the places of each
// key in a heap of their own, so that the first of the smallest key is found at once.
void TAddrBook::SortByID() {
    ABGrid->setUpdatesEnabled(false);
    const int last = ABGrid->RowCount() - 1;
    std::vector<std::pair<std::int32_t, int>> byKey; // (key, row)
    byKey.reserve(std::size_t(last));
    for (int row = 1; row <= last; ++row) {
        std::int32_t id = 0;
        byKey.emplace_back(CellToInt(ABGrid->Cell(colID, row), id) ? id : 0, row); // no number sorts as 0
        for (const int col : {colID, colName, colPhone})
            if (ABGrid->Cell(col, row) == QStringLiteral(" "))
                ABGrid->Cells[col][row] = QString();
    }
    std::sort(byKey.begin(), byKey.end());
    std::vector<int> group(std::size_t(last) + 1); // group[r]: the key of what row r holds, as its rank
    std::vector<std::vector<int>> places;          // for each key, its rows not yet placed, a min-heap
    for (std::size_t k = 0; k < byKey.size(); ++k) {
        if (k == 0 || byKey[k].first != byKey[k - 1].first)
            places.emplace_back();
        places.back().push_back(byKey[k].second); // ascending, so a heap already
        group[std::size_t(byKey[k].second)] = int(places.size()) - 1;
    }
    const auto pop = [](std::vector<int>& heap) {
        std::pop_heap(heap.begin(), heap.end(), std::greater<>());
        const int top = heap.back();
        heap.pop_back();
        return top;
    };
    std::vector<int> from(std::size_t(last) + 1); // from[r]: the row whose cells row r takes
    for (int row = 1; row <= last; ++row)
        from[std::size_t(row)] = row;
    std::size_t smallestKey = 0;
    for (int i = 1; i < last; ++i) {
        while (places[smallestKey].empty())
            ++smallestKey;
        const int smallest = pop(places[smallestKey]);
        if (smallest == i)
            continue;
        // Row i, the first row not placed, is the first of its key's rows; what it holds goes to smallest.
        std::vector<int>& moved = places[std::size_t(group[std::size_t(i)])];
        pop(moved);
        moved.push_back(smallest);
        std::push_heap(moved.begin(), moved.end(), std::greater<>());
        std::swap(group[std::size_t(i)], group[std::size_t(smallest)]);
        std::swap(from[std::size_t(i)], from[std::size_t(smallest)]);
    }
    from.erase(from.begin());
    ArrangeRows(from);
    ABGrid->setUpdatesEnabled(true);
    ABGrid->FocusCell(colID, 1);
}

void TAddrBook::ArrangeRows(const std::vector<int>& from) {
    ABGrid->MoveRows(from);
    std::vector<std::string> passwords(from.size());
    std::vector<std::array<std::int32_t, 4>> devices(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) {
        passwords[i] = std::move(PasswordList[std::size_t(from[i] - 1)]);
        devices[i] = DevIDList[std::size_t(from[i] - 1)];
    }
    PasswordList.swap(passwords);
    DevIDList.swap(devices);
}

void TAddrBook::ToolButton7Click() {
    if (!CheckStringGrid())
        return;
    const int row = ABGrid->Row();
    const QString id = ABGrid->Cell(colID, row);
    if (!id.isEmpty() && SecurityMode() == smManyPasswords &&
        PasswordList[std::size_t(row - 1)] != NoPassword &&
        MessageDlg(QStringLiteral("Для модема ") + id +
                       QStringLiteral(" введен пароль.\r\nУдалить этот модем вместе с паролем?"),
                   mtConfirmation, mbOKCancel) != mrOk)
        return;
    if (!DeleteRow(row))
        EmptyRow(row);
    ABGrid->SetCol(colID);
}

void TAddrBook::ToolButton9Click() {
    if (!CheckStringGrid())
        return;
    switch (SecurityMode()) {
    case smNone:
    case smSettingsOnly:
        MessageDlg(QStringLiteral("В текущем режиме защиты ввод паролей не предусмотрен!"), mtInformation,
                   mbOK);
        return;
    case smSettingsAndObjects:
    case smOnePassword:
        MessageDlg(QStringLiteral("В текущем режиме защиты изменение паролей не предусмотрено!"),
                   mtInformation, mbOK);
        return;
    default:
        break;
    }
    if (!PasswordUpdate)
        return;
    const int row = ABGrid->Row();
    PasswordUpdate->SetCaption(QStringLiteral("Изменение пароля"));
    PasswordUpdate->InfoLabel->setText(QStringLiteral("Введите пароль контроллера c ID: ") +
                                       ABGrid->Cell(colID, row));
    if (PasswordUpdate->ShowModal() != mrOk)
        return;
    PasswordList[std::size_t(row - 1)] = PasswordUpdate->Password;
    ShowPasswordCell(row);
}

void TAddrBook::ToolButton11Click() {
    if (!CheckStringGrid() || !EnterDevIDs)
        return;
    const int row = ABGrid->Row();
    EnterDevIDs->IDLabel->setText(QStringLiteral("Адреса устройств, подключенных к модему ") +
                                  ABGrid->Cell(colID, row));
    EnterDevIDs->DevIDs = DevIDList[std::size_t(row - 1)];
    if (EnterDevIDs->ShowModal() != mrOk)
        return;
    DevIDList[std::size_t(row - 1)] = EnterDevIDs->DevIDs;
    ShowDeviceCell(row);
}

void TAddrBook::OkButtonClick() {
    if (!AllCellsOK() || !CheckEmptyRows())
        return;
    DeleteEmptyRows();
    SortByID();
    SetModalResult(mrOk);
}

bool TAddrBook::CheckEmptyRows() {
    const int rows = ABGrid->RowCount() - 1;
    int failing = 0;
    for (int row = 1; row <= rows && !failing; ++row) {
        std::int32_t id = 0;
        if (!CellToInt(ABGrid->Cell(colID, row), id))
            failing = row;
    }
    if (!failing)
        return true;
    if (rows == 1 && PasswordList[0] == NoPassword) {
        bool empty = true;
        for (const int col : {colName, colID, colPhone, colDevices})
            empty = empty && ABGrid->Cell(col, 1).isEmpty();
        if (empty)
            return true;
    }
    ABGrid->FocusCell(colID, failing);
    ABGrid->setFocus();
    return MessageDlg(QStringLiteral("В адресной книге есть модемы с незаполненными номерами или ID\r\n"
                                     "Удалить все такие модемы?"),
                      mtError, mbYesNo) == mrYes;
}

// The rows kept move up in one pass, and the grid then drops the rest.
void TAddrBook::DeleteEmptyRows() {
    const int last = ABGrid->RowCount() - 1;
    std::vector<int> kept, dropped;
    for (int row = 1; row <= last; ++row) {
        std::int32_t id = 0;
        (CellToInt(ABGrid->Cell(colID, row), id) ? kept : dropped).push_back(row);
    }
    if (dropped.empty())
        return;
    const int keptRows = int(kept.size());
    kept.insert(kept.end(), dropped.begin(), dropped.end());
    ArrangeRows(kept);
    ABGrid->SetRowCount(std::max(keptRows, 1) + 1);
    if (!ResizeLists())
        return;
    if (keptRows == 0)
        EmptyRow(1);
}

namespace {

// Lets into an address edit only what its key filter keeps, pasted text included.
class THexValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        for (const QChar c : input)
            if (!TEnterDevIDs::IDEditKeyPress(c))
                return Invalid;
        return Acceptable;
    }
};

} // namespace

TEnterDevIDs::TEnterDevIDs(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("EnterDevIDs"));
    SetCaption(QStringLiteral("Ввод адресов устройств"));
    setFixedSize(293, 150);
    IDLabel = Placed(new QLabel(QStringLiteral("Адреса устройств, подключенных к модему  65535"), this),
                     "IDLabel", 8, 8);
    Label5 = Placed(new QLabel(QStringLiteral("(задаются в шестнадцатиричном виде)"), this), "Label5", 8, 26);
    IDLabel->resize(IDLabel->sizeHint()); // the default text is the longest that the callers set
    WidenToFit(this, {IDLabel, Label5});
    const char* labels[] = {"Label1", "Label2", "Label3", "Label4"};
    const char* edits[] = {"ID1Edit", "ID2Edit", "ID3Edit", "ID4Edit"};
    QLineEdit** fields[] = {&ID1Edit, &ID2Edit, &ID3Edit, &ID4Edit};
    auto* validator = new THexValidator(this);
    // Each edit follows its label, as long as the font makes that.
    const int labelWidth = std::max(54, fontMetrics().horizontalAdvance(QStringLiteral("Адрес 4:")) + 6);
    for (int slot = 0; slot < 4; ++slot) {
        const int left = slot % 2 == 0 ? 8 : 96 + labelWidth, top = slot < 2 ? 56 : 86;
        Placed(new QLabel(QStringLiteral("Адрес %1:").arg(slot + 1), this), labels[slot], left, top + 4);
        QLineEdit* edit = Placed(new QLineEdit(this), edits[slot], left + labelWidth, top);
        edit->setFixedWidth(60);
        edit->setMaxLength(4);
        edit->setProperty("Tag", slot);
        edit->setValidator(validator);
        connect(edit, &QLineEdit::editingFinished, this, [this, edit] { IDEditExit(edit); });
        *fields[slot] = edit;
    }
    setFixedWidth(std::max(width(), ID4Edit->x() + ID4Edit->width() + 8));
    ButtonOK = Placed(new QPushButton(QStringLiteral("ОК"), this), "ButtonOK", width() - 164, 118);
    ButtonCancel = Placed(new QPushButton(QStringLiteral("Отмена"), this), "ButtonCancel", width() - 83, 118);
    for (QPushButton* b : {ButtonOK, ButtonCancel})
        b->resize(75, 25);
    SetButtonModalResult(ButtonOK, mrOk);
    SetButtonModalResult(ButtonCancel, mrCancel);
}

bool TEnterDevIDs::IDEditKeyPress(QChar key) {
    const char16_t c = key.unicode();
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f') || c == u'\b';
}

void TEnterDevIDs::IDEditExit(QLineEdit* edit) {
    std::int32_t address = -1;
    if (!TryStrToInt("$" + edit->text().toStdString(), address) || address < 0) {
        address = -1;
        edit->clear();
    }
    DevIDs[std::size_t(edit->property("Tag").toInt())] = address;
}

void TEnterDevIDs::FormShow() {
    for (std::size_t slot = 0; slot < 4; ++slot)
        Edits()[slot]->setText(DevIDs[slot] >= 0 ? HexAddress(DevIDs[slot]) : QString());
}

void TEnterDevIDs::FormClose() {
    for (QLineEdit* edit : Edits())
        IDEditExit(edit);
}
