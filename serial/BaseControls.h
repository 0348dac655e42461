// The bases of the library's visual components: each is a widget of its kind that adds only the
// published Version, which always reads SioVersion, ignores what is written to it and is not stored
// with a form (a non-stored property).
//
// TSioBaseWinControl and TSioBaseGraphicControl are plain widgets (a widget here has no window of
// its own unless it is a top-level one, as a graphic control has none), TSioBaseScrollingWinControl
// a scroll area. Main thread only, as every widget.
#pragma once

#include <QScrollArea>
#include <QString>
#include <QWidget>

#include "serial/Utilities.h"

// The property's reading and writing, the same for each of them.
struct TSioVersionProperty {
    QString Version() const { return QString::fromLatin1(SioVersion); }
    void SetVersion(const QString&) {}
};

class TSioBaseWinControl : public QWidget, public TSioVersionProperty {
    Q_OBJECT
    Q_PROPERTY(QString Version READ Version WRITE SetVersion STORED false)
public:
    using QWidget::QWidget;
};

class TSioBaseGraphicControl : public QWidget, public TSioVersionProperty {
    Q_OBJECT
    Q_PROPERTY(QString Version READ Version WRITE SetVersion STORED false)
public:
    using QWidget::QWidget;
};

class TSioBaseScrollingWinControl : public QScrollArea, public TSioVersionProperty {
    Q_OBJECT
    Q_PROPERTY(QString Version READ Version WRITE SetVersion STORED false)
public:
    using QScrollArea::QScrollArea;
};
