#include "serial/MessageTable.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include "platform/WinError.h"
#include "serial/TapiLineErrors.h"
#include "serial/TapiStatusTexts.h"

namespace {

// The table's codes in table order, as runs from First to Last (counting towards Last).
struct TCodeRun {
    std::int32_t First;
    std::int32_t Last;
};

constexpr TCodeRun CodeRuns[] = {
    {0, 0},           {-2, -6},         {-8, -8},         {-15, -15},       {-18, -18},       {-100, -105},
    {-150, -162},     {-1001, -1009},   {-2001, -2012},   {-3001, -3010},   {-4001, -4017},   {-4020, -4021},
    {4101, 4101},     {4200, 4213},     {4301, 4312},     {4401, 4403},     {4500, 4523},     {4550, 4553},
    {4599, 4611},     {4630, 4633},     {4660, 4671},     {4700, 4728},     {4730, 4730},     {4801, 4808},
    {4820, 4828},     {4830, 4832},     {4840, 4843},     {-5001, -5003},   {-5501, -5506},   {-6001, -6016},
    {-7001, -7014},   {-7500, -7502},   {-8001, -8005},   {-8050, -8055},   {-8060, -8075},   {-8080, -8083},
    {-8085, -8085},   {-8087, -8092},   {-8100, -8103},   {-8300, -8305},   {-8310, -8318},   {-8320, -8322},
    {-8330, -8332},   {-8340, -8340},   {-8500, -8500},   {9001, 9007},     {10000, 10000},   {10004, 10004},
    {10009, 10009},   {10013, 10014},   {10022, 10022},   {10024, 10024},   {10035, 10071},   {10091, 10093},
    {10101, 10101},   {11001, 11004},   {13501, 13516},   {13533, 13557},   {13565, 13565},   {13597, 13601},
    {13650, 13670},   {-13801, -13803}, {-13805, -13848}, {-13850, -13886}, {-13928, -13932}, {13933, 13933},
    {-13934, -13945}, {-13950, -13959}, {-13980, -13980}, {15001, 15021},   {15100, 15356},   {15501, 15502},
    {15601, 15608},   {15700, 15742},
};

struct TText {
    std::int32_t Code;
    const char* Text;
};

// The texts this library shows; the telephony line errors come from their own list.
constexpr TText Texts[] = {
    {0, "OK"},
    {-2, "File not found"},
    {-3, "Path not found"},
    {-4, "Too many open files"},
    {-5, "File access denied"},
    {-6, "Invalid file handle"},
    {-8, "Insufficient memory"},
    {-15, "Invalid drive"},
    {-18, "No more files"},
    {-100, "Attempt to read beyond end of file"},
    {-101, "Disk is full"},
    {-102, "File/device not assigned"},
    {-103, "File/device not open"},
    {-104, "File/device not open for input"},
    {-105, "File/device not open for output"},
    {-150, "Disk is write-protected"},
    {-151, "Unknown disk unit"},
    {-152, "Drive is not ready"},
    {-153, "Unknown command"},
    {-154, "Data error"},
    {-155, "Bad request structure length"},
    {-156, "Seek error"},
    {-157, "Unknown media type"},
    {-158, "Disk sector not found"},
    {-159, "Printer is out of paper"},
    {-160, "Device write error"},
    {-161, "Device read error"},
    {-162, "General failure"},
    {-1002, "Bad argument passed to function"},
    {-1005, "ComPort component not assigned"},
    {-2001, "ie_BadId - Specified comport doesn't exist"},
    {-2007, "ie_NOpen - device not open"},
    {-2008, "ie_Open - device already open"},
    {-2011, "The ComNumber property of the TSioComPort has not been set"},
    {-2012, "Comport was not opened by Tapi"},
    {-3001, "No device layer specified"},
    {-3004, "Failed to put entire block"},
    {-3006, "Output buffer too small for block"},
    {-3007, "Buffer is empty"},
    {-3010, "Base address not set"},
    {-5001, "No more trigger slots"},
    {-5002, "Data trigger too long"},
    {-5003, "Bad trigger handle"},
#define SIO_TAPI_LINE_TEXT(Name, Code, Text) {Code, Text},
    SIO_TAPI_LINE_ERRORS(SIO_TAPI_LINE_TEXT)
#undef SIO_TAPI_LINE_TEXT
        {-13928, "TAPI already open, dialing or answering"},
    {-13929, "TapiMode not set in TSioComPort"},
    {-13930, "No TAPI device selected"},
    {-13931, "Failed to find/load TAPI.DLL"},
    {-13932, "Failed to get TAPI address"},
    {13933, "TAPI disabled for 16-bit environments"},
    {-13934, "Unexpected TAPI error"},
    {-13935, "TAPI device does not support voice extensions"},
    {-13936, "TAPI wave file error"},
    {-13940, "Unable to read wave file data"},
    {-13942, "Unable to translate address"},
    {-13943, "Wave device in use"},
    {-13944, "Wave file already exists"},
    {-13945, "No wave data available"},
#define SIO_TAPI_STATUS_TEXT(Code, Text) {Code, Text},
    SIO_TAPI_STATUS_TEXTS(SIO_TAPI_STATUS_TEXT)
#undef SIO_TAPI_STATUS_TEXT
    // The dispatch log's entry types and subtypes (serial/DispatchLog.h) and its column headings.
    {15001, "None"},
    {15002, "Dispatch"},
    {15003, "Trigger"},
    {15004, "TrigAdd"},
    {15005, "TrigDel"},
    {15006, "HndlrAdd"},
    {15007, "HndlrDel"},
    {15008, "TrigSet"},
    {15009, "User"},
    {15101, "ReadCom"},
    {15102, "WriteCom"},
    {15103, "Status"},
    {15104, "Avail"},
    {15105, "Data"},
    {15106, "Timer"},
    {15107, "AvailTrigger"},
    {15108, "DataTrigger"},
    {15109, "TimerTrigger"},
    {15110, "StatTrigger"},
    {15111, "WndHandler"},
    {15112, "ProcHandler"},
    {15113, "EventHandler"},
    {15501, "    Time  Type      SubType       Data      OtherData"},
    {15502, "--------  --------  ------------  --------  ---------"},
    {15742, "Character Set"},
};

std::vector<AdMessageNumberLookupRecord> BuildTable() {
    std::map<std::int32_t, const char*> texts;
    for (const TText& t : Texts)
        texts[t.Code] = t.Text;
    std::vector<AdMessageNumberLookupRecord> table;
    for (const TCodeRun& run : CodeRuns) {
        const std::int32_t step = run.Last >= run.First ? 1 : -1;
        for (std::int32_t code = run.First;; code += step) {
            const auto text = texts.find(code);
            table.push_back({code, text == texts.end() ? "" : text->second});
            if (code == run.Last)
                break;
        }
    }
    return table;
}

// Halves round to the even neighbour, as the table's search always did.
int Middle(int first, int last) {
    return int(std::nearbyint((first + last) / 2.0));
}

} // namespace

const std::vector<AdMessageNumberLookupRecord>& AdMessageNumberLookup() {
    static const std::vector<AdMessageNumberLookupRecord> table = BuildTable();
    return table;
}

std::string MessageNumberToString(std::int16_t code) {
    const std::vector<AdMessageNumberLookupRecord>& table = AdMessageNumberLookup();
    const std::int32_t key = std::abs(std::int32_t(code));
    int first = 0;
    int last = int(table.size()) - 1;
    while (last >= first) {
        const int mid = Middle(first, last);
        const std::int32_t found = std::abs(table[std::size_t(mid)].Code);
        if (found == key)
            return std::string(table[std::size_t(mid)].Text).substr(0, 255);
        if (found > key)
            last = mid - 1;
        else
            first = mid + 1;
    }
    return {};
}

std::string AproLoadStr(std::int16_t code) {
    std::string text = MessageNumberToString(code);
    if (!text.empty())
        return text;
    text = SysErrorMessage(std::uint32_t(std::abs(std::int32_t(code)))).substr(0, 255);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    }
    for (std::size_t pair; (pair = text.find("  ")) != std::string::npos;)
        text.erase(pair, 1);
    return text;
}

std::string ErrorMsg(std::int32_t code) {
    return AproLoadStr(std::int16_t(code));
}

char* AproLoadZ(char* dest, std::int32_t code) {
    const std::string text = ErrorMsg(code); // at most 255 characters
    text.copy(dest, AproLoadZSize - 1);
    dest[std::min(text.size(), AproLoadZSize - 1)] = '\0';
    return dest;
}
