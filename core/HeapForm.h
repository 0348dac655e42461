// The heap window: the memory manager's heap status in kilobytes, refreshed every second while it is
// shown, and a button that returns free memory to the system. Reached only from a hidden main-window
// button.
#pragma once

#include <array>

#include "platform/Forms.h"
#include "platform/Timer.h"

class QLabel;
class QPushButton;

class TForm9 : public TForm {
public:
    explicit TForm9(QWidget* owner = nullptr);

    static constexpr int FigureCount = 9;
    std::array<QLabel*, FigureCount> Captions{};
    std::array<QLabel*, FigureCount> Values{}; // kilobytes
    QPushButton* Button1 = nullptr;            // "Выход"
    QPushButton* Button2 = nullptr;            // "Сжать"
    TTimer Timer1;

    void Refresh();
    void Button2Click();

protected:
    void FormShow() override;
    void FormClose() override;
};

extern TForm9* Form9;
