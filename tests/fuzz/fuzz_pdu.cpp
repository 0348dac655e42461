// Decodes arbitrary lines as SMS-DELIVER and encodes them as SMS-SUBMIT texts and numbers.
#include "gsm/Pdu.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    SmsDeliverRecord deliver{};
    if (DecodeDeliverPdu(input.c_str(), &deliver)) {
        if (deliver.Udl > 160 || std::strlen(deliver.Sender) > 21 || std::strlen(deliver.TimeStamp) != 14 ||
            std::strlen(deliver.Text) > static_cast<size_t>(deliver.Udl))
            std::abort();
    }

    SmsSubmitRecord submit{};
    if (EncodeSubmitPdu(288, input.c_str(), input.data(), &submit, input.size()) == 0) {
        char hex[SubmitHexSize];
        PduToHex(hex, &submit);
        if (std::strlen(hex) != static_cast<size_t>(2 * submit.TpduLength + 2))
            std::abort();
    }
    return 0;
}
