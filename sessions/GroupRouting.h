// The routing of application data between the modems of a group and its base, and the look-ups of
// the groups (the live groups of AppSettings, in array order, the first match).
//
// A member's data goes to the base; the base's data goes to every member. A base is a modem, whose
// transmit queue takes the data, or a virtual COM port, which the data is written into. Member data
// that the base cannot take yet waits in the group's buffer, and beyond that in the member's own
// receive queue, so the modem is held back rather than its data dropped. Data of a modem that is in
// no group and no group's base is taken and dropped. The session manager's BuffersProcessTimer drives
// it every 500 ms; log lines begin with "GR: ". Main thread only.
#pragma once

#include <cstdint>

#include <QString>

class TReceiver;

TReceiver* FindReceiverOfMember(int objectNumber);
TReceiver* FindReceiverByBaseObject(int objectNumber);
TReceiver* FindReceiverByBasePort(int comNumber);

// How many bytes of the object's received data the routing may take now.
int ReceiverFreeSpace(int objectNumber);
// Data received from a modem.
void RouteObjectData(int objectNumber, const std::uint8_t* data, int length);
// Data from the base to every member; members not connected keep it until they connect.
void PushToReceiverMembers(TReceiver& group, const std::uint8_t* data, int length);
// How much every member can take now: the least free transmit space of the members that are
// connected, else of those that exist; with no member at all, any amount (it goes nowhere).
int ReceiverMembersFreeSpace(const TReceiver& group, int wanted);
// Hands waiting member data to the bases.
void FlushReceiverBuffers();
// "N - name" of a modem base, "COMn" of a port base, empty for none or an unknown object.
QString ReceiverBaseDescription(int baseKind, int baseID);
