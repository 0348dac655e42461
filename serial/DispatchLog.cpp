// The byte trace and the dispatch log of TSioBaseDispatcher, and their files.
#include "serial/DispatchLog.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <sys/utsname.h>

#include "platform/ClockSource.h"
#include "platform/WinError.h"
#include "serial/Dispatcher.h"
#include "serial/ErrorCodes.h"
#include "serial/MessageTable.h"

namespace {

constexpr std::size_t LineWidth = 78;
constexpr std::size_t LogIndent = 44; // the width of an entry's columns before its payload
constexpr const char* LineEnd = "\r\n";

// A byte as the trace shows it.
std::string ByteText(std::uint8_t byte, bool inHex, bool allHex) {
    char text[8];
    if (!allHex && byte >= (inHex ? '!' : ' ') && byte <= '~')
        return std::string(1, char(byte));
    if (inHex || allHex)
        std::snprintf(text, sizeof text, "[%02X]", byte);
    else
        std::snprintf(text, sizeof text, "[%u]", byte);
    return text;
}

// A text file opened for a dump; Close reports the first failure as minus the platform's error.
class TDumpFile {
public:
    TDumpFile(const std::string& name, bool append) {
        file_ = std::fopen(name.c_str(), append ? "ab" : "wb");
        if (!file_)
            error_ = errno;
    }
    ~TDumpFile() { Close(); }
    bool IsOpen() const { return file_; }
    void Write(const std::string& text) {
        if (file_ && std::fwrite(text.data(), 1, text.size(), file_) != text.size() && error_ == 0)
            error_ = errno;
    }
    std::int32_t Close() {
        if (file_ && std::fclose(file_) != 0 && error_ == 0)
            error_ = errno;
        file_ = nullptr;
        return error_ == 0 ? ecOK : -std::int32_t(WinErrorFromErrno(error_));
    }

private:
    std::FILE* file_ = nullptr;
    int error_ = 0;
};

std::string CompilerName() {
#if defined(__clang__)
    return "Clang " __clang_version__;
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#else
    return "C++";
#endif
}

// The platform stands in for the NT family; the version numbers are the kernel's.
std::string OperatingSystem() {
    utsname name{};
    if (uname(&name) != 0)
        return "Unknown";
    return std::string("WinNT ") + name.sysname + " " + name.release;
}

std::string DateTimeText() {
    const TDateTimeParts t = DecodeDateTime(Now());
    char text[32];
    std::snprintf(text, sizeof text, "%02d/%02d/%02d, %02d:%02d:%02d", t.Day, t.Month, t.Year % 100, t.Hour,
                  t.Minute, t.Second);
    return text;
}

std::string EntryPrefix(const TLogBuffer& entry) {
    char time[16];
    std::snprintf(time, sizeof time, "%07u", entry.Time);
    std::string seconds = time;
    seconds.insert(seconds.size() - 3, ".");
    const std::string subType =
        entry.DispatchSubType == dstNone
            ? ""
            : MessageNumberToString(std::int16_t(DispatchSubTypeTextBase + entry.DispatchSubType));
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "%8s  %-8s  %-12s  %08X  ", seconds.c_str(),
                  MessageNumberToString(std::int16_t(DispatchTypeTextBase + entry.DispatchType)).c_str(),
                  subType.c_str(), entry.Data);
    return prefix;
}

std::string EntryPayload(const TLogBuffer& entry, bool inHex, bool allHex) {
    static const char* const StatusKinds[] = {"(Not active)",         "(Modem status)",
                                              "(Line status)",        "(Output buffer free)",
                                              "(Output buffer used)", "(Output sent)"};
    const bool statusKind =
        (entry.DispatchType == dtTriggerAlloc || entry.DispatchType == dtTriggerDispose) &&
        entry.DispatchSubType == dstStatusTrigger;
    if (statusKind && entry.Size == 1 && entry.Buffer[0] <= stOutSent)
        return StatusKinds[entry.Buffer[0]];
    std::string text;
    std::size_t column = LogIndent;
    for (std::uint32_t i = 0; i < entry.Size; ++i) {
        const std::uint8_t byte = entry.Buffer[i];
        const std::string piece =
            entry.DispatchType == dtUser ? std::string(1, char(byte)) : ByteText(byte, inHex, allHex);
        text += piece;
        column += piece.size();
        if (column > LineWidth && i + 1 < entry.Size) {
            text += LineEnd + std::string(LogIndent, ' ');
            column = LogIndent;
        }
    }
    return text;
}

} // namespace

// The byte trace.

std::int32_t TSioBaseDispatcher::InitTracing(std::uint32_t entries) {
    std::lock_guard data(DataSection);
    if (!TraceBuffer) {
        if (entries > MaxTraceEntries)
            return ecBadArgument;
        TraceMax = entries;
        TraceBuffer = std::make_unique<TTraceEntry[]>(entries);
    }
    ClearTracing();
    TraceOn = true;
    return ecOK;
}

void TSioBaseDispatcher::ClearTracing() {
    std::lock_guard data(DataSection);
    TraceIndex = 0;
    TraceWrapped = false;
}

void TSioBaseDispatcher::AbortTracing() {
    std::lock_guard data(DataSection);
    TraceOn = false;
    TraceBuffer.reset();
}

void TSioBaseDispatcher::StartTracing() {
    std::lock_guard data(DataSection);
    TraceOn = TraceBuffer != nullptr;
}

void TSioBaseDispatcher::StopTracing() {
    std::lock_guard data(DataSection);
    TraceOn = false;
}

void TSioBaseDispatcher::AddTraceEntry(char kind, std::uint8_t byte) {
    std::lock_guard data(DataSection);
    if (!TraceBuffer || TraceMax == 0)
        return;
    TraceBuffer[TraceIndex] = {kind, byte};
    if (++TraceIndex == TraceMax) {
        TraceIndex = 0;
        TraceWrapped = true;
    }
}

void TSioBaseDispatcher::TraceBytes(char kind, const void* buffer, std::uint32_t length) {
    std::lock_guard data(DataSection);
    if (!TraceOn)
        return;
    for (std::uint32_t i = 0; i < length; ++i)
        AddTraceEntry(kind, static_cast<const std::uint8_t*>(buffer)[i]);
}

std::int32_t TSioBaseDispatcher::DumpTrace(const std::string& fileName, bool inHex, bool allHex) {
    return WriteTrace(fileName, inHex, allHex, false);
}

std::int32_t TSioBaseDispatcher::AppendTrace(const std::string& fileName, bool inHex, bool allHex) {
    return WriteTrace(fileName, inHex, allHex, true);
}

std::int32_t TSioBaseDispatcher::WriteTrace(const std::string& fileName, bool inHex, bool allHex,
                                            bool append) {
    std::lock_guard data(DataSection);
    if (!TraceBuffer || (TraceIndex == 0 && !TraceWrapped))
        return ecOK;
    TDumpFile file(fileName, append);
    if (!file.IsOpen()) {
        AbortTracing();
        return file.Close();
    }
    const std::uint32_t first = TraceWrapped ? TraceIndex : 0;
    const std::uint32_t count = TraceWrapped ? TraceMax : TraceIndex;
    std::size_t column = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const TTraceEntry& entry = TraceBuffer[(first + i) % TraceMax];
        if (i == 0 || entry.Kind != TraceBuffer[(first + i - 1) % TraceMax].Kind) {
            if (i != 0) // the line ends, and an empty one follows
                file.Write(column != 0 ? std::string(LineEnd) + LineEnd : std::string(LineEnd));
            column = 0;
            file.Write(entry.Kind == 'T'   ? "Transmit: "
                       : entry.Kind == 'R' ? "Receive: "
                                           : std::string("Special-") + entry.Kind + ": ");
            file.Write(LineEnd);
        }
        const std::string text = ByteText(entry.Byte, inHex, allHex);
        file.Write(text);
        column += text.size();
        if (column > LineWidth) {
            file.Write(LineEnd);
            column = 0;
        }
    }
    if (column != 0)
        file.Write(LineEnd);
    const std::int32_t result = file.Close();
    InitTracing(TraceMax); // the trace starts again, empty
    return result;
}

// The dispatch log.

void TSioBaseDispatcher::InitDispatchLogging(std::uint32_t maxBytes) {
    LogQueue.Clear();
    DLoggingMax = maxBytes;
    DLoggingOn = true;
}

void TSioBaseDispatcher::ClearDispatchLogging() {
    LogQueue.Clear();
}

void TSioBaseDispatcher::AbortDispatchLogging() {
    DLoggingOn = false;
    LogQueue.Clear();
}

void TSioBaseDispatcher::StartDispatchLogging() {
    DLoggingOn = true;
}

void TSioBaseDispatcher::StopDispatchLogging() {
    DLoggingOn = false;
}

std::uint32_t TSioBaseDispatcher::GetDispatchTime() {
    return AdTimeGetTime() - TimeBase;
}

void TSioBaseDispatcher::AddDispatchEntry(TDispatchType type, TDispatchSubType subType, std::uint32_t data,
                                          const void* buffer, std::uint32_t length) {
    if (!DLoggingOn)
        return;
    // The limit counts payload bytes only.
    while (DLoggingMax != 0 && LogQueue.BytesQueued() > DLoggingMax)
        LogQueue.Pop();
    LogQueue.Push(std::make_unique<TLogBuffer>(type, subType, GetDispatchTime(), data, buffer, length));
}

void TSioBaseDispatcher::AddStringToLog(const std::string& text) {
    AddDispatchEntry(dtUser, dstNone, 0, text.data(), std::uint32_t(text.size()));
}

std::int32_t TSioBaseDispatcher::DumpDispatchLog(const std::string& fileName, bool inHex, bool allHex) {
    return WriteDispatchLog(fileName, inHex, allHex, false);
}

std::int32_t TSioBaseDispatcher::AppendDispatchLog(const std::string& fileName, bool inHex, bool allHex) {
    return WriteDispatchLog(fileName, inHex, allHex, true);
}

std::int32_t TSioBaseDispatcher::WriteDispatchLog(const std::string& fileName, bool inHex, bool allHex,
                                                  bool append) {
    if (LogQueue.Empty())
        return ecOK;
    std::lock_guard data(DataSection);
    TDumpFile file(fileName, append);
    if (!file.IsOpen())
        return file.Close(); // the log stays
    for (const std::string& line :
         {std::string("SIO ") + SioVersion, "Compiler : " + CompilerName(),
          "Operating System : " + OperatingSystem(), "Device: " + DeviceName, "Date/time: " + DateTimeText(),
          MessageNumberToString(LogHeadingText1), MessageNumberToString(LogHeadingText2)})
        file.Write(line + LineEnd);
    while (std::unique_ptr<TIOBuffer> buffer = LogQueue.Pop()) {
        const auto& entry = static_cast<const TLogBuffer&>(*buffer);
        file.Write(EntryPrefix(entry) + EntryPayload(entry, inHex, allHex) + LineEnd);
    }
    return file.Close();
}
