// The virtual COM ports of the groups whose base is a COM port.
//
// Minimal for now: no group gets a port yet, so no port ever has bytes to hand over.
#pragma once

class TVirtualPortAx; // the virtual serial port control

// Reads count bytes that PC software wrote into the port and pushes them to the group's members.
void ReadVirtualPort(TVirtualPortAx* port, int count);
