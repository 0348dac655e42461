// The virtual COM ports of the groups whose base is a COM port, and the survey of the PC's COM ports
// that the base-selection dialog shows.
//
// The controls are kept here by COM number (Tag = the number), each for the live group it serves; a
// group, live or the editor's working copy, finds its port by its base's number. What PC software
// writes into the port goes to the group's members, read only as fast as the members can take it so
// that a program writing faster is held back by the port. The group editor's OK deletes the controls
// of deleted and changed groups and re-creates the changed ones a moment later. Errors are shown as
// error boxes. Main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include <QString>

class TGroupsDialog;
class TReceiver;
class TSelectBaseForm;
class TVirtualPortAx;

// Of each port COM1 to COM256 (index n - 1), filled when the base-selection dialog opens.
enum TPortStatus : std::int32_t {
    psPresent = 0,   // can be opened, or is open elsewhere: " (используется)"
    psFree = 1,      // not present, or a virtual port of this program
    psReserved = 2,  // installed as a port device but not present now: " (зарезервирован)"
    psOtherBase = 3, // the base of another group: " (база в другой группе)"
};
extern std::array<std::int32_t, 256> PortStatus;
// Our own virtual ports' friendly names begin with it (compared without regard to case).
extern const QString OwnPortPrefix;

// Lets the groups read from the state file make their ports, and deleted groups delete them.
void InstallVirtualPortHooks();
// The control of the group's base COM port, null when the group has none (its base is no port, or the
// port is still to be made).
TVirtualPortAx* VirtualPortOf(const TReceiver& group);
// Makes and attaches the control of a port base, for the group; nothing when its number has one.
void CreateVirtualPort(TReceiver& group);
// Takes a control made elsewhere (Tag set) as the port of the group's number, replacing one there.
void AdoptVirtualPort(TReceiver& group, std::unique_ptr<TVirtualPortAx> port);
// Deletes the group's control, if it has one and the group is the one it serves.
void DeleteVirtualPort(TReceiver& group);
// Reads what PC software wrote into the port (count bytes wait) and pushes it to the group's members.
void ReadVirtualPort(TVirtualPortAx* port, int count);
// Before the editor's working groups replace the live ones: the controls of deleted and changed groups
// go, and the editor's UpdateVSPTimer is started to make those of the changed groups again.
void DeleteChangedVirtualPorts(TGroupsDialog& dialog);
// The survey: fills PortStatus and the dialog's port list.
void BuildPortStatus(TSelectBaseForm& dialog);
// Walks HKEY_LOCAL_MACHINE below root for port devices, adding their names to the dialog's hidden list
// and marking ports installed but absent, and our own virtual ports as free. False on a registry error.
bool ScanRegistryPorts(TSelectBaseForm& dialog, const QString& root);
