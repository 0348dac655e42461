#include "app/FormSet.h"

#include "core/AboutBox.h"
#include "core/HeapForm.h"
#include "core/MainForm.h"
#include "core/PasswordEnter.h"
#include "dialogs/AddressBook.h"
#include "dialogs/ObjSettingsDialog.h"
#include "dialogs/PasswordUpdate.h"
#include "dialogs/SettingsDialog.h"
#include "dialogs/UnusedDialogs.h"
#include "gsm/ModemForm.h"
#include "gsm/SmsRequestForms.h"
#include "serial/TapiBinding.h"
#include "sessions/ConnectionForm.h"
#include "sessions/GroupForms.h"

template <class T> void TFormSet::Create(T*& global) {
    auto form = std::make_unique<T>();
    global = form.get();
    order_.push_back(form.get());
    entries_.push_back({std::move(form), [&global] { global = nullptr; }});
}

void TFormSet::CreateForms() {
    Create(MainForm);
    Create(ConnectionForm);
    Create(PasswordEnter);
    Create(Form6);
    Create(Form2);
    Create(SettingsDialog);
    Create(PasswordEnterDialog);
    Create(AboutBox);
    Create(AlarmEditDialog);
    Create(AddrBook);
    Create(PasswordUpdate);
    Create(ObjSettingsDialog);
    Create(Form9);
    Create(ModemForm);
    Create(TESMSReqForm);
    Create(BKSMSReqForm);
    Create(GroupsDialog);
    Create(RenameForm);
    Create(SelectBaseForm);
    Create(EnterDevIDs);
}

// The forms' line devices were the telephony library's last users.
TFormSet::~TFormSet() {
    while (!entries_.empty()) {
        entries_.back().Form.reset();
        entries_.back().ClearGlobal();
        entries_.pop_back();
    }
    UnloadTapiProcs();
}
