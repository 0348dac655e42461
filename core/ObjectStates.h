// One modem of the address book, an object: its numbers, key, name and phone, input states, connection
// flags and times, firmware data and its application data buffer, and its record in "States.bin".
#pragma once

#include "core/OwnedList.h"
#include "core/RecordFields.h"
#include "protocol/tmgsm.h"

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The fields an object's record stores, in record order (the reserved ones are kept so that a record
// read and written again keeps them).
struct TObjectFields {
    static constexpr int PinCount = 13;    // IN1-IN5, AN_IN1-AN_IN3, OUT1-OUT5
    static constexpr int PinNameSize = 16; // 15 characters and a NUL

    int32_t ObjectNumber = INT32_MIN;
    int32_t ModemID = -1;
    TDateTime LastDataTime = 0.0; // 0.0: no data yet
    std::array<double, 3> Reserved1{};
    std::array<int32_t, 4> InputStates{}; // inputs 1-4: 0 open, non-zero active
    int32_t Reserved2 = 0;
    uint32_t RequestFlags = 0;
    std::array<uint8_t, 4> HwVersion{}; // the tens digit of byte 0 is the hardware group
    int32_t UpdateState = -1;           // -1 no update, else its progress 0-100
    uint8_t IsBKModel = 0;
    std::array<uint8_t, 3> Reserved3{};
    std::array<double, 3> Reserved4{};
    std::array<int32_t, 4> DevIDs{-1, -1, -1, -1}; // devices behind the modem, -1 none
    int32_t Reserved5 = 0;
    std::array<uint8_t, 5> OutputStates{};
    std::array<std::array<char, PinNameSize>, PinCount> PinNames{};
    uint32_t Reserved6 = 0;
    uint8_t Connected = 0;
    TDateTime ConnectTime = 0.0; // last connect or disconnect
    uint8_t PowerOnSeen = 0;
    uint8_t ConnectedOnce = 0;
    std::array<uint8_t, 7> Reserved7{};
    std::array<uint32_t, 3> Reserved8{};
    TPassword Password = MakePassword(NoPassword); // the modem's own key (security mode 4)
    std::array<uint8_t, 4> Reserved9{};
    std::string Name;
    std::string Phone;
};

class TObjectStates : public TObjectFields {
public:
    static constexpr uint32_t FixedSize = 408; // the raw block before Name
    // RequestFlags
    static constexpr uint32_t HwInfoRequested = 0x1;
    static constexpr uint32_t VoiceCallRequested = 0x4;

    TObjectStates();
    virtual ~TObjectStates();
    TObjectStates(const TObjectStates&) = delete;
    TObjectStates& operator=(const TObjectStates&) = delete;

    // (410 + name length + phone length) rounded up to a multiple of 4.
    uint32_t GetRecordSize() const;
    // Writes the record at dest, which holds GetRecordSize() bytes; returns its size.
    int32_t WriteRecord(uint8_t* dest) const;
    // Replaces the stored fields with those of the record at src, of which avail bytes may be read, and
    // returns the record's size. 0: the record does not fit (the object is left as it was). The object
    // keeps its own AppBuf. The version is not used.
    int32_t ReadRecord(const uint8_t* src, size_t avail, int32_t version);

    // The object's application data buffer, owned for its whole life. Its pages are set aside with
    // the object and first written when the buffer is first asked for, so that the objects read at
    // start-up, and those that never carry data, touch none of them.
    class TBuffer {
    public:
        TBuffer();
        ~TBuffer();
        TBuffer(const TBuffer&) = delete;
        TBuffer& operator=(const TBuffer&) = delete;

        ::AppBuf* get() const {
            if (!ready_) {
                AppBuf_InitZeroed(pages_);
                ready_ = true;
            }
            return pages_;
        }
        ::AppBuf* operator->() const { return get(); }
        explicit operator bool() const { return pages_ != nullptr; }
        bool operator==(std::nullptr_t) const { return pages_ == nullptr; }
        // Asked for at least once; one never asked for holds no data.
        bool Used() const { return ready_; }

    private:
        ::AppBuf* pages_;
        mutable bool ready_ = false;
    };
    TBuffer AppBuf;
    // Where the object waits among those the routing visits next (MarkBufferDue); -1 when it does not.
    std::ptrdiff_t BufferDueAt = -1;
};

// The routing tick visits only the objects marked here: those whose buffer took data from the modem or
// for it, settled a block or was linked to a connection, and those a visit left with something to do.
void MarkBufferDue(TObjectStates* object);
// The objects marked since the last call, each once, in the order they were first marked; their marks
// are cleared. A destroyed object leaves the marked ones.
std::vector<TObjectStates*> TakeBuffersDue();

// The keys objects are looked up by.
struct TObjectKeys {
    enum { Number, ModemID, Count };
    template <class Add> static void Of(const TObjectStates& object, Add&& add) {
        add(Number, object.ObjectNumber);
        add(ModemID, object.ModemID);
    }
};

// Owns its objects, in address-book or file order.
using TObjectList = TOwnedList<TObjectStates, TObjectKeys>;
