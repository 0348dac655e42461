#include "platform/ComFolder.h"

#include <cctype>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string HomeFolder() {
    std::string home = FromEnvironment("HOME");
    if (home.empty()) {
        if (const passwd* user = getpwuid(getuid()))
            home = user->pw_dir;
    }
    return home.empty() ? "/" : WithoutTrailingSlash(home);
}

} // namespace

std::string CommonAppDataPath() {
    const std::string data = FromEnvironment("XDG_DATA_HOME");
    if (!data.empty())
        return WithoutTrailingSlash(data);
    const std::string home = HomeFolder();
    return (home == "/" ? "" : home) + "/.local/share";
}

std::string ComFolderPath() {
    return CommonAppDataPath() + "/com";
}

std::string ComDevicePath(std::uint32_t n) {
    const std::string entry = ComFolderPath() + "/COM" + std::to_string(n);
    struct stat info {};
    if (lstat(entry.c_str(), &info) == 0)
        return entry;
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::optional<std::uint32_t> ComPortNumber(const std::string& name) {
    std::string rest = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    if (rest.size() < 4 || rest.size() > 13)
        return std::nullopt;
    for (int i = 0; i < 3; ++i)
        rest[i] = char(std::toupper(static_cast<unsigned char>(rest[i])));
    if (rest.compare(0, 3, "COM") != 0 || rest[3] == '0')
        return std::nullopt;
    std::uint64_t n = 0;
    for (std::size_t i = 3; i < rest.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(rest[i])))
            return std::nullopt;
        n = n * 10 + std::uint64_t(rest[i] - '0');
    }
    if (n == 0 || n > 0xFFFFFFFFu)
        return std::nullopt;
    return std::uint32_t(n);
}
