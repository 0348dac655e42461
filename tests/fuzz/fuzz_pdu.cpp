// Decodes arbitrary lines as SMS-DELIVER, encodes them as SMS-SUBMIT numbers and texts, and decodes every
// encoded text again.
#include "gsm/Pdu.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void CheckDeliver(const std::string& input) {
    SmsDeliverRecord deliver{};
    if (DecodeDeliverPdu(input.c_str(), &deliver)) {
        if (deliver.Udl > 160 || std::strlen(deliver.Sender) > 21 || std::strlen(deliver.TimeStamp) != 14 ||
            std::strlen(deliver.Text) > static_cast<size_t>(deliver.Udl))
            std::abort();
    }
}

std::string EncodedLine(SmsSubmitRecord& submit) {
    char hex[SubmitHexSize];
    PduToHex(hex, &submit);
    if (std::strlen(hex) != static_cast<size_t>(2 * submit.TpduLength + 2))
        std::abort();
    return hex;
}

// The text comes back with as many characters as it had: an escaped character decodes as one.
void CheckRoundTrip(const std::string& text) {
    SmsSubmitRecord submit{};
    int result = EncodeSubmitPdu(288, "+12345678901", text.data(), &submit, text.size());
    if (result == PduTextTooLong)
        return;
    if (result != PduEncoded || submit.Udl > 160 || submit.UdOctets != (7 * submit.Udl + 7) / 8)
        std::abort();
    std::string hex = EncodedLine(submit);
    std::string line =
        "00040B912143658709F1000099309251619580" + hex.substr(hex.size() - 2 - 2 * submit.UdOctets);
    SmsDeliverRecord deliver{};
    if (submit.Udl > 0 &&
        (!DecodeDeliverPdu(line.c_str(), &deliver) || std::strlen(deliver.Text) != text.size()))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckDeliver(input);

    SmsSubmitRecord submit{};
    if (EncodeSubmitPdu(288, input.c_str(), "x", &submit, 1) == PduEncoded)
        EncodedLine(submit);
    CheckRoundTrip(input);
    return 0;
}
