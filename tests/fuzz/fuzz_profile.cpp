// Profile parts and phone numbers as a modem may send them: decoders stay inside the input, and what
// they decode encodes back to the same bytes (but for what the sender always clears).
#include "protocol/tmgsm.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

void Require(bool ok) {
    if (!ok) {
        std::abort();
    }
}

void CheckNumber(const uint8_t* bcd) {
    char digits[17];
    Bcd_ToDigits(digits, bcd);
    size_t n = std::strlen(digits);
    Require(n <= 16 && (n != 0) == (Bcd_Check(bcd) == 1));
    uint8_t back[8];
    if (n != 0 && Digits_ToBcd(digits, back) == 1) {
        Require(std::memcmp(back, bcd, 8) == 0);
    }
}

void CheckStrings(const ObjProfile* prof) {
    char text[33];
    for (int field : {PROF_STR_APN, PROF_STR_USER, PROF_STR_PASSWORD}) {
        Prof_GetStr(field, prof, text);
        Require(std::strlen(text) <= (field == PROF_STR_APN ? 32u : 20u));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ObjProfile prof;
    std::memset(&prof, 0, sizeof prof);
    uint8_t again[INSMS_SIZE];

    if (const uint8_t* end = Prof_Decode(data, size, &prof, 2)) {
        Require(end == data + PROF1_SIZE);
        Prof_Encode(again, 0, &prof);
        Require(std::memcmp(again, data, PROF1_SIZE) == 0);
        CheckNumber(prof.ConnectPhone);
        CheckStrings(&prof);
    }
    if (const uint8_t* end = Prof_Decode(data, size, &prof, 3)) {
        Require(end == data + PROF2_SIZE);
        Prof_Encode(again, 1, &prof);
        Require(std::memcmp(again, data, 16) == 0 && std::memcmp(again + 40, data + 40, 3) == 0);
        ObjProfile twice = prof;
        Require(Prof_Decode(again, PROF2_SIZE, &twice, 3) != nullptr);
        Require(std::memcmp(&twice, &prof, sizeof prof) == 0);
        CheckNumber(prof.SmsCentre);
        CheckNumber(prof.SmsPhone);
    }
    if (const uint8_t* end = Poll_Decode(data, size, &prof)) {
        Require(end == data + POLL_SIZE);
        Poll_Encode(again, &prof);
        Require(std::memcmp(again, data, POLL_SIZE) == 0);
    }
    if (const uint8_t* end = HCP_InSmsStr(data, size, &prof)) {
        Require(end == data + INSMS_SIZE);
        InSms_Encode(again, &prof);
        Require(std::memcmp(again + 4, data + 4, 16) == 0 && std::memcmp(again + 404, data + 404, 3) == 0);
        for (const char* text : prof.InSmsText) {
            Require(std::strlen(text) < 64);
        }
    }
    if (size >= 8) {
        CheckNumber(data);
    }

    // The same bytes as an edit text.
    char text[64];
    size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
    std::memcpy(text, data, n);
    text[n] = '\0';
    uint32_t ip = 0;
    if (Ip_FromStr(&ip, text) == 1) {
        char back[16];
        Ip_ToStr(ip, back);
        uint32_t again_ip = 0;
        Require(Ip_FromStr(&again_ip, back) == 1 && again_ip == ip);
    }
    uint8_t bcd[8];
    if (Digits_ToBcd(text, bcd) == 1) {
        CheckNumber(bcd);
    }
    for (int field : {PROF_STR_APN, PROF_STR_USER, PROF_STR_PASSWORD}) {
        if (Prof_SetStr(field, &prof, text) == 1) {
            CheckStrings(&prof);
        }
    }
    return 0;
}
