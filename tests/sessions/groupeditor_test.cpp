// The group editor offscreen, opened from the main window's menu: groups added, renamed and deleted,
// bases and members chosen, the port survey, and what OK and Cancel do to the live groups, their
// ports and the state file.
#include "sessions/VirtualPorts.h"
#include "tests/sessions/SessionFixture.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <new>

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/Cp1251.h"
#include "platform/VirtualPort.h"
#include "sessions/GroupForms.h"

namespace {

QStringList Rows(const QListWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i)
        rows << list->item(i)->text();
    return rows;
}

void Click(QListWidget* list, const QString& row) {
    const auto found = list->findItems(row, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << row.toStdString() << " in " << Rows(list).join('|').toStdString();
    list->setCurrentItem(found[0]);
    emit list->itemClicked(found[0]); // a click on the row already selected counts too
}

// Runs action as soon as the next modal loop runs.
void InModal(std::function<void()> action) {
    QTimer::singleShot(0, std::move(action));
}

class GroupEditorTest : public SessionTest {
protected:
    GroupEditorTest() {
        GroupsDialog = editor.get();
        RenameForm = rename.get();
        SelectBaseForm = select.get();
        for (int n = 1; n <= 5; ++n)
            AddObject(n)->Name = ToCp1251(QStringLiteral("Модем %1").arg(n));
    }
    ~GroupEditorTest() override {
        GroupsDialog = nullptr;
        RenameForm = nullptr;
        SelectBaseForm = nullptr;
    }

    TReceiver* Live(const char* name) const {
        for (const auto& g : AppSettings->Receivers)
            if (g->Name == ToCp1251(QString::fromUtf8(name)))
                return g.get();
        return nullptr;
    }
    // Opens the editor from the groups menu item, runs the steps inside it and closes it with OK or
    // Cancel; the state file is removed first.
    void Edit(std::function<void()> steps, bool ok) {
        ::unlink(StatesFileName.c_str());
        InModal([&, ok] {
            steps();
            (ok ? editor->ButtonOK : editor->ButtonCancel)->click();
        });
        main->GroupsMenuItemClick();
        EXPECT_FALSE(editor->isVisible());
        EXPECT_FALSE(AccessGranted);
    }
    void AddGroup(const QString& typed) {
        editor->ReceiverNameEdit->setText(typed);
        editor->NameAddButton->click();
    }
    // Chooses a base in the base-selection dialog: a free modem's row or a port's row.
    void ChooseBase(QListWidget* TSelectBaseForm::*list, const QString& row, bool ok = true) {
        InModal([=, this] {
            Click(select.get()->*list, row);
            (ok ? select->ButtonOK : select->ButtonCancel)->click();
        });
        editor->SelectBaseButton->click();
    }
    void Rename(const QString& typed) {
        InModal([=, this] {
            rename->NameEdit->setText(typed);
            rename->ButtonOK->click();
            if (rename->isVisible())
                rename->ButtonCancel->click();
        });
        editor->RenameButton->click();
    }
    bool StatesWritten() const { return QFile::exists(QString::fromStdString(StatesFileName)); }

    std::unique_ptr<TGroupsDialog> editor = std::make_unique<TGroupsDialog>();
    std::unique_ptr<TRenameForm> rename = std::make_unique<TRenameForm>();
    std::unique_ptr<TSelectBaseForm> select = std::make_unique<TSelectBaseForm>();
};

TEST_F(GroupEditorTest, GroupsAreAddedRenamedAndDeletedInTheWorkingCopyAndOkReplacesTheLiveOnes) {
    AddLiveGroup("Zeta");
    Edit(
        [&] {
            AddGroup(QStringLiteral("  beta \t"));
            AddGroup(QStringLiteral("Alpha"));
            EXPECT_EQ(Rows(editor->ReceiversListBox), (QStringList{"Alpha", "beta", "Zeta"}));
            EXPECT_EQ(editor->ReceiversListBox->currentItem()->text(), "Alpha");
            EXPECT_EQ(editor->ReceiverNameEdit->text(), "");
            EXPECT_EQ(editor->ParamsGroupBox->title(), "Параметры группы  \"Alpha\" ");

            dialogs->Expect(mtError, QStringLiteral("Группа с таким названием уже существует"), mrOk);
            AddGroup(QStringLiteral("beta"));
            EXPECT_EQ(editor->ReceiversListBox->currentItem()->text(), "beta");
            dialogs->Expect(mtInformation, QStringLiteral("Не введено название добавляемой группы"), mrOk);
            AddGroup(QStringLiteral("   "));

            Click(editor->ReceiversListBox, "Alpha");
            dialogs->Expect(mtError, QStringLiteral("Группа с таким названием уже существует"), mrOk);
            Rename(QStringLiteral("beta"));
            dialogs->Expect(mtError, QStringLiteral("Не введено новое название группы"), mrOk);
            Rename(QStringLiteral(" "));
            Rename(QStringLiteral("Alpha")); // its own name
            Click(editor->ReceiversListBox, "Alpha");
            Rename(QStringLiteral(" Gamma "));
            EXPECT_EQ(Rows(editor->ReceiversListBox), (QStringList{"beta", "Gamma", "Zeta"}));

            Click(editor->ReceiversListBox, "Zeta");
            dialogs->Expect(mtConfirmation, QStringLiteral("Удалить группу \"Zeta\"?"), mrNo);
            editor->NameDeleteButton->click();
            dialogs->Expect(mtConfirmation, QStringLiteral("Удалить группу \"Zeta\"?"), mrYes);
            editor->NameDeleteButton->click();
            EXPECT_EQ(Rows(editor->ReceiversListBox), (QStringList{"beta", "Gamma"}));
            EXPECT_EQ(editor->ReceiversListBox->currentItem()->text(), "Gamma") << "the last row";
            EXPECT_EQ(AppSettings->ReceiverCount(), 1) << "the live groups wait for OK";
        },
        true);
    ASSERT_EQ(AppSettings->ReceiverCount(), 2);
    EXPECT_EQ(AppSettings->Receivers[0]->Name, "Gamma") << "a new group goes first";
    EXPECT_EQ(AppSettings->Receivers[1]->Name, "beta");
    EXPECT_TRUE(StatesWritten());
    EXPECT_TRUE(editor->WorkReceivers.empty());
}

TEST_F(GroupEditorTest, DeletingTheLastGroupDisablesTheParameters) {
    AddLiveGroup("Only");
    Edit(
        [&] {
            EXPECT_TRUE(editor->SelectBaseButton->isEnabled());
            dialogs->Answer(mrYes);
            editor->NameDeleteButton->click();
            EXPECT_EQ(editor->ReceiversListBox->count(), 0);
            EXPECT_FALSE(editor->SelectBaseButton->isEnabled());
            EXPECT_FALSE(editor->ProtocolComboBox->isEnabled());
            EXPECT_EQ(editor->ModemsLabel->text(), "Модемы группы ");
            dialogs->Expect(mtInformation, QStringLiteral("Не выбрана группа для удаления"), mrOk);
            editor->NameDeleteButton->click();
        },
        true);
    EXPECT_EQ(AppSettings->ReceiverCount(), 0);
}

// An editor whose delete step fails as it begins.
class TFailingGroupsDialog : public TGroupsDialog {
public:
    int FailingStep = 0; // 1 to 4
protected:
    void CopyGroupsBefore(std::size_t index, TReceiverArray& to) override {
        Fail(1);
        TGroupsDialog::CopyGroupsBefore(index, to);
    }
    void CopyGroupsAfter(std::size_t index, TReceiverArray& to) override {
        Fail(2);
        TGroupsDialog::CopyGroupsAfter(index, to);
    }
    void DeleteGroup(std::unique_ptr<TReceiver>& group) override {
        Fail(3);
        TGroupsDialog::DeleteGroup(group);
    }
    void FillList(int row) override {
        Fail(4);
        TGroupsDialog::FillList(row);
    }

private:
    void Fail(int step) const {
        if (step == FailingStep)
            throw std::bad_alloc();
    }
};

// Each step of deleting a group that fails shows its own error box; the groups are as they were before
// that step, so the first three leave every group in place and OK keeps them all.
TEST_F(GroupEditorTest, EachFailingStepOfADeleteShowsItsErrorAndKeepsTheGroupsAsBefore) {
    const struct {
        int step;
        const char* error;
        QStringList left;
    } cases[] = {
        {1, "Ошибка копирования групп до текущей", {"A", "B", "C"}},
        {2, "Ошибка копирования групп после текущей", {"A", "B", "C"}},
        {3, "Ошибка удаления группы", {"A", "B", "C"}},
        {4, "Ошибка заполнения списка", {"A", "C"}},
    };
    auto failing = std::make_unique<TFailingGroupsDialog>();
    TFailingGroupsDialog* dialog = failing.get();
    editor = std::move(failing);
    GroupsDialog = editor.get();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        AppSettings->Receivers.clear();
        for (const char* name : {"A", "B", "C"})
            AddLiveGroup(name, 0, -1, {uint32_t(name[0] - 'A' + 1)});
        dialog->FailingStep = c.step;
        Edit(
            [&] {
                Click(editor->ReceiversListBox, "B");
                dialogs->Answer(mrYes);
                dialogs->Expect(mtError, QString::fromUtf8(c.error), mrOk);
                editor->NameDeleteButton->click();
                EXPECT_EQ(dialogs->Pending(), 0u);
                QStringList names;
                for (const auto& g : editor->WorkReceivers) {
                    ASSERT_NE(g, nullptr);
                    names << FromCp1251(g->Name);
                }
                EXPECT_EQ(names, c.left);
                dialog->FailingStep = 0;
            },
            true);
        QStringList live;
        for (const auto& g : AppSettings->Receivers)
            live << FromCp1251(g->Name) + QString::number(g->Members.at(0));
        QStringList expected;
        for (const QString& name : c.left)
            expected << name + QString::number(name[0].unicode() - 'A' + 1);
        EXPECT_EQ(live, expected);
    }
}

TEST_F(GroupEditorTest, BasesAndMembersAreChosenFromModemsNoOtherGroupHolds) {
    AddLiveGroup("G");
    AddLiveGroup("H");
    Edit(
        [&] {
            Click(editor->ReceiversListBox, "G");
            ChooseBase(&TSelectBaseForm::FreeObjectsListBox, "1 - Модем 1");
            EXPECT_EQ(editor->BaseEdit->text(), "1 - Модем 1");
            // Chosen again, the group's own base is offered, and selected.
            InModal([&] {
                EXPECT_EQ(
                    Rows(select->FreeObjectsListBox),
                    (QStringList{"1 - Модем 1", "2 - Модем 2", "3 - Модем 3", "4 - Модем 4", "5 - Модем 5"}));
                EXPECT_EQ(select->FreeObjectsListBox->currentRow(), 0);
                EXPECT_EQ(select->BaseEdit->text(), "1 - Модем 1");
                select->ButtonCancel->click();
            });
            editor->SelectBaseButton->click();
            EXPECT_EQ(Rows(editor->FreeObjectsListBox),
                      (QStringList{"2 - Модем 2", "3 - Модем 3", "4 - Модем 4", "5 - Модем 5"}));
            EXPECT_FALSE(editor->SpeedButton4->isEnabled()) << "no members to remove";
            editor->SpeedButton2->click(); // all
            EXPECT_EQ(AppSettings->Receivers[0]->Members.size(), 0u);
            editor->FreeObjectsListBox->setCurrentRow(-1);
            Click(editor->ObjectsListBox, "3 - Модем 3");
            editor->SpeedButton4->click();
            EXPECT_EQ(Rows(editor->ObjectsListBox),
                      (QStringList{"2 - Модем 2", "4 - Модем 4", "5 - Модем 5"}));
            EXPECT_EQ(Rows(editor->FreeObjectsListBox), QStringList{"3 - Модем 3"});
            editor->SpeedButton3->click(); // none
            EXPECT_TRUE(editor->ObjectsListBox->count() == 0);
            Click(editor->FreeObjectsListBox, "5 - Модем 5");
            editor->SpeedButton1->click();
            Click(editor->FreeObjectsListBox, "2 - Модем 2");
            editor->SpeedButton1->click();

            // Neither G's base nor its members are offered to H, as members or as its base.
            Click(editor->ReceiversListBox, "H");
            EXPECT_EQ(Rows(editor->FreeObjectsListBox), (QStringList{"3 - Модем 3", "4 - Модем 4"}));
            InModal([&] {
                EXPECT_EQ(Rows(select->FreeObjectsListBox), (QStringList{"3 - Модем 3", "4 - Модем 4"}));
                EXPECT_EQ(select->NameLabel->text(), "H");
                select->ButtonCancel->click();
            });
            editor->SelectBaseButton->click();
            editor->ProtocolComboBox->setCurrentIndex(1);
            emit editor->ProtocolComboBox->activated(1);
        },
        true);
    const TReceiver* g = Live("G");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->BaseKind, 0);
    EXPECT_EQ(g->BaseID, 1);
    EXPECT_EQ(g->Members, (std::vector<uint32_t>{5, 2}));
    EXPECT_FALSE(g->Changed) << "a modem base needs no port";
    EXPECT_EQ(Live("H")->Protocol, TReceiver::prModbusAscii);
}

TEST_F(GroupEditorTest, OkRemakesTheChangedPortsAndKeepsWhatTheGroupsHeld) {
    TReceiver& moved = AddLiveGroup("Moved", TReceiver::bkComPort, 2, {1}); // COM3
    AddLiveGroup("Deleted", TReceiver::bkComPort, 3, {2});                  // COM4
    TReceiver& kept = AddLiveGroup("Kept", TReceiver::bkComPort, 4, {3});   // COM5
    TVirtualPortAx* const keptPort = VirtualPortOf(kept);
    moved.Comment = "note";
    moved.Buffer[0] = 0x55;
    moved.BufferCount = 1;
    ASSERT_TRUE(QFileInfo(ComLink(3)).isSymLink());
    Edit(
        [&] {
            Click(editor->ReceiversListBox, "Moved");
            ChooseBase(&TSelectBaseForm::COMListBox, "COM6");
            EXPECT_EQ(editor->BaseEdit->text(), "COM6");
            Click(editor->ReceiversListBox, "Deleted");
            dialogs->Answer(mrYes);
            editor->NameDeleteButton->click();
        },
        true);
    EXPECT_FALSE(QFileInfo(ComLink(3)).isSymLink());
    EXPECT_FALSE(QFileInfo(ComLink(4)).isSymLink()) << "the deleted group's port went with it";
    ASSERT_EQ(AppSettings->ReceiverCount(), 2);
    TReceiver* now = Live("Moved");
    EXPECT_EQ(VirtualPortOf(*now), nullptr) << "made again a moment later";
    EXPECT_EQ(now->Comment, "note");
    EXPECT_EQ(now->BufferCount, 1);
    EXPECT_EQ(now->Buffer[0], 0x55);
    EXPECT_EQ(VirtualPortOf(*Live("Kept")), keptPort) << "an unchanged group keeps its port";
    Advance(100);
    ASSERT_NE(VirtualPortOf(*now), nullptr);
    EXPECT_EQ(VirtualPortOf(*now)->Tag, 6);
    EXPECT_TRUE(QFileInfo(ComLink(6)).isSymLink());
    EXPECT_TRUE(QFileInfo(ComLink(5)).isSymLink());
    EXPECT_TRUE(StatesWritten());
}

// The port a group chooses again is made again too, and only once OK has let the old one go.
TEST_F(GroupEditorTest, OkRemakesThePortAGroupChoseAgain) {
    TReceiver& again = AddLiveGroup("Again", TReceiver::bkComPort, 7, {1}); // COM8
    ASSERT_NE(VirtualPortOf(again), nullptr);
    Edit([&] { ChooseBase(&TSelectBaseForm::COMListBox, "COM8"); }, true);
    TReceiver* now = Live("Again");
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(VirtualPortOf(*now), nullptr) << "made again a moment later";
    Advance(100);
    ASSERT_NE(VirtualPortOf(*now), nullptr);
    EXPECT_EQ(VirtualPortOf(*now)->Tag, 8);
    EXPECT_TRUE(QFileInfo(ComLink(8)).isSymLink());
}

TEST_F(GroupEditorTest, CancelLeavesGroupsPortsAndTheStateFileAlone) {
    TReceiver& port = AddLiveGroup("Port", TReceiver::bkComPort, 2, {1});
    TVirtualPortAx* const control = VirtualPortOf(port);
    Edit(
        [&] {
            ChooseBase(&TSelectBaseForm::COMListBox, "COM7");
            dialogs->Answer(mrYes);
            editor->NameDeleteButton->click();
            AddGroup(QStringLiteral("New"));
        },
        false);
    ASSERT_EQ(AppSettings->ReceiverCount(), 1);
    EXPECT_EQ(AppSettings->Receivers[0].get(), &port);
    EXPECT_EQ(VirtualPortOf(port), control);
    EXPECT_EQ(port.BaseID, 2);
    EXPECT_TRUE(QFileInfo(ComLink(3)).isSymLink());
    Advance(100);
    EXPECT_FALSE(QFileInfo(ComLink(7)).exists());
    EXPECT_FALSE(StatesWritten());
}

// The fields that only the state file holds go through the editor's copy and back unchanged.
TEST_F(GroupEditorTest, OnlyTheProtocolChangedStillReplacesTheGroupsAndWritesTheStateFile) {
    TReceiver* before = &AddLiveGroup("P", 0, 1, {2});
    before->Byte1 = 0x11;
    before->Byte2 = 0x22;
    before->Byte3 = 0x33;
    before->Int1 = 0x44444444;
    before->Int2 = -5;
    Edit(
        [&] {
            editor->ProtocolComboBox->setCurrentIndex(1);
            emit editor->ProtocolComboBox->activated(1);
        },
        true);
    const TReceiver& after = *AppSettings->Receivers[0];
    EXPECT_NE(&after, before);
    EXPECT_EQ(after.Protocol, 1);
    EXPECT_EQ(after.Members, std::vector<uint32_t>{2});
    EXPECT_EQ(std::vector<int>({after.Byte1, after.Byte2, after.Byte3}),
              std::vector<int>({0x11, 0x22, 0x33}));
    EXPECT_EQ(after.Int1, 0x44444444);
    EXPECT_EQ(after.Int2, -5);
    EXPECT_TRUE(StatesWritten());
}

TEST_F(GroupEditorTest, NamesTakeOnlyWhatWindows1251Holds) {
    Edit(
        [&] {
            // Typed character by character, as a keyboard would.
            for (const QChar c : QStringLiteral("Сеть ☺ №1 0123456789ABCDEF")) {
                QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
                QCoreApplication::sendEvent(editor->ReceiverNameEdit, &key);
            }
            EXPECT_EQ(editor->ReceiverNameEdit->text(), QStringLiteral("Сеть  №1 0123456789A"));
        },
        false);
}

TEST_F(GroupEditorTest, TheSurveyShowsOwnPortsFreeOtherBasesAndPortsInUse) {
    AddLiveGroup("Own", TReceiver::bkComPort, 2, {1});   // COM3, ours
    AddLiveGroup("Other", TReceiver::bkComPort, 3, {2}); // COM4
    // A program's own pty, published as COM6: present, and not ours.
    const int foreign = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(foreign, 0);
    ASSERT_EQ(::grantpt(foreign), 0);
    ASSERT_EQ(::unlockpt(foreign), 0);
    ASSERT_TRUE(QFile::link(QString::fromLatin1(::ptsname(foreign)), ComLink(6)));
    // A device linked as COM8 that is not there now: installed, not present.
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/ttyUSB-unplugged"), ComLink(8)));
    Edit(
        [&] {
            Click(editor->ReceiversListBox, "Own");
            InModal([&] {
                const QStringList rows = Rows(select->COMListBox);
                ASSERT_EQ(rows.size(), 256);
                EXPECT_EQ(rows[2], "COM3");
                EXPECT_EQ(rows[3], "COM4 (база в другой группе)");
                EXPECT_EQ(rows[5], "COM6 (используется)");
                EXPECT_EQ(rows[6], "COM7");
                EXPECT_EQ(rows[7], "COM8 (зарезервирован)");
                EXPECT_EQ(select->COMListBox->currentRow(), 2) << "the group's own port";
                EXPECT_EQ(select->FreeObjectsListBox->currentRow(), -1);
                EXPECT_TRUE(Rows(select->ListBox1).contains("KOLVAR Virtual Serial Port (COM3)"));
                Click(select->COMListBox, "COM6 (используется)");
                EXPECT_EQ(select->BaseEdit->text(), "") << "a port in use is no base";
                select->ButtonOK->click();
            });
            editor->SelectBaseButton->click();
            EXPECT_EQ(editor->BaseEdit->text(), "");
        },
        false);
    ::close(foreign);
}

} // namespace
