#include "core/Receiver.h"

#include <new>

#include "core/RecordIo.h"
#include "platform/Cp1251.h"
#include "platform/Dialogs.h"

TReceiverPortHooks ReceiverPortHooks;

namespace {

// Everything of the record but the members; F is const for writing.
template <class Io, class F> void TransferHead(Io& io, F& f) {
    io.Field(f.BaseKind);
    io.Field(f.BaseID);
    io.Field(f.Protocol);
}

template <class Io, class F> void TransferTail(Io& io, F& f) {
    io.Field(f.Byte1);
    io.Field(f.Byte2);
    io.Field(f.Byte3);
    io.Text(f.Name);
    io.Text(f.Comment);
}

uint32_t RecordSize(uint64_t members, const std::string& name, const std::string& comment) {
    return static_cast<uint32_t>((4 * members + RecordTextLength(name) + RecordTextLength(comment) + 32) &
                                 ~uint64_t{3});
}

} // namespace

TReceiver::TReceiver() = default;

TReceiver::~TReceiver() {
    if (BaseKind > 0 && ReceiverPortHooks.Destroy)
        ReceiverPortHooks.Destroy(*this);
}

void TReceiver::Assign(TReceiver& source, bool copyMembers) {
    Byte1 = source.Byte1;
    Byte2 = source.Byte2;
    Byte3 = source.Byte3;
    Int1 = source.Int1;
    Int2 = source.Int2;
    Protocol = source.Protocol;
    Name = source.Name;
    BaseKind = source.BaseKind;
    BaseID = source.BaseID;
    Changed = source.Changed;
    if (!copyMembers) {
        Members = std::move(source.Members);
        source.Members.clear();
        return;
    }
    try {
        Members = source.Members;
    } catch (const std::bad_alloc&) {
        Members.clear();
        MessageDlg(QStringLiteral("Недостаточно памяти для копирования группы!\r\n"), mtError, mbOK);
    }
}

uint32_t TReceiver::GetRecordSize() const {
    return RecordSize(Members.size(), Name, Comment);
}

int32_t TReceiver::WriteRecord(uint8_t* dest) const {
    TRecordWriter w(dest);
    TransferHead(w, *this);
    w.Field(MemberCount());
    w.Field(Int1);
    w.Field(Int2);
    for (uint32_t m : Members)
        w.Field(m);
    TransferTail(w, *this);
    uint32_t size = GetRecordSize();
    w.SkipTo(size);
    return static_cast<int32_t>(size);
}

int32_t TReceiver::ReadRecord(const uint8_t* src, size_t avail, std::string* refusal) {
    struct {
        int32_t BaseKind, BaseID, Protocol;
        uint8_t Byte1, Byte2, Byte3;
        std::string Name, Comment;
    } f;
    TRecordReader r(src, avail);
    TransferHead(r, f);
    auto count = r.Get<int32_t>();
    auto int1 = r.Get<int32_t>();
    auto int2 = r.Get<int32_t>();
    // The count is checked against the bytes left before anything is allocated for it.
    if (count < 0 || static_cast<uint64_t>(count) * 4 > r.Left())
        r.Fail();
    std::vector<uint32_t> members(r.Ok() ? static_cast<size_t>(count) : 0);
    for (uint32_t& m : members)
        r.Field(m);
    TransferTail(r, f);
    uint32_t size = RecordSize(members.size(), f.Name, f.Comment);
    if (!r.Ok() || size > avail)
        return 0;
    // Only a damaged file holds one; its port name would be made from a number that overflows.
    if (f.BaseKind > bkObject && (f.BaseID < -1 || f.BaseID > MaxPortBase)) {
        if (refusal)
            *refusal =
                QStringLiteral("Файл с настройками поврежден!\r\nНедопустимая база группы \"%1\": COM%2")
                    .arg(FromCp1251(f.Name))
                    .arg(int64_t{f.BaseID} + 1)
                    .toStdString();
        return 0;
    }

    BaseKind = f.BaseKind;
    BaseID = f.BaseID;
    Protocol = f.Protocol;
    Int1 = int1;
    Int2 = int2;
    Members = std::move(members);
    Byte1 = f.Byte1;
    Byte2 = f.Byte2;
    Byte3 = f.Byte3;
    Name = std::move(f.Name);
    Comment = std::move(f.Comment);
    return static_cast<int32_t>(size);
}
