#include "sessions/SessionLog.h"

#include "core/MainForm.h"
#include "platform/Cp1251.h"

void SessionLog(const QString& text) {
    if (MainForm)
        MainForm->PrintMessage(ToCp1251(text));
}

QString ObjectText(int objectNumber) {
    return QStringLiteral(" (object №%1)").arg(objectNumber);
}

QString Hex(std::uint32_t value, int width) {
    return QString::number(value, 16).toUpper().rightJustified(width, QLatin1Char('0'));
}
