// The port the benchmarks and tests hold for a router they start: held against every other bind, open to
// the router's own.
#include <cerrno>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/bench-common/BenchSupport.h"

namespace {

// Binds a socket to the port on every address, with or without SO_REUSEADDR, and listens; 0 or errno.
int BindAndListen(std::uint16_t port, bool reuse) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (reuse)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const bool ok =
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0;
    const int error = ok ? 0 : errno;
    ::close(fd);
    return error;
}

TEST(ReservedPort, IsHeldAgainstOtherBindsWhileTheRoutersListenerGoesThrough) {
    std::uint16_t port = 0;
    {
        const TReservedPort reserved;
        port = reserved.Port();
        ASSERT_NE(port, 0);
        EXPECT_EQ(BindAndListen(port, false), EADDRINUSE);
        EXPECT_EQ(BindAndListen(port, true), 0); // as the router binds it
        EXPECT_EQ(BindAndListen(port, false), EADDRINUSE);
    }
    EXPECT_EQ(BindAndListen(port, false), 0); // let go with the object
}

} // namespace
