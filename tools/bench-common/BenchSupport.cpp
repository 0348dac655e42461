#include "tools/bench-common/BenchSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

TReservedPort::TReservedPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
}

TReservedPort::~TReservedPort() {
    if (fd_ >= 0)
        ::close(fd_);
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
