// What a shown window lets the operator not read: texts wider than the room they have, controls lying
// over a text, a caption the title bar cuts, a window that lies outside the screen's available area.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// One line per fault of the shown window, each naming the window, the control and the text, empty
// when every visible text shows whole and the window lies inside the available area of its screen.
// Only what is visible is looked at: the current page of a tab control, not the others.
QStringList LayoutFaults(const QWidget* window);

// Saves a picture of the window as name.png beside the test program, for a person to look at; returns
// its path (empty when it could not be saved).
QString SavePicture(QWidget* window, const QString& name);
