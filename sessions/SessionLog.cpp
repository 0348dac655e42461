#include "sessions/SessionLog.h"

#include <algorithm>

#include "core/MainForm.h"
#include "platform/Cp1251.h"

void SessionLog(const QString& text) {
    if (MainForm)
        MainForm->PrintMessage(ToCp1251(text));
}

// Both go into several lines of every modem on every tick: built directly, without parsing a pattern.
QString ObjectText(int objectNumber) {
    return QStringLiteral(" (object №") + QString::number(objectNumber) + QLatin1Char(')');
}

QString Hex(std::uint32_t value, int width) {
    char digits[8];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    QString text(std::max(width, n), QLatin1Char('0'));
    QChar* out = text.data() + text.size();
    for (int i = 0; i < n; ++i)
        *--out = QLatin1Char(digits[i]);
    return text;
}
