// The GSM modem's PDU codec: SMS-SUBMIT units built for AT+CMGS in PDU mode,
// delivered (and stored) units read back from AT+CMGL/AT+CMGR, the default
// alphabet's character tables, and the two text-mode conversions the driver uses
// when the modem runs in text mode.
//
// Everything here is pure computation on strings: no I/O, no locks, no threads.
// Nothing is shared: the message reference of each unit is the caller's (a modem
// counts its own).
//
// Units are hexadecimal text, two characters an octet, high digit first. Output
// uses upper-case digits; input takes either case. A read position (an index
// into the text, in characters) walks through a unit; every reader advances it.
// Writers append to the caller's string.
//
// Input from the modem is untrusted. A reader never looks past the end of the
// text: a field that does not fit, a length octet larger than the data behind
// it, or a character that is not a hex digit makes it fail with a reason (an Error
// whose code is 0), leaving the output in an unspecified but valid state.
//
// Gateway text is single bytes (ISO 8859-1, with the euro sign as 0x80). Texts
// are at most 160 septets (7-bit), 140 bytes (8-bit) or 70 characters (UCS2);
// longer ones are cut, never split inside an escape pair.
//
//   std::string unit;
//   Result<int> octets = gsm_encode_pdu(PDU_DCS_7BIT, "+447700900123", "hello", unit);
//   // write "AT+CMGS=<*octets>", then unit and Ctrl-Z
//
//   gsm_pdu in;
//   if (Status st = gsm_decode_pdu(listed_hex, in); !st)
//       emsg("Could not decode PDU (%s)", st.error().reason.c_str());
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/result.h"

namespace tolvane {

// Data coding schemes the gateway sends with.
enum : int { PDU_DCS_7BIT = 0, PDU_DCS_8BIT = 4, PDU_DCS_UCS2 = 8 };

// Longest user data of one unit.
inline constexpr std::size_t PDU_MAX_SEPTETS = 160;
inline constexpr std::size_t PDU_MAX_OCTETS = 140;
inline constexpr std::size_t PDU_MAX_UCS2 = 70;

// Character tables, 256 entries: the first half indexed by a default-alphabet code,
// the second by 128 plus an extension-table code (the character after ESC, 27).
// seven_bit_to_unicode: code points. seven_bit_to_ascii: single gateway bytes
// (Greek capitals replaced by Latin-1 look-alikes; 0 where the extension table has
// nothing). ascii_to_seven_bit: indexed by a gateway byte, a default-alphabet code,
// or 128 plus an extension code (ESC goes first); unmapped bytes give 0, the at sign.
extern const std::array<int, 256> seven_bit_to_unicode;
extern const std::array<unsigned char, 256> seven_bit_to_ascii;
extern const std::array<unsigned char, 256> ascii_to_seven_bit;

// One unit as read from the modem. The driver copies these fields into its message.
struct gsm_pdu {
    std::string service_center;  // "+" and digits, empty when the unit names none
    int first_octet_of_sms = 0;
    int message_reference = 0;  // stored SMS-SUBMIT only
    std::string phone;          // originator (delivered) or destination (stored submit);
                                // an alphanumeric originator comes as its name
    int type_of_address = 0;    // the type-of-address octet of phone
    int protocal_identifier = 0;
    int data_coding_sceme = 0;
    std::string timestamp;     // "YY/MM/DD,hh:mm:ss+ZZ" (zone in whole hours); for a stored
                               // submit the absolute validity period, if any
    std::string udh;           // user-data header as hex text (without its length), or empty
    int concat_reference = 0;  // from a concatenation element of udh: the parts' shared
    int concat_total = 0;      // reference, their number and this part's number (1 up);
    int concat_part = 0;       // all 0 when the unit is not a part
    int length = 0;            // characters of message
    std::string message;       // the text as gateway bytes
};

// ---- hex-text primitives ----
// Appends octet v (its low 8 bits) as two hex digits.
void pdu_encode_int(std::string& pdu, int v);
// Reads one octet at i and gives its value (0 to 255). Fails, leaving i, when fewer
// than two characters are left or one is not a hex digit.
Result<int> pdu_decode_int(std::string_view pdu, std::size_t& i);
// Appends two characters of pdu at i to dst in swapped order (semi-octet swap).
Status pdu_flip(std::string_view pdu, std::string& dst, std::size_t& i);

// ---- fields ----
// Appends an address: digit count, type 0x91 with a leading "+" else 0x81, digits in
// swapped pairs with "F" filling an odd count. Refuses an empty address, a character
// that is not a digit, or more than 20 digits, leaving dst as it was.
Status pdu_encode_addr(std::string_view addr, std::string& dst);
// Reads a service-centre address (length in octets, 0 for none) or a TP address
// (length in digits, always with its type octet) and gives it. An international number
// gets "+"; an alphanumeric one is unpacked from 7-bit characters.
Result<std::string> pdu_decode_sc_addr(std::string_view pdu, std::size_t& i);
Result<std::string> pdu_decode_addr(std::string_view pdu, std::size_t& i,
                                    int* type_of_address = nullptr);
// Reads a 7-octet time stamp and gives it as "YY/MM/DD,hh:mm:ss+ZZ".
Result<std::string> pdu_decode_time(std::string_view pdu, std::size_t& i);

// Appends user data (length octet and data) for dcs 0, 4 or 8; refuses any other,
// leaving dst as it was.
Status pdu_encode_content(int dcs, std::string& dst, std::string_view content);
// Reads user data at i for the data coding scheme dcs (the alphabet is taken from
// its coding group) into msg's message, length and, when udhi is set, its header
// fields. Refuses a reserved or compressed coding and any length beyond the data.
Status pdu_decode_content(int dcs, bool udhi, std::string_view pdu, std::size_t& i, gsm_pdu& msg);

// ---- whole units ----
// Builds an SMS-SUBMIT (no service centre, no validity period, TP-PID 0) for to in
// dst (replaced) and gives its length in octets without the service-centre octet,
// the number AT+CMGS needs; fails with a reason, dst untouched, when it cannot be
// built. The first form takes the message reference from next and advances it (modulo
// 256), whether or not the unit could be built.
Result<int> gsm_encode_pdu(int& next, int dcs, std::string_view to, std::string_view message,
                           std::string& dst);
Result<int> gsm_encode_pdu_ref(int reference, int dcs, std::string_view to,
                               std::string_view message, std::string& dst);
// Reads a listed or read unit (service-centre part included; trailing blanks and
// line ends ignored) into msg (reset first; filled in place so that a reader of many
// units reuses its storage).
Status gsm_decode_pdu(std::string_view pdu, gsm_pdu& msg);
// A stored SMS-SUBMIT rather than a delivered message; false for null.
bool gsm_pdu_is_submit(const gsm_pdu* msg);

// ---- text mode ----
// Text for AT+CMGS in text mode, converted in place; returns the new length.
// ucs2: each byte as four hex digits, as many as fit below max characters. Else at
// most max bytes mapped to the modem's alphabet: CR and LF stay, an extension
// character becomes its code (after ESC when ext7bit), a code below 32 replaces
// the byte, other bytes stay. The result may hold zero bytes (the at sign).
std::size_t gsm_create_encoded(bool ucs2, bool ext7bit, std::string& message, std::size_t max);
// Text read from a modem in text mode, converted in place to gateway bytes; returns
// the new length. ucs2: groups of four hex digits, up to max bytes, stopping at a
// character that is not a letter or digit. Else control characters are mapped
// through the alphabet (ESC and its follower through the extension table).
std::size_t gsm_process_encoded(bool ucs2, bool ext7bit, std::string& message, std::size_t max);

}  // namespace tolvane
