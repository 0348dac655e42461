// The program entry: the application object, the twenty forms, the message loop.
#include <exception>

#include "app/FormSet.h"
#include "core/MainForm.h"
#include "platform/Application.h"
#include "platform/Descriptors.h"
#include "platform/Signals.h"

int main(int argc, char** argv) {
    RaiseDescriptorLimit(); // a fleet beyond the usual soft limit of 1024 must be able to connect
    TApplication application(argc, argv);
    application.SetTitle(QStringLiteral("Маршрутизатор"));
    // A shutdown, a logout or Ctrl-C ends the program as "Выход" does, with the state saved.
    const TExitSignals exitSignals([](int signal) {
        if (MainForm)
            MainForm->ExitOnSignal(signal);
    });
    try {
        TFormSet forms;
        forms.CreateForms();
        application.SetMainForm(MainForm);
        MainForm->show();
        application.Run();
    } catch (...) {
        ShowException(std::current_exception());
    }
    return 0;
}
