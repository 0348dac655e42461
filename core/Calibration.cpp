#include "core/Calibration.h"

#include <cerrno>
#include <new>

#include "core/DataFolder.h"
#include "platform/IniFile.h"
#include "platform/SysError.h"

std::vector<CalibrationTable> CalibrationTables;
std::int32_t CalibrationCount = 0;

namespace {

void MakeIdentity(CalibrationTable& table) {
    for (int x = 0; x < 256; ++x)
        table.Values[x] = float(x);
}

// A raw value 0-255 from a line's name, or -1.
int RawValue(QStringView name) {
    bool ok = false;
    const int x = name.trimmed().toInt(&ok, 10);
    return ok && x >= 0 && x <= 255 ? x : -1;
}

// The calibrated value, with '.' or ',' as the decimal separator; x when it is no number.
float CalibratedValue(QStringView text, int x) {
    bool ok = false;
    double y = 0;
    if (text.contains(u',')) {
        QString dotted = text.toString();
        y = dotted.replace(u',', u'.').trimmed().toDouble(&ok);
    } else {
        y = text.trimmed().toDouble(&ok);
    }
    return ok ? float(y) : float(x);
}

void ReadTable(const TIniFile& ini, const QString& section, CalibrationTable& table) {
    if (!ParseCalibrationSection(section, table.Id, table.Input))
        return;
    const QStringList lines = ini.ReadSectionValues(section);
    std::array<bool, 256> defined{};
    if (lines.size() < 2) {
        MakeIdentity(table);
        return;
    }
    int count = 0;
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const int x = eq < 0 ? -1 : RawValue(QStringView(line).left(eq));
        if (x < 0)
            continue;
        table.Values[x] = CalibratedValue(QStringView(line).mid(eq + 1), x);
        count += defined[x] ? 0 : 1;
        defined[x] = true;
    }
    if (count < 2) {
        table.Id = 0;
        table.Input = 0;
        return;
    }
    InterpolateCalibrationTable(table, defined);
}

} // namespace

std::int32_t LoadCalibrationTables(std::string* problem) {
    FreeCalibrationTables();
    const TIniFile ini(QString::fromStdString(AppDataFolder) + QStringLiteral("Calibrate.ini"));
    if (problem)
        *problem = ini.ReadProblem();
    const QStringList sections = ini.ReadSections();
    try {
        CalibrationTables.resize(std::size_t(sections.size()));
    } catch (const std::bad_alloc&) {
        // The loading ends, as at any failure; the program goes on without tables.
        if (problem)
            *problem = SysErrorMessage(ENOMEM);
        return CalibrationCount;
    }
    CalibrationCount = std::int32_t(sections.size());
    for (qsizetype i = 0; i < sections.size(); ++i)
        ReadTable(ini, sections[i], CalibrationTables[std::size_t(i)]);
    return CalibrationCount;
}

void FreeCalibrationTables() {
    CalibrationTables.clear();
    CalibrationTables.shrink_to_fit();
    CalibrationCount = 0;
}

bool ParseCalibrationSection(const QString& name, std::int32_t& id, std::int32_t& input) {
    id = 0;
    input = 0;
    const qsizetype p1 = name.indexOf(QLatin1Char('='));
    const qsizetype p2 = name.indexOf(QLatin1Char('-'));
    if (p1 < 0 || p2 < 0 || p1 > p2 || p2 >= name.size() - 1)
        return false;
    bool ok = false;
    const int value = name.mid(p1 + 1, p2 - p1 - 1).toInt(&ok, 10);
    id = ok ? value : 0;
    input = name.at(p2 + 1).unicode() - '0';
    return true;
}

void InterpolateCalibrationTable(CalibrationTable& table, const std::array<bool, 256>& defined) {
    auto& v = table.Values;
    int a = -1;
    int pairs = 0;
    float slope = 0.0f;
    for (int b = 0; b < 256; ++b) {
        if (!defined[b])
            continue;
        if (a >= 0) {
            slope = (v[b] - v[a]) / float(b - a);
            // The points before the first one lie on the line through the first two.
            for (int k = pairs++ == 0 ? 0 : a + 1; k < b; ++k)
                if (k != a)
                    v[k] = float(k - b) * slope + v[b];
        }
        a = b;
    }
    for (int k = a + 1; k < 256; ++k)
        v[k] = float(k - a) * slope + v[a];
}
