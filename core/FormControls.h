// Building a form's controls at the places its form description gives them.
#pragma once

#include <QString>
#include <QWidget>

// Names the control after its component (tests find controls by name) and moves it to left, top of the
// client area. Returns the control.
template <class W> W* Placed(W* control, const char* name, int left, int top) {
    control->setObjectName(QLatin1String(name));
    control->move(left, top);
    return control;
}
