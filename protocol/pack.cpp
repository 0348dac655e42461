// Packing of application data: five methods, the choice of the smallest, and unpacking.
//
// Every decoder here is told how many input bytes it may read and how many bytes to produce into an
// output that holds them; a damaged stream makes it fail (0) instead of reading or writing past either.
#include "protocol/tmgsm.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr uint8_t MethodConst = 0x00;
constexpr uint8_t MethodRle = 0x80;
constexpr uint8_t MethodPalette = 0x40;
constexpr uint8_t MethodHuff = 0xC0;
constexpr uint32_t MaxRleCount = 254;
constexpr int MaxCodeLength = 31;
constexpr int MaxType2Length = 15;
constexpr uint32_t Type2TooLong = 255;

int BitLength(uint32_t v) {
    int bits = 0;
    for (; v; v >>= 1)
        ++bits;
    return bits;
}

uint32_t BytesFor(uint64_t bits) {
    return static_cast<uint32_t>((bits + 7) / 8);
}

// Most significant bit first; the byte being filled is zero on the right. Without an output it only
// counts; past the capacity it stops writing and remembers the overflow.
struct BitWriter {
    uint8_t* out;
    uint32_t capacity;
    uint64_t bits = 0;
    bool overflow = false;

    void Put(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i)
            PutBit((value >> i) & 1);
    }
    void PutBit(uint32_t bit) {
        uint64_t byte = bits >> 3;
        if (out && byte >= capacity)
            overflow = true;
        else if (out) {
            if ((bits & 7) == 0)
                out[byte] = 0;
            out[byte] |= static_cast<uint8_t>(bit << (7 - (bits & 7)));
        }
        ++bits;
    }
    void Align() {
        while (bits & 7)
            PutBit(0);
    }
    uint32_t Bytes() const { return BytesFor(bits); }
};

struct BitReader {
    const uint8_t* in;
    uint32_t avail;
    uint64_t bits = 0;

    bool Get(int count, uint32_t* value) {
        if (bits + static_cast<uint64_t>(count) > static_cast<uint64_t>(avail) * 8)
            return false;
        uint32_t v = 0;
        for (int i = 0; i < count; ++i, ++bits)
            v = (v << 1) | ((in[bits >> 3] >> (7 - (bits & 7))) & 1);
        *value = v;
        return true;
    }
    uint32_t Bytes() const { return BytesFor(bits); }
};

// ---- run-length --------------------------------------------------------------------------------

// Calls chunk(byte, k) for every piece of at most 256 equal bytes, in order.
template <class Chunk> void Rle_Chunks(const uint8_t* data, uint32_t n, Chunk chunk) {
    for (uint32_t i = 0; i < n;) {
        uint32_t k = 1;
        while (i + k < n && data[i + k] == data[i] && k < MaxRleCount + 2)
            ++k;
        chunk(data[i], k);
        i += k;
    }
}

uint32_t Rle_Size(const uint8_t* data, uint32_t n) {
    uint32_t size = 0;
    Rle_Chunks(data, n, [&](uint8_t, uint32_t k) { size += k == 1 ? 1 : 3; });
    return size;
}

// Returns the bytes written, 0 when they do not fit.
uint32_t Rle_Encode(const uint8_t* data, uint32_t n, uint8_t* out, uint32_t capacity) {
    uint32_t size = 0;
    bool fits = true;
    Rle_Chunks(data, n, [&](uint8_t b, uint32_t k) {
        uint32_t need = k == 1 ? 1 : 3;
        if (size + need > capacity) {
            fits = false;
            return;
        }
        out[size++] = b;
        if (k > 1) {
            out[size++] = b;
            out[size++] = static_cast<uint8_t>(k - 2);
        }
    });
    return fits ? size : 0;
}

// After a count the next byte always starts afresh, even when it equals the run byte.
uint32_t Rle_Decode(const uint8_t* in, uint32_t avail, uint8_t* out, uint32_t n) {
    uint32_t i = 0;
    uint32_t o = 0;
    bool fresh = true;
    while (o < n) {
        if (i >= avail)
            return 0;
        uint8_t b = in[i++];
        if (fresh || b != out[o - 1]) {
            out[o++] = b;
            fresh = false;
            continue;
        }
        if (i >= avail || in[i] > MaxRleCount || in[i] + 1u > n - o)
            return 0;
        uint32_t more = in[i++] + 1u;
        memset(out + o, b, more);
        o += more;
        fresh = true;
    }
    return i;
}

// ---- bit fields ----------------------------------------------------------------------------------

// Writes map[byte] of every byte in width bits; returns the bytes written, 0 when they do not fit.
uint32_t Bits_Pack(const uint8_t* data, uint32_t n, const uint8_t* map, int width, uint8_t* out,
                   uint32_t capacity) {
    BitWriter w{out, capacity};
    for (uint32_t i = 0; i < n; ++i)
        w.Put(map[data[i]], width);
    return w.overflow ? 0 : w.Bytes();
}

// Reads n fields of width bits; returns the bytes consumed, 0 when they reach past avail.
uint32_t Bits_Unpack(const uint8_t* in, uint32_t avail, uint8_t* out, uint32_t n, int width) {
    BitReader r{in, avail};
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t v;
        if (!r.Get(width, &v))
            return 0;
        out[i] = static_cast<uint8_t>(v);
    }
    return r.Bytes();
}

// Palette bytes in order of first appearance; returns their number.
uint32_t Palette_Build(const uint8_t* data, uint32_t n, PackWork* work) {
    for (uint16_t& entry : work->Palette)
        entry = 0xFFFF;
    uint32_t k = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (work->Palette[data[i]] != 0xFFFF)
            continue;
        work->Palette[data[i]] = static_cast<uint16_t>(k);
        work->PaletteBytes[k++] = data[i];
    }
    return k;
}

int PaletteBits(uint32_t k) {
    int p = 1;
    while (p < 8 && (1u << p) < k)
        ++p;
    return p;
}

// ---- Huffman ---------------------------------------------------------------------------------------

// Minimum-redundancy code lengths, in place, for weights sorted ascending (Moffat and Katajainen):
// on return a[i] is the length of the i-th weight. n >= 2.
void MinimumRedundancy(uint32_t* a, int n) {
    a[0] += a[1];
    int root = 0;
    int leaf = 2;
    for (int next = 1; next < n - 1; ++next) {
        if (leaf >= n || a[root] < a[leaf]) {
            a[next] = a[root];
            a[root++] = static_cast<uint32_t>(next);
        } else
            a[next] = a[leaf++];
        if (leaf >= n || (root < next && a[root] < a[leaf])) {
            a[next] += a[root];
            a[root++] = static_cast<uint32_t>(next);
        } else
            a[next] += a[leaf++];
    }
    a[n - 2] = 0;
    for (int next = n - 3; next >= 0; --next)
        a[next] = a[a[next]] + 1;
    int avail = 1;
    int used = 0;
    uint32_t depth = 0;
    root = n - 2;
    int next = n - 1;
    while (avail > 0) {
        while (root >= 0 && a[root] == depth) {
            ++used;
            --root;
        }
        while (avail > used) {
            a[next--] = depth;
            --avail;
        }
        avail = 2 * used;
        ++depth;
        used = 0;
    }
}

// Canonical codes: symbols by length, longest first, then by value; the first gets 0, each next the
// previous code plus one, shifted right by the drop in length. Fills symbols (returns their number) and
// codes; -1 when the lengths do not form a prefix code, which only a damaged table gives.
int CanonicalCodes(const uint8_t* lengths, uint8_t* symbols, uint32_t* codes) {
    int count = 0;
    uint64_t code = 0;
    int previous = 0;
    for (int length = MaxCodeLength; length >= 1; --length) {
        for (int s = 0; s < 256; ++s) {
            if (lengths[s] != length)
                continue;
            if (count > 0) {
                uint64_t shift = static_cast<uint64_t>(previous - length);
                uint64_t up = code + 1;
                if (up & ((uint64_t{1} << shift) - 1))
                    return -1;
                code = up >> shift;
            }
            if (code >= (uint64_t{1} << length))
                return -1;
            codes[s] = static_cast<uint32_t>(code);
            symbols[count++] = static_cast<uint8_t>(s);
            previous = length;
        }
    }
    return count;
}

// Counts the bytes and gives every occurring one its code length and canonical code.
void Huff_Build(const uint8_t* data, uint32_t n, PackWork* work) {
    memset(work->Counts, 0, sizeof work->Counts);
    memset(work->Lengths, 0, sizeof work->Lengths);
    for (uint32_t i = 0; i < n; ++i)
        ++work->Counts[data[i]];
    // Occurring symbols by ascending count (insertion sort; equal counts keep value order).
    int k = 0;
    for (int s = 0; s < 256; ++s) {
        if (!work->Counts[s])
            continue;
        int j = k++;
        for (; j > 0 && work->Counts[work->Symbols[j - 1]] > work->Counts[s]; --j)
            work->Symbols[j] = work->Symbols[j - 1];
        work->Symbols[j] = static_cast<uint8_t>(s);
    }
    if (k == 1)
        work->Lengths[work->Symbols[0]] = 1;
    if (k >= 2) {
        uint32_t* a = work->Codes; // free until the codes are assigned
        for (int i = 0; i < k; ++i)
            a[i] = work->Counts[work->Symbols[i]];
        MinimumRedundancy(a, k);
        for (int i = 0; i < k; ++i)
            work->Lengths[work->Symbols[i]] = static_cast<uint8_t>(a[i]);
    }
    CanonicalCodes(work->Lengths, work->Symbols, work->Codes);
}

// Type 1: lengths in w bits, runs of absent symbols either as zeros or as the escape e and a count.
void WriteTable1(const uint8_t* lengths, BitWriter* out) {
    int longest = 0;
    int longestRun = 0;
    for (int s = 0, run = 0; s < 256; ++s) {
        longest = lengths[s] > longest ? lengths[s] : longest;
        run = lengths[s] ? 0 : run + 1;
        longestRun = run > longestRun ? run : longestRun;
    }
    int w = BitLength(static_cast<uint32_t>(longest + 1));
    int r = BitLength(static_cast<uint32_t>(longestRun));
    uint32_t e = longestRun ? static_cast<uint32_t>(longest + 1) : 0;
    out->Put(static_cast<uint32_t>(w), 4);
    out->Put(static_cast<uint32_t>(r), 4);
    out->Put(e, 8);
    for (int s = 0; s < 256;) {
        if (lengths[s]) {
            out->Put(lengths[s++], w);
            continue;
        }
        int run = 0;
        while (s + run < 256 && !lengths[s + run])
            ++run;
        if ((run - 1) * w > r) {
            out->Put(e, w);
            out->Put(static_cast<uint32_t>(run), r);
        } else
            for (int i = 0; i < run; ++i)
                out->Put(0, w);
        s += run;
    }
}

// Type 2: a presence bitmap, the three most frequent lengths, then 2 bits (or 2 + 4) per symbol.
void WriteTable2(const uint8_t* lengths, BitWriter* out) {
    int symbolsOf[MaxType2Length + 1] = {};
    for (int s = 0; s < 256; ++s)
        if (lengths[s])
            ++symbolsOf[lengths[s]];
    // Most symbols first; the shorter length wins a tie; 0 when fewer lengths exist.
    int common[3] = {};
    for (int& pick : common) {
        for (int length = 1; length <= MaxType2Length; ++length)
            if (symbolsOf[length] > symbolsOf[pick])
                pick = length;
        symbolsOf[pick] = 0;
    }
    for (int byte = 0; byte < 32; ++byte) {
        uint32_t bits = 0;
        for (int b = 0; b < 8; ++b)
            bits = (bits << 1) | (lengths[byte * 8 + b] ? 1 : 0);
        out->Put(bits, 8);
    }
    for (int length : common)
        out->Put(static_cast<uint32_t>(length), 4);
    for (int s = 0; s < 256; ++s) {
        if (!lengths[s])
            continue;
        int i = 0;
        while (i < 3 && common[i] != lengths[s])
            ++i;
        if (i < 3)
            out->Put(static_cast<uint32_t>(i + 1), 2);
        else {
            out->Put(0, 2);
            out->Put(lengths[s], 4);
        }
    }
    out->Align();
}

uint32_t TableSize(const uint8_t* lengths, void (*write)(const uint8_t*, BitWriter*)) {
    BitWriter count{nullptr, 0};
    write(lengths, &count);
    return count.Bytes();
}

// The Huffman stream after the method byte: h, the table, the code bits. Without an output it only
// measures. Returns the size, 0 when it does not fit the capacity.
uint32_t Huff_Encode(const uint8_t* data, uint32_t n, PackWork* work, uint8_t* out, uint32_t capacity) {
    Huff_Build(data, n, work);
    bool longCodes = false;
    uint64_t codeBits = 1;
    for (int s = 0; s < 256; ++s) {
        longCodes |= work->Lengths[s] > MaxType2Length;
        codeBits += static_cast<uint64_t>(work->Counts[s]) * work->Lengths[s];
    }
    uint32_t type1 = TableSize(work->Lengths, WriteTable1);
    uint32_t type2 = longCodes ? Type2TooLong : TableSize(work->Lengths, WriteTable2);
    bool useType1 = type1 < type2;
    uint32_t size = 1 + (useType1 ? type1 : type2) + BytesFor(codeBits);
    if (!out)
        return size;
    BitWriter w{out, capacity};
    w.Put(useType1 ? type1 : 0, 8);
    (useType1 ? WriteTable1 : WriteTable2)(work->Lengths, &w);
    w.Align();
    w.PutBit(0);
    for (uint32_t i = 0; i < n; ++i)
        w.Put(work->Codes[data[i]], work->Lengths[data[i]]);
    return w.overflow ? 0 : w.Bytes();
}

bool ReadTable1(BitReader* in, uint8_t* lengths) {
    uint32_t w, r, e;
    if (!in->Get(4, &w) || !in->Get(4, &r) || !in->Get(8, &e) || w == 0)
        return false;
    for (int s = 0; s < 256;) {
        uint32_t v;
        if (!in->Get(static_cast<int>(w), &v))
            return false;
        if (v != e) {
            if (v > MaxCodeLength)
                return false;
            lengths[s++] = static_cast<uint8_t>(v);
            continue;
        }
        uint32_t run;
        if (!in->Get(static_cast<int>(r), &run) || run == 0 || run > static_cast<uint32_t>(256 - s))
            return false;
        s += static_cast<int>(run);
    }
    return true;
}

bool ReadTable2(const uint8_t* bitmap, BitReader* in, uint8_t* lengths) {
    uint32_t common[4] = {};
    for (int i = 1; i <= 3; ++i)
        if (!in->Get(4, &common[i]))
            return false;
    for (int s = 0; s < 256; ++s) {
        if (!(bitmap[s >> 3] & (0x80 >> (s & 7))))
            continue;
        uint32_t pick, length;
        if (!in->Get(2, &pick))
            return false;
        if (pick)
            length = common[pick];
        else if (!in->Get(4, &length))
            return false;
        if (length == 0)
            return false;
        lengths[s] = static_cast<uint8_t>(length);
    }
    return true;
}

// Reads the table and n codes; returns the bytes consumed (table included), 0 for a damaged stream.
uint32_t Huff_Decode(const uint8_t* in, uint32_t avail, uint8_t* out, uint32_t n) {
    uint8_t lengths[256] = {};
    uint32_t start;
    if (avail < 1)
        return 0;
    uint32_t h = in[0];
    if (h) {
        if (1 + h > avail)
            return 0;
        BitReader table{in + 1, h};
        if (!ReadTable1(&table, lengths))
            return 0;
        start = 1 + h;
    } else {
        if (1 + 32 > avail)
            return 0;
        BitReader table{in + 33, avail - 33};
        if (!ReadTable2(in + 1, &table, lengths))
            return 0;
        start = 33 + table.Bytes();
    }
    uint8_t symbols[256];
    uint32_t codes[256];
    int count = CanonicalCodes(lengths, symbols, codes);
    if (count <= 0)
        return 0;
    // Per length: how many codes, the first one and the index of its symbol.
    uint32_t ofLength[MaxCodeLength + 1] = {};
    uint32_t first[MaxCodeLength + 1] = {};
    uint32_t index[MaxCodeLength + 1] = {};
    for (int i = count - 1; i >= 0; --i) {
        int length = lengths[symbols[i]];
        ++ofLength[length];
        first[length] = codes[symbols[i]];
        index[length] = static_cast<uint32_t>(i);
    }
    int longest = lengths[symbols[0]];
    BitReader bits{in + start, avail - start};
    uint32_t lead;
    if (!bits.Get(1, &lead))
        return 0;
    for (uint32_t o = 0; o < n; ++o) {
        uint32_t code = 0;
        int length = 0;
        for (;;) {
            uint32_t bit;
            if (++length > longest || !bits.Get(1, &bit))
                return 0;
            code = (code << 1) | bit;
            if (ofLength[length] && code >= first[length] && code - first[length] < ofLength[length])
                break;
        }
        out[o] = symbols[index[length] + code - first[length]];
    }
    return start + bits.Bytes();
}

} // namespace

void Pack_Measure(const uint8_t* data, uint16_t n, PackState* state, PackWork* work, int huffman) {
    uint8_t lo = 255;
    uint8_t hi = 0;
    for (uint32_t i = 0; i < n; ++i) {
        lo = data[i] < lo ? data[i] : lo;
        hi = data[i] > hi ? data[i] : hi;
    }
    state->Kind = PackKinds;
    state->Size = PackNoSize;
    state->Min = lo;
    state->Range = static_cast<uint8_t>(n ? BitLength(static_cast<uint32_t>(hi - lo)) : 0);
    state->Distinct = static_cast<uint16_t>(Palette_Build(data, n, work));
    state->PaletteBits = static_cast<uint8_t>(PaletteBits(state->Distinct));
    uint32_t* sizes = state->Sizes;
    sizes[PackConst] = state->Range == 0 ? 2 : PackNoSize;
    sizes[PackRle] = 1 + Rle_Size(data, n);
    sizes[PackBits] = state->Range ? 2 + BytesFor(uint64_t{n} * state->Range) : PackNoSize;
    sizes[PackPalette] =
        state->Distinct < 256 ? 2 + state->Distinct + BytesFor(uint64_t{n} * state->PaletteBits) : PackNoSize;
    sizes[PackHuff] = huffman ? 1 + Huff_Encode(data, n, work, nullptr, 0) : PackNoSize;
}

int Pack_Choose(const uint8_t* data, uint16_t n, PackState* state, PackWork* work, int huffman) {
    state->Kind = PackKinds;
    state->Size = PackNoSize;
    if (n < 16)
        return 0;
    Pack_Measure(data, n, state, work, huffman);
    if (state->Range == 0) {
        state->Kind = PackConst;
        state->Size = 2;
        return 1;
    }
    uint32_t best = 65535;
    for (uint8_t kind : {PackRle, PackBits, PackPalette, PackHuff}) {
        if (state->Sizes[kind] < best) {
            best = state->Sizes[kind];
            state->Kind = kind;
        }
    }
    state->Size = best;
    return state->Kind != PackKinds && best < n;
}

uint32_t Pack_Encode(const uint8_t* data, uint16_t n, const PackState* state, PackWork* work, uint8_t* out,
                     uint32_t capacity) {
    if (n == 0 || capacity < 2)
        return 0;
    uint8_t map[256];
    uint32_t used;
    switch (state->Kind) {
    case PackConst:
        if (state->Range != 0)
            return 0;
        out[0] = MethodConst;
        out[1] = data[0];
        return 2;
    case PackRle:
        out[0] = MethodRle;
        used = Rle_Encode(data, n, out + 1, capacity - 1);
        return used ? 1 + used : 0;
    case PackBits:
        if (state->Range < 1 || state->Range > 8)
            return 0;
        out[0] = state->Range;
        out[1] = state->Min;
        for (int v = 0; v < 256; ++v)
            map[v] = static_cast<uint8_t>(v - state->Min);
        used = Bits_Pack(data, n, map, state->Range, out + 2, capacity - 2);
        return used ? 2 + used : 0;
    case PackPalette: {
        uint32_t k = Palette_Build(data, n, work);
        int p = PaletteBits(k);
        if (k > 255 || 2 + k >= capacity)
            return 0;
        out[0] = static_cast<uint8_t>(MethodPalette | p);
        out[1] = static_cast<uint8_t>(k);
        memcpy(out + 2, work->PaletteBytes, k);
        for (int v = 0; v < 256; ++v)
            map[v] = static_cast<uint8_t>(work->Palette[v]);
        used = Bits_Pack(data, n, map, p, out + 2 + k, capacity - 2 - k);
        return used ? 2 + k + used : 0;
    }
    case PackHuff:
        out[0] = MethodHuff;
        used = Huff_Encode(data, n, work, out + 1, capacity - 1);
        return used ? 1 + used : 0;
    default:
        return 0;
    }
}

uint32_t Pack_Decode(uint8_t* buffer, uint32_t avail, uint32_t n, uint32_t capacity) {
    if (n == 0 || n > capacity || avail < 2)
        return 0;
    uint8_t scratch[PackScratchSize];
    uint32_t length = avail < sizeof scratch ? avail : sizeof scratch;
    memcpy(scratch, buffer, length);
    const uint8_t method = scratch[0];
    const uint8_t* in = scratch + 1;
    const uint32_t rest = length - 1;
    const int width = method & 0x0F;
    uint32_t used;
    if (method == MethodConst) {
        memset(buffer, in[0], n);
        return 2;
    }
    if (method == MethodRle) {
        used = Rle_Decode(in, rest, buffer, n);
        return used ? 1 + used : 0;
    }
    if (method == MethodHuff) {
        used = Huff_Decode(in, rest, buffer, n);
        return used ? 1 + used : 0;
    }
    if ((method & 0xF0) == MethodConst && width >= 1 && width <= 8) {
        const uint8_t lo = in[0];
        used = Bits_Unpack(in + 1, rest - 1, buffer, n, width);
        for (uint32_t i = 0; used && i < n; ++i) {
            if (buffer[i] > 255 - lo)
                return 0;
            buffer[i] = static_cast<uint8_t>(buffer[i] + lo);
        }
        return used ? 2 + used : 0;
    }
    if ((method & 0xF0) == MethodPalette && width >= 1 && width <= 8) {
        const uint32_t k = in[0];
        if (k == 0 || k >= rest)
            return 0;
        const uint8_t* palette = in + 1;
        used = Bits_Unpack(in + 1 + k, rest - 1 - k, buffer, n, width);
        for (uint32_t i = 0; used && i < n; ++i) {
            if (buffer[i] >= k)
                return 0;
            buffer[i] = palette[buffer[i]];
        }
        return used ? 2 + k + used : 0;
    }
    return 0;
}
