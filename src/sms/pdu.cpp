// PDU units: hex-text primitives, addresses, time stamps, user data and whole
// SMS-SUBMIT / SMS-DELIVER units. See pdu.h for the limits.
#include "sms/pdu.h"

#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "sms/sms_text.h"

namespace tolvane {

namespace {

constexpr int ESC = 27;
constexpr char HEX[] = "0123456789ABCDEF";

int hexdigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Text for a log line: at most TEXT_MAX characters, anything unprintable as ".".
std::string printable(std::string_view text) {
    std::string out(text.substr(0, std::min(text.size(), TEXT_MAX)));
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) c = '.';
    }
    return out;
}

// The octet at i into v, without a reason: the loops over user data use it and ask
// pdu_decode_int for the reason only when it fails, so that a good unit costs no
// error value per octet.
bool octet_at(std::string_view pdu, std::size_t i, int& v) {
    if (i >= pdu.size() || pdu.size() - i < 2) return false;
    int hi = hexdigit(pdu[i]);
    int lo = hexdigit(pdu[i + 1]);
    if (hi < 0 || lo < 0) return false;
    v = hi * 16 + lo;
    return true;
}

// Octets left behind i.
std::size_t octets_left(std::string_view pdu, std::size_t i) {
    return i < pdu.size() ? (pdu.size() - i) / 2 : 0;
}

// Reads n octets at i into bytes; fails when they are not all there.
Status read_octets(std::string_view pdu, std::size_t& i, std::size_t n,
                   std::vector<unsigned char>& out, const char* what) {
    if (octets_left(pdu, i) < n) {
        return Error{0, strprintf("%s needs %zu octets at position %zu, %zu present", what, n, i,
                                  octets_left(pdu, i))};
    }
    out.clear();
    std::size_t at = i;
    for (std::size_t k = 0; k < n; ++k, i += 2) {
        int v = 0;
        if (!octet_at(pdu, i, v)) {
            Result<int> failed = pdu_decode_int(pdu, i);  // for its reason
            i = at;
            return std::move(failed.error());
        }
        out.push_back(static_cast<unsigned char>(v));
    }
    return {};
}

// Septets packed least significant bit first.
std::vector<int> unpack_septets(const std::vector<unsigned char>& bytes, std::size_t count) {
    std::string septets = gsm_unpack_septets(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), count);
    return std::vector<int>(septets.begin(), septets.end());
}

// Septets as gateway bytes: ESC selects the extension table for the next one; an
// extension code without a character reads as its default-alphabet character.
std::string septets_to_text(const std::vector<int>& septets) {
    std::string out;
    bool escaped = false;
    for (int s : septets) {
        if (escaped) {
            unsigned char b = seven_bit_to_ascii[128 + s];
            out += static_cast<char>(b != 0 ? b : seven_bit_to_ascii[s]);
            escaped = false;
        } else if (s == ESC) {
            escaped = true;
        } else {
            out += static_cast<char>(seven_bit_to_ascii[s]);
        }
    }
    return out;
}

// A code point as one gateway byte: Latin-1 as it is, the alphabet's characters
// (Greek capitals, the euro sign) as their table bytes, anything else as "?".
char from_code_point(unsigned cp) {
    if (cp <= 0xFF) return static_cast<char>(cp);
    for (int k = 0; k < 256; ++k) {
        if (seven_bit_to_unicode[k] == static_cast<int>(cp) && seven_bit_to_ascii[k] != 0)
            return static_cast<char>(seven_bit_to_ascii[k]);
    }
    return '?';
}

// Semi-octet digits of an address: 0-9, then * # a b c; F is filler.
char address_digit(int nibble) {
    static constexpr char DIGITS[] = "0123456789*#abc";
    return nibble < 15 ? DIGITS[nibble] : '\0';
}

// Concatenation elements of a user-data header (8-bit and 16-bit references);
// other elements are kept in the hex text only, a malformed one ends the walk.
void read_header_elements(const std::vector<unsigned char>& h, gsm_pdu& msg) {
    std::size_t k = 0;
    while (k + 2 <= h.size()) {
        int iei = h[k];
        std::size_t len = h[k + 1];
        if (k + 2 + len > h.size()) break;
        const unsigned char* e = h.data() + k + 2;
        if (iei == 0x00 && len == 3) {
            msg.concat_reference = e[0];
            msg.concat_total = e[1];
            msg.concat_part = e[2];
        } else if (iei == 0x08 && len == 4) {
            msg.concat_reference = (e[0] << 8) | e[1];
            msg.concat_total = e[2];
            msg.concat_part = e[3];
        }
        k += 2 + len;
    }
}

// Splits user data into its header (when udhi is set) and the octets behind it.
Status split_header(bool udhi, std::vector<unsigned char>& data, gsm_pdu& msg,
                    std::size_t& header_octets) {
    header_octets = 0;
    if (!udhi) return {};
    if (data.empty()) return Error{0, "user-data header announced but the user data is empty"};
    std::size_t udhl = data[0];
    if (1 + udhl > data.size()) {
        return Error{0, strprintf("user-data header of %zu octets does not fit in %zu octets of "
                                  "user data",
                                  udhl, data.size() - 1)};
    }
    std::vector<unsigned char> header(data.begin() + 1, data.begin() + 1 + udhl);
    for (unsigned char b : header) {
        msg.udh += HEX[b >> 4];
        msg.udh += HEX[b & 15];
    }
    read_header_elements(header, msg);
    header_octets = 1 + udhl;
    return {};
}

enum class alphabet { gsm7, eight_bit, ucs2 };

// The alphabet of a data coding scheme, from its coding group. Reserved codings
// read as the default alphabet; compressed text cannot be read.
Result<alphabet> dcs_alphabet(int dcs) {
    int group = (dcs >> 4) & 0x0F;
    int code = 0;
    if (group <= 7) {
        if (dcs & 0x20) {
            wmsg("Data Coding Sceme Unknown (%x)", dcs);
            return Error{0,
                         strprintf("compressed user data (data coding %02X) cannot be read", dcs)};
        }
        code = (dcs >> 2) & 3;
    } else if (group == 0x0E) {
        code = 2;
    } else if (group == 0x0F) {
        code = (dcs & 0x04) ? 1 : 0;
    }
    return code == 1 ? alphabet::eight_bit : code == 2 ? alphabet::ucs2 : alphabet::gsm7;
}

void append_septets(std::string& dst, const std::vector<int>& septets) {
    std::string codes(septets.begin(), septets.end());
    for (unsigned char octet : gsm_pack_septets(codes)) pdu_encode_int(dst, octet);
}

}  // namespace

void pdu_encode_int(std::string& pdu, int v) {
    pdu += HEX[(v >> 4) & 15];
    pdu += HEX[v & 15];
}

Result<int> pdu_decode_int(std::string_view pdu, std::size_t& i) {
    if (int v = 0; octet_at(pdu, i, v)) {
        i += 2;
        return v;
    }
    if (i >= pdu.size() || pdu.size() - i < 2)
        return Error{0, strprintf("unit ends at position %zu where an octet was expected", i)};
    return Error{0, strprintf("not a hex digit at position %zu", hexdigit(pdu[i]) < 0 ? i : i + 1)};
}

Status pdu_flip(std::string_view pdu, std::string& dst, std::size_t& i) {
    if (i >= pdu.size() || pdu.size() - i < 2)
        return Error{0, strprintf("unit ends at position %zu inside a semi-octet pair", i)};
    dst += pdu[i + 1];
    dst += pdu[i];
    i += 2;
    return {};
}

Status pdu_encode_addr(std::string_view addr, std::string& dst) {
    bool international = !addr.empty() && addr.front() == '+';
    if (international) addr.remove_prefix(1);
    if (addr.empty()) return Error{0, "empty phone number"};
    if (addr.size() > 20)
        return Error{0, strprintf("phone number of %zu digits is longer than 20", addr.size())};
    for (char c : addr) {
        if (c < '0' || c > '9') {
            unsigned char u = static_cast<unsigned char>(c);
            return Error{0, (u >= 32 && u < 127)
                                ? strprintf("phone number holds '%c', not a digit", c)
                                : strprintf("phone number holds the byte %02X, not a digit", u)};
        }
    }
    // The length counts the digits, not the filler.
    pdu_encode_int(dst, static_cast<int>(addr.size()));
    pdu_encode_int(dst, international ? 0x91 : 0x81);
    for (std::size_t k = 0; k < addr.size(); k += 2) {
        dst += k + 1 < addr.size() ? addr[k + 1] : 'F';
        dst += addr[k];
    }
    return {};
}

namespace {

Result<std::string> decode_addr(std::string_view pdu, std::size_t& i, bool sca,
                                int* type_of_address) {
    Result<int> length = pdu_decode_int(pdu, i);
    if (!length) return std::move(length.error());
    const int len = *length;
    if (sca && len == 0) return std::string();
    if (sca && len > 11)
        return Error{0, strprintf("service-centre address length %d is more than 11 octets", len)};
    if (!sca && len > 20)
        return Error{0, strprintf("address length %d is more than 20 digits", len)};
    Result<int> type_octet = pdu_decode_int(pdu, i);
    if (!type_octet) return std::move(type_octet.error());
    const int type = *type_octet;
    if (type_of_address != nullptr) *type_of_address = type;
    std::size_t octets = sca ? static_cast<std::size_t>(len - 1) : (len + 1) / 2;
    std::vector<unsigned char> bytes;
    const char* what = sca ? "service-centre address" : "address";
    if (Status st = read_octets(pdu, i, octets, bytes, what); !st) return std::move(st.error());
    std::string dst;
    int ton = (type >> 4) & 7;
    if (ton == 5 && !sca) {
        // An alphanumeric originator: 7-bit characters in len semi-octets.
        // When the octets hold a whole number of septets, a last septet of 0 is the
        // filler of a name one character shorter.
        std::vector<int> septets = unpack_septets(bytes, static_cast<std::size_t>(len) * 4 / 7);
        if (!septets.empty() && septets.back() == 0 && (octets * 8) % 7 == 0) septets.pop_back();
        dst = septets_to_text(septets);
        // The name ends up in message headers: no line breaks or other controls.
        for (char& c : dst) {
            if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
        }
        return dst;
    }
    std::size_t digits = sca ? octets * 2 : static_cast<std::size_t>(len);
    std::string number;
    for (std::size_t k = 0; k < digits; ++k) {
        int nibble = (k % 2 == 0) ? (bytes[k / 2] & 15) : (bytes[k / 2] >> 4);
        char d = address_digit(nibble);
        if (d == '\0') break;  // filler
        number += d;
    }
    if (ton == 1 && !number.empty()) dst = "+";
    dst += number;
    return dst;
}

}  // namespace

Result<std::string> pdu_decode_sc_addr(std::string_view pdu, std::size_t& i) {
    return decode_addr(pdu, i, true, nullptr);
}

Result<std::string> pdu_decode_addr(std::string_view pdu, std::size_t& i, int* type_of_address) {
    return decode_addr(pdu, i, false, type_of_address);
}

Result<std::string> pdu_decode_time(std::string_view pdu, std::size_t& i) {
    if (octets_left(pdu, i) < 7) {
        return Error{0, strprintf("time stamp needs 7 octets at position %zu, %zu present", i,
                                  octets_left(pdu, i))};
    }
    std::string d;
    std::size_t at = i;
    for (int k = 0; k < 7; ++k) {
        if (Status st = pdu_flip(pdu, d, i); !st) return std::move(st.error());
    }
    for (char c : d) {
        if (hexdigit(c) < 0) {
            i = at;
            return Error{0, strprintf("not a hex digit in the time stamp at position %zu", at)};
        }
    }
    // The zone: quarter hours, the sign in the top bit of its first digit.
    int first = hexdigit(d[12]);
    char sign = (first & 8) ? '-' : '+';
    int quarters = (first & 7) * 10 + hexdigit(d[13]);
    return strprintf("%.2s/%.2s/%.2s,%.2s:%.2s:%.2s%c%02d", d.data(), d.data() + 2, d.data() + 4,
                     d.data() + 6, d.data() + 8, d.data() + 10, sign, quarters / 4);
}

Status pdu_encode_content(int dcs, std::string& dst, std::string_view content) {
    if (dcs == PDU_DCS_7BIT) {
        std::vector<int> septets;
        std::size_t taken = 0;
        for (unsigned char c : content) {
            int code = ascii_to_seven_bit[c];
            std::size_t need = (code & 0x80) ? 2 : 1;
            // Cut at a whole character: an escape pair is never split.
            if (septets.size() + need > PDU_MAX_SEPTETS) break;
            if (code & 0x80) septets.push_back(ESC);
            septets.push_back(code & 0x7F);
            ++taken;
        }
        if (taken < content.size())
            dmsg("PDU text cut from %zu to %zu characters (%zu septets)", content.size(), taken,
                 septets.size());
        pdu_encode_int(dst, static_cast<int>(septets.size()));
        append_septets(dst, septets);
        return {};
    }
    if (dcs == PDU_DCS_8BIT) {
        content = content.substr(0, std::min(content.size(), PDU_MAX_OCTETS));
        pdu_encode_int(dst, static_cast<int>(content.size()));
        for (unsigned char c : content) pdu_encode_int(dst, c);
        return {};
    }
    if (dcs == PDU_DCS_UCS2) {
        content = content.substr(0, std::min(content.size(), PDU_MAX_UCS2));
        pdu_encode_int(dst, static_cast<int>(content.size() * 2));
        for (unsigned char c : content) {
            // The gateway's euro byte goes out as the euro sign.
            unsigned cp = c == 0x80 ? 0x20AC : c;
            pdu_encode_int(dst, static_cast<int>(cp >> 8));
            pdu_encode_int(dst, static_cast<int>(cp & 0xFF));
        }
        return {};
    }
    wmsg("Data Coding Sceme Unknown (%x)", dcs);
    return Error{0, strprintf("data coding %d cannot be sent (0, 4 or 8)", dcs)};
}

Status pdu_decode_content(int dcs, bool udhi, std::string_view pdu, std::size_t& i, gsm_pdu& msg) {
    msg.message.clear();
    msg.udh.clear();
    msg.length = 0;
    msg.concat_reference = msg.concat_total = msg.concat_part = 0;
    Result<alphabet> coding = dcs_alphabet(dcs);
    if (!coding) return std::move(coding.error());
    const alphabet a = *coding;
    std::size_t at = i;
    Result<int> length = pdu_decode_int(pdu, i);
    if (!length) return std::move(length.error());
    const int udl = *length;
    std::vector<unsigned char> data;
    std::size_t header = 0;
    if (a == alphabet::gsm7) {
        if (static_cast<std::size_t>(udl) > PDU_MAX_SEPTETS)
            return Error{0, strprintf("user data length %d septets is more than 160", udl)};
        std::size_t octets = (static_cast<std::size_t>(udl) * 7 + 7) / 8;
        if (Status st = read_octets(pdu, i, octets, data, "user data"); !st) return st;
        if (Status st = split_header(udhi, data, msg, header); !st) return st;
        // The text starts at the first septet boundary behind the header.
        std::size_t header_septets = (header * 8 + 6) / 7;
        if (header_septets > static_cast<std::size_t>(udl)) {
            return Error{0, strprintf("user-data header of %zu octets is longer than %d septets",
                                      header, udl)};
        }
        std::vector<int> all = unpack_septets(data, static_cast<std::size_t>(udl));
        all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(header_septets));
        msg.message = septets_to_text(all);
    } else {
        if (static_cast<std::size_t>(udl) > PDU_MAX_OCTETS)
            return Error{0, strprintf("user data length %d octets is more than 140", udl)};
        if (Status st = read_octets(pdu, i, static_cast<std::size_t>(udl), data, "user data"); !st)
            return st;
        if (Status st = split_header(udhi, data, msg, header); !st) return st;
        if (a == alphabet::eight_bit) {
            msg.message.assign(data.begin() + static_cast<std::ptrdiff_t>(header), data.end());
        } else {
            dmsg("16bit decode, first 2 chars are: (%c%c)", pdu[at], pdu[at + 1]);
            if ((data.size() - header) % 2 != 0) {
                return Error{0, strprintf("UCS2 text of %zu octets is not whole characters",
                                          data.size() - header)};
            }
            for (std::size_t k = header; k + 1 < data.size(); k += 2) {
                unsigned cp = (static_cast<unsigned>(data[k]) << 8) | data[k + 1];
                if (cp >= 0xD800 && cp <= 0xDBFF && k + 3 < data.size()) {
                    unsigned low = (static_cast<unsigned>(data[k + 2]) << 8) | data[k + 3];
                    if (low >= 0xDC00 && low <= 0xDFFF) k += 2;  // one character beyond U+FFFF
                }
                msg.message += from_code_point(cp);
            }
        }
    }
    msg.length = static_cast<int>(msg.message.size());
    return {};
}

Result<int> gsm_encode_pdu_ref(int reference, int dcs, std::string_view to,
                               std::string_view message, std::string& dst) {
    std::string unit = "00";  // no service centre: the modem uses its own
    unit += "01";             // SMS-SUBMIT, no validity period, no header, no report
    pdu_encode_int(unit, reference & 0xFF);
    if (Status st = pdu_encode_addr(to, unit); !st) return std::move(st.error());
    unit += "00";
    pdu_encode_int(unit, dcs);
    if (Status st = pdu_encode_content(dcs, unit, message); !st) return std::move(st.error());
    dst = std::move(unit);
    return static_cast<int>((dst.size() - 2) / 2);
}

Result<int> gsm_encode_pdu(int& next, int dcs, std::string_view to, std::string_view message,
                           std::string& dst) {
    const int reference = next & 0xFF;
    next = (reference + 1) % 256;
    return gsm_encode_pdu_ref(reference, dcs, to, message, dst);
}

namespace {

// One octet at i into field.
Status take_int(std::string_view pdu, std::size_t& i, int& field) {
    Result<int> v = pdu_decode_int(pdu, i);
    if (!v) return std::move(v.error());
    field = *v;
    return {};
}

// A field a reader produced, into its place in the record.
Status take_text(Result<std::string>&& r, std::string& field) {
    if (!r) return std::move(r.error());
    field = std::move(*r);
    return {};
}

// The fields of a stored SMS-SUBMIT between the first octet and the user data.
Status decode_submit_fields(std::string_view pdu, std::size_t& i, gsm_pdu& msg) {
    const int fo = msg.first_octet_of_sms;
    if (Status st = take_int(pdu, i, msg.message_reference); !st) return st;
    if (Status st = take_text(pdu_decode_addr(pdu, i, &msg.type_of_address), msg.phone); !st)
        return st;
    dmsg("PDU destination phone[%s]", msg.phone.c_str());
    if (Status st = take_int(pdu, i, msg.protocal_identifier); !st) return st;
    dmsg("PDU protocal_identifier[%d]", msg.protocal_identifier);
    if (Status st = take_int(pdu, i, msg.data_coding_sceme); !st) return st;
    dmsg("PDU data_coding_sceme[%d]", msg.data_coding_sceme);
    int vpf = (fo >> 3) & 3;
    if (vpf != 0) dmsg("PDU has validity period");
    if (vpf == 3) {
        if (Status st = take_text(pdu_decode_time(pdu, i), msg.timestamp); !st) return st;
        dmsg("PDU validity period[%s]", msg.timestamp.c_str());
    } else if (vpf == 2 || vpf == 1) {
        // Relative (one octet) or enhanced (seven octets): skipped.
        std::size_t n = vpf == 2 ? 1 : 7;
        std::vector<unsigned char> skipped;
        if (Status st = read_octets(pdu, i, n, skipped, "validity period"); !st) return st;
    }
    return {};
}

// The fields of an SMS-DELIVER between the first octet and the user data.
Status decode_deliver_fields(std::string_view pdu, std::size_t& i, gsm_pdu& msg) {
    if (Status st = take_text(pdu_decode_addr(pdu, i, &msg.type_of_address), msg.phone); !st)
        return st;
    dmsg("PDU originating phone[%s]", printable(msg.phone).c_str());
    if (Status st = take_int(pdu, i, msg.protocal_identifier); !st) return st;
    if (Status st = take_int(pdu, i, msg.data_coding_sceme); !st) return st;
    if (Status st = take_text(pdu_decode_time(pdu, i), msg.timestamp); !st) return st;
    dmsg("PDU timestamp[%s]", msg.timestamp.c_str());
    return {};
}

}  // namespace

Status gsm_decode_pdu(std::string_view pdu, gsm_pdu& msg) {
    msg = gsm_pdu{};
    dmsg("Decode PDU [%s]", printable(pdu).c_str());
    pdu = strtrm_right(pdu);
    if (pdu.empty()) return Error{0, "empty unit"};
    for (std::size_t k = 0; k < pdu.size(); ++k) {
        if (hexdigit(pdu[k]) < 0) return Error{0, strprintf("not a hex digit at position %zu", k)};
    }
    if (pdu.size() % 2 != 0)
        return Error{0, strprintf("odd number of hex digits (%zu)", pdu.size())};
    std::size_t i = 0;
    if (Status st = take_text(pdu_decode_sc_addr(pdu, i), msg.service_center); !st) return st;
    dmsg("PDU service_center[%s]", msg.service_center.c_str());
    if (Status st = take_int(pdu, i, msg.first_octet_of_sms); !st) return st;
    dmsg("PDU first_octet[%d]", msg.first_octet_of_sms);
    int fo = msg.first_octet_of_sms;
    int type = fo & 3;
    if (type == 1) {
        if (Status st = decode_submit_fields(pdu, i, msg); !st) return st;
    } else if (type == 0) {
        if (Status st = decode_deliver_fields(pdu, i, msg); !st) return st;
    } else {
        return Error{0, strprintf("not a delivered or stored message (message type %d)", type)};
    }
    if (Status st = pdu_decode_content(msg.data_coding_sceme, (fo & 0x40) != 0, pdu, i, msg); !st)
        return st;
    dmsg("PDU content[%d][%s]", msg.length, printable(msg.message).c_str());
    return {};
}

bool gsm_pdu_is_submit(const gsm_pdu* msg) {
    return msg != nullptr && (msg->first_octet_of_sms & 1) != 0;
}

}  // namespace tolvane
