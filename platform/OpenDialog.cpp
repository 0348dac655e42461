#include "platform/OpenDialog.h"

#include <QFileDialog>
#include <QStringList>

bool TOpenDialog::Execute(QWidget* parent) {
    const QString chosen = QFileDialog::getOpenFileName(parent, QString(), FileName, QtFileFilter(Filter));
    if (chosen.isEmpty())
        return false;
    FileName = chosen;
    return true;
}

// Qt reads the patterns from the parentheses of each description, so a description without them gets
// its patterns added.
QString QtFileFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        entries << (description.contains(QLatin1Char('('))
                        ? description
                        : QStringLiteral("%1 (%2)").arg(description, patterns));
    }
    return entries.join(QStringLiteral(";;"));
}
