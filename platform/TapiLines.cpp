#include "platform/TapiLines.h"

#include <cstring>
#include <optional>
#include <set>

#include <QFile>

#include "platform/ComFolder.h"
#include "platform/Cp1251.h"
#include "platform/Files.h"
#include "platform/Shell.h"
#include "platform/Warning.h"

namespace {

// "COMn" as the COM folder writes it, for a COM name of the lines file; nothing for another device.
std::optional<QString> ComEntryName(const QString& device) {
    const std::optional<std::uint32_t> number = ComPortNumber(device.toStdString());
    if (!number)
        return std::nullopt;
    return QStringLiteral("COM") + QString::number(*number);
}

// One "name=device" line into *line; the reason when it cannot be used. before: the names listed above.
QString ParseLine(const QString& text, const std::set<std::string>& before, TTapiLineSpec* line) {
    // A name or path would end at the NUL for every program that reads it.
    if (text.contains(QChar(0)))
        return QStringLiteral("the line holds a NUL character");
    const qsizetype equals = text.indexOf(QLatin1Char('='));
    if (equals < 0)
        return QStringLiteral("no '=' between the name and the device");
    const QString name = text.left(equals).trimmed();
    QString device = text.mid(equals + 1).trimmed();
    if (name.isEmpty())
        return QStringLiteral("no line name");
    if (!IsCp1251(name))
        return QStringLiteral("the name has characters outside Windows-1251");
    if (device.isEmpty())
        return QStringLiteral("no device");
    if (const std::optional<QString> com = ComEntryName(device))
        device = *com;
    else if (!device.startsWith(QLatin1Char('/')))
        return QStringLiteral("the device is neither a COM name nor an absolute path");
    line->Name = ToCp1251(name);
    line->Device = device;
    if (before.count(line->Name))
        return QStringLiteral("a line of this name is listed above");
    return {};
}

} // namespace

std::vector<TTapiLineSpec> ReadTapiLinesFile() {
    const QString path = TapiLinesFile();
    std::vector<std::uint8_t> bytes;
    const TFileRead read =
        ReadRegularFile(QFile::encodeName(path).toStdString(), MaxTapiLinesFileSize, bytes);
    if (read.Result == rfMissing)
        return {};
    if (read.Result != rfRead) {
        PlatformWarning(QStringLiteral("%1: %2; no telephony lines").arg(path, FromCp1251(read.Problem())));
        return {};
    }
    std::vector<TTapiLineSpec> lines;
    std::set<std::string> names;
    const char* const text = reinterpret_cast<const char*>(bytes.data());
    std::size_t start = 0;
    for (int number = 1; start < bytes.size(); ++number) {
        const void* newline = std::memchr(text + start, '\n', bytes.size() - start);
        const std::size_t end =
            newline ? std::size_t(static_cast<const char*>(newline) - text) : bytes.size();
        const QString entry = QString::fromUtf8(text + start, qsizetype(end - start)).trimmed();
        start = end + 1;
        if (entry.isEmpty())
            continue;
        TTapiLineSpec line;
        const QString problem = ParseLine(entry, names, &line);
        if (problem.isEmpty()) {
            names.insert(line.Name);
            lines.push_back(line);
        } else {
            PlatformWarning(
                QStringLiteral("%1:%2: %3; the line is ignored").arg(path).arg(number).arg(problem));
        }
    }
    return lines;
}

QString TapiLinesFile() {
    return CommonAppDataFolder() + QStringLiteral("/tapi/lines");
}

QString TapiLineDevicePath(const QString& device) {
    const std::optional<std::uint32_t> number = ComPortNumber(device.toStdString());
    return number ? QString::fromLocal8Bit(ComDevicePath(*number)) : device;
}
