// What the benchmarks share.
#pragma once

#include <string>

#include "platform/Descriptors.h" // RaiseDescriptorLimit: many modems need many descriptors

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

// The process's resident memory in kilobytes (0 when it cannot be read).
long ResidentKB();
