#include "core/Calibration.h"

#include <cerrno>
#include <new>

#include "core/DataFolder.h"
#include "platform/IniFile.h"
#include "platform/SysError.h"

std::vector<CalibrationTable> CalibrationTables;
std::vector<CalibrationPoint> CalibrationPoints;
std::int32_t CalibrationCount = 0;

namespace {

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
    if (lines.size() < 2)
        return; // the identity: (0, 0) and (255, 255)
    std::array<float, 256> values;
    std::array<bool, 256> defined{};
    int count = 0;
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const int x = eq < 0 ? -1 : RawValue(QStringView(line).left(eq));
        if (x < 0)
            continue;
        values[x] = CalibratedValue(QStringView(line).mid(eq + 1), x);
        count += defined[x] ? 0 : 1;
        defined[x] = true;
    }
    if (count < 2) {
        table.Id = 0;
        table.Input = 0;
        return;
    }
    table.First = std::uint32_t(CalibrationPoints.size());
    table.Count = std::uint32_t(count);
    for (int x = 0; x < 256; ++x)
        if (defined[x])
            CalibrationPoints.push_back({std::uint8_t(x), values[x]});
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
    try {
        for (qsizetype i = 0; i < sections.size(); ++i)
            ReadTable(ini, sections[i], CalibrationTables[std::size_t(i)]);
    } catch (const std::bad_alloc&) {
        // The tables read so far stay; the rest are unusable.
        for (std::size_t i = 0; i < CalibrationTables.size(); ++i)
            if (std::size_t(CalibrationTables[i].First) + CalibrationTables[i].Count >
                CalibrationPoints.size())
                CalibrationTables[i] = {};
        if (problem)
            *problem = SysErrorMessage(ENOMEM);
    }
    CalibrationPoints.shrink_to_fit();
    return CalibrationCount;
}

void FreeCalibrationTables() {
    CalibrationTables.clear();
    CalibrationTables.shrink_to_fit();
    CalibrationPoints.clear();
    CalibrationPoints.shrink_to_fit();
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

float CalibrationTable::Value(int x) const {
    if (Count < 2)
        return float(x);
    const CalibrationPoint* points = CalibrationPoints.data() + First;
    // The pair of neighbours whose line holds x: the first pair for x before its second point.
    std::uint32_t b = 1;
    while (b + 1 < Count && points[b].X < x)
        ++b;
    const CalibrationPoint &p = points[b - 1], &q = points[b];
    if (x == p.X)
        return p.Y;
    if (x == q.X)
        return q.Y;
    const float slope = (q.Y - p.Y) / float(q.X - p.X);
    return float(x - q.X) * slope + q.Y;
}
