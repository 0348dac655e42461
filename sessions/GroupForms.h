// The group editor and its two small dialogs (renaming a group, choosing its base).
//
// The editor works on a copy of the live groups (WorkReceivers), whose groups share the live groups'
// port controls; OK replaces the live groups with it when something changed, keeping each surviving
// group's comment and the member data still waiting for its base, and the ports of changed groups are
// made again a moment later. Cancel changes nothing. The three forms are modal and made once. Group
// names are stored in Windows-1251; the name fields refuse, as they are typed, what it cannot hold.
// Main thread only.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include <QStringList>

#include "core/Receiver.h"
#include "platform/Forms.h"
#include "platform/Timer.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QToolButton;

// Marks the four arrow buttons, which the lists' contents enable.
inline constexpr int ArrowButtonTag = 43690;

class TGroupsDialog : public TForm {
public:
    explicit TGroupsDialog(QWidget* owner = nullptr);
    ~TGroupsDialog() override;

    QLineEdit* ReceiverNameEdit = nullptr;
    QPushButton *NameAddButton = nullptr, *RenameButton = nullptr, *NameDeleteButton = nullptr;
    QListWidget* ReceiversListBox = nullptr;
    QGroupBox* ParamsGroupBox = nullptr;
    QLabel *BaseLabel = nullptr, *ProtocolLabel = nullptr, *FreeObjectsLabel = nullptr,
           *ModemsLabel = nullptr;
    QLineEdit* BaseEdit = nullptr;
    QPushButton* SelectBaseButton = nullptr;
    QComboBox* ProtocolComboBox = nullptr;
    QListWidget *FreeObjectsListBox = nullptr, *ObjectsListBox = nullptr;
    QToolButton *SpeedButton1 = nullptr, *SpeedButton2 = nullptr, *SpeedButton3 = nullptr,
                *SpeedButton4 = nullptr;
    QPushButton *ButtonOK = nullptr, *ButtonCancel = nullptr;
    TTimer UpdateVSPTimer; // makes the ports of changed groups again after OK

    std::vector<std::unique_ptr<TReceiver>> WorkReceivers;
    int WorkReceiverCount() const { return int(WorkReceivers.size()); }
    bool GroupsChanged = false;

    void ButtonOKClick();
    void ReceiversListBoxClick();
    void NameAddButtonClick();
    void NameDeleteButtonClick();
    void RenameButtonClick();
    void SelectBaseButtonClick();
    void ProtocolComboBoxChange();
    void SpeedButton1Click(); // add the selected free modem
    void SpeedButton2Click(); // add every free modem
    void SpeedButton3Click(); // remove every member
    void SpeedButton4Click(); // remove the selected member
    void UpdateVSPTimerTimer();

    // The working group whose name the selected row shows, else null.
    TReceiver* CurrentReceiver() const;
    // The working group of that name (exact), else null.
    TReceiver* FindWorkReceiver(const QString& name) const;

protected:
    void FormShow() override;
    void FormClose() override;

    using TReceiverArray = std::vector<std::unique_ptr<TReceiver>>;
    // The four steps of deleting the working group at index: the groups before it and then those after
    // it move into the new array, the group itself goes, and the list is filled again with row selected.
    // A step that throws is reported by its own error box, and the working groups are then as they were
    // before it.
    virtual void CopyGroupsBefore(std::size_t index, TReceiverArray& to);
    virtual void CopyGroupsAfter(std::size_t index, TReceiverArray& to);
    virtual void DeleteGroup(std::unique_ptr<TReceiver>& group);
    virtual void FillList(int row);

private:
    void FreeWorkReceivers();
    // Fills the list with the working groups' names and selects the row of select, else row.
    void RefreshList(const QString& select = {}, int row = 0);
    void ShowReceiver();
    void ShowModemsLabel(const QString& text);
    void MembersChanged();

    // The live group each working group was copied from; new groups have none.
    std::map<const TReceiver*, TReceiver*> origins_;
    int shownRow_ = 0; // the list's Tag: the row whose group is shown
    bool filling_ = false;
};

class TRenameForm : public TForm {
public:
    explicit TRenameForm(QWidget* owner = nullptr);

    QLabel *InfoLabel = nullptr, *NameLabel = nullptr; // NameLabel: the old name
    QLineEdit* NameEdit = nullptr;
    QPushButton *ButtonOK = nullptr, *ButtonCancel = nullptr;

    void ButtonOKClick();

protected:
    void FormShow() override;
};

class TSelectBaseForm : public TForm {
public:
    explicit TSelectBaseForm(QWidget* owner = nullptr);

    QLabel *InfoLabel = nullptr, *NameLabel = nullptr, *BaseLabel = nullptr, *FreeObjectsLabel = nullptr,
           *COMLabel = nullptr;
    QLineEdit* BaseEdit = nullptr;
    QListWidget *FreeObjectsListBox = nullptr, *COMListBox = nullptr;
    QListWidget* ListBox1 = nullptr; // hidden: the names of the port devices found
    QPushButton *ButtonOK = nullptr, *ButtonCancel = nullptr;
    // The chosen base, as TReceiver's BaseKind and BaseID (kind 0 with id -1: none).
    int BaseKind = TReceiver::bkObject;
    int BaseID = -1;

    void FreeObjectsListBoxClick();
    void COMListBoxClick();

protected:
    void FormShow() override;

private:
    bool filling_ = false;
};

extern TGroupsDialog* GroupsDialog;
extern TRenameForm* RenameForm;
extern TSelectBaseForm* SelectBaseForm;

// The text without leading and trailing blanks and control characters.
QString TrimName(const QString& text);
// The leading decimal number of a row "N - name", else -1.
int RowNumber(const QString& row);
// The rows in list order: case-insensitive and as the locale sorts; rows equal but for case by their
// exact text.
QStringList SortedRows(QStringList rows);
