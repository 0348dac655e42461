#include "sessions/VirtualPorts.h"

void ReadVirtualPort(TVirtualPortAx*, int) {}
