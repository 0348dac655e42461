#include "platform/TapiDevConfig.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "platform/Cp1251.h"
#include "platform/Files.h"
#include "platform/Shell.h"
#include "platform/Warning.h"

namespace {

constexpr std::uint64_t MaxFileBytes = 64 * 1024; // far more than any machine has lines
constexpr char XonChar = 0x11, XoffChar = 0x13;

const char ParityLetters[] = "NOEMS"; // by NOPARITY ... SPACEPARITY
const char* const StopBitsTexts[] = {"1", "1.5", "2"};
const char* const FlowTexts[] = {"none", "RTS/CTS", "XON/XOFF"};

template <std::size_t N>
std::optional<std::uint8_t> IndexOf(const char* const (&texts)[N], std::string_view text) {
    for (std::size_t i = 0; i < N; ++i)
        if (QString::fromLatin1(texts[i]).compare(QLatin1String(text.data(), qsizetype(text.size())),
                                                  Qt::CaseInsensitive) == 0)
            return std::uint8_t(i);
    return std::nullopt;
}

std::vector<std::string_view> Fields(std::string_view text) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t comma = text.find(',');
        std::string_view field = text.substr(0, comma);
        while (!field.empty() && field.front() == ' ')
            field.remove_prefix(1);
        while (!field.empty() && field.back() == ' ')
            field.remove_suffix(1);
        fields.push_back(field);
        if (comma == std::string_view::npos)
            return fields;
        text.remove_prefix(comma + 1);
    }
}

std::optional<std::uint32_t> Number(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// The entry's name and configuration text, split at the first '='; false for a line of another kind.
bool SplitEntry(const QString& line, QString* name, QString* config) {
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals < 0)
        return false;
    *name = line.left(equals).trimmed();
    *config = line.mid(equals + 1).trimmed();
    return true;
}

// The file's lines, none when it is missing; nothing, with why in problem, when it cannot be read whole.
std::optional<QStringList> FileLines(QString* problem) {
    std::vector<std::uint8_t> bytes;
    const TFileRead read =
        ReadRegularFile(QFile::encodeName(TapiDevConfigFile()).toStdString(), MaxFileBytes, bytes);
    if (read.Result == rfMissing)
        return QStringList();
    if (read.Result != rfRead) {
        *problem = FromCp1251(read.Problem());
        return std::nullopt;
    }
    return QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()))
        .split(QLatin1Char('\n'));
}

LONG OpenError(const QString& path, const std::string& lineName, int error, const QString& reason = {}) {
    PlatformWarning(QStringLiteral("telephony: cannot open %1 for the line \"%2\": %3")
                        .arg(path, FromCp1251(lineName),
                             reason.isEmpty() ? QString::fromLocal8Bit(std::strerror(error)) : reason));
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return LINEERR_NODEVICE;
    case EWOULDBLOCK: // locked by another open
    case EBUSY:
    case EACCES:
    case EPERM:
        return LINEERR_RESOURCEUNAVAIL;
    default:
        return LINEERR_OPERATIONFAILED;
    }
}

} // namespace

LONG OpenTapiDevice(const QString& path, const std::optional<TTapiDevConfig>& config,
                    const std::string& lineName, int* fd) {
    const int opened =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0)
        return OpenError(path, lineName, errno);
    if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(opened);
        return OpenError(path, lineName, error);
    }
    const DCB dcb = config ? TapiDevConfigDcb(*config) : DCB{};
    if (!SetDescriptorState(opened, config ? &dcb : nullptr) && (config || ::isatty(opened))) {
        const int error = errno;
        ::close(opened);
        const QString line = QString::fromStdString(config ? TapiDevConfigText(*config) : "raw");
        return OpenError(path, lineName, error,
                         QStringLiteral("the line cannot be set to %1 (%2)")
                             .arg(line, QString::fromLocal8Bit(std::strerror(error))));
    }
    *fd = opened;
    return 0;
}

bool SoundTapiDevConfig(const TTapiDevConfig& c) {
    return c.dwSize == sizeof(TTapiDevConfig) && c.dwVersion == TapiDevConfigVersion &&
           c.dwBaudRate >= TapiLowestRate && c.dwBaudRate <= TapiHighestRate && c.ByteSize >= 5 &&
           c.ByteSize <= 8 && c.Parity <= SPACEPARITY && c.StopBits <= TWOSTOPBITS &&
           (c.StopBits != ONE5STOPBITS || c.ByteSize == 5) && c.FlowControl <= TapiFlowXonXoff;
}

std::optional<TTapiDevConfig> TapiDevConfigOf(const void* bytes, std::size_t size) {
    TTapiDevConfig config;
    if (!bytes || size != sizeof config)
        return std::nullopt;
    std::memcpy(&config, bytes, sizeof config);
    if (!SoundTapiDevConfig(config))
        return std::nullopt;
    return config;
}

std::string TapiDevConfigBytes(const TTapiDevConfig& config) {
    return std::string(reinterpret_cast<const char*>(&config), sizeof config);
}

DCB TapiDevConfigDcb(const TTapiDevConfig& config) {
    DCB dcb;
    dcb.BaudRate = config.dwBaudRate;
    dcb.ByteSize = config.ByteSize;
    dcb.Parity = config.Parity;
    dcb.StopBits = config.StopBits;
    dcb.Flags = DCB_BINARY | DCB_DTR_ENABLE;
    dcb.Flags |=
        config.FlowControl == TapiFlowHardware ? DCB_OUTX_CTS_FLOW | DCB_RTS_HANDSHAKE : DCB_RTS_ENABLE;
    if (config.FlowControl == TapiFlowXonXoff)
        dcb.Flags |= DCB_OUTX | DCB_INX;
    dcb.XonChar = XonChar;
    dcb.XoffChar = XoffChar;
    return dcb;
}

std::string TapiDevConfigText(const TTapiDevConfig& config) {
    return std::to_string(config.dwBaudRate) + "," + std::to_string(config.ByteSize) + "," +
           ParityLetters[config.Parity] + "," + StopBitsTexts[config.StopBits] + "," +
           FlowTexts[config.FlowControl];
}

std::optional<TTapiDevConfig> TapiDevConfigFromText(std::string_view text) {
    const std::vector<std::string_view> fields = Fields(text);
    if (fields.size() != 5 || fields[2].size() != 1)
        return std::nullopt;
    const std::optional<std::uint32_t> rate = Number(fields[0]), bits = Number(fields[1]);
    const char* parity = std::strchr(ParityLetters, std::toupper(static_cast<unsigned char>(fields[2][0])));
    const std::optional<std::uint8_t> stop = IndexOf(StopBitsTexts, fields[3]);
    const std::optional<std::uint8_t> flow = IndexOf(FlowTexts, fields[4]);
    if (!rate || !bits || *bits > 8 || !parity || !*parity || !stop || !flow)
        return std::nullopt;
    TTapiDevConfig config;
    config.dwBaudRate = *rate;
    config.ByteSize = std::uint8_t(*bits);
    config.Parity = std::uint8_t(parity - ParityLetters);
    config.StopBits = *stop;
    config.FlowControl = *flow;
    if (!SoundTapiDevConfig(config))
        return std::nullopt;
    return config;
}

QString TapiDevConfigFile() {
    return CommonAppDataFolder() + QStringLiteral("/tapi/devconfig");
}

std::map<QString, TTapiDevConfig> ReadTapiDevConfigs() {
    QString problem;
    const std::optional<QStringList> read = FileLines(&problem);
    if (!read) {
        PlatformWarning(
            QStringLiteral("%1: %2; the line configurations are not used").arg(TapiDevConfigFile(), problem));
        return {};
    }
    std::map<QString, TTapiDevConfig> configs;
    std::set<QString> seen; // the first entry of a name counts, whether it reads or not
    const QStringList& lines = *read;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString name, text;
        if (!SplitEntry(lines[i], &name, &text) || !seen.insert(name).second)
            continue;
        if (const std::optional<TTapiDevConfig> config = TapiDevConfigFromText(text.toStdString()))
            configs.emplace(name, *config);
        else
            PlatformWarning(
                QStringLiteral("%1:%2: \"%3\" is no line configuration (speed,data bits,parity,stop bits,"
                               "flow control); the line's device is opened as it is")
                    .arg(TapiDevConfigFile())
                    .arg(i + 1)
                    .arg(text));
    }
    return configs;
}

bool WriteTapiDevConfig(const std::string& lineName, const TTapiDevConfig& config) {
    const QString name = FromCp1251(lineName);
    const QString path = TapiDevConfigFile();
    const auto notSaved = [&](const QString& problem) {
        PlatformWarning(QStringLiteral("%1: %2; the configuration of the line \"%3\" is not saved")
                            .arg(path, problem, name));
        return false;
    };
    // A file that cannot be read is kept: written anew, it would hold only this line's entry.
    QString problem;
    std::optional<QStringList> read = FileLines(&problem);
    if (!read)
        return notSaved(problem);
    QStringList& lines = *read;
    while (!lines.isEmpty() && lines.back().trimmed().isEmpty())
        lines.removeLast();
    const QString entry = name + QLatin1Char('=') + QString::fromStdString(TapiDevConfigText(config));
    bool replaced = false;
    for (QString& line : lines) {
        QString other, text;
        if (SplitEntry(line, &other, &text) && other == name && !replaced) {
            line = entry;
            replaced = true;
        }
    }
    if (!replaced)
        lines << entry;
    ForceDirectories(QFileInfo(path).path()); // when it cannot be made, the save says why
    std::string failed;
    if (!ReplaceRegularFile(QFile::encodeName(path).toStdString(),
                            (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8().toStdString(),
                            failed))
        return notSaved(FromCp1251(failed));
    return true;
}
