// A group: one base (a modem object or a virtual COM port) and its member modems, and the group's
// record inside the settings record of "States.bin". The routing of the group's data lives with the
// sessions; so does the virtual port, which the routing side keeps by the base's COM number.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TReceiver {
public:
    static constexpr int BufferSize = 8192;
    static constexpr int32_t MaxPortBase = 255;      // COM256
    enum : int32_t { bkObject = 0, bkComPort = 1 };  // BaseKind; any value above 0 is a port base
    enum : int32_t { prAll = 0, prModbusAscii = 1 }; // Protocol

    TReceiver();
    // Frees the members; a port base's group is handed to ReceiverPortHooks.Destroy, which frees the
    // port when this group is the one it serves.
    virtual ~TReceiver();
    TReceiver(const TReceiver&) = delete;
    TReceiver& operator=(const TReceiver&) = delete;

    int32_t MemberCount() const { return static_cast<int32_t>(Members.size()); }

    // Copies everything but Comment and the buffered data. copyMembers: a copy
    // of the members (none, after an error box, when there is no memory for it); else source's members
    // are taken over and source is left without any.
    virtual void Assign(TReceiver& source, bool copyMembers);

    // (32 + 4 x members + name length + comment length) with the two low bits cleared.
    uint32_t GetRecordSize() const;
    // Writes the record at dest, which holds GetRecordSize() bytes; returns its size.
    int32_t WriteRecord(uint8_t* dest) const;
    // Replaces the stored fields with those of the record at src, of which avail bytes may be read,
    // and returns the record's size. 0: the record does not fit, holds a negative member count, or has
    // a port base that no COM port can be (COM1 to COM256, or none); the group is left as it was, and
    // for the port base refusal, when given, says why in a message for the operator (UTF-8). Creates no
    // port: the settings record does that once all its groups are read.
    int32_t ReadRecord(const uint8_t* src, size_t avail, std::string* refusal = nullptr);

    std::string Name;    // unique among the groups, compared exactly
    std::string Comment; // stored only
    uint8_t Byte1 = 0;
    int32_t BaseKind = bkObject;
    uint8_t Byte2 = 0;
    int32_t BaseID = -1; // base object number, or COM number - 1 (0 to MaxPortBase); -1: no base
    uint8_t Byte3 = 0;
    int32_t Protocol = prAll;
    std::vector<uint32_t> Members; // object numbers, in the order they were added
    int32_t Int1 = 0;
    int32_t Int2 = 0;
    bool Changed = false; // the port must be re-created when the editor's changes are applied
    std::array<uint8_t, BufferSize> Buffer{}; // member data waiting for the base
    int32_t BufferCount = 0;
};

// The routing layer owns the virtual ports and installs these hooks; without them no group gets a port.
struct TReceiverPortHooks {
    // A group whose base is a COM port was read from the state file.
    void (*Create)(TReceiver& group) = nullptr;
    // A group whose base is a COM port is destroyed.
    void (*Destroy)(TReceiver& group) = nullptr;
};
extern TReceiverPortHooks ReceiverPortHooks;
