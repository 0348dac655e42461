#include "dialogs/AddressBook.h"

#include <QVBoxLayout>

TAddrBook* AddrBook = nullptr;
TEnterDevIDs* EnterDevIDs = nullptr;

TAddrBook::TAddrBook(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("AddrBook"));
    SetCaption(QStringLiteral("Адресная книга"));
    ABGrid = new TStringGrid(this);
    ABGrid->setObjectName(QStringLiteral("ABGrid"));
    ABGrid->SetColCount(5);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(ABGrid);
    resize(645, 405);
}

void TAddrBook::ClearGrid() {
    ABGrid->SetRowCount(2);
    for (int col = 0; col < ABGrid->ColCount(); ++col)
        ABGrid->Cells[col][1] = QString();
    PasswordList.clear();
    DevIDList.clear();
}

TEnterDevIDs::TEnterDevIDs(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("EnterDevIDs"));
    SetCaption(QStringLiteral("Ввод адресов устройств"));
}
