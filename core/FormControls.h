// Building a form's controls at the places its form description gives them.
#pragma once

#include <algorithm>
#include <initializer_list>

#include <QLabel>
#include <QString>
#include <QWidget>

// Names the control after its component (tests find controls by name). Returns the control.
template <class W> W* Named(W* control, const char* name) {
    control->setObjectName(QLatin1String(name));
    return control;
}

// Names the control and moves it to left, top of the client area. Returns the control.
template <class W> W* Placed(W* control, const char* name, int left, int top) {
    Named(control, name)->move(left, top);
    return control;
}

// Widens the form, never narrows it, so that each control shows all of its text: the form's layout was
// drawn for a smaller font than the screen may have.
inline void WidenToFit(QWidget* form, std::initializer_list<const QWidget*> controls, int margin = 8) {
    int width = form->width();
    for (const QWidget* control : controls)
        width = std::max(width, control->x() + control->sizeHint().width() + margin);
    form->setFixedWidth(width);
}

// Where a form must end for the label's text to show whole on one line from where the label stands.
inline int TextRight(const QLabel* label, int margin = 8) {
    return label->x() + label->sizeHint().width() + margin;
}

// Gives a fixed-size form the width that its texts need (needed), never less than the width its form
// description gives it: the controls in right keep their distance to the right edge, those in stretch
// grow with the form.
inline void FitWidth(QWidget* form, int designWidth, int needed, std::initializer_list<QWidget*> right,
                     std::initializer_list<QWidget*> stretch = {}) {
    const int width = std::max(designWidth, needed);
    const int grow = width - form->width();
    for (QWidget* control : right)
        control->move(control->x() + grow, control->y());
    for (QWidget* control : stretch)
        control->setFixedWidth(control->width() + grow);
    form->setFixedWidth(width);
}
