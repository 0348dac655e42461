// "Calibrate.ini" as a user may write it, read at start-up through the INI reader: one table per
// section, unusable tables marked, every table whole.
#include "core/Calibration.h"

#include <cstdlib>
#include <string>

#include "core/DataFolder.h"
#include "platform/IniFile.h"
#include "tests/core/TempFolder.h"

namespace {

void Require(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TTempFolder* folder = new TTempFolder;
    AppDataFolder = folder->Path();
    const std::string path = folder->Path() + "Calibrate.ini";
    WriteFile(path, std::string(reinterpret_cast<const char*>(data), size));

    const std::int32_t count = LoadCalibrationTables();
    const QStringList sections = TIniFile(QString::fromStdString(path)).ReadSections();
    Require(count == CalibrationCount && count == sections.size() &&
            CalibrationTables.size() == size_t(count));
    for (qsizetype i = 0; i < sections.size(); ++i) {
        const CalibrationTable& table = CalibrationTables[size_t(i)];
        std::int32_t id = 0, input = 0;
        if (!ParseCalibrationSection(sections[i], id, input))
            Require(table.Id == 0 && table.Input == 0);
        else
            Require((table.Id == id && table.Input == input) || (table.Id == 0 && table.Input == 0));
        Require(table.Count == 0 || (table.Id != 0 && table.Count >= 2 &&
                                     std::size_t(table.First) + table.Count <= CalibrationPoints.size()));
    }
    FreeCalibrationTables();
    Require(CalibrationCount == 0 && CalibrationTables.empty());
    return 0;
}
