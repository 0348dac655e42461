// The line's configuration and numbers: its COM port number, the platform's configuration dialogs
// and stored device configuration, and address translation. The platform's translation dialog is not
// offered on Linux (TranslateDialog answers false).
#include <algorithm>

#include "serial/Exceptions.h"
#include "serial/TapiDevice.h"

namespace {

constexpr const char* ModemClass = "comm/datamodem";
constexpr std::size_t PortNameBytes = 10;
constexpr std::size_t PortNamePrefix = 3; // "COM"

// The bytes a variable-size structure holds at the offset, as they are; empty when it does not hold
// them whole.
template <class T> std::string StructBytes(const T& structure, DWORD size, DWORD offset) {
    if (offset > structure.dwTotalSize || size > structure.dwTotalSize - offset)
        return {};
    return std::string(reinterpret_cast<const char*>(&structure) + offset, size);
}

TTapiConfigRec ConfigOf(const TVarString& returned) {
    const std::string bytes = StructBytes(returned, returned.dwStringSize, returned.dwStringOffset);
    TTapiConfigRec config;
    config.DataSize = std::uint32_t(std::min(bytes.size(), config.Data.size()));
    std::copy_n(bytes.begin(), config.DataSize, config.Data.begin());
    return config;
}

DWORD ConfigSize(const TTapiConfigRec& config) {
    return DWORD(std::min<std::size_t>(config.DataSize, config.Data.size()));
}

} // namespace

// A query opens no call: the reports and the redial countdown of SetOpen stay out of it.
LONG TSioCustomTapiDevice::QueryLine(const std::function<LONG(HLINE line)>& query) {
    StartTapi();
    if (open_ && lineHandle_ != 0)
        return query(lineHandle_);
    const DWORD deviceId = DWORD(GetSelectedLine());
    const DWORD mediaMode = enableVoice_ ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM;
    HLINE line = 0;
    if (const LONG opened = tuLineOpen(lineApp_, deviceId, line, apiVersion_, 0, 0, LINECALLPRIVILEGE_NONE,
                                       mediaMode, nullptr))
        return opened;
    const struct TClose {
        HLINE Line;
        ~TClose() { tuLineClose(Line); }
    } close{line};
    return query(line);
}

std::int32_t TSioCustomTapiDevice::GetComNumber() {
    TVarString* name = nullptr;
    const LONG result = QueryLine([&](HLINE line) {
        name = &VarStringBuf();
        return tuLineGetID(line, 0, 0, LINECALLSELECT_LINE, *name, "comm/datamodem/portname");
    });
    if (result != 0 || !name)
        return 0;
    const std::string text = TapiText(*name, DWORD(std::min<std::size_t>(name->dwStringSize, PortNameBytes)),
                                      name->dwStringOffset);
    if (text.size() <= PortNamePrefix)
        return 0;
    const std::string digits = text.substr(PortNamePrefix);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return std::stoi(digits); // at most 7 digits
}

void TSioCustomTapiDevice::ShowConfigDialog() {
    CheckError(QueryLine(
        [&](HLINE) { return tuLineConfigDialog(DWORD(selectedLine_), GetParentHWnd(), ModemClass); }));
}

TTapiConfigRec TSioCustomTapiDevice::ShowConfigDialogEdit(const TTapiConfigRec& config) {
    const DWORD deviceId = DWORD(GetSelectedLine());
    TVarString& edited = VarStringBuf();
    CheckError(tuLineConfigDialogEdit(deviceId, GetParentHWnd(), ModemClass, config.Data.data(),
                                      ConfigSize(config), edited));
    return ConfigOf(edited);
}

TTapiConfigRec TSioCustomTapiDevice::GetDevConfig() {
    const DWORD deviceId = DWORD(GetSelectedLine());
    TVarString& config = VarStringBuf();
    CheckError(tuLineGetDevConfig(deviceId, config, ModemClass));
    return ConfigOf(config);
}

void TSioCustomTapiDevice::SetDevConfig(const TTapiConfigRec& config) {
    CheckError(
        tuLineSetDevConfig(DWORD(GetSelectedLine()), config.Data.data(), ConfigSize(config), ModemClass));
}

HWND TSioCustomTapiDevice::GetParentHWnd() {
    return 0;
}

std::string TSioCustomTapiDevice::TranslateAddress(const std::string& address) {
    const DWORD deviceId = DWORD(GetSelectedLine());
    TLineTranslateOutput* fetched = nullptr;
    const LONG result = tuLineTranslateAddressDyn(lineApp_, deviceId, apiVersion_, address.c_str(), 0,
                                                  LINETRANSLATEOPTION_CANCELCALLWAITING, fetched);
    const TTapiBuffer<TLineTranslateOutput> output(fetched);
    if (result != 0 || !output)
        CheckException(this, -13942);
    return TapiText(*output, output->dwDialableStringSize, output->dwDialableStringOffset);
}

LONG TSioCustomTapiDevice::TranslateAddressEx(const std::string& address, DWORD options,
                                              std::string& dialable, std::string& displayable,
                                              DWORD& currentCountry, DWORD& destCountry,
                                              DWORD& translateResults) {
    const DWORD deviceId = DWORD(GetSelectedLine());
    TLineTranslateOutput* fetched = nullptr;
    const LONG result =
        tuLineTranslateAddressDyn(lineApp_, deviceId, apiVersion_, address.c_str(), 0, options, fetched);
    const TTapiBuffer<TLineTranslateOutput> output(fetched);
    if (result != 0 || !output)
        return result;
    dialable = StructBytes(*output, output->dwDialableStringSize, output->dwDialableStringOffset);
    displayable = StructBytes(*output, output->dwDisplayableStringSize, output->dwDisplayableStringOffset);
    currentCountry = output->dwCurrentCountry;
    destCountry = output->dwDestCountry;
    translateResults = output->dwTranslateResults;
    return result;
}

bool TSioCustomTapiDevice::TranslateDialog(const std::string& address) {
    const DWORD deviceId = DWORD(GetSelectedLine());
    return tuLineTranslateDialog(lineApp_, deviceId, apiVersion_, GetParentHWnd(), address.c_str()) == 0;
}
