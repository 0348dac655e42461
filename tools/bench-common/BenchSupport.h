// What the benchmarks share.
#pragma once

#include <string>

// A fresh folder "/tmp/<name>-XXXXXX", removed with everything in it when the object goes, on every
// way out of the benchmark.
class TBenchFolder {
public:
    explicit TBenchFolder(const char* name);
    ~TBenchFolder();
    TBenchFolder(const TBenchFolder&) = delete;
    TBenchFolder& operator=(const TBenchFolder&) = delete;

    // Empty when the folder could not be made.
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Raises the soft limit of open files to the hard one, so that many modems can connect.
void RaiseDescriptorLimit();
// The process's resident memory in kilobytes (0 when it cannot be read).
long ResidentKB();
