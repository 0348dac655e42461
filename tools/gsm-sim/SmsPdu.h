// The GSM modem simulator's own SMS transfer units: the SMS-DELIVER a modem prints after "+CMGR:" and
// the SMS-SUBMIT a terminal hands to "AT+CMGS=". Written from the layout of the SMS transfer layer
// (semi-octet and alphanumeric addresses, time stamps, validity periods) and the GSM 7-bit default
// alphabet with its extension table; it shares no code with the router's PDU codec, so that a fault there
// shows up against it instead of being mirrored.
//
// Texts on this side are UTF-8. A PDU here is the whole unit as a modem exchanges it with the terminal:
// the service-centre part (its length octet, 0 for "the default centre") and then the transfer unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gsmsim {

using Bytes = std::vector<uint8_t>;

// Upper-case hexadecimal, two digits per byte.
std::string ToHex(const Bytes& bytes);
// Hexadecimal digits of either case, an even number of them; false otherwise.
bool FromHex(std::string_view hex, Bytes* out);

// GSM 7-bit default alphabet. Characters outside it and its extension table become '?'; the extension
// characters (such as [ ] { } ~ \ ^ | and the euro sign) take two septets, escape and code.
Bytes TextToSeptets(std::string_view utf8);
// An escape before a code the extension table does not hold is dropped (the code reads as a default one).
std::string SeptetsToText(const Bytes& septets);
// Septets packed least significant bit first, 8 septets in 7 octets.
Bytes PackSeptets(const Bytes& septets);
// The first count septets of the packed octets; false when the octets hold fewer.
bool UnpackSeptets(const uint8_t* octets, size_t n, size_t count, Bytes* septets);

// Alphabet of a data coding scheme.
enum class Alphabet : uint8_t { Gsm7, Data8, Ucs2 };
Alphabet AlphabetOf(uint8_t dcs);

// Service-centre time stamp, local time with its zone in quarters of an hour.
struct SmsTime {
    int year = 2024; // its last two digits are sent
    int month = 3, day = 15;
    int hour = 12, minute = 0, second = 0;
    int zoneQuarters = 12; // -79 to 79
};
// "yy/MM/dd,hh:mm:ss+zz", as text mode prints it.
std::string SmsTime_Text(const SmsTime& time);

// What an incoming SMS is built from.
struct DeliverSpec {
    // "+71230000000" (international), "1230000000" (unknown type), or, holding anything but digits, '*'
    // and '#' after an optional '+', an alphanumeric sender such as "Operator" (at most 11 characters).
    std::string sender;
    int senderType = -1; // type of address; -1: chosen by the sender's form (0x91, 0x81, 0xD0)
    std::string serviceCentre = "+79168999100"; // empty: a service-centre part of length 0
    uint8_t firstOctet = 0x04;                  // SMS-DELIVER, no more messages waiting
    uint8_t pid = 0;
    uint8_t dcs = 0; // 0: GSM 7-bit; 0x08: UCS2; 0x04: 8-bit data (the text's bytes)
    SmsTime time;
    std::string text; // UTF-8; at most 160 septets, 70 UCS2 characters or 140 bytes
};

// The whole DELIVER PDU; empty when the sender or the service centre cannot be encoded or the text is too
// long. *tpduLength (when not null) gets the octets after the service-centre part.
Bytes EncodeDeliver(const DeliverSpec& spec, size_t* tpduLength = nullptr);

// What a delivery report is built from: the network's report on an SMS the terminal sent.
struct StatusReportSpec {
    std::string serviceCentre = "+79168999100"; // empty: a service-centre part of length 0
    uint8_t messageRef = 0;                     // the reference of the SUBMIT reported on
    std::string recipient = "+71230000000";     // its destination
    SmsTime time;                               // when the service centre took the SUBMIT
    SmsTime discharged;                         // when it was delivered
    uint8_t status = 0;                         // TP-ST: 0 received by the recipient
};

// The whole SMS-STATUS-REPORT PDU; empty when an address cannot be encoded.
Bytes EncodeStatusReport(const StatusReportSpec& spec);

// A decoded SMS-SUBMIT.
struct Submit {
    std::string serviceCentre; // empty when the default centre was asked for (length octet 0)
    uint8_t firstOctet = 0;
    uint8_t messageRef = 0;
    std::string destination; // '+' first for an international number
    uint8_t destinationType = 0;
    uint8_t pid = 0;
    uint8_t dcs = 0;
    uint8_t validityFormat = 0; // TP-VPF: 0 none, 1 enhanced, 2 relative, 3 absolute
    Bytes validity;             // 0, 1 or 7 octets
    uint8_t udl = 0;
    Bytes userData;   // the octets as received
    std::string text; // decoded for the GSM 7-bit alphabet, else empty
};

// Decodes a SUBMIT PDU whose transfer unit must be exactly tpduLength octets (the number given to
// "AT+CMGS="). False, with the reason in *why (when not null), for anything a modem would refuse.
bool DecodeSubmit(const Bytes& pdu, size_t tpduLength, Submit* out, std::string* why = nullptr);

} // namespace gsmsim
