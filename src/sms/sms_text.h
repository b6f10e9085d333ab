// SMS text: how a UTF-8 text becomes the user data of one or more SMS, and how
// received user data becomes UTF-8 again. Every transport uses this module, so a
// text is coded, split and read back the same way on the modem, the SMS centre
// and the robot.
//
// Sending. sms_text_split takes the gateway's UTF-8 text and the `sms_coding`
// setting and gives the alphabet and the parts:
//   - automatic: the GSM default alphabet with its extension table when every
//     character is in it, else UCS-2. It never substitutes: one character outside
//     the alphabet makes the whole text UCS-2.
//   - gsm: the GSM alphabet; a character it lacks becomes "?" (counted in
//     `substituted`, for the caller's log line).
//   - ucs2: UTF-16 big-endian; a character beyond U+FFFF is a surrogate pair.
//   - latin1: single ISO 8859-1 bytes (the euro sign as the byte 0x80, anything
//     else outside Latin-1 as "?"), one part, not split: the bytes the gateway
//     sent before it read texts as UTF-8, for the providers that rely on them.
// A text that fits one SMS (160 septets, 70 UCS-2 units) is one part without a
// header. A longer one is cut into parts of at most 153 septets or 67 UCS-2 units,
// each with a concatenation header (element 0x00, 8-bit reference); an escape
// pair or a surrogate pair is never split across parts. At most max_parts parts
// are made; the rest of the text is dropped and `cut` is set.
//
// GSM data in a part is unpacked: one septet a byte (0-127, an extension
// character as ESC 27 and its code). The SMPP client sends it so; the modem packs
// it with sms_pack_user_data. UCS-2 data is big-endian octets, two a unit.
//
// Receiving. sms_decode_user_data reads user data of a given kind (from the
// modem's data coding scheme via sms_dcs_kind, from SMPP's data_coding via
// sms_data_coding_kind) into UTF-8 and the concatenation element of its header.
// Septet 0 is the at sign and never ends the text; a surrogate pair is one
// character; anything unreadable (a lone surrogate, an odd octet, a zero byte)
// becomes U+FFFD, never a cut. 8-bit data is shown as hex digits. A header is
// parsed and never shown; elements other than concatenation are skipped.
//
// Ownership and limits: pure functions on values, plus sms_next_reference, a
// process-wide counter per destination guarded by its own lock. Input from peers
// is untrusted: every length is checked against the data behind it.
//
//   sms_split s = sms_text_split(text, sms_coding::automatic, 10, sms_next_reference(to));
//   if (s.cut) log(...);
//   for (const sms_part& p : s.parts) send(p.udh + p.data, s.alphabet);
//
//   Result<sms_decoded> d =
//       sms_decode_user_data(sms_data_coding_kind(dc, false), esm & 0x40, short_message);
//   if (d) body = d->text;   // d->concat tells which part of which long SMS it is
//   else log(d.error().reason);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"

namespace tolvane {

// The `sms_coding` setting.
enum class sms_coding { automatic, gsm, ucs2, latin1 };
// "auto", "gsm", "ucs2", "latin1" (any case); nullopt for anything else.
std::optional<sms_coding> sms_coding_parse(std::string_view name);
const char* sms_coding_name(sms_coding coding);

// What the parts of a text are sent in.
enum class sms_alphabet { gsm, ucs2, latin1 };
// "gsm", "ucs2", "latin1" (the robot's SMS_CODING and log lines).
const char* sms_alphabet_name(sms_alphabet alphabet);

inline constexpr std::size_t SMS_SEPTETS_SINGLE = 160;
inline constexpr std::size_t SMS_SEPTETS_PART = 153;
inline constexpr std::size_t SMS_UCS2_SINGLE = 70;  // UCS-2 units (two octets each)
inline constexpr std::size_t SMS_UCS2_PART = 67;
inline constexpr int SMS_MAX_PARTS_LIMIT = 255;  // an 8-bit part number
inline constexpr int SMS_MAX_PARTS_DEFAULT = 10;
inline constexpr std::uint8_t GSM_ESC = 27;

// Which part of which long SMS a message is. total 0 (or 1) means a whole SMS.
struct sms_concat {
    int reference = 0;  // 0-255 (8-bit element) or 0-65535 (16-bit element)
    int total = 0;
    int part = 0;  // 1 up
    // True when this is one part of several, with a part number within the total.
    [[nodiscard]] bool is_part() const { return total > 1 && part >= 1 && part <= total; }
    bool operator==(const sms_concat&) const = default;
};

// One SMS of a text.
struct sms_part {
    std::string udh;        // user-data header with its length octet, empty for a single SMS
    std::string data;       // gsm: septets one a byte; ucs2: UTF-16BE octets; latin1: bytes
    std::size_t units = 0;  // septets, UCS-2 units or bytes in data
};

struct sms_split {
    sms_alphabet alphabet = sms_alphabet::gsm;
    std::vector<sms_part> parts;
    int reference = 0;            // the concatenation reference used (0-255)
    bool cut = false;             // the text needed more than max_parts parts
    std::size_t substituted = 0;  // characters replaced by "?" (gsm and latin1 only)
    std::size_t characters = 0;   // characters of the text that were sent
};

// Codes text (UTF-8; invalid bytes read as U+FFFD) and cuts it into parts.
// max_parts is clamped to 1-255; reference is taken modulo 256. Never fails: an
// empty text is one empty part.
[[nodiscard]] sms_split sms_text_split(std::string_view text, sms_coding coding, int max_parts,
                                       int reference);

// The next concatenation reference for a destination (0-255), counting up per
// destination from a random start, so a restart does not reuse the last one.
int sms_next_reference(std::string_view destination);

// The concatenation header of one part: 05 00 03 ref total part.
std::string sms_concat_header(int reference, int total, int part);

// ---- GSM alphabet ----
// Appends the septets of cp (one, or ESC and an extension code); false when the
// alphabet lacks it (nothing appended).
bool gsm_septets_of(char32_t cp, std::string& septets);
// True when every character of text is in the alphabet.
bool gsm_text_fits(std::string_view text);
// Septets (one a byte; the high bit ignored) as UTF-8. ESC selects the extension
// table for the next septet; an extension code without a character reads as its
// default-alphabet character; a trailing ESC is dropped.
std::string gsm_septets_to_utf8(std::string_view septets);

// Packs septets (one a byte) least significant bit first behind fill_bits zero
// bits; returns the octets.
std::string gsm_pack_septets(std::string_view septets, unsigned fill_bits = 0);
// The count septets behind skip_septets septets of packed octets (missing bits read
// as 0), one a byte.
std::string gsm_unpack_septets(std::string_view octets, std::size_t count,
                               std::size_t skip_septets = 0);
// User data of a packed GSM part for a modem: the header octets, fill bits up to
// the next septet boundary, then the packed septets. udl is set to the length in
// septets that the unit's length octet carries.
std::string sms_pack_user_data(const sms_part& part, std::size_t& udl);

// ---- Other alphabets ----
// UTF-16BE units of text (surrogate pairs beyond U+FFFF).
std::string ucs2_from_utf8(std::string_view text);
// UTF-16BE octets as UTF-8; a lone surrogate or a trailing odd octet as U+FFFD.
std::string ucs2_to_utf8(std::string_view octets);
// Latin-1 bytes of text: the euro sign as 0x80, other characters beyond U+00FF as
// "?" (counted in substituted when given).
std::string latin1_from_utf8(std::string_view text, std::size_t* substituted = nullptr);
// Latin-1 bytes as UTF-8 (0x80 is the euro sign, as the gateway sends it).
std::string latin1_to_utf8(std::string_view bytes);

// ---- Receiving ----
enum class sms_text_kind {
    gsm_packed,    // a modem's 7-bit user data
    gsm_unpacked,  // SMPP data_coding 0: one septet an octet
    latin1,
    ia5,  // 7-bit ASCII; octets above 0x7F read as U+FFFD
    ucs2,
    binary  // shown as upper-case hex digits
};
// The kind of a modem unit's data coding scheme (general and message-class groups,
// message-waiting groups, reserved groups as the default alphabet). Fails with the
// reason for compressed text, which cannot be read.
Result<sms_text_kind> sms_dcs_kind(int dcs);
// The kind of an SMPP data_coding: 0 GSM (Latin-1 when gsm_as_latin1), 1 IA5, 3
// Latin-1, 8 UCS-2, 2 and 4 binary, the 0xF0 group by its bit 2, the
// message-waiting groups by their alphabet; anything else as GSM.
sms_text_kind sms_data_coding_kind(int data_coding, bool gsm_as_latin1);

struct sms_decoded {
    std::string text;   // UTF-8
    sms_concat concat;  // from the header, all 0 without one
    std::string udh;    // the header octets, without the length octet
};

// A parsed user-data header.
struct sms_udh_info {
    std::size_t octets = 0;  // the octets it takes, its length octet included
    sms_concat concat;       // all 0 without a concatenation element
};

// Parses a user-data header at the start of data (its length octet first): the octets
// it takes and concat from an element 0x00 (8-bit reference) or 0x08 (16-bit
// reference); other elements are skipped, a malformed element ends the walk. Fails
// with the reason when the header does not fit in data.
Result<sms_udh_info> sms_udh_parse(std::string_view data);

// Reads user data of a kind. has_udh: data starts with a header. septets: for
// gsm_packed, the septet count from the unit's length octet (header included);
// ignored for the others. Fails with the reason when a length does not fit the data.
Result<sms_decoded> sms_decode_user_data(sms_text_kind kind, bool has_udh, std::string_view data,
                                         std::size_t septets = 0);

}  // namespace tolvane
