// SMS text coding, splitting and decoding. See sms_text.h.
//
// The GSM alphabet comes from the character tables in pdu_gsm7.cpp (one table for
// the whole gateway). Two of its readings are kept on purpose and shared here:
// code 9 is the small c with cedilla (what phones show), and ESC 10 reads as a
// line feed (a form feed would only confuse the reader); a form feed is still sent as
// ESC 10, its proper code.
#include "sms/sms_text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <mutex>
#include <random>

#include "foundation/lib.h"
#include "foundation/utf8.h"
#include "sms/pdu.h"

namespace tolvane {

namespace {

constexpr char HEX[] = "0123456789ABCDEF";
constexpr std::uint16_t NO_CODE = 0xFFFF;
constexpr std::uint16_t EXTENDED = 0x100;  // flag: ESC then the low 7 bits

// Unicode to GSM code: code points below 0x100 by index; the few beyond (Greek
// capitals, the euro sign) in a short list.
struct gsm_reverse {
    std::array<std::uint16_t, 0x100> latin{};
    std::vector<std::pair<char32_t, std::uint16_t>> other;

    gsm_reverse() {
        latin.fill(NO_CODE);
        auto put = [this](char32_t cp, std::uint16_t code) {
            if (cp < 0x100) {
                if (latin[cp] == NO_CODE) latin[cp] = code;
            } else if (std::none_of(other.begin(), other.end(),
                                    [cp](const auto& e) { return e.first == cp; })) {
                other.emplace_back(cp, code);
            }
        };
        for (int c = 0; c < 128; ++c) {
            if (c != GSM_ESC) put(static_cast<char32_t>(seven_bit_to_unicode[c]), c);
        }
        for (int c = 0; c < 128; ++c) {
            int cp = seven_bit_to_unicode[128 + c];
            if (cp != 0 && c != 10 && c != GSM_ESC)
                put(static_cast<char32_t>(cp), static_cast<std::uint16_t>(EXTENDED | c));
        }
        put(0x0C, EXTENDED | 10);  // form feed
    }

    [[nodiscard]] std::uint16_t find(char32_t cp) const {
        if (cp < 0x100) return latin[cp];
        for (const auto& e : other) {
            if (e.first == cp) return e.second;
        }
        return NO_CODE;
    }
};

const gsm_reverse& reverse_table() {
    static const gsm_reverse table;
    return table;
}

// A text as characters, each given as its units (septets, or UCS-2 octets).
struct coded_char {
    std::uint32_t offset;  // into units
    std::uint8_t length;   // units of this character (1 or 2)
};

struct coded_text {
    std::string units;  // septets one a byte, or UCS-2 octets
    std::vector<coded_char> chars;
    std::size_t unit_count = 0;  // septets or UCS-2 units
    std::size_t substituted = 0;
};

// GSM septets of text; with substitute, "?" for what the alphabet lacks, else
// false at the first such character.
bool code_gsm(std::string_view text, bool substitute, coded_text& out) {
    const gsm_reverse& table = reverse_table();
    for (std::size_t at = 0; at < text.size();) {
        char32_t cp = utf8_next(text, at);
        std::uint16_t code = table.find(cp);
        if (code == NO_CODE) {
            if (!substitute) return false;
            code = '?';
            ++out.substituted;
        }
        coded_char c{static_cast<std::uint32_t>(out.units.size()), 1};
        if (code & EXTENDED) {
            out.units += static_cast<char>(GSM_ESC);
            c.length = 2;
        }
        out.units += static_cast<char>(code & 0x7F);
        out.chars.push_back(c);
    }
    out.unit_count = out.units.size();
    return true;
}

void code_ucs2(std::string_view text, coded_text& out) {
    for (std::size_t at = 0; at < text.size();) {
        char32_t cp = utf8_next(text, at);
        coded_char c{static_cast<std::uint32_t>(out.unit_count), 1};
        auto unit = [&out](char32_t u) {
            out.units += static_cast<char>((u >> 8) & 0xFF);
            out.units += static_cast<char>(u & 0xFF);
            ++out.unit_count;
        };
        if (cp >= 0x10000) {
            char32_t v = cp - 0x10000;
            unit(0xD800 + (v >> 10));
            unit(0xDC00 + (v & 0x3FF));
            c.length = 2;
        } else {
            unit(cp);
        }
        out.chars.push_back(c);
    }
}

// Cuts coded text into parts of at most per_part units, never inside a character;
// at most max_parts parts. Returns the characters taken.
std::size_t cut_parts(const coded_text& t, std::size_t per_part, std::size_t max_parts,
                      std::size_t octets_per_unit, std::vector<sms_part>& parts) {
    std::size_t taken = 0;
    std::size_t start = 0;  // first unit of the part being filled
    std::size_t end = 0;    // one past its last unit
    auto close = [&] {
        sms_part p;
        p.units = end - start;
        p.data.assign(t.units, start * octets_per_unit, (end - start) * octets_per_unit);
        parts.push_back(std::move(p));
        start = end;
    };
    for (const coded_char& c : t.chars) {
        if (c.offset + c.length - start > per_part) {
            if (parts.size() + 1 >= max_parts) break;
            close();
        }
        end = c.offset + c.length;
        ++taken;
    }
    close();
    return taken;
}

}  // namespace

std::optional<sms_coding> sms_coding_parse(std::string_view name) {
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "auto") return sms_coding::automatic;
    if (lower == "gsm") return sms_coding::gsm;
    if (lower == "ucs2") return sms_coding::ucs2;
    if (lower == "latin1") return sms_coding::latin1;
    return std::nullopt;
}

const char* sms_coding_name(sms_coding coding) {
    switch (coding) {
        case sms_coding::automatic:
            return "auto";
        case sms_coding::gsm:
            return "gsm";
        case sms_coding::ucs2:
            return "ucs2";
        case sms_coding::latin1:
            return "latin1";
    }
    return "auto";
}

const char* sms_alphabet_name(sms_alphabet alphabet) {
    switch (alphabet) {
        case sms_alphabet::gsm:
            return "gsm";
        case sms_alphabet::ucs2:
            return "ucs2";
        case sms_alphabet::latin1:
            return "latin1";
    }
    return "gsm";
}

std::string sms_concat_header(int reference, int total, int part) {
    std::string h = {5, 0, 3};
    h += static_cast<char>(reference & 0xFF);
    h += static_cast<char>(total & 0xFF);
    h += static_cast<char>(part & 0xFF);
    return h;
}

sms_split sms_text_split(std::string_view text, sms_coding coding, int max_parts, int reference) {
    sms_split out;
    out.reference = reference & 0xFF;
    std::size_t max = static_cast<std::size_t>(std::clamp(max_parts, 1, SMS_MAX_PARTS_LIMIT));

    if (coding == sms_coding::latin1) {
        out.alphabet = sms_alphabet::latin1;
        sms_part p;
        p.data = latin1_from_utf8(text, &out.substituted);
        p.units = p.data.size();
        out.characters = p.units;
        out.parts.push_back(std::move(p));
        return out;
    }

    coded_text t;
    bool gsm = false;
    if (coding == sms_coding::gsm) {
        gsm = code_gsm(text, true, t);
    } else if (coding == sms_coding::automatic) {
        gsm = code_gsm(text, false, t);
    }
    if (!gsm) {
        t = coded_text{};
        code_ucs2(text, t);
    }
    out.alphabet = gsm ? sms_alphabet::gsm : sms_alphabet::ucs2;
    out.substituted = t.substituted;

    std::size_t single = gsm ? SMS_SEPTETS_SINGLE : SMS_UCS2_SINGLE;
    std::size_t per_part = gsm ? SMS_SEPTETS_PART : SMS_UCS2_PART;
    std::size_t octets = gsm ? 1 : 2;
    if (t.unit_count <= single || max == 1) {
        out.characters = cut_parts(t, single, 1, octets, out.parts);
    } else {
        out.characters = cut_parts(t, per_part, max, octets, out.parts);
        int total = static_cast<int>(out.parts.size());
        for (int k = 0; k < total; ++k)
            out.parts[static_cast<std::size_t>(k)].udh =
                sms_concat_header(out.reference, total, k + 1);
    }
    out.cut = out.characters < t.chars.size();
    return out;
}

int sms_next_reference(std::string_view destination) {
    static std::mutex lock;
    static std::map<std::string, int, std::less<>> next;
    static std::mt19937 random{std::random_device{}()};
    std::lock_guard<std::mutex> hold(lock);
    auto it = next.find(destination);
    if (it == next.end()) {
        // Bounded: a gateway sending to very many numbers starts over, each again
        // from a random reference.
        if (next.size() >= 100000) next.clear();
        it = next.emplace(std::string(destination), static_cast<int>(random() & 0xFF)).first;
    }
    int ref = it->second;
    it->second = (ref + 1) & 0xFF;
    return ref;
}

bool gsm_septets_of(char32_t cp, std::string& septets) {
    std::uint16_t code = reverse_table().find(cp);
    if (code == NO_CODE) return false;
    if (code & EXTENDED) septets += static_cast<char>(GSM_ESC);
    septets += static_cast<char>(code & 0x7F);
    return true;
}

bool gsm_text_fits(std::string_view text) {
    const gsm_reverse& table = reverse_table();
    for (std::size_t at = 0; at < text.size();) {
        if (table.find(utf8_next(text, at)) == NO_CODE) return false;
    }
    return true;
}

std::string gsm_septets_to_utf8(std::string_view septets) {
    std::string out;
    out.reserve(septets.size());
    bool escaped = false;
    for (char ch : septets) {
        int s = static_cast<unsigned char>(ch) & 0x7F;
        if (escaped) {
            escaped = false;
            if (s == GSM_ESC) {
                out += ' ';  // ESC ESC: the reserved second escape reads as a blank
                continue;
            }
            int cp = seven_bit_to_unicode[128 + s];
            utf8_append(out, static_cast<char32_t>(cp != 0 ? cp : seven_bit_to_unicode[s]));
        } else if (s == GSM_ESC) {
            escaped = true;
        } else {
            utf8_append(out, static_cast<char32_t>(seven_bit_to_unicode[s]));
        }
    }
    return out;
}

std::string gsm_pack_septets(std::string_view septets, unsigned fill_bits) {
    std::string out;
    out.reserve((fill_bits + septets.size() * 7 + 7) / 8);
    unsigned acc = 0;
    unsigned bits = fill_bits % 8;
    for (std::size_t k = 0; k < fill_bits / 8; ++k) out += '\0';
    for (char ch : septets) {
        acc |= (static_cast<unsigned>(static_cast<unsigned char>(ch)) & 0x7F) << bits;
        bits += 7;
        while (bits >= 8) {
            out += static_cast<char>(acc & 0xFF);
            acc >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0) out += static_cast<char>(acc & 0xFF);
    return out;
}

std::string gsm_unpack_septets(std::string_view octets, std::size_t count,
                               std::size_t skip_septets) {
    std::string out;
    out.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::size_t bit = (skip_septets + k) * 7;
        std::size_t byte = bit / 8;
        unsigned v = byte < octets.size() ? static_cast<unsigned char>(octets[byte]) : 0;
        if (byte + 1 < octets.size())
            v |= static_cast<unsigned>(static_cast<unsigned char>(octets[byte + 1])) << 8;
        out += static_cast<char>((v >> (bit % 8)) & 0x7F);
    }
    return out;
}

std::string sms_pack_user_data(const sms_part& part, std::size_t& udl) {
    if (part.udh.empty()) {
        udl = part.data.size();
        return gsm_pack_septets(part.data);
    }
    std::size_t header_bits = part.udh.size() * 8;
    std::size_t header_septets = (header_bits + 6) / 7;
    udl = header_septets + part.data.size();
    return part.udh +
           gsm_pack_septets(part.data, static_cast<unsigned>(header_septets * 7 - header_bits));
}

std::string ucs2_from_utf8(std::string_view text) {
    coded_text t;
    code_ucs2(text, t);
    return std::move(t.units);
}

std::string ucs2_to_utf8(std::string_view octets) {
    std::string out;
    out.reserve(octets.size());
    auto unit = [&octets](std::size_t k) {
        return (static_cast<char32_t>(static_cast<unsigned char>(octets[k])) << 8) |
               static_cast<unsigned char>(octets[k + 1]);
    };
    std::size_t k = 0;
    for (; k + 1 < octets.size(); k += 2) {
        char32_t u = unit(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 3 < octets.size()) {
            char32_t low = unit(k + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                utf8_append(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                k += 2;
                continue;
            }
        }
        // A lone surrogate goes out as U+FFFD (utf8_append refuses surrogates); a
        // zero unit would end the text for every C caller downstream.
        utf8_append(out, u == 0 ? UTF8_REPLACEMENT : u);
    }
    if (k < octets.size()) utf8_append(out, UTF8_REPLACEMENT);
    return out;
}

std::string latin1_from_utf8(std::string_view text, std::size_t* substituted) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        char32_t cp = utf8_next(text, at);
        if (cp < 0x100) {
            out += static_cast<char>(cp);
        } else if (cp == 0x20AC) {
            out += static_cast<char>(0x80);
        } else {
            out += '?';
            if (substituted != nullptr) ++*substituted;
        }
    }
    return out;
}

std::string latin1_to_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (char ch : bytes) {
        unsigned char b = static_cast<unsigned char>(ch);
        utf8_append(out, b == 0x80 ? 0x20AC : b == 0 ? UTF8_REPLACEMENT : b);
    }
    return out;
}

Result<sms_text_kind> sms_dcs_kind(int dcs) {
    dcs &= 0xFF;
    int group = dcs >> 4;
    if (group <= 7) {
        if (dcs & 0x20) {
            return Error{0, strprintf("compressed user data (data coding %02X) cannot be read", dcs)};
        }
        switch ((dcs >> 2) & 3) {
            case 1:
                return sms_text_kind::binary;
            case 2:
                return sms_text_kind::ucs2;
            default:
                return sms_text_kind::gsm_packed;
        }
    }
    if (group == 0x0E) return sms_text_kind::ucs2;
    if (group == 0x0F) return (dcs & 0x04) ? sms_text_kind::binary : sms_text_kind::gsm_packed;
    return sms_text_kind::gsm_packed;
}

sms_text_kind sms_data_coding_kind(int data_coding, bool gsm_as_latin1) {
    data_coding &= 0xFF;
    switch (data_coding) {
        case 0:
            return gsm_as_latin1 ? sms_text_kind::latin1 : sms_text_kind::gsm_unpacked;
        case 1:
            return sms_text_kind::ia5;
        case 3:
            return sms_text_kind::latin1;
        case 8:
            return sms_text_kind::ucs2;
        default:
            break;
    }
    if (data_coding < 0x10) {
        // Binary, and the national sets (JIS, Cyrillic, Hebrew, ...) the gateway does
        // not read: shown as hex, so nothing is lost.
        return sms_text_kind::binary;
    }
    Result<sms_text_kind> k = sms_dcs_kind(data_coding);
    if (!k) return sms_text_kind::binary;
    return *k == sms_text_kind::gsm_packed ? sms_text_kind::gsm_unpacked : *k;
}

Result<sms_udh_info> sms_udh_parse(std::string_view data) {
    if (data.empty()) return Error{0, "user-data header announced but the user data is empty"};
    std::size_t udhl = static_cast<unsigned char>(data[0]);
    if (1 + udhl > data.size()) {
        return Error{0, strprintf("user-data header of %zu octets does not fit in %zu octets of "
                                  "user data",
                                  udhl, data.size() - 1)};
    }
    sms_udh_info info;
    auto at = [&data](std::size_t k) {
        return static_cast<int>(static_cast<unsigned char>(data[k]));
    };
    std::size_t k = 1;
    while (k + 2 <= 1 + udhl) {
        int iei = at(k);
        std::size_t len = static_cast<std::size_t>(at(k + 1));
        if (k + 2 + len > 1 + udhl) break;
        std::size_t e = k + 2;
        if (iei == 0x00 && len == 3) {
            info.concat = sms_concat{at(e), at(e + 1), at(e + 2)};
        } else if (iei == 0x08 && len == 4) {
            info.concat = sms_concat{(at(e) << 8) | at(e + 1), at(e + 2), at(e + 3)};
        }
        k += 2 + len;
    }
    info.octets = 1 + udhl;
    return info;
}

Result<sms_decoded> sms_decode_user_data(sms_text_kind kind, bool has_udh, std::string_view data,
                                         std::size_t septets) {
    if (kind == sms_text_kind::gsm_packed) {
        std::size_t need = (septets * 7 + 7) / 8;
        if (need > data.size()) {
            return Error{0, strprintf("%zu septets need %zu octets of user data, %zu present",
                                      septets, need, data.size())};
        }
        data = data.substr(0, need);
    }
    sms_decoded out;
    std::size_t header = 0;
    if (has_udh) {
        Result<sms_udh_info> udh = sms_udh_parse(data);
        if (!udh) return std::move(udh.error());
        header = udh->octets;
        out.concat = udh->concat;
        out.udh.assign(data.substr(1, header - 1));
    }
    std::string_view body = data.substr(header);
    switch (kind) {
        case sms_text_kind::gsm_packed: {
            // The text starts at the first septet boundary behind the header.
            std::size_t skip = (header * 8 + 6) / 7;
            if (skip > septets) {
                return Error{0, strprintf("user-data header of %zu octets is longer than %zu "
                                          "septets",
                                          header, septets)};
            }
            out.text = gsm_septets_to_utf8(gsm_unpack_septets(data, septets - skip, skip));
            break;
        }
        case sms_text_kind::gsm_unpacked:
            out.text = gsm_septets_to_utf8(body);
            break;
        case sms_text_kind::latin1:
            out.text = latin1_to_utf8(body);
            break;
        case sms_text_kind::ia5:
            for (char ch : body) {
                unsigned char b = static_cast<unsigned char>(ch);
                utf8_append(out.text, b == 0 || b >= 0x80 ? UTF8_REPLACEMENT : b);
            }
            break;
        case sms_text_kind::ucs2:
            out.text = ucs2_to_utf8(body);
            break;
        case sms_text_kind::binary:
            out.text.reserve(body.size() * 2);
            for (char ch : body) {
                unsigned char b = static_cast<unsigned char>(ch);
                out.text += HEX[b >> 4];
                out.text += HEX[b & 15];
            }
            break;
    }
    return out;
}

}  // namespace tolvane
