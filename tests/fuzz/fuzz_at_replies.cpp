// The GSM modem's replies as the AT cycle reads them: the first byte picks the command, the rest is the
// reply, NUL bytes and all. Checks that the recognised answer is one the command expects, that it stays
// once found as more bytes arrive, and that the storage counts and the PDU line are sound.
#include "gsm/AtCommands.h"
#include "gsm/Pdu.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool Expected(int index, TAnswerResult result) {
    const TATCommand& c = ATCommandTable[std::size_t(index)];
    switch (result) {
    case arNone:
        return true;
    case arAnswer0:
        return c.Answer0 >= 0;
    case arAnswer1:
        return c.Answer1 >= 0;
    case arAnswer2:
        return c.Answer2 >= 0;
    case arAnswer3:
        return c.Answer3 >= 0;
    case arSimLocked:
        return index == cmdPinQuery;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const int index = data[0] % ATCommandCount;
    const std::string_view reply(reinterpret_cast<const char*>(data + 1), size - 1);

    const TAnswerResult result = CheckAnswers(index, reply);
    if (!Expected(index, result))
        std::abort();
    // The cycle tests the reply as it grows: an answer found in a part is found in the whole, except
    // that the PIN query's value line may complete later and decide.
    const TAnswerResult early = CheckAnswers(index, reply.substr(0, reply.size() / 2));
    if (early != arNone && result == arNone)
        std::abort();

    int used = -1, total = -1;
    if (ParseStorage(reply, used, total) && (used < 0 || total < 0))
        std::abort();
    const std::string line = ReadPduLine(reply);
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        std::abort();
    if (ReadSmsHeader(reply).find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        std::abort();
    SmsDeliverRecord deliver{};
    DecodeDeliverPdu(line.c_str(), &deliver);
    return 0;
}
