#include "platform/Modules.h"

#include <map>

#include <QString>

#include "platform/Tapi.h"

namespace {

struct TModule {
    std::string Name; // as the look-up compares it
    std::vector<TModuleEntry> Entries;
    int Loads = 0;
};

std::map<HMODULE, TModule> modules;
HMODULE nextHandle = 1;

std::string LookupName(const std::string& name) {
    QString key = QString::fromStdString(name).toUpper();
    if (key.endsWith(QStringLiteral(".DLL")))
        key.chop(4);
    return key.toStdString();
}

std::map<HMODULE, TModule>::iterator Find(const std::string& name) {
    const std::string key = LookupName(name);
    for (auto it = modules.begin(); it != modules.end(); ++it)
        if (it->second.Name == key)
            return it;
    return modules.end();
}

// The libraries built into the program.
void RegisterBuiltIns() {
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    RegisterModule("TAPI32", Tapi32Entries());
}

} // namespace

void RegisterModule(const std::string& name, std::vector<TModuleEntry> entries) {
    RegisterBuiltIns();
    UnregisterModule(name);
    modules[nextHandle++] = {LookupName(name), std::move(entries)};
}

void UnregisterModule(const std::string& name) {
    RegisterBuiltIns();
    const auto found = Find(name);
    if (found != modules.end())
        modules.erase(found);
}

HMODULE LoadLibrary(const std::string& name) {
    RegisterBuiltIns();
    const auto found = Find(name);
    if (found == modules.end())
        return 0;
    ++found->second.Loads;
    return found->first;
}

FARPROC GetProcAddress(HMODULE module, const std::string& name) {
    const auto found = modules.find(module);
    if (found == modules.end() || found->second.Loads == 0)
        return nullptr;
    for (const TModuleEntry& entry : found->second.Entries)
        if (entry.Name == name)
            return entry.Proc;
    return nullptr;
}

bool FreeLibrary(HMODULE module) {
    const auto found = modules.find(module);
    if (found == modules.end() || found->second.Loads == 0)
        return false;
    --found->second.Loads;
    return true;
}
