// The GSM modem transport's codec: SMS-SUBMIT units for sending in PDU mode,
// delivered and stored units read back, and the two text-mode conversions between
// the gateway's single-byte (ISO 8859-1) text and the modem's character set.
//
// Character tables: the first half is indexed by a default-alphabet code, the
// second by 128 plus an extension-table code (the character after ESC).
#include <atomic>
#include <cctype>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

namespace {

constexpr int ESC = 27;

// Default alphabet as ISO 8859-1 bytes (Greek capitals replaced by Latin-1 look-alikes),
// then the extension table.
constexpr unsigned char DEFAULT_TO_LATIN1[128] = {
    0x40, 0xA3, 0x24, 0xA5, 0xE8, 0xE9, 0xF9, 0xEC, 0xF2, 0xE7, 0x0A, 0xD8, 0xF8, 0x0D, 0xC5, 0xE5,
    0x7F, 0x5F, 0xE8, 0xE2, 0x5E, 0xEA, 0xE3, 0xE7, 0xE4, 0xE9, 0xF0, 0x1B, 0xC6, 0xE6, 0xDF, 0xC9,
    ' ',  '!',  '"',  '#',  0xA4, '%',  '&',  '\'', '(',  ')',  '*',  '+',  ',',  '-',  '.',  '/',
    '0',  '1',  '2',  '3',  '4',  '5',  '6',  '7',  '8',  '9',  ':',  ';',  '<',  '=',  '>',  '?',
    0xA1, 'A',  'B',  'C',  'D',  'E',  'F',  'G',  'H',  'I',  'J',  'K',  'L',  'M',  'N',  'O',
    'P',  'Q',  'R',  'S',  'T',  'U',  'V',  'W',  'X',  'Y',  'Z',  0xC4, 0xD6, 0xD1, 0xDC, 0xA7,
    0xBF, 'a',  'b',  'c',  'd',  'e',  'f',  'g',  'h',  'i',  'j',  'k',  'l',  'm',  'n',  'o',
    'p',  'q',  'r',  's',  't',  'u',  'v',  'w',  'x',  'y',  'z',  0xE4, 0xF6, 0xF1, 0xFC, 0xE0};

// Code points of the default alphabet where they differ from the byte table.
struct greek {
    int code;
    int unicode;
};
constexpr greek GREEK[] = {{16, 0x394}, {18, 0x3A6}, {19, 0x393}, {20, 0x39B}, {21, 0x3A9},
                           {22, 0x3A0}, {23, 0x3A8}, {24, 0x3A3}, {25, 0x398}, {26, 0x39E}};

struct extension {
    int code;
    unsigned char latin1;
    int unicode;
};
constexpr extension EXTENSIONS[] = {{10, 0x0A, 0x0A}, {20, '^', '^'},     {27, ' ', 27},
                                    {40, '{', '{'},   {41, '}', '}'},     {47, '\\', '\\'},
                                    {60, '[', '['},   {61, '~', '~'},     {62, ']', ']'},
                                    {64, '|', '|'},   {101, 0x80, 0x20AC}};

struct tables {
    unsigned char to_latin1[256] = {};
    int to_unicode[256] = {};
    unsigned char from_latin1[256] = {};
    tables() {
        for (int c = 0; c < 128; ++c) {
            to_latin1[c] = DEFAULT_TO_LATIN1[c];
            to_unicode[c] = DEFAULT_TO_LATIN1[c];
        }
        to_unicode[ESC] = ESC;
        for (const greek& g : GREEK) to_unicode[g.code] = g.unicode;
        for (const extension& e : EXTENSIONS) {
            to_latin1[128 + e.code] = e.latin1;
            to_unicode[128 + e.code] = e.unicode;
        }
        // The reverse direction: the standard alphabet's inverse ...
        for (int c = 0; c < 128; ++c) {
            bool is_greek = false;
            for (const greek& g : GREEK) is_greek = is_greek || g.code == c;
            if (is_greek || c == 9 || c == ESC) continue;
            from_latin1[DEFAULT_TO_LATIN1[c]] = static_cast<unsigned char>(c);
        }
        for (const extension& e : EXTENSIONS) {
            if (e.code != 10 && e.code != 27 && e.code != 20 && e.code != 101)
                from_latin1[e.latin1] = static_cast<unsigned char>(128 + e.code);
        }
        // ... with the look-alikes of the byte table mapped back to their codes.
        from_latin1[0x0C] = 0;
        from_latin1[0xC7] = 0;
        from_latin1['^'] = 20;
        from_latin1[0x7F] = 16;
        from_latin1[0x80] = 128 + 101;
        from_latin1[0xE2] = 19;
        from_latin1[0xE3] = 22;
        from_latin1[0xE4] = 24;
        from_latin1[0xE7] = 9;
        from_latin1[0xEA] = 21;
        from_latin1[0xF0] = 26;
        from_latin1[0xE8] = 4;
        from_latin1[0xE9] = 5;
    }
};

const tables& T() {
    static const tables t;
    return t;
}

std::atomic<unsigned> g_reference{0};

constexpr char HEX[] = "0123456789ABCDEF";

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

void put_octet(std::string& out, int v) {
    out += HEX[(v >> 4) & 15];
    out += HEX[v & 15];
}

int get_octet(std::string_view pdu, std::size_t& i) {
    int hi = i < pdu.size() ? hexval(pdu[i]) : 0;
    int lo = i + 1 < pdu.size() ? hexval(pdu[i + 1]) : 0;
    i += 2;
    return hi * 16 + lo;
}

void put_address(std::string& out, std::string_view addr) {
    bool international = !addr.empty() && addr.front() == '+';
    if (international) addr.remove_prefix(1);
    std::string digits(addr);
    std::size_t n = digits.size();
    put_octet(out, static_cast<int>((n + 1) / 2 * 2));
    put_octet(out, international ? 0x91 : 0x81);
    if (n % 2) digits += 'F';
    for (std::size_t k = 0; k + 1 < digits.size(); k += 2) {
        out += digits[k + 1];
        out += digits[k];
    }
}

std::string get_address(std::string_view pdu, std::size_t& i, bool sca) {
    int len = get_octet(pdu, i);
    if (sca && len == 0) return "";
    int type = get_octet(pdu, i);
    int octets = sca ? len - 1 : (len + 1) / 2;
    std::string out;
    if ((type & 0x90) == 0x90) out += '+';
    for (int k = 0; k < octets && i < pdu.size(); ++k) {
        if (i + 2 <= pdu.size()) {
            out += pdu[i + 1];
            out += pdu[i];
        }
        i += 2;
    }
    if (!out.empty() && (out.back() == 'F' || out.back() == 'f')) out.pop_back();
    return out;
}

std::string get_time(std::string_view pdu, std::size_t& i) {
    std::string d[7];
    for (std::string& s : d) {
        if (i + 2 <= pdu.size()) {
            s += pdu[i + 1];
            s += pdu[i];
        } else {
            s = "00";
        }
        i += 2;
    }
    int first = hexval(d[6][0]);
    char sign = (first & 8) ? '-' : '+';
    int quarters = (first & 7) * 10 + hexval(d[6][1]);
    return strprintf("%s/%s/%s,%s:%s:%s%c%02d", d[0].c_str(), d[1].c_str(), d[2].c_str(),
                     d[3].c_str(), d[4].c_str(), d[5].c_str(), sign, quarters / 4);
}

void put_content(std::string& out, int dcs, std::string_view text) {
    const tables& t = T();
    if (dcs == 0) {
        std::size_t count;
        if (text.size() > 160) {
            text = text.substr(0, 160);
            count = 160;
        } else {
            count = text.size();
            for (unsigned char c : text) count += (t.from_latin1[c] & 0x80) ? 1 : 0;
        }
        std::vector<int> septets;
        for (unsigned char c : text) {
            int v = t.from_latin1[c];
            if (v & 0x80) {
                septets.push_back(ESC);
                septets.push_back(v & 0x7F);
            } else {
                septets.push_back(v);
            }
        }
        septets.resize(count, 0);
        put_octet(out, static_cast<int>(count));
        unsigned acc = 0;
        int bits = 0;
        for (int s : septets) {
            acc |= static_cast<unsigned>(s & 0x7F) << bits;
            bits += 7;
            while (bits >= 8) {
                put_octet(out, static_cast<int>(acc & 0xFF));
                acc >>= 8;
                bits -= 8;
            }
        }
        if (bits > 0) put_octet(out, static_cast<int>(acc & 0xFF));
    } else if (dcs == 4) {
        text = text.substr(0, std::min<std::size_t>(text.size(), 140));
        put_octet(out, static_cast<int>(text.size()));
        for (unsigned char c : text) put_octet(out, c);
    } else if (dcs == 8) {
        text = text.substr(0, std::min<std::size_t>(text.size(), 70));
        put_octet(out, static_cast<int>(text.size() * 2));
        for (unsigned char c : text) {
            out += "00";
            put_octet(out, c);
        }
    } else {
        emsg("Data Coding Sceme Unknown (%x)", dcs);
    }
}

// A code point as one byte: Latin-1 as it is, else its default-alphabet look-alike.
unsigned char from_unicode(int cp) {
    const tables& t = T();
    for (int k = 0; k < 256; ++k) {
        if (t.to_unicode[k] == cp && cp != 0) return t.to_latin1[k];
    }
    return cp <= 0xFF ? static_cast<unsigned char>(cp) : '?';
}

int get_content(int dcs, std::string_view pdu, std::size_t& i, std::string& out) {
    const tables& t = T();
    out.clear();
    if (dcs == 0) {
        int count = get_octet(pdu, i);
        unsigned acc = 0;
        int bits = 0;
        bool esc = false;
        for (int k = 0; k < count; ++k) {
            while (bits < 7) {
                acc |= static_cast<unsigned>(get_octet(pdu, i)) << bits;
                bits += 8;
            }
            int s = static_cast<int>(acc & 0x7F);
            acc >>= 7;
            bits -= 7;
            if (esc) {
                out += static_cast<char>(t.to_latin1[128 + s]);
                esc = false;
            } else if (s == ESC) {
                esc = true;
            } else {
                out += static_cast<char>(t.to_latin1[s]);
            }
        }
        return count;
    }
    if (dcs == 4) {
        get_octet(pdu, i);
        while (i + 2 <= pdu.size()) out += static_cast<char>(get_octet(pdu, i));
        return static_cast<int>(out.size());
    }
    if (dcs == 8) {
        dmsg("16bit decode, first 2 chars are: (%c%c)", i < pdu.size() ? pdu[i] : ' ',
             i + 1 < pdu.size() ? pdu[i + 1] : ' ');
        i += 2;
        while (i + 4 <= pdu.size()) {
            int cp = get_octet(pdu, i) << 8;
            cp |= get_octet(pdu, i);
            out +=
                static_cast<char>(cp <= 0xFF ? static_cast<unsigned char>(cp) : from_unicode(cp));
        }
        return static_cast<int>(out.size());
    }
    emsg("Data Coding Sceme Unknown (%x)", dcs);
    return 0;
}

}  // namespace

int gsm_codec_encode_pdu(int dcs, std::string_view to, std::string_view message,
                         std::string& unit) {
    unit = "00";
    unit += "01";
    put_octet(unit, static_cast<int>(g_reference++ % 256));
    put_address(unit, to);
    unit += "00";
    put_octet(unit, dcs);
    put_content(unit, dcs, message);
    return static_cast<int>((unit.size() - 1) / 2);
}

bool gsm_codec_decode_pdu(std::string_view pdu, gsm_sms& msg) {
    dmsg("Decode PDU [%.*s]", static_cast<int>(std::min<std::size_t>(pdu.size(), 999)), pdu.data());
    if (pdu.size() < 4) return false;
    std::size_t i = 0;
    msg.service_center = get_address(pdu, i, true);
    msg.first_octet_of_sms = get_octet(pdu, i);
    msg.is_submit = (msg.first_octet_of_sms & 1) != 0;
    if (msg.is_submit) {
        msg.message_reference = get_octet(pdu, i);
        msg.phone = get_address(pdu, i, false);
        msg.protocal_identifier = get_octet(pdu, i);
        msg.data_coding_sceme = get_octet(pdu, i);
        if (msg.first_octet_of_sms & 0x10) {
            if (msg.first_octet_of_sms & 0x08) {
                msg.timestamp = get_time(pdu, i);
            } else {
                i += 2;
            }
        }
    } else {
        msg.phone = get_address(pdu, i, false);
        msg.protocal_identifier = get_octet(pdu, i);
        msg.data_coding_sceme = get_octet(pdu, i);
        msg.timestamp = get_time(pdu, i);
    }
    if (i > pdu.size()) return false;
    msg.length = get_content(msg.data_coding_sceme, pdu, i, msg.message);
    msg.message = cut(msg.message);
    dmsg("PDU content[%d][%s]", msg.length, msg.message.c_str());
    return true;
}

std::string gsm_codec_to_modem(bool ucs2, bool ext7bit, std::string_view text, std::size_t max) {
    std::string out;
    if (ucs2) {
        for (unsigned char c : text) {
            if (out.size() + 4 >= max) break;
            out += "00";
            put_octet(out, c);
        }
        return out;
    }
    const tables& t = T();
    for (unsigned char c : text.substr(0, std::min(text.size(), max))) {
        int code = t.from_latin1[c];
        if (c == 10 || c == 13) {
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
    return out;
}

std::string gsm_codec_from_modem(bool ucs2, bool /*ext7bit*/, std::string_view text,
                                 std::size_t max) {
    const tables& t = T();
    std::string out;
    if (ucs2) {
        for (std::size_t i = 0; i + 4 <= text.size() && out.size() < max; i += 4) {
            bool ok = true;
            for (std::size_t k = 0; k < 4; ++k)
                ok = ok && std::isalnum(static_cast<unsigned char>(text[i + k]));
            if (!ok) break;
            int cp = (hexval(text[i]) << 12) | (hexval(text[i + 1]) << 8) |
                     (hexval(text[i + 2]) << 4) | hexval(text[i + 3]);
            out += static_cast<char>(from_unicode(cp));
        }
        return out;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 32 || c == '\r' || c == '\n') {
            out += static_cast<char>(c);
        } else if (c == ESC) {
            if (i + 1 < text.size()) {
                out += static_cast<char>(t.to_latin1[128 + (text[++i] & 0x7F)]);
            }
        } else {
            out += static_cast<char>(t.to_latin1[c]);
        }
    }
    return out;
}

}  // namespace tolvane
