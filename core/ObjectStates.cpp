#include "core/ObjectStates.h"

#include "core/RecordIo.h"

#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr const char* DefaultPinNames[TObjectFields::PinCount] = {
    "IN1", "IN2", "IN3", "IN4", "IN5", "AN_IN1", "AN_IN2", "AN_IN3", "OUT1", "OUT2", "OUT3", "OUT4", "OUT5"};

// The record, field by field; F is const for writing.
template <class Io, class F> void Transfer(Io& io, F& f) {
    io.Field(f.ObjectNumber);
    io.Field(f.ModemID);
    io.Field(f.LastDataTime);
    io.Field(f.Reserved1);
    io.Field(f.InputStates);
    io.Field(f.Reserved2);
    io.Field(f.RequestFlags);
    io.Field(f.HwVersion);
    io.Field(f.UpdateState);
    io.Field(f.IsBKModel);
    io.Field(f.Reserved3);
    io.Skip(4); // place of the AppBuf reference, meaningless in a file
    io.Field(f.Reserved4);
    io.Field(f.DevIDs);
    io.Field(f.Reserved5);
    io.Field(f.OutputStates);
    io.Field(f.PinNames);
    io.SkipTo(340);
    io.Field(f.Reserved6);
    io.Field(f.Connected);
    io.SkipTo(352);
    io.Field(f.ConnectTime);
    io.Field(f.PowerOnSeen);
    io.Field(f.ConnectedOnce);
    io.Field(f.Reserved7);
    io.SkipTo(376);
    io.Field(f.Reserved8);
    io.Field(f.Password);
    io.Field(f.Reserved9);
    io.Text(f.Name);
    io.Text(f.Phone);
}

// Each buffer in pages of its own, which the system hands out zeroed when they are first touched:
// clearing them would write 84 MB at the start with a thousand objects, and most of a buffer is queue
// space that many objects never use (TBuffer initialises it as zeroed memory). The pages are mapped for many
// buffers at a time, as a mapping for each made a start with 65,536 objects pay as many system calls; a freed
// buffer gives its pages back (they come back zeroed) and is handed out again.
class TAppBufPool {
public:
    ::AppBuf* Take() {
        void* pages = nullptr;
        {
            const std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                pages = free_.back();
                free_.pop_back();
            } else {
                if (left_ == 0)
                    Map();
                pages = next_;
                next_ += stride_;
                --left_;
            }
        }
        return static_cast<::AppBuf*>(pages);
    }

    // A buffer that was written gives its pages back first.
    void Give(::AppBuf* buffer, bool written) {
        if (written)
            ::madvise(buffer, stride_, MADV_DONTNEED);
        const std::lock_guard lock(mutex_);
        free_.push_back(buffer);
    }

private:
    static constexpr std::size_t PerMapping = 64;

    void Map() {
        void* pages =
            ::mmap(nullptr, stride_ * PerMapping, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED)
            throw std::bad_alloc();
        next_ = static_cast<char*>(pages);
        left_ = PerMapping;
    }

    const std::size_t page_ = std::size_t(::sysconf(_SC_PAGESIZE));
    const std::size_t stride_ = (sizeof(::AppBuf) + page_ - 1) / page_ * page_;
    std::mutex mutex_;
    std::vector<void*> free_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
};

// Never destroyed: objects of static lifetime may go after it.
TAppBufPool& AppBufPool() {
    static TAppBufPool& pool = *new TAppBufPool;
    return pool;
}

// Main thread only. Never destroyed: the object list, a global of another unit, may end after it.
std::vector<TObjectStates*>& BuffersDue() {
    static auto* due = new std::vector<TObjectStates*>;
    return *due;
}

} // namespace

void MarkBufferDue(TObjectStates* object) {
    if (object->BufferDueAt >= 0)
        return;
    object->BufferDueAt = std::ptrdiff_t(BuffersDue().size());
    BuffersDue().push_back(object);
}

std::vector<TObjectStates*> TakeBuffersDue() {
    std::vector<TObjectStates*> due = std::exchange(BuffersDue(), {});
    std::erase(due, nullptr); // destroyed meanwhile
    for (TObjectStates* object : due)
        object->BufferDueAt = -1;
    return due;
}

TObjectStates::TBuffer::TBuffer() : pages_(AppBufPool().Take()) {}

TObjectStates::TBuffer::~TBuffer() {
    AppBufPool().Give(pages_, ready_);
}

TObjectStates::TObjectStates() {
    for (int i = 0; i < PinCount; ++i)
        SetFixedText(PinNames[i], DefaultPinNames[i]);
}

TObjectStates::~TObjectStates() {
    if (BufferDueAt >= 0)
        BuffersDue()[std::size_t(BufferDueAt)] = nullptr;
}

uint32_t TObjectStates::GetRecordSize() const {
    return RoundUp4(uint64_t{FixedSize} + RecordTextLength(Name) + RecordTextLength(Phone) + 2);
}

int32_t TObjectStates::WriteRecord(uint8_t* dest) const {
    TRecordWriter w(dest);
    Transfer(w, static_cast<const TObjectFields&>(*this));
    uint32_t size = GetRecordSize();
    w.SkipTo(size);
    return static_cast<int32_t>(size);
}

int32_t TObjectStates::ReadRecord(const uint8_t* src, size_t avail, int32_t /*version*/) {
    TObjectFields f; // a record that does not fit changes nothing
    TRecordReader r(src, avail);
    Transfer(r, f);
    uint32_t size = RoundUp4(r.Pos());
    if (!r.Ok() || size > avail)
        return 0;
    static_cast<TObjectFields&>(*this) = std::move(f);
    return static_cast<int32_t>(size);
}
