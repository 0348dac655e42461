// Stands in for the operator in front of the message boxes, in tests.
//
// While it lives it is the dialog service: each box is recorded and answered from a queue of expected
// answers. A box that nobody expected, an answer that is not one of the box's buttons, a text or kind
// other than the expected one, and answers still queued at destruction are reported to the failure
// hook (a test passes one that fails the test), and an unexpected box is answered with its escape
// button.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Dialogs.h"

struct TDialogRecord {
    TMsgDlgType Type;
    QString Text;
    TMsgDlgButtons Buttons;
};

class TScriptedDialogs : public TDialogService {
public:
    using FailureHook = std::function<void(const std::string& message)>;

    explicit TScriptedDialogs(FailureHook onFailure);
    ~TScriptedDialogs() override;
    TScriptedDialogs(const TScriptedDialogs&) = delete;
    TScriptedDialogs& operator=(const TScriptedDialogs&) = delete;

    // The next box, whatever it says, is answered with result.
    void Answer(int result);
    // The next box must be of this kind and text; it is answered with result.
    void Expect(TMsgDlgType type, const QString& text, int result);

    const std::vector<TDialogRecord>& Shown() const { return shown_; }
    std::size_t Pending() const { return queue_.size(); }

    int Show(TMsgDlgType type, const QString& text, TMsgDlgButtons buttons) override;

private:
    struct TExpected {
        std::optional<TMsgDlgType> Type;
        std::optional<QString> Text;
        int Result;
    };

    FailureHook onFailure_;
    TDialogService* previous_;
    std::deque<TExpected> queue_;
    std::vector<TDialogRecord> shown_;
};

// Names for failure messages and test output.
const char* MsgDlgTypeName(TMsgDlgType type);
const char* MsgDlgButtonsName(TMsgDlgButtons buttons);
