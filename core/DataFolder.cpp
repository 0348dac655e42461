#include "core/DataFolder.h"

std::string CompanyDataFolder;
std::string AppDataFolder;
