// Little-endian fields of the state file's records.
//
// A record is described once, as a function template that hands each field in order to an Io: the
// writer stores it, the reader fills it. TRecordWriter writes into space that the caller sized with
// the record's size function. TRecordReader never reads past the bytes it was given: a read that
// would fails the reader and gives zeros, and every later read fails too, so a record reader checks
// Ok() once at its end.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

// A record's text ends at its first NUL; the record holds those bytes and the NUL.
inline size_t RecordTextLength(const std::string& text) {
    return std::strlen(text.c_str());
}

inline uint32_t RoundUp4(uint64_t n) {
    return static_cast<uint32_t>((n + 3) & ~uint64_t{3});
}

template <class T>
concept RecordScalar = std::is_arithmetic_v<T>;

class TRecordWriter {
public:
    explicit TRecordWriter(uint8_t* dest) : start_(dest), pos_(dest) {}

    template <RecordScalar T> void Field(const T& value) {
        auto bits = std::bit_cast<std::make_unsigned_t<IntOf<T>>>(value);
        for (size_t i = 0; i < sizeof(T); ++i)
            *pos_++ = static_cast<uint8_t>(bits >> (8 * i));
    }
    template <class T, size_t N> void Field(const std::array<T, N>& values) {
        for (const T& v : values)
            Field(v);
    }
    // The text up to its first NUL, then a NUL.
    void Text(const std::string& text) {
        size_t n = RecordTextLength(text) + 1;
        std::memcpy(pos_, text.c_str(), n);
        pos_ += n;
    }
    // Bytes that nothing reads: zeros.
    void Skip(size_t n) {
        std::memset(pos_, 0, n);
        pos_ += n;
    }
    void SkipTo(size_t offset) { Skip(offset - Pos()); }
    // A nested record (a group inside the settings record).
    template <class R> void Record(const R& record) { pos_ += record.WriteRecord(pos_); }
    size_t Pos() const { return static_cast<size_t>(pos_ - start_); }

private:
    template <class T> using IntOf = std::conditional_t<std::is_floating_point_v<T>, uint64_t, T>;

    uint8_t* start_;
    uint8_t* pos_;
};

class TRecordReader {
public:
    TRecordReader(const uint8_t* src, size_t avail) : src_(src), avail_(avail) {}

    template <RecordScalar T> void Field(T& value) {
        using U = std::make_unsigned_t<std::conditional_t<std::is_floating_point_v<T>, uint64_t, T>>;
        U bits = 0;
        if (Take(sizeof(T)))
            for (size_t i = sizeof(T); i-- > 0;)
                bits = static_cast<U>(bits << 8 | src_[pos_ - sizeof(T) + i]);
        value = std::bit_cast<T>(bits);
    }
    template <class T, size_t N> void Field(std::array<T, N>& values) {
        for (T& v : values)
            Field(v);
    }
    template <class T> T Get() {
        T value;
        Field(value);
        return value;
    }
    // The bytes up to the next NUL; the NUL is consumed. Fails when no NUL is left.
    void Text(std::string& text) {
        text.clear();
        if (!ok_)
            return;
        const void* nul = std::memchr(src_ + pos_, 0, avail_ - pos_);
        if (!nul) {
            ok_ = false;
            return;
        }
        size_t n = static_cast<size_t>(static_cast<const uint8_t*>(nul) - (src_ + pos_));
        text.assign(reinterpret_cast<const char*>(src_ + pos_), n);
        pos_ += n + 1;
    }
    void Skip(size_t n) { Take(n); }
    void SkipTo(size_t offset) {
        if (offset < pos_)
            ok_ = false;
        else
            Skip(offset - pos_);
    }
    // A nested record, read by its own bounded reader; 0 from it fails this reader.
    template <class R, class... Args> void Record(R& record, Args... args) {
        if (!ok_)
            return;
        size_t size = static_cast<size_t>(record.ReadRecord(src_ + pos_, avail_ - pos_, args...));
        if (size == 0)
            ok_ = false;
        Skip(size);
    }
    // A value the record cannot hold.
    void Fail() { ok_ = false; }
    bool Ok() const { return ok_; }
    size_t Pos() const { return pos_; }
    size_t Left() const { return ok_ ? avail_ - pos_ : 0; }

private:
    bool Take(size_t n) {
        if (!ok_ || n > avail_ - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    const uint8_t* src_;
    size_t avail_;
    size_t pos_ = 0;
    bool ok_ = true;
};
