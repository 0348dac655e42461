// A link's command parts on their own, for driving the builder and the parser without a link.
#pragma once

#include "protocol/tmgsm.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct CommandTarget {
    AuthKeys keys{};
    AuthCtx auth{};
    CmdResults results{};
    CmdParams params{};
    UpdCtx upd{};
    std::unique_ptr<AppBuf> buf = std::make_unique<AppBuf>();
    uint8_t options = 0;
    uint8_t block[1028]{};
    uint16_t blockLen = 0;
    uint8_t records[1028]{};
    uint16_t recordsLen = 0;
    uint8_t log[LOG_STORE_SIZE]{};

    explicit CommandTarget(const uint8_t* sessKey) {
        TMGSM_AuthKeysInit(&keys);
        Auth_Init(&auth, &keys);
        Auth_SetSessKey(&auth, sessKey);
        AppBuf_Init(buf.get());
    }

    CmdCtx Ctx(bool withBuffer = true) {
        return CmdCtx{0x00AB,  &results, &params,   &auth,   &upd,        withBuffer ? buf.get() : nullptr,
                      options, block,    &blockLen, records, &recordsLen, sizeof records,
                      log};
    }

    // Appends one record [length][plaintext] for the parser.
    void AddRecord(const Bytes& plain) {
        const auto n = static_cast<uint16_t>(plain.size());
        Put_U16BE(records + recordsLen, n);
        if (n > 0)
            memcpy(records + recordsLen + 2, plain.data(), n);
        recordsLen = static_cast<uint16_t>(recordsLen + 2 + n);
    }
};

inline std::string TraceCapture;
inline void CaptureTrace(const char* text, size_t n) {
    TraceCapture.append(text, n);
}
inline void FixedTestClock(TmClock* now) {
    *now = TmClock{{2026, 12, 10, 9, 5, 7}, 42};
}
