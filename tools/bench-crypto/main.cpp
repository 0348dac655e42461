// bench-crypto: the protocol library's AES-128 and CRCs in nanoseconds per byte.
//
//     bench-crypto [megabytes] [runs]        (defaults: 16 MB, 7 runs)
//
// AES-128 encrypts and decrypts a buffer of the given size, on the CPU's AES instructions (where it has
// them) and on the table code: one call a block, as the authentication does, and 1 KB a call (the size of
// a full I frame) keyed before each, as the link does; and the key schedule alone. Beside them, in the
// same run, OpenSSL's EVP AES-128-ECB over the same buffer, when libcrypto.so.3 can be opened (it is no
// part of the router, so it is looked for at run time and left out when missing). Then the four CRCs
// over 1 KB at a time, CRC-32/MPEG-2 on the CPU's carry-less multiply (where it has one) and on the
// tables. Each figure is the median of the runs, with the range. A benchmark, not a test: build it
// without sanitizers.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <dlfcn.h>

#include "protocol/tmgsm.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t FrameBytes = 1024;

struct TFigure {
    double median = 0, low = 0, high = 0;
};

// Runs the work the given number of times; nanoseconds per byte of each run.
TFigure Measure(int runs, size_t bytes, const std::function<void()>& work) {
    std::vector<double> ns;
    work(); // warms the caches and the branch predictors
    for (int i = 0; i < runs; ++i) {
        const Clock::time_point start = Clock::now();
        work();
        ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / double(bytes));
    }
    std::sort(ns.begin(), ns.end());
    return {ns[ns.size() / 2], ns.front(), ns.back()};
}

void Print(const char* what, const TFigure& f, const char* goal = "") {
    std::printf("  %-50s %7.3f ns/byte (%.3f-%.3f)  %s\n", what, f.median, f.low, f.high, goal);
}

// OpenSSL's EVP interface, as far as this benchmark calls it, opened at run time.
class TOpenSsl {
public:
    TOpenSsl() {
        lib_ = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        if (!lib_)
            return;
        newCtx_ = reinterpret_cast<NewCtx>(dlsym(lib_, "EVP_CIPHER_CTX_new"));
        freeCtx_ = reinterpret_cast<FreeCtx>(dlsym(lib_, "EVP_CIPHER_CTX_free"));
        ecb_ = reinterpret_cast<Cipher>(dlsym(lib_, "EVP_aes_128_ecb"));
        init_ = reinterpret_cast<Init>(dlsym(lib_, "EVP_CipherInit_ex"));
        update_ = reinterpret_cast<Update>(dlsym(lib_, "EVP_CipherUpdate"));
        padding_ = reinterpret_cast<Padding>(dlsym(lib_, "EVP_CIPHER_CTX_set_padding"));
        if (!newCtx_ || !freeCtx_ || !ecb_ || !init_ || !update_ || !padding_) {
            dlclose(lib_);
            lib_ = nullptr;
        }
    }
    ~TOpenSsl() {
        if (lib_)
            dlclose(lib_);
    }
    TOpenSsl(const TOpenSsl&) = delete;
    TOpenSsl& operator=(const TOpenSsl&) = delete;

    bool Loaded() const { return lib_ != nullptr; }

    // AES-128-ECB over the whole buffer in one update; false when OpenSSL refused.
    bool Crypt(bool encrypt, const uint8_t key[16], const uint8_t* in, uint8_t* out, size_t n) {
        void* ctx = newCtx_();
        int written = 0;
        const bool done = ctx && init_(ctx, ecb_(), nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
                          padding_(ctx, 0) == 1 && update_(ctx, out, &written, in, int(n)) == 1 &&
                          size_t(written) == n;
        freeCtx_(ctx);
        return done;
    }

private:
    using NewCtx = void* (*)();
    using FreeCtx = void (*)(void*);
    using Cipher = const void* (*)();
    using Init = int (*)(void*, const void*, void*, const unsigned char*, const unsigned char*, int);
    using Update = int (*)(void*, unsigned char*, int*, const unsigned char*, int);
    using Padding = int (*)(void*, int);

    void* lib_ = nullptr;
    NewCtx newCtx_ = nullptr;
    FreeCtx freeCtx_ = nullptr;
    Cipher ecb_ = nullptr;
    Init init_ = nullptr;
    Update update_ = nullptr;
    Padding padding_ = nullptr;
};

void AesFigures(bool hardware, int runs, const uint8_t key[16], const std::vector<uint8_t>& plain,
                std::vector<uint8_t>& out) {
    Aes_UseHardware(hardware);
    AesCtx ctx;
    Aes_SetKey(&ctx, key, 128);
    const size_t n = plain.size();
    const std::string name = hardware ? "instructions" : "tables";
    const char* goal = hardware ? "goal: within 2x of OpenSSL" : "";
    constexpr int Keyings = 100'000;
    const TFigure keying = Measure(runs, Keyings, [&] {
        for (int i = 0; i < Keyings; ++i)
            Aes_SetKey(&ctx, key, 128);
    });
    std::printf("  %-50s %7.1f ns a call (%.1f-%.1f)\n", ("key schedule, " + name).c_str(), keying.median,
                keying.low, keying.high);
    Print(("encrypt, a block a call, " + name).c_str(),
          Measure(runs, n,
                  [&] {
                      for (size_t i = 0; i < n; i += 16)
                          Aes_Encrypt(&ctx, plain.data() + i, out.data() + i);
                  }),
          goal);
    Print(("decrypt, a block a call, " + name).c_str(),
          Measure(runs, n,
                  [&] {
                      for (size_t i = 0; i < n; i += 16)
                          Aes_Decrypt(&ctx, plain.data() + i, out.data() + i);
                  }),
          goal);
    Print(("encrypt, keyed, 1 KB a call, " + name).c_str(),
          Measure(runs, n,
                  [&] {
                      for (size_t i = 0; i < n; i += FrameBytes) {
                          Aes_SetKey(&ctx, key, 128);
                          Aes_EncryptBlocks(&ctx, plain.data() + i, out.data() + i, FrameBytes / 16);
                      }
                  }),
          goal);
    Print(("decrypt, keyed, 1 KB a call, " + name).c_str(),
          Measure(runs, n,
                  [&] {
                      for (size_t i = 0; i < n; i += FrameBytes) {
                          Aes_SetKey(&ctx, key, 128);
                          Aes_DecryptBlocks(&ctx, plain.data() + i, out.data() + i, FrameBytes / 16);
                      }
                  }),
          goal);
}

template <typename Crc> TFigure CrcFigure(int runs, const std::vector<uint8_t>& data, Crc crc) {
    volatile uint32_t sink = 0;
    return Measure(runs, data.size(), [&] {
        uint32_t all = 0;
        for (size_t i = 0; i < data.size(); i += FrameBytes)
            all ^= crc(data.data() + i, FrameBytes);
        sink = sink ^ all;
    });
}

} // namespace

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 16;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    if (megabytes < 1 || megabytes > 1024 || runs < 1) {
        std::fprintf(stderr, "usage: bench-crypto [megabytes 1-1024] [runs]\n");
        return 2;
    }
    const size_t n = size_t(megabytes) << 20;
    std::vector<uint8_t> plain(n), out(n);
    uint32_t x = 2001;
    for (auto& b : plain) {
        x = x * 1103515245 + 12345;
        b = uint8_t(x >> 16);
    }
    const uint8_t key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                             0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

    const bool hardware = Aes_UseHardware(1);
    std::printf("bench-crypto: %ld MB, %d runs; median (range)\n", megabytes, runs);
    std::printf("AES-128:\n");
    TOpenSsl openssl;
    if (openssl.Loaded()) {
        for (bool encrypt : {true, false}) {
            bool refused = false;
            const TFigure f = Measure(
                runs, n, [&] { refused |= !openssl.Crypt(encrypt, key, plain.data(), out.data(), n); });
            if (refused)
                std::printf("  OpenSSL EVP refused AES-128-ECB\n");
            else
                Print(encrypt ? "OpenSSL EVP AES-128-ECB encrypt" : "OpenSSL EVP AES-128-ECB decrypt", f);
        }
    } else {
        std::printf("  OpenSSL EVP: libcrypto.so.3 not found, no yardstick\n");
    }
    if (hardware)
        AesFigures(true, runs, key, plain, out);
    else
        std::printf("  this CPU has no AES instructions\n");
    AesFigures(false, runs, key, plain, out);
    Aes_UseHardware(1);

    std::printf("CRCs, 1 KB a call:\n");
    if (Crc_UseHardware(1))
        Print("CRC-32/MPEG-2 (Crc32_Msb), carry-less multiply", CrcFigure(runs, plain, Crc32_Msb),
              "goal: under 0.6");
    else
        std::printf("  this CPU has no carry-less multiply\n");
    Crc_UseHardware(0);
    Print("CRC-32/MPEG-2 (Crc32_Msb), tables", CrcFigure(runs, plain, Crc32_Msb), "goal: under 0.6");
    Crc_UseHardware(1);
    Print("CRC-32 (Crc32)", CrcFigure(runs, plain, Crc32));
    Print("CRC-16/XMODEM (Crc16)", CrcFigure(runs, plain, Crc16));
    Print("CRC-8/SMBUS (Crc8)", CrcFigure(runs, plain, [](const uint8_t* d, uint32_t len) {
              return uint32_t(Crc8(d, uint16_t(len)));
          }));
    return 0;
}
