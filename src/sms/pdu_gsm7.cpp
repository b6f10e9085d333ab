// The default alphabet's character tables and the two text-mode conversions.
//
// The byte tables are the gateway's own view of the alphabet: it works in single
// ISO 8859-1 bytes, so Greek capitals, which Latin-1 lacks, stand for Latin-1
// look-alikes in both directions, and the euro sign is the byte 0x80.
#include <algorithm>
#include <cctype>

#include "foundation/log.h"
#include "sms/pdu.h"

namespace tolvane {

namespace {

constexpr int ESC = 27;

// The default alphabet as Unicode, codes 0 to 127 (code 9 as the small c with cedilla).
constexpr int DEFAULT_UNICODE[128] = {
    0x40,  0xA3, 0x24, 0xA5,  0xE8, 0xE9,  0xF9,  0xEC,  0xF2,  0xE7,  0x0A,  0xD8,  0xF8,
    0x0D,  0xC5, 0xE5, 0x394, 0x5F, 0x3A6, 0x393, 0x39B, 0x3A9, 0x3A0, 0x3A8, 0x3A3, 0x398,
    0x39E, 0x1B, 0xC6, 0xE6,  0xDF, 0xC9,  0x20,  0x21,  0x22,  0x23,  0xA4,  0x25,  0x26,
    0x27,  0x28, 0x29, 0x2A,  0x2B, 0x2C,  0x2D,  0x2E,  0x2F,  0x30,  0x31,  0x32,  0x33,
    0x34,  0x35, 0x36, 0x37,  0x38, 0x39,  0x3A,  0x3B,  0x3C,  0x3D,  0x3E,  0x3F,  0xA1,
    0x41,  0x42, 0x43, 0x44,  0x45, 0x46,  0x47,  0x48,  0x49,  0x4A,  0x4B,  0x4C,  0x4D,
    0x4E,  0x4F, 0x50, 0x51,  0x52, 0x53,  0x54,  0x55,  0x56,  0x57,  0x58,  0x59,  0x5A,
    0xC4,  0xD6, 0xD1, 0xDC,  0xA7, 0xBF,  0x61,  0x62,  0x63,  0x64,  0x65,  0x66,  0x67,
    0x68,  0x69, 0x6A, 0x6B,  0x6C, 0x6D,  0x6E,  0x6F,  0x70,  0x71,  0x72,  0x73,  0x74,
    0x75,  0x76, 0x77, 0x78,  0x79, 0x7A,  0xE4,  0xF6,  0xF1,  0xFC,  0xE0};

struct extension {
    int code;
    int unicode;
    unsigned char byte;
};
// Code 10 is a line feed here (a form feed would only confuse the reader), and ESC ESC
// reads as a blank.
constexpr extension EXTENSIONS[] = {{10, 0x0A, 0x0A}, {20, '^', '^'},     {27, 27, ' '},
                                    {40, '{', '{'},   {41, '}', '}'},     {47, '\\', '\\'},
                                    {60, '[', '['},   {61, '~', '~'},     {62, ']', ']'},
                                    {64, '|', '|'},   {101, 0x20AC, 0x80}};

// Latin-1 look-alikes of the Greek capitals (and of code 9), as single bytes.
struct lookalike {
    int code;
    unsigned char byte;
};
constexpr lookalike LOOKALIKES[] = {{9, 0xE7},  {16, 0x7F}, {18, 0xE8}, {19, 0xE2},
                                    {20, 0x5E}, {21, 0xEA}, {22, 0xE3}, {23, 0xE7},
                                    {24, 0xE4}, {25, 0xE9}, {26, 0xF0}};

constexpr std::array<int, 256> make_unicode() {
    std::array<int, 256> t{};
    for (int c = 0; c < 128; ++c) t[c] = DEFAULT_UNICODE[c];
    for (const extension& e : EXTENSIONS) t[128 + e.code] = e.unicode;
    return t;
}

constexpr std::array<unsigned char, 256> make_ascii() {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 128; ++c) t[c] = static_cast<unsigned char>(DEFAULT_UNICODE[c] & 0xFF);
    for (const lookalike& l : LOOKALIKES) t[l.code] = l.byte;
    for (const extension& e : EXTENSIONS) t[128 + e.code] = e.byte;
    return t;
}

constexpr std::array<unsigned char, 256> make_reverse() {
    std::array<unsigned char, 256> t{};
    // The inverse of the alphabet's Latin-1 characters; ESC and the Greek capitals
    // have no Latin-1 byte of their own.
    for (int c = 127; c >= 0; --c) {
        int u = DEFAULT_UNICODE[c];
        if (c != ESC && u < 0x100) t[u] = static_cast<unsigned char>(c);
    }
    for (const extension& e : EXTENSIONS) {
        if (e.unicode < 0x100 && e.code != 10 && e.code != 27)
            t[e.unicode] = static_cast<unsigned char>(128 + e.code);
    }
    // Then the look-alikes, so that what the byte table gives back goes out as the
    // same code; a form feed and the capital C with cedilla have no code.
    t[0x0C] = 0;
    t[0xC7] = 0;
    t['^'] = 20;
    t[0x7F] = 16;
    t[0x80] = 128 + 101;
    t[0xE2] = 19;
    t[0xE3] = 22;
    t[0xE4] = 24;
    t[0xE7] = 9;
    t[0xEA] = 21;
    t[0xF0] = 26;
    return t;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

constexpr char HEX[] = "0123456789ABCDEF";

}  // namespace

constinit const std::array<int, 256> seven_bit_to_unicode = make_unicode();
constinit const std::array<unsigned char, 256> seven_bit_to_ascii = make_ascii();
constinit const std::array<unsigned char, 256> ascii_to_seven_bit = make_reverse();

std::size_t gsm_create_encoded(bool ucs2, bool ext7bit, std::string& message, std::size_t max) {
    std::string out;
    if (ucs2) {
        for (unsigned char c : message) {
            if (out.size() + 4 >= max) break;
            out += "00";
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    } else {
        std::size_t n = std::min(message.size(), max);
        for (std::size_t k = 0; k < n; ++k) {
            unsigned char c = static_cast<unsigned char>(message[k]);
            int code = ascii_to_seven_bit[c];
            if (c == '\n' || c == '\r') {
                out += static_cast<char>(c);
            } else if (code & 0x80) {
                if (ext7bit) out += static_cast<char>(ESC);
                out += static_cast<char>(code & 0x7F);
            } else if (code < 32) {
                out += static_cast<char>(code);
            } else {
                out += static_cast<char>(c);
            }
        }
        if (out.size() > max) out.resize(max);
    }
    message = std::move(out);
    return message.size();
}

std::size_t gsm_process_encoded(bool ucs2, bool ext7bit, std::string& message, std::size_t max) {
    dmsg("gsm_process_encoded ucs2=(%d) ext7bit=(%d) length=(%d) max=(%d) message=(%.200s)",
         ucs2 ? 1 : 0, ext7bit ? 1 : 0, static_cast<int>(message.size()), static_cast<int>(max),
         message.c_str());
    std::string out;
    if (ucs2) {
        dmsg("16bit decode, first 2 chars are: (%c%c)", message.size() > 0 ? message[0] : ' ',
             message.size() > 1 ? message[1] : ' ');
        for (std::size_t i = 0; i + 4 <= message.size() && out.size() < max; i += 4) {
            bool ok = true;
            for (std::size_t k = 0; k < 4; ++k)
                ok = ok && std::isalnum(static_cast<unsigned char>(message[i + k]));
            if (!ok) break;
            int cp = (hexval(message[i]) << 12) | (hexval(message[i + 1]) << 8) |
                     (hexval(message[i + 2]) << 4) | hexval(message[i + 3]);
            int found = -1;
            for (int k = 0; k < 256 && found < 0; ++k) {
                if (seven_bit_to_unicode[k] == cp) found = k;
            }
            out += static_cast<char>(found >= 0 ? seven_bit_to_ascii[found] : cp & 0xFF);
        }
    } else {
        for (std::size_t i = 0; i < message.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(message[i]);
            if (c >= 32 || c == '\r' || c == '\n') {
                out += static_cast<char>(c);
            } else if (c == ESC) {
                // A trailing ESC is dropped; an extension code without a character
                // reads as its default-alphabet character.
                if (i + 1 < message.size()) {
                    unsigned char n = static_cast<unsigned char>(message[++i]) & 0x7F;
                    unsigned char b = seven_bit_to_ascii[128 + n];
                    out += static_cast<char>(b != 0 ? b : seven_bit_to_ascii[n]);
                }
            } else {
                out += static_cast<char>(seven_bit_to_ascii[c]);
            }
        }
    }
    message = std::move(out);
    return message.size();
}

}  // namespace tolvane
