// Apart from SerialTestSupport.cpp: <asm/termbits.h> cannot share a file with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "tests/serial/SerialTestSupport.h"

std::uint32_t TerminalSpeed(int fd) {
    termios2 settings{};
    return ioctl(fd, TCGETS2, &settings) == 0 ? settings.c_ospeed : 0;
}
