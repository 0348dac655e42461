#include "platform/ScriptedDialogs.h"

namespace {

bool Offers(TMsgDlgButtons buttons, int result) {
    switch (buttons) {
    case mbOK:
        return result == mrOk;
    case mbOKCancel:
        return result == mrOk || result == mrCancel;
    case mbYesNo:
        return result == mrYes || result == mrNo;
    }
    return false;
}

std::string Describe(TMsgDlgType type, const QString& text, TMsgDlgButtons buttons) {
    return std::string(MsgDlgTypeName(type)) + " box [" + MsgDlgButtonsName(buttons) + "] \"" +
           text.toStdString() + "\"";
}

} // namespace

const char* MsgDlgTypeName(TMsgDlgType type) {
    switch (type) {
    case mtError:
        return "error";
    case mtInformation:
        return "information";
    case mtConfirmation:
        return "confirmation";
    }
    return "?";
}

const char* MsgDlgButtonsName(TMsgDlgButtons buttons) {
    switch (buttons) {
    case mbOK:
        return "OK";
    case mbOKCancel:
        return "OK, Cancel";
    case mbYesNo:
        return "Yes, No";
    }
    return "?";
}

TScriptedDialogs::TScriptedDialogs(FailureHook onFailure)
    : onFailure_(std::move(onFailure)), previous_(SetDialogService(this)) {}

TScriptedDialogs::~TScriptedDialogs() {
    SetDialogService(previous_);
    if (!queue_.empty())
        onFailure_(std::to_string(queue_.size()) + " expected message box(es) never shown");
}

void TScriptedDialogs::Answer(int result) {
    queue_.push_back({std::nullopt, std::nullopt, result});
}

void TScriptedDialogs::Expect(TMsgDlgType type, const QString& text, int result) {
    queue_.push_back({type, text, result});
}

int TScriptedDialogs::Show(TMsgDlgType type, const QString& text, TMsgDlgButtons buttons) {
    shown_.push_back({type, text, buttons});
    const std::string box = Describe(type, text, buttons);
    if (queue_.empty()) {
        onFailure_("unexpected " + box);
        return EscapeResult(buttons);
    }
    const TExpected expected = queue_.front();
    queue_.pop_front();
    if ((expected.Type && *expected.Type != type) || (expected.Text && *expected.Text != text))
        onFailure_("expected " +
                   Describe(expected.Type.value_or(type), expected.Text.value_or(text), buttons) +
                   ", shown " + box);
    if (!Offers(buttons, expected.Result)) {
        onFailure_("answer " + std::to_string(expected.Result) + " is not a button of " + box);
        return EscapeResult(buttons);
    }
    return expected.Result;
}
