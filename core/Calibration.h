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

// A point the file defines: raw value X gives Y.
struct CalibrationPoint {
    std::uint8_t X = 0;
    float Y = 0;
};

// A table holds no values of its own, only the points its section defines, in CalibrationPoints: a
// file of many small sections costs a small multiple of its size, not a kilobyte a section. An
// unusable table and an identity table hold no points.
struct CalibrationTable {
    std::int32_t Id = 0; // the modem ID; 0 marks an unusable table
    std::int32_t Input = 0;
    std::uint32_t First = 0; // its points: CalibrationPoints[First] on, by rising X
    std::uint32_t Count = 0; // 0 or at least 2

    // The calibrated value of raw value x (0-255): a defined point, or on the line through the two
    // defined points around it (before the first and after the last, through the nearest two).
    float Value(int x) const;
};

// One entry per section of the file, usable or not.
extern std::vector<CalibrationTable> CalibrationTables;
extern std::vector<CalibrationPoint> CalibrationPoints;
extern std::int32_t CalibrationCount;

// Reads AppDataFolder + "Calibrate.ini" (a missing file has no sections) and returns CalibrationCount.
// problem, when given, is set to why a file that is there gave no tables (Windows-1251), else emptied.
std::int32_t LoadCalibrationTables(std::string* problem = nullptr);
void FreeCalibrationTables();

// "Tank=7-2" gives 7 and 2. False (and 0, 0) unless an '=' comes before the first '-' and something
// follows the '-'.
bool ParseCalibrationSection(const QString& name, std::int32_t& id, std::int32_t& input);
