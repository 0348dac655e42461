// Calibration tables of the modems' analog inputs, read from "Calibrate.ini" in the data folder.
//
// One table per section: the section name ends in "=<modem ID>-<input digit>", its lines x=y map a raw
// value x (0-255) to the calibrated value y; the points between and beyond the given ones lie on the
// lines through their neighbours. The tables are loaded once at start-up and freed at exit; nothing in
// the program reads them yet.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <QString>

struct CalibrationTable {
    std::int32_t Id = 0; // the modem ID; 0 marks an unusable table
    std::int32_t Input = 0;
    std::array<float, 256> Values{};
};

// One entry per section of the file, usable or not.
extern std::vector<CalibrationTable> CalibrationTables;
extern std::int32_t CalibrationCount;

// Reads AppDataFolder + "Calibrate.ini" (a missing file has no sections) and returns CalibrationCount.
// problem, when given, is set to why a file that is there gave no tables (Windows-1251), else emptied.
std::int32_t LoadCalibrationTables(std::string* problem = nullptr);
void FreeCalibrationTables();

// "Tank=7-2" gives 7 and 2. False (and 0, 0) unless an '=' comes before the first '-' and something
// follows the '-'.
bool ParseCalibrationSection(const QString& name, std::int32_t& id, std::int32_t& input);
// Fills every point that is not defined; at least two must be.
void InterpolateCalibrationTable(CalibrationTable& table, const std::array<bool, 256>& defined);
