#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const char* KindName(int kind) {
    static const char* const names[] = {"const", "rle", "bits", "palette", "huff", "none"};
    return names[kind];
}

// Packs with one forced method; empty when the method cannot pack this data.
Bytes EncodeWith(const Bytes& data, int kind, PackState* state, PackWork* work) {
    Pack_Measure(data.data(), static_cast<uint16_t>(data.size()), state, work, 1);
    if (state->Sizes[kind] == PackNoSize)
        return {};
    state->Kind = static_cast<uint8_t>(kind);
    Bytes out(data.size() * 2 + 300);
    uint32_t size = Pack_Encode(data.data(), static_cast<uint16_t>(data.size()), state, work, out.data(),
                                static_cast<uint32_t>(out.size()));
    out.resize(size);
    return out;
}

// Unpacks in place in a heap area of exactly the size needed, so that the sanitizer sees any overrun.
uint32_t Decode(const Bytes& stream, uint32_t n, uint32_t capacity, Bytes* out) {
    Bytes area(std::max<size_t>(stream.size(), capacity));
    std::copy(stream.begin(), stream.end(), area.begin());
    uint32_t used = Pack_Decode(area.data(), static_cast<uint32_t>(stream.size()), n, capacity);
    if (out)
        out->assign(area.begin(), area.begin() + (used ? n : 0));
    return used;
}

// ---- data shapes ------------------------------------------------------------------------------------

using Shape = std::function<Bytes(size_t n, std::mt19937& rng)>;

struct NamedShape {
    const char* name;
    Shape make;
};

Bytes Uniform(size_t n, std::mt19937& rng, int alphabet, int base = 0) {
    Bytes b(n);
    for (auto& v : b)
        v = static_cast<uint8_t>(base + static_cast<int>(rng() % static_cast<unsigned>(alphabet)));
    return b;
}

const std::vector<NamedShape>& Shapes() {
    static const std::vector<NamedShape> shapes = {
        {"constant", [](size_t n, std::mt19937&) { return Bytes(n, 0x5A); }},
        {"random", [](size_t n, std::mt19937& rng) { return Uniform(n, rng, 256); }},
        {"two_values", [](size_t n, std::mt19937& rng) { return Uniform(n, rng, 2, 0x40); }},
        {"five_values", [](size_t n, std::mt19937& rng) { return Uniform(n, rng, 5, 250); }},
        {"seventeen_values", [](size_t n, std::mt19937& rng) { return Uniform(n, rng, 17, 3); }},
        {"hundred_values", [](size_t n, std::mt19937& rng) { return Uniform(n, rng, 100, 100); }},
        {"narrow_range", [](size_t n, std::mt19937& rng) { return Uniform(n, rng, 12, 0x30); }},
        {"runs",
         [](size_t n, std::mt19937& rng) {
             Bytes b;
             while (b.size() < n)
                 b.insert(b.end(), std::min<size_t>(n - b.size(), 1 + rng() % 400),
                          static_cast<uint8_t>(rng()));
             return b;
         }},
        {"ramp",
         [](size_t n, std::mt19937&) {
             Bytes b(n);
             for (size_t i = 0; i < n; ++i)
                 b[i] = static_cast<uint8_t>(i);
             return b;
         }},
        {"text",
         [](size_t n, std::mt19937& rng) {
             static const std::string words[] = {"$GPRMC,", "123519,", "A,", "4807.038,", "N,", "\r\n", " "};
             std::string s;
             while (s.size() < n)
                 s += words[rng() % 7];
             return Bytes(s.begin(), s.begin() + static_cast<long>(n));
         }},
        {"skewed",
         [](size_t n, std::mt19937& rng) {
             std::geometric_distribution<int> g(0.3);
             Bytes b(n);
             for (auto& v : b)
                 v = static_cast<uint8_t>(std::min(g(rng), 255));
             return b;
         }},
        {"all_values_once_then_zeros",
         [](size_t n, std::mt19937&) {
             Bytes b(n, 0);
             for (size_t i = 0; i < n && i < 256; ++i)
                 b[i] = static_cast<uint8_t>(255 - i);
             return b;
         }},
    };
    return shapes;
}

const size_t Sizes[] = {1, 2, 3, 7, 15, 16, 17, 31, 64, 100, 255, 256, 257, 300, 512, 1003, 2051};

// Reference cost of an optimal prefix code: the sum of the merged weights.
uint64_t HuffmanBits(const Bytes& data) {
    uint64_t counts[256] = {};
    for (uint8_t v : data)
        ++counts[v];
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<>> q;
    for (uint64_t c : counts)
        if (c)
            q.push(c);
    if (q.size() == 1)
        return data.size();
    uint64_t total = 0;
    while (q.size() > 1) {
        uint64_t a = q.top();
        q.pop();
        uint64_t b = q.top();
        q.pop();
        total += a + b;
        q.push(a + b);
    }
    return total;
}

// ---- every method round-trips every shape and size --------------------------------------------------

class PackRoundTrip : public ::testing::TestWithParam<std::tuple<size_t, size_t, int>> {};

TEST_P(PackRoundTrip, EncodedSizeIsTheMeasuredSizeAndDecodingGivesTheDataBack) {
    auto [shapeIndex, n, kind] = GetParam();
    const NamedShape& shape = Shapes()[shapeIndex];
    std::mt19937 rng(static_cast<unsigned>(n * 31 + shapeIndex));
    Bytes data = shape.make(n, rng);
    PackState state;
    PackWork work;
    Bytes stream = EncodeWith(data, kind, &state, &work);
    if (state.Sizes[kind] == PackNoSize) {
        EXPECT_TRUE(kind == PackConst || kind == PackBits || kind == PackPalette) << KindName(kind);
        return;
    }
    ASSERT_EQ(stream.size(), state.Sizes[kind]) << shape.name << " n=" << n << " " << KindName(kind);
    Bytes back;
    if (stream.size() > PackScratchSize) {
        // Longer than any stream worth sending: not read.
        EXPECT_EQ(Decode(stream, static_cast<uint32_t>(n), static_cast<uint32_t>(n), &back), 0u);
        return;
    }
    ASSERT_EQ(Decode(stream, static_cast<uint32_t>(n), static_cast<uint32_t>(n), &back), stream.size());
    EXPECT_EQ(back, data);

    // The stream carries no length: trailing bytes are not consumed, a cut stream is refused.
    Bytes longer = stream;
    longer.insert(longer.end(), {0xFF, 0x00, 0xAA});
    EXPECT_EQ(Decode(longer, static_cast<uint32_t>(n), static_cast<uint32_t>(n), &back), stream.size());
    EXPECT_EQ(back, data);
    Bytes cut(stream.begin(), stream.end() - 1);
    EXPECT_EQ(Decode(cut, static_cast<uint32_t>(n), static_cast<uint32_t>(n), nullptr), 0u);
    EXPECT_EQ(Decode(stream, static_cast<uint32_t>(n), static_cast<uint32_t>(n - 1), nullptr), 0u);
}

INSTANTIATE_TEST_SUITE_P(ShapesSizesMethods, PackRoundTrip,
                         ::testing::Combine(::testing::Range<size_t>(0, 12), ::testing::ValuesIn(Sizes),
                                            ::testing::Range(0, static_cast<int>(PackKinds))),
                         [](const auto& info) {
                             return std::string(Shapes()[std::get<0>(info.param)].name) + "_" +
                                    std::to_string(std::get<1>(info.param)) + "_" +
                                    KindName(std::get<2>(info.param));
                         });

// ---- the choice -----------------------------------------------------------------------------------

TEST(PackChoose, PicksTheSmallestMethodEarlierOnATieAndOnlyWhenItPays) {
    for (size_t s = 0; s < Shapes().size(); ++s) {
        for (size_t n : Sizes) {
            std::mt19937 rng(static_cast<unsigned>(n + 1000 * s));
            Bytes data = Shapes()[s].make(n, rng);
            for (int huffman : {0, 1}) {
                SCOPED_TRACE(std::string(Shapes()[s].name) + " n=" + std::to_string(n) +
                             " huffman=" + std::to_string(huffman));
                PackState state;
                PackWork work;
                int pays = Pack_Choose(data.data(), static_cast<uint16_t>(n), &state, &work, huffman);
                if (n < 16) {
                    EXPECT_EQ(pays, 0);
                    continue;
                }
                if (state.Range == 0) {
                    EXPECT_EQ(pays, 1);
                    EXPECT_EQ(state.Kind, PackConst);
                    EXPECT_EQ(state.Size, 2u);
                    continue;
                }
                if (!huffman) {
                    EXPECT_EQ(state.Sizes[PackHuff], PackNoSize);
                }
                int best = PackKinds;
                uint32_t bestSize = 65535;
                for (int kind = PackRle; kind <= PackHuff; ++kind)
                    if (state.Sizes[kind] < bestSize)
                        best = kind, bestSize = state.Sizes[kind];
                EXPECT_EQ(state.Kind, best);
                EXPECT_EQ(state.Size, bestSize);
                EXPECT_EQ(pays, bestSize < n ? 1 : 0);
                if (pays) {
                    Bytes out(n);
                    uint32_t size = Pack_Encode(data.data(), static_cast<uint16_t>(n), &state, &work,
                                                out.data(), static_cast<uint32_t>(n));
                    EXPECT_EQ(size, state.Size);
                    out.resize(size);
                    Bytes back;
                    EXPECT_EQ(Decode(out, static_cast<uint32_t>(n), static_cast<uint32_t>(n), &back), size);
                    EXPECT_EQ(back, data);
                }
            }
        }
    }
}

TEST(PackChoose, FifteenBytesAreNeverPacked) {
    Bytes data(15, 7);
    PackState state;
    PackWork work;
    EXPECT_EQ(Pack_Choose(data.data(), 15, &state, &work, 1), 0);
}

TEST(PackChoose, SixteenEqualBytesPackToTheConstant) {
    Bytes data(16, 0x33);
    PackState state;
    PackWork work;
    ASSERT_EQ(Pack_Choose(data.data(), 16, &state, &work, 1), 1);
    uint8_t out[16];
    ASSERT_EQ(Pack_Encode(data.data(), 16, &state, &work, out, sizeof out), 2u);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x33);
}

TEST(PackChoose, AlternatingBytesPackWithOneBitEach) {
    Bytes data;
    for (int i = 0; i < 16; ++i)
        data.push_back(i % 2 ? 0x41 : 0x40);
    PackState state;
    PackWork work;
    ASSERT_EQ(Pack_Choose(data.data(), 16, &state, &work, 0), 1);
    EXPECT_EQ(state.Sizes[PackRle], 17u);
    EXPECT_EQ(state.Sizes[PackPalette], 6u);
    EXPECT_EQ(state.Kind, PackBits);
    uint8_t out[16];
    ASSERT_EQ(Pack_Encode(data.data(), 16, &state, &work, out, sizeof out), 4u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x01, 0x40, 0x55, 0x55}));
}

TEST(PackChoose, DataThatPacksNoSmallerGoesUnpacked) {
    Bytes data(256);
    for (int i = 0; i < 256; ++i)
        data[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 167 + 13);
    PackState state;
    PackWork work;
    EXPECT_EQ(Pack_Choose(data.data(), 256, &state, &work, 1), 0);
    EXPECT_GE(state.Size, 256u);
}

TEST(PackChoose, EncodeRefusesAnOutputTooSmall) {
    std::mt19937 rng(5);
    Bytes data = Uniform(500, rng, 3);
    PackState state;
    PackWork work;
    ASSERT_EQ(Pack_Choose(data.data(), 500, &state, &work, 1), 1);
    Bytes out(state.Size + 8, 0xEE);
    EXPECT_EQ(Pack_Encode(data.data(), 500, &state, &work, out.data(), state.Size - 1), 0u);
    EXPECT_TRUE(std::all_of(out.begin() + state.Size - 1, out.end(), [](uint8_t v) { return v == 0xEE; }));
}

// ---- run-length -------------------------------------------------------------------------------------

TEST(PackRle, ARunOf300CodesAsTwoPairs) {
    Bytes data(300, 0x99);
    PackState state;
    PackWork work;
    Bytes stream = EncodeWith(data, PackRle, &state, &work);
    EXPECT_EQ(stream, (Bytes{0x80, 0x99, 0x99, 254, 0x99, 0x99, 42}));
    Bytes back;
    EXPECT_EQ(Decode(stream, 300, 300, &back), 7u);
    EXPECT_EQ(back, data);
}

TEST(PackRle, AfterAFullCountTheSameByteStartsAfresh) {
    // 257 equal bytes, then a different one: the pair covers 256, the next equal byte stands alone.
    Bytes data(257, 0x11);
    data.push_back(0x22);
    PackState state;
    PackWork work;
    Bytes stream = EncodeWith(data, PackRle, &state, &work);
    EXPECT_EQ(stream, (Bytes{0x80, 0x11, 0x11, 254, 0x11, 0x22}));
    Bytes back;
    EXPECT_EQ(Decode(stream, 258, 258, &back), stream.size());
    EXPECT_EQ(back, data);
}

// ---- Huffman --------------------------------------------------------------------------------------

TEST(PackHuffman, TwoValuesGetOneBitEachAndTheSmallerValueCodesZero) {
    Bytes data;
    for (int i = 0; i < 40; ++i)
        data.push_back(i % 3 ? 'B' : 'A');
    PackState state;
    PackWork work;
    Bytes stream = EncodeWith(data, PackHuff, &state, &work);
    EXPECT_EQ(work.Lengths[uint8_t('A')], 1);
    EXPECT_EQ(work.Lengths[uint8_t('B')], 1);
    EXPECT_EQ(work.Codes[uint8_t('A')], 0u);
    EXPECT_EQ(work.Codes[uint8_t('B')], 1u);
    // Type-1 table: w=2, r=8, e=2; 65 absent symbols escaped, A and B of length 1, 189 absent escaped.
    ASSERT_GE(stream.size(), 7u);
    EXPECT_EQ(stream[0], 0xC0);
    EXPECT_EQ(stream[1], 5);
    EXPECT_EQ(Bytes(stream.begin() + 2, stream.begin() + 7), (Bytes{0x28, 0x02, 0x90, 0x56, 0xBD}));
    EXPECT_EQ(stream.size(), 1 + 1 + 5 + (1 + 40 + 7) / 8u);
}

TEST(PackHuffman, CodeLengthsAreOptimalForEveryShape) {
    for (size_t s = 0; s < Shapes().size(); ++s) {
        for (size_t n : {16, 300, 2051}) {
            std::mt19937 rng(static_cast<unsigned>(n + s));
            Bytes data = Shapes()[s].make(n, rng);
            PackState state;
            PackWork work;
            Pack_Measure(data.data(), static_cast<uint16_t>(n), &state, &work, 1);
            uint64_t bits = 0;
            double kraft = 0;
            int symbols = 0;
            for (int v = 0; v < 256; ++v) {
                bits += uint64_t{work.Counts[v]} * work.Lengths[v];
                if (work.Lengths[v]) {
                    kraft += 1.0 / static_cast<double>(uint64_t{1} << work.Lengths[v]);
                    ++symbols;
                }
            }
            SCOPED_TRACE(std::string(Shapes()[s].name) + " n=" + std::to_string(n));
            EXPECT_EQ(bits, HuffmanBits(data));
            if (symbols > 1) {
                EXPECT_DOUBLE_EQ(kraft, 1.0);
            }
        }
    }
}

TEST(PackHuffman, ManyPresentSymbolsUseTheBitmapTable) {
    std::mt19937 rng(9);
    Bytes data = Uniform(1003, rng, 256);
    PackState state;
    PackWork work;
    Bytes stream = EncodeWith(data, PackHuff, &state, &work);
    ASSERT_GT(stream.size(), 2u);
    EXPECT_EQ(stream[1], 0); // h = 0: type 2
    Bytes back;
    EXPECT_EQ(Decode(stream, 1003, 1003, &back), stream.size());
    EXPECT_EQ(back, data);
}

TEST(PackHuffman, CodesLongerThanFifteenBitsUseTheLengthTable) {
    // Fibonacci counts give a code length per symbol, the longest 16 bits.
    Bytes data;
    uint32_t a = 1, b = 1;
    for (int s = 0; s < 17; ++s) {
        data.insert(data.end(), a, static_cast<uint8_t>(s * 7));
        uint32_t next = a + b;
        a = b;
        b = next;
    }
    std::shuffle(data.begin(), data.end(), std::mt19937(3));
    PackState state;
    PackWork work;
    Bytes stream = EncodeWith(data, PackHuff, &state, &work);
    EXPECT_EQ(*std::max_element(std::begin(work.Lengths), std::end(work.Lengths)), 16);
    ASSERT_GT(stream.size(), 2u);
    EXPECT_NE(stream[1], 0);
    Bytes back;
    uint32_t n = static_cast<uint32_t>(data.size());
    EXPECT_EQ(Decode(stream, n, n, &back), stream.size());
    EXPECT_EQ(back, data);
}

// ---- damaged streams --------------------------------------------------------------------------------

struct Damaged {
    const char* what;
    Bytes stream;
    uint32_t n;
    uint32_t capacity;
};

class PackDamaged : public ::testing::TestWithParam<Damaged> {};

TEST_P(PackDamaged, IsRefused) {
    const Damaged& d = GetParam();
    EXPECT_EQ(Decode(d.stream, d.n, d.capacity, nullptr), 0u) << d.what;
}

// A type-2 Huffman head: h = 0 and a bitmap with the given symbols present.
Bytes Type2(std::initializer_list<int> present, Bytes bits) {
    Bytes s{0xC0, 0x00};
    Bytes bitmap(32, 0);
    for (int v : present)
        bitmap[static_cast<size_t>(v / 8)] |= static_cast<uint8_t>(0x80 >> (v % 8));
    s.insert(s.end(), bitmap.begin(), bitmap.end());
    s.insert(s.end(), bits.begin(), bits.end());
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PackDamaged,
    ::testing::Values(Damaged{"unknown method 0x09", {0x09, 0x00, 0xFF, 0xFF}, 2, 16},
                      Damaged{"unknown method 0x10", {0x10, 0x00, 0xFF, 0xFF}, 2, 16},
                      Damaged{"palette width 0", {0x40, 0x01, 0x05, 0x00}, 2, 16},
                      Damaged{"palette width 9", {0x49, 0x01, 0x05, 0x00, 0x00, 0x00}, 2, 16},
                      Damaged{"unknown method 0x81", {0x81, 0x01, 0x02}, 2, 16},
                      Damaged{"unknown method 0xC1", {0xC1, 0x01, 0x02}, 2, 16},
                      Damaged{"unknown method 0xFF", {0xFF, 0x01, 0x02}, 2, 16},
                      Damaged{"nothing to produce", {0x00, 0x05}, 0, 16},
                      Damaged{"more than the output holds", {0x00, 0x05}, 17, 16},
                      Damaged{"method byte only", {0x00}, 1, 16},
                      Damaged{"bit fields beyond the end", {0x04, 0x10, 0x12}, 4, 16},
                      Damaged{"bit value above 255", {0x04, 0xFA, 0x0F}, 2, 16},
                      Damaged{"empty palette", {0x41, 0x00, 0xFF}, 2, 16},
                      Damaged{"palette beyond the end", {0x42, 0x05, 0x01, 0x02}, 2, 16},
                      Damaged{"palette index beyond the palette", {0x42, 0x02, 0x07, 0x08, 0x30}, 2, 16},
                      Damaged{"run count 255", {0x80, 0x01, 0x01, 0xFF}, 16, 300},
                      Damaged{"run beyond the end", {0x80, 0x01, 0x01, 0x0A}, 5, 16},
                      Damaged{"run count missing", {0x80, 0x01, 0x01}, 5, 16},
                      Damaged{"run stream too short", {0x80, 0x01, 0x02, 0x03}, 5, 16},
                      Damaged{"Huffman table beyond the end", {0xC0, 0x09, 0x21, 0x00}, 2, 16},
                      Damaged{"Huffman length width 0", {0xC0, 0x02, 0x00, 0x00, 0x00}, 2, 16},
                      Damaged{"Huffman escape run of 0", {0xC0, 0x03, 0x22, 0x02, 0x80, 0x00}, 2, 16},
                      Damaged{"Huffman over-full code", Type2({1, 2, 3}, {0x10, 0x05, 0x40, 0x00}), 2, 16},
                      Damaged{"Huffman present symbol without length", Type2({1, 2}, {0x10, 0x0A, 0x00}), 2,
                              16},
                      Damaged{"Huffman bitmap beyond the end", {0xC0, 0x00, 0xFF, 0xFF}, 2, 16},
                      // One symbol of length 1 owns code 0; a 1 bit names no symbol.
                      Damaged{"Huffman unassigned code", Type2({7}, {0x10, 0x04, 0x40}), 2, 16},
                      Damaged{"Huffman codes beyond the end", Type2({7, 8}, {0x10, 0x05, 0x00}), 12, 16}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(PackDamage, HandBuiltType2StreamsAreRead) {
    // The good twins of the damaged type-2 streams above: lengths 1 and 1, codes 0 and 1.
    Bytes back;
    EXPECT_EQ(Decode(Type2({7, 8}, {0x10, 0x05, 0x30}), 3, 3, &back), 2u + 32 + 2 + 1);
    EXPECT_EQ(back, (Bytes{7, 8, 8}));
}

// Valid streams damaged at random, and plain noise, never make the unpacker read or write out of bounds
// (the areas are exactly sized on the heap) nor claim more bytes than it was given.
TEST(PackDamage, SeededRandomDamageIsHandledCleanly) {
    std::mt19937 rng(20260101);
    PackState state;
    PackWork work;
    int refused = 0;
    for (int iteration = 0; iteration < 20000; ++iteration) {
        const NamedShape& shape = Shapes()[rng() % Shapes().size()];
        size_t n = 1 + rng() % 1200;
        Bytes data = shape.make(n, rng);
        Bytes stream = EncodeWith(data, static_cast<int>(rng() % PackKinds), &state, &work);
        if (stream.empty() || rng() % 8 == 0) {
            stream.resize(1 + rng() % 300);
            for (auto& v : stream)
                v = static_cast<uint8_t>(rng());
        }
        switch (rng() % 4) {
        case 0:
            stream[rng() % stream.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
            break;
        case 1:
            stream.resize(rng() % stream.size() + 1);
            break;
        case 2:
            for (int i = 0; i < 4; ++i)
                stream[rng() % stream.size()] = static_cast<uint8_t>(rng());
            break;
        default:
            break;
        }
        uint32_t capacity = static_cast<uint32_t>(1 + rng() % 2051);
        uint32_t wanted = rng() % 2 ? static_cast<uint32_t>(n) : 1 + rng() % 2100;
        uint32_t used = Decode(stream, wanted, capacity, nullptr);
        ASSERT_LE(used, stream.size());
        refused += used == 0;
    }
    EXPECT_GT(refused, 1000);
}

} // namespace
