// What the benchmarks share.
#pragma once

#include <cstdint>
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

// A free TCP port held for a program to listen on: bound, with SO_REUSEADDR and not listening, while
// the object lives. No other bind of a free port picks it meanwhile, as one would between choosing a
// port and the program's own bind; the program's bind, with SO_REUSEADDR, goes through.
class TReservedPort {
public:
    TReservedPort();
    ~TReservedPort();
    TReservedPort(const TReservedPort&) = delete;
    TReservedPort& operator=(const TReservedPort&) = delete;

    // 0 when no port could be had.
    std::uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
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
