// The program's folders. The main window's constructor fills them at start-up: CompanyDataFolder is
// the maker's folder in the all-users application-data folder, AppDataFolder the program's folder in
// it, which holds "States.bin", "EventLog.txt" and "Calibrate.ini". Both end in '/'; both stay empty
// until then, and nothing creates a folder under an empty one.
#pragma once

#include <string>

extern std::string CompanyDataFolder;
extern std::string AppDataFolder;
