// What the benchmarks share.
#pragma once

#include <string>

#include "platform/Descriptors.h" // RaiseDescriptorLimit: many modems need many descriptors
#include "platform/Dialogs.h"

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

// The router's message boxes go to standard error, each line after the benchmark's name, instead of
// waiting for a person; each is answered as Escape would answer it.
class TPrintedDialogs : public TDialogService {
public:
    explicit TPrintedDialogs(const char* name) : name_(name) {}
    int Show(TMsgDlgType type, const QString& text, TMsgDlgButtons buttons) override;

private:
    const char* name_;
};
