// The program entry: the application object, the twenty forms, the message loop.
#include <exception>

#include "app/FormSet.h"
#include "core/MainForm.h"
#include "platform/Application.h"

int main(int argc, char** argv) {
    TApplication application(argc, argv);
    application.SetTitle(QStringLiteral("Маршрутизатор"));
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
