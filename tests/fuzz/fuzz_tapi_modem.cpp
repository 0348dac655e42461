// What a modem says and what a user writes into tapi/devconfig: every line of the input is read as the
// modem's, and as a line configuration. A caller is printable and of bounded length, a rate fits,
// and a configuration that is read is sound and reads back the same from the text it is written as.
#include "platform/TapiDevConfig.h"
#include "platform/TapiModem.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Require(bool ok) {
    if (!ok)
        std::abort();
}

bool Printable(const std::string& text) {
    for (const char c : text)
        if (c < 0x20 || c >= 0x7F)
            return false;
    return text.size() <= 64;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const std::size_t end = input.find('\n');
        const std::string_view line = input.substr(0, end);
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);

        const TModemResult result = ParseModemLine(line);
        Require(result.Rate <= 999999999);
        Require(result.Kind == TModemResult::Connect || result.Rate == 0);
        Require(Printable(result.Caller.Number) && Printable(result.Caller.Name));
        Require(result.Kind != TModemResult::CallerId || result.Caller.Flags != 0);

        if (const std::optional<TTapiDevConfig> config = TapiDevConfigFromText(line)) {
            Require(SoundTapiDevConfig(*config));
            const std::string text = TapiDevConfigText(*config);
            Require(TapiDevConfigFromText(text) == config);
            const std::string bytes = TapiDevConfigBytes(*config);
            Require(TapiDevConfigOf(bytes.data(), bytes.size()) == config);
        }
    }
    return 0;
}
