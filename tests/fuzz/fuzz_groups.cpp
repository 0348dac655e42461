// The group records and the settings record that holds them, as a damaged or foreign "States.bin" may
// hold them: the readers stay inside the record, a refused record changes nothing, and what they accept
// writes back to a record that reads the same.
//
// Input: a control byte (bit 0: the settings record, else one group record), then the record's bytes.
#include "core/Settings.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void Require(bool ok) {
    if (!ok)
        std::abort();
}

int portsMade = 0;

void CountPort(TReceiver&) {
    ++portsMade;
}

template <class R> std::vector<uint8_t> Written(const R& record) {
    std::vector<uint8_t> bytes(record.GetRecordSize());
    Require(record.WriteRecord(bytes.data()) == static_cast<int32_t>(bytes.size()));
    return bytes;
}

void Fill(TReceiver& g) {
    g.Name = "old";
    g.Comment = "kept";
    g.BaseKind = TReceiver::bkComPort;
    g.BaseID = 3;
    g.Members = {1, 2};
}

bool SameStored(const TReceiver& a, const TReceiver& b) {
    return a.Name == b.Name && a.Comment == b.Comment && a.BaseKind == b.BaseKind && a.BaseID == b.BaseID &&
           a.Protocol == b.Protocol && a.Members == b.Members && a.Int1 == b.Int1 && a.Int2 == b.Int2 &&
           a.Byte1 == b.Byte1 && a.Byte2 == b.Byte2 && a.Byte3 == b.Byte3;
}

void CheckGroup(const uint8_t* record, size_t size) {
    TReceiver g, before;
    Fill(g);
    Fill(before);
    const int32_t n = g.ReadRecord(record, size);
    if (n == 0) {
        Require(SameStored(g, before));
        return;
    }
    Require(n > 0 && static_cast<size_t>(n) <= size && n % 4 == 0 &&
            static_cast<uint32_t>(n) == g.GetRecordSize());
    // The bytes read come back as they were, up to the comment's NUL.
    const size_t used = 27 + 4 * g.Members.size() + g.Name.size() + 1 + g.Comment.size() + 1;
    const std::vector<uint8_t> bytes = Written(g);
    Require(used <= bytes.size() && std::memcmp(bytes.data(), record, used) == 0);
    TReceiver again;
    Require(again.ReadRecord(bytes.data(), bytes.size()) == n && SameStored(again, g));
}

void CheckSettings(const uint8_t* record, size_t size) {
    TSettings s;
    s.Receivers.push_back(std::make_unique<TReceiver>());
    Fill(*s.Receivers.back());
    const std::vector<uint8_t> before = Written(s);
    portsMade = 0;
    const int32_t n = s.ReadRecord(record, size, 0);
    if (n == 0) {
        Require(Written(s) == before && portsMade == 0);
        return;
    }
    Require(n > 0 && static_cast<size_t>(n) <= size && n % 4 == 0 &&
            static_cast<uint32_t>(n) == s.GetRecordSize());
    int portBases = 0;
    for (const auto& g : s.Receivers)
        portBases += g->BaseKind > 0;
    Require(portsMade == portBases);
    Require(s.SWFileCount >= 0 && s.SWFileCount <= TSettingsFields::SWFileMax);
    Require(s.ExtraPeriod >= 1 && s.ExtraPeriod <= 99);

    const std::vector<uint8_t> bytes = Written(s);
    TSettings again;
    Require(again.ReadRecord(bytes.data(), bytes.size(), 0) == n);
    Require(Written(again) == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    ReceiverPortHooks.Create = CountPort;
    // A copy of exactly the record's size, so that a read past its end is a sanitizer report.
    const size_t n = size - 1;
    auto record = std::make_unique<uint8_t[]>(n);
    if (n)
        std::memcpy(record.get(), data + 1, n);
    if (data[0] & 1)
        CheckSettings(record.get(), n);
    else
        CheckGroup(record.get(), n);
    return 0;
}
