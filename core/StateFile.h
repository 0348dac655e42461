// The state file "States.bin": the main window's geometry, the settings record with the groups and
// one record per object, encrypted as one CRC-closed block under the key that the security mode
// chooses.
//
// Plaintext: version word 0, the nine window values (the ninth always 0), the settings record, the
// object records; then the block's closing, a 0xFF and filler when more than 4 bytes are left, and the
// CRC-32 in the last 4 bytes. The file is P = (S + 19) & ~15 bytes for S bytes of content. The block
// records no length of its own, so the length handed to the cipher is 32 bits wide here: a state of
// up to 65,516 bytes gives exactly the file of the 16-bit format, and a larger one is the same block,
// only longer.
//
// ReadStates and WriteStates are what the main window's members of the same names call; what needs a
// window (message boxes, the password prompt, the event log, bringing the program to the front) goes
// through TStatesHooks. Main thread only.
#pragma once

#include "core/ObjectStates.h"
#include "core/Settings.h"
#include "core/StatesFileOps.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// AppDataFolder + "States.bin".
extern std::string StatesFileName;
// The current system password, always 16 bytes; initially the no-password marker. The state file's
// key in every security mode but 2.
extern std::string SystemPassword;
// The state file's key in security mode 2: built at start-up from a table of the program, never a
// text, never shown or stored.
extern const std::array<uint8_t, 16> BuiltInKey;
// Set until the file was read and decrypted or found missing; while it is set the file is not written
// at exit or by the idle log timer, so a file this run could not read is never overwritten.
extern bool StatesNotLoaded;
// The data folder was created at this start: a missing file is no news.
extern bool FirstRun;

inline constexpr uint32_t StatesVersion = 0;
inline constexpr uint32_t StatesHeaderSize = 40;
// The largest file of a state of 65,536 objects, one for every modem ID, at 4 KB each: an object's
// record is 412 bytes without name and phone, which leaves thousands of bytes for those and room for
// the settings and groups. A larger file is refused unread, as one that cannot be decrypted; a larger
// state is not written.
inline constexpr uint64_t StatesMaxFileSize = uint64_t{65536} * 4096;
// The largest content S whose block, (S + 19) & ~15 bytes, fits in that.
inline constexpr uint64_t StatesMaxContent = StatesMaxFileSize - 4;

// The main window's stored geometry.
struct TWindowValues {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t GridPanelWidth = 0;
    std::array<int32_t, 3> ColWidths{}; // columns 0-2 of the objects grid
    bool operator==(const TWindowValues&) const = default;
};

// The geometry the main window takes from the stored values: a position off the screen becomes 0, a
// width or height larger than the screen keeps the current one, the column widths are taken as they are.
TWindowValues ApplyValues(const TWindowValues& stored, const TWindowValues& current, int32_t screenWidth,
                          int32_t screenHeight);

// What needs the main window. Texts of message boxes and prompts are UTF-8; a password is 16
// Windows-1251 bytes. An unset hook does nothing (an unset prompt is a Cancel).
struct TStatesHooks {
    std::function<void(const std::string& text)> ShowError; // error box, OK button
    // Modal password prompt; true on OK with the entered password.
    std::function<bool(const std::string& caption, const std::string& info, std::string& password)>
        EnterPassword;
    std::function<void(const std::string& line)> PrintMessage; // a line of the event log
    // The file could not be replaced (why, Windows-1251); the previous one is kept.
    std::function<void(const std::string& reason)> WriteFailed;
    std::function<void()> CloseMainWindow; // no memory for the state
};

// Writes the file, reporting failures through the hooks; what follows a failure is the caller's
// (core/StatesSaver). True when it was replaced; otherwise the previous file is kept.
bool WriteStates(const TWindowValues& window, const TSettings& settings, const TObjectList& objects,
                 const TStatesHooks& hooks, TStatesFileOps& ops = StatesFileOps());

// A save in two steps, so that only the first needs the main thread: the snapshot, the state's
// plaintext and key, taken on the main thread; then its encryption and the replacing of the file, on
// any thread, one at a time. WriteStates is both steps in a row.
struct TStatesSnapshot {
    std::string Path;           // StatesFileName when it was taken
    std::vector<uint8_t> Block; // the content, with the room that the block's closing takes
    uint32_t ContentSize = 0;
    std::array<uint8_t, 16> Key{};
};

// How the writing of a snapshot ended: Error is what the replace returned (an errno, or
// ReplaceNotRegular; see ReplaceProblem).
struct TStatesWritten {
    bool Ok = false;
    int Error = 0;
};

// Main thread. False when nothing is to be written (no key, too large, no memory), reported through the
// hooks as WriteStates reports it.
bool TakeStatesSnapshot(const TWindowValues& window, const TSettings& settings, const TObjectList& objects,
                        const TStatesHooks& hooks, TStatesSnapshot& snapshot);
// Any thread: encrypts the snapshot in place and replaces the file with it.
TStatesWritten WriteStatesSnapshot(TStatesSnapshot& snapshot, TStatesFileOps& ops = StatesFileOps());

// What a read found beside the settings: the stored window values (none while the defaults stand)
// and the objects in file order, connection flags cleared, for the object list.
struct TStatesRead {
    std::optional<TWindowValues> Window;
    TObjectList Objects;
};

// Reads the file once at start-up, trying SystemPassword, BuiltInKey and then the password that the
// operator types. True: go on, with the file read into settings and read, or with the defaults (the
// file is missing or unreadable: not a regular file, or it cannot be read). False: the file is larger
// than StatesMaxFileSize (it is not read), could not be decrypted, is not of version 0 or is damaged
// (a record refused for a value it cannot hold is named in the message), or the operator cancelled
// the prompt; settings are as they were, the file is kept, the caller logs and closes. Why a file that
// is there was not read goes to the log. A temporary file left by a save that was killed is removed
// first, whatever the outcome.
// The file is decoded into scratch records first, so the ports of its port-based groups are made while
// it is decoded (ReceiverPortHooks.Create) and destroyed again if the file is then refused.
bool ReadStates(TSettings& settings, TStatesRead& read, const TStatesHooks& hooks,
                TStatesFileOps& ops = StatesFileOps());

// The codec without the file, for the reader above and for tests.

// The content size S of a state.
uint64_t StatesContentSize(const TSettings& settings, const TObjectList& objects);
// The content in a zeroed buffer of (S + 19) & ~15 bytes, the room the block's closing takes.
std::vector<uint8_t> BuildStatesPlain(const TWindowValues& window, const TSettings& settings,
                                      const TObjectList& objects);
// Closes and encrypts the first contentSize bytes of buf, which holds (contentSize + 19) & ~15.
void EncryptStates(std::vector<uint8_t>& buf, uint32_t contentSize, const uint8_t key[16]);
// Decrypts the file in place; true when the CRC closes. An empty file, or one whose size is not a
// multiple of 16, never opens.
bool DecryptStates(std::vector<uint8_t>& buf, const uint8_t key[16]);

enum TDecodeResult {
    dcOk,
    dcBadVersion, // the version word is not 0
    dcDamaged,    // a record runs past the content, or holds counts it cannot have
    dcRefused,    // a record holds a value it cannot have; Refusal says which
};

struct TStatesImage {
    TWindowValues Window;
    std::unique_ptr<TSettings> Settings;
    TObjectList Objects;
    std::string Refusal; // the message of dcRefused (UTF-8)
};

// Decodes a decrypted file of size bytes (the CRC in its last 4 bytes); reads nothing outside it.
TDecodeResult DecodeStates(const uint8_t* plain, size_t size, TStatesImage& image);
