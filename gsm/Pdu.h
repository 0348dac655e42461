// SMS PDU codec: SMS-SUBMIT encoding for "AT+CMGS" and SMS-DELIVER decoding of "+CMGR:" lines. We send the
// GSM 7-bit default alphabet with its extension table; we read that and UCS2.
//
// Plain functions over records the caller owns (the modem unit keeps one of each); nothing allocates or
// throws. Texts on our side are Windows-1251 bytes; the conversion tables below map them to and from septets.
// The message reference counter is global state, so call this from the main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct SmsSubmitRecord {
    uint8_t FirstOctet; // 0x11: SMS-SUBMIT, relative validity period
    uint8_t MessageRef;
    uint8_t DaDigits; // 1-20
    uint8_t DaType;   // 0x91 international, else 0x81
    uint8_t DaBcd[10];
    uint8_t Pid;
    uint8_t Dcs;
    uint8_t Vp;
    int32_t Udl; // septets, at most 160
    uint8_t Ud[160];
    int32_t UdOctets;   // at most 140
    int32_t TpduLength; // the length for "AT+CMGS=", set by PduToHex
};

struct SmsDeliverRecord {
    uint8_t FirstOctet;
    uint8_t OaDigits; // at most 20
    uint8_t OaType;
    uint8_t OaBcd[10];
    char Sender[22];
    uint8_t Pid;
    uint8_t Dcs;
    char TimeStamp[15]; // "YYMMDDhhmmsszz"
    int32_t Udl;
    uint8_t Ud[140];
    char Text[161]; // Windows-1251; empty for 8-bit data and other undecoded codings
};

// Message reference of the next SMS-SUBMIT; every encode advances it, a refused one too.
extern uint8_t SmsMessageRef;
// Windows-1251 byte to septet, and septet to Windows-1251 byte. Unmapped characters become '?'; the encoder
// and decoder handle the characters of the extension table (escape + septet) before these tables.
extern const std::array<uint8_t, 256> AsciiToGsm;
extern const std::array<uint8_t, 128> GsmToAscii;
// What semi-octets 0-15 print as; 15 is the NUL that ends the number.
extern const char SemiOctetDigits[16];

// Results of EncodeSubmitPdu.
constexpr int PduEncoded = 0;
constexpr int PduNumberRefused = 1;
constexpr int PduTextTooLong = 2; // more than 160 septets, an escaped character counting two

// Capacity PduToHex needs: 318 characters and the NUL.
constexpr size_t SubmitHexSize = 319;

// Sets bit n of bytes, least significant bit of each byte first.
void SetPduBit(int n, uint8_t* bytes);
// 0-9, '*' 10, '#' 11, 'a'-'c' in either case 12-14, NUL 15; -1 for anything else.
int DigitToSemiOctet(char ch);
// validity in five-minute units; number NUL-terminated, an optional leading '+' then 1-20 semi-octet
// characters; text of length bytes. PduEncoded, or PduNumberRefused or PduTextTooLong with the record
// partly written.
int EncodeSubmitPdu(unsigned validity, const char* number, const char* text, SmsSubmitRecord* record,
                    size_t length);
// Writes the upper-case hexadecimal line, NUL-terminated, into out (SubmitHexSize bytes) and sets TpduLength.
void PduToHex(char* out, SmsSubmitRecord* record);
// True when dcs names the GSM 7-bit default alphabet (with or without a message class), the only one whose
// text is decoded whole.
bool IsDefaultAlphabet(uint8_t dcs);
// line ends at its first NUL or CR. Refuses anything malformed with false, leaving in record what was
// stored up to the failing test; never reads past the end of the line.
bool DecodeDeliverPdu(const char* line, SmsDeliverRecord* record);
