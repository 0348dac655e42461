#include "tools/bench-common/BenchSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <unistd.h>

TBenchFolder::TBenchFolder(const char* name) {
    std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()))
        path_ = pattern;
}

TBenchFolder::~TBenchFolder() {
    if (path_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

long ResidentKB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int TPrintedDialogs::Show(TMsgDlgType, const QString& text, TMsgDlgButtons buttons) {
    std::fprintf(stderr, "%s: box: %s\n", name_, text.toLocal8Bit().constData());
    return EscapeResult(buttons);
}
