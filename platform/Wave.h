// Stands in for the waveform audio functions (waveIn..., waveOut...) and the multimedia file functions
// (mmio...) of "WINMM", and for the temporary file names (GetTempPath, GetTempFileName) that a
// recording is written to first.
//
// Devices. Linux offers this program no sound device: without a test back-end there are none, and an
// open answers as the platform does on a machine without one: MMSYSERR_NODRIVER for the default
// device (WAVE_MAPPER), MMSYSERR_BADDEVICEID for a device identifier. A TWaveTestBackEnd (at the end
// of this file) provides scripted devices. Both kinds run in real time on the platform clock (a
// TFakeClock drives them while one is installed): a buffer given to an input device comes back full
// once its length of audio has passed, a buffer written to an output device once it has been played.
// The completion messages go to the window given with CALLBACK_WINDOW, later, from the event loop:
// MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_CLOSE, MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_CLOSE, with wParam the
// device handle and, for DONE and DATA, lParam the header. Formats: PCM, 1 or 2 channels, 8 or 16 bits,
// block align = channels x bytes per sample.
//
// Files. The mmio functions work on a buffered file: read, write, or created. RIFF chunks are found,
// created and left as the platform does it: mmioAscend of a chunk that mmioCreateChunk made writes its
// size and pads it to an even length. File names are 8-bit, handed to the file system as they are.
//
// Main thread only, with a QCoreApplication for the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Messages.h"

using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using LONG = std::int32_t;
using WORD = std::uint16_t;
using UINT = unsigned;
using MMRESULT = UINT;
using FOURCC = DWORD;
using HWAVEIN = std::uintptr_t; // 0: none
using HWAVEOUT = std::uintptr_t;
struct TMmioFile;
using HMMIO = TMmioFile*; // null: none
struct MMIOINFO;

inline constexpr UINT WAVE_MAPPER = UINT(-1);
inline constexpr std::size_t MAXERRORLENGTH = 128;
inline constexpr std::size_t MAX_PATH = 260;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

inline constexpr DWORD CALLBACK_NULL = 0x0;
inline constexpr DWORD CALLBACK_WINDOW = 0x10000;
inline constexpr DWORD CALLBACK_TYPEMASK = 0x70000;
inline constexpr DWORD WAVE_FORMAT_QUERY = 0x1;
inline constexpr DWORD WAVE_MAPPED = 0x4;

inline constexpr DWORD WHDR_DONE = 0x1;
inline constexpr DWORD WHDR_PREPARED = 0x2;
inline constexpr DWORD WHDR_INQUEUE = 0x10;

inline constexpr unsigned MM_WOM_OPEN = 0x3BB;
inline constexpr unsigned MM_WOM_CLOSE = 0x3BC;
inline constexpr unsigned MM_WOM_DONE = 0x3BD;
inline constexpr unsigned MM_WIM_OPEN = 0x3BE;
inline constexpr unsigned MM_WIM_CLOSE = 0x3BF;
inline constexpr unsigned MM_WIM_DATA = 0x3C0;

inline constexpr WORD WAVE_FORMAT_PCM = 1;

#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

struct WAVEHDR {
    char* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};

UINT waveOutGetNumDevs();
// With WAVE_FORMAT_QUERY only the device and the format are checked, and phwo may be null.
MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
// WAVERR_STILLPLAYING while buffers are queued.
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
// Stops playing; every queued buffer comes back done.
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutGetErrorText(MMRESULT mmrError, char* pszText, UINT cchText);

UINT waveInGetNumDevs();
MMRESULT waveInOpen(HWAVEIN* phwi, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveInClose(HWAVEIN hwi);
MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
// Stops recording; the buffer being filled comes back with what it holds, the others stay queued.
MMRESULT waveInStop(HWAVEIN hwi);
// Stops recording; every queued buffer comes back done.
MMRESULT waveInReset(HWAVEIN hwi);
MMRESULT waveInGetErrorText(MMRESULT mmrError, char* pszText, UINT cchText);

// ---- Multimedia files

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
    return FOURCC(std::uint8_t(a)) | FOURCC(std::uint8_t(b)) << 8 | FOURCC(std::uint8_t(c)) << 16 |
           FOURCC(std::uint8_t(d)) << 24;
}

struct MMCKINFO {
    FOURCC ckid;
    DWORD cksize;
    FOURCC fccType;
    DWORD dwDataOffset;
    DWORD dwFlags;
};

inline constexpr DWORD MMIO_READ = 0x0;
inline constexpr DWORD MMIO_WRITE = 0x1;
inline constexpr DWORD MMIO_READWRITE = 0x2;
inline constexpr DWORD MMIO_CREATE = 0x1000;
inline constexpr DWORD MMIO_ALLOCBUF = 0x10000;
inline constexpr UINT MMIO_FINDCHUNK = 0x10;
inline constexpr UINT MMIO_FINDRIFF = 0x20;
inline constexpr UINT MMIO_FINDLIST = 0x40;
inline constexpr UINT MMIO_CREATERIFF = 0x20;
inline constexpr UINT MMIO_CREATELIST = 0x40;
inline constexpr DWORD MMIO_DIRTY = 0x10000000;

inline constexpr MMRESULT MMIOERR_FILENOTFOUND = 257;
inline constexpr MMRESULT MMIOERR_CANNOTOPEN = 259;
inline constexpr MMRESULT MMIOERR_CANNOTCLOSE = 260;
inline constexpr MMRESULT MMIOERR_CANNOTREAD = 261;
inline constexpr MMRESULT MMIOERR_CANNOTWRITE = 262;
inline constexpr MMRESULT MMIOERR_CANNOTSEEK = 263;
inline constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = 265;

// info must be null. Null when the file cannot be opened.
HMMIO mmioOpen(const char* pszFileName, MMIOINFO* pmmioinfo, DWORD fdwOpen);
// MMIOERR_CANNOTWRITE when what was buffered could not be written; the file is closed either way.
MMRESULT mmioClose(HMMIO hmmio, UINT fuClose);
// The bytes read (0 at the end of the file) or written; -1 on an error.
LONG mmioRead(HMMIO hmmio, char* pch, LONG cch);
LONG mmioWrite(HMMIO hmmio, const char* pch, LONG cch);
// From the current position, within the parent chunk when one is given: the next chunk (flags 0), the
// next of ck->ckid (MMIO_FINDCHUNK), or the next RIFF or LIST chunk of type ck->fccType. Leaves the
// position at the chunk's data, after the type of a RIFF or LIST chunk.
MMRESULT mmioDescend(HMMIO hmmio, MMCKINFO* pmmcki, const MMCKINFO* pmmckiParent, UINT fuDescend);
MMRESULT mmioAscend(HMMIO hmmio, MMCKINFO* pmmcki, UINT fuAscend);
// Writes the chunk's header (with ck->cksize, normally 0) at the current position.
MMRESULT mmioCreateChunk(HMMIO hmmio, MMCKINFO* pmmcki, UINT fuCreate);

// ---- Temporary files

// The temporary folder ($TMPDIR, else /tmp) with a trailing '/'; its length, or, when the buffer is
// too small, the size it needs.
DWORD GetTempPath(DWORD nBufferLength, char* lpBuffer);
// "<path>/<first 3 characters of the prefix><4 hexadecimal digits>.tmp" into a buffer of MAX_PATH. With
// uUnique 0 the name is one that no file has, and the file is created empty. The number used, 0 on a
// failure.
UINT GetTempFileName(const char* lpPathName, const char* lpPrefixString, UINT uUnique, char* lpTempFileName);

// The scripted devices for tests. While one exists (one at a time), its devices are the machine's;
// creating and destroying it forgets every device and every open, and what was still to be
// delivered. Input and output devices are numbered apart, each from 0.
//
//   TWaveTestBackEnd wave;
//   const UINT in = wave.AddInput(), out = wave.AddOutput();
//   wave.Hear(in, samples);        // the next audio the input device records; silence after it
//   ... wave.Played(out) ...       // what was played on the output device
class TWaveTestBackEnd {
public:
    TWaveTestBackEnd();
    ~TWaveTestBackEnd();
    TWaveTestBackEnd(const TWaveTestBackEnd&) = delete;
    TWaveTestBackEnd& operator=(const TWaveTestBackEnd&) = delete;

    UINT AddInput();
    UINT AddOutput();
    void Hear(UINT input, const std::string& audio);
    std::string Played(UINT output) const;
    // Devices open now, inputs and outputs.
    int OpenDevices() const;
};
