// Stands in for loading a library by name at run time (LoadLibrary, GetProcAddress, FreeLibrary).
//
// The libraries are providers built into the program, each registered under its name with a table of
// named entry points; the telephony provider "TAPI32" (platform/Tapi) is registered the first time any
// library is looked up. A library name matches without regard to case, with or without ".DLL"; entry
// point names match exactly. Tests take a library away with UnregisterModule to play a machine without
// it and give it back with RegisterModule. Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using HMODULE = std::uintptr_t; // 0: no library
using HINSTANCE = HMODULE;
using FARPROC = void (*)();

struct TModuleEntry {
    std::string Name;
    FARPROC Proc;
};

// Replaces a library of the same name; handles given out for the old one stop working.
void RegisterModule(const std::string& name, std::vector<TModuleEntry> entries);
void UnregisterModule(const std::string& name);

// 0 when no library of that name is registered.
HMODULE LoadLibrary(const std::string& name);
// Null when the handle is not a loaded library or it has no entry of that name.
FARPROC GetProcAddress(HMODULE module, const std::string& name);
// Ends one LoadLibrary; false for a handle that is not loaded.
bool FreeLibrary(HMODULE module);

template <class Proc> TModuleEntry ModuleEntry(const std::string& name, Proc* proc) {
    return {name, reinterpret_cast<FARPROC>(proc)};
}
