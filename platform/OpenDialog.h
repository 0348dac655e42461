// Stands in for the framework's TOpenDialog: the box in which the operator chooses a file to open.
// Tests derive from it and answer Execute themselves.
#pragma once

#include <QString>

class QWidget;

class TOpenDialog {
public:
    virtual ~TOpenDialog() = default;

    // The chosen file; when it is set before Execute, the box starts at it.
    QString FileName;
    // Pairs of a description and its patterns, all separated by '|':
    // "Text files (*.txt)|*.txt|All files (*.*)|*.*".
    QString Filter;

    // Runs the box modally; true with FileName set when a file was chosen.
    virtual bool Execute(QWidget* parent);
};

// The filter as the Qt file dialog takes it: "Text files (*.txt);;All files (*.*)".
QString QtFileFilter(const QString& filter);
