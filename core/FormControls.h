// Building a form's controls at the places its form description gives them.
#pragma once

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
