// Character sets at the mail edge. See mail_charset.h.
#include "mail/mail_charset.h"

#include <iconv.h>
#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <vector>

#include "foundation/lib.h"
#include "foundation/utf8.h"
#include "mail/mime.h"

namespace tolvane {

namespace {

constexpr char HEX[] = "0123456789ABCDEF";
constexpr std::size_t WORD_MAX = 75;  // longest encoded word
constexpr std::size_t QP_LINE = 76;   // longest quoted-printable line

std::string lower_trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '"'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '"'))
        s.remove_suffix(1);
    std::string out;
    for (char c : s) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Labels that mail programs put on text that is often something else.
bool loose_label(const std::string& label) {
    static constexpr std::string_view LOOSE[] = {
        "",           "us-ascii", "ascii",   "iso-8859-1", "iso8859-1",
        "iso_8859-1", "latin1",   "latin-1", "l1",         "ansi_x3.4-1968"};
    for (std::string_view l : LOOSE) {
        if (label == l) return true;
    }
    return false;
}

struct iconv_handle {
    iconv_t cd;
    explicit iconv_handle(const char* from) : cd(iconv_open("UTF-8", from)) {}
    ~iconv_handle() {
        if (ok()) iconv_close(cd);
    }
    iconv_handle(const iconv_handle&) = delete;
    iconv_handle& operator=(const iconv_handle&) = delete;
    [[nodiscard]] bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

// Converts with iconv; false when iconv does not know the charset. A byte it cannot
// read becomes U+FFFD and conversion goes on behind it.
bool convert(std::string_view bytes, const char* from, std::string& out) {
    iconv_handle h(from);
    if (!h.ok()) return false;
    out.clear();
    std::string buf(bytes.size() * 3 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());  // iconv's signature; it does not write
    std::size_t in_left = bytes.size();
    for (;;) {
        char* o = buf.data();
        std::size_t o_left = buf.size();
        std::size_t r = in_left > 0 ? iconv(h.cd, &in, &in_left, &o, &o_left)
                                    : iconv(h.cd, nullptr, nullptr, &o, &o_left);
        int err = errno;
        out.append(buf.data(), buf.size() - o_left);
        if (r != static_cast<std::size_t>(-1)) {
            if (in_left == 0) {
                // Flush the shift state of stateful charsets (ISO-2022-JP and the like).
                o = buf.data();
                o_left = buf.size();
                iconv(h.cd, nullptr, nullptr, &o, &o_left);
                out.append(buf.data(), buf.size() - o_left);
                break;
            }
            continue;
        }
        if (err == E2BIG) continue;  // the buffer is emptied into out on every round
        // EILSEQ or EINVAL (cut short at the end): one byte becomes U+FFFD.
        utf8_append(out, UTF8_REPLACEMENT);
        if (in_left == 0) break;
        ++in;
        --in_left;
        iconv(h.cd, nullptr, nullptr, nullptr, nullptr);
        if (in_left == 0) break;
    }
    return true;
}

std::string windows_1252(std::string_view bytes) {
    std::string out;
    if (convert(bytes, "WINDOWS-1252", out)) return out;
    // glibc always has it; without it every byte above 0x7F is at least not lost.
    for (char c : bytes) {
        unsigned char b = static_cast<unsigned char>(c);
        utf8_append(out, b < 0x80 ? b : UTF8_REPLACEMENT);
    }
    return out;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string q_decode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && hexval(text[i + 1]) >= 0 &&
                   hexval(text[i + 2]) >= 0) {
            out += static_cast<char>(hexval(text[i + 1]) * 16 + hexval(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

bool is_lwsp(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// One encoded word at text[at] ("=?cs?X?data?="): its charset, decoded bytes and
// end; false when it is not a well-formed word.
bool read_word(std::string_view text, std::size_t at, std::string& charset, std::string& bytes,
               std::size_t& end) {
    std::size_t p = at + 2;
    std::size_t q1 = text.find('?', p);
    if (q1 == std::string_view::npos || q1 == p || q1 - p > 64) return false;
    std::string_view cs = text.substr(p, q1 - p);
    for (char c : cs) {
        if (is_lwsp(c) || c == '=') return false;
    }
    if (q1 + 2 >= text.size() || text[q1 + 2] != '?') return false;
    char how = static_cast<char>(std::toupper(static_cast<unsigned char>(text[q1 + 1])));
    if (how != 'B' && how != 'Q') return false;
    std::size_t data = q1 + 3;
    std::size_t close = text.find("?=", data);
    if (close == std::string_view::npos) return false;
    std::string_view payload = text.substr(data, close - data);
    if (payload.find_first_of("\r\n") != std::string_view::npos) return false;
    if (how == 'Q') {
        bytes = q_decode(payload);
    } else {
        std::string compact;
        for (char c : payload) {
            if (!is_lwsp(c)) compact += c;
        }
        if (!compact.empty() && mime_decode_base64(compact, bytes) == 0) {
            // mime_decode_base64 gives 0 for a foreign character (or a lone character).
            bool only_padding = compact.find_first_not_of('=') == std::string::npos;
            if (!only_padding) return false;
        }
        if (compact.empty()) bytes.clear();
    }
    // A language suffix ("utf-8*en") is not part of the charset.
    charset = lower_trimmed(cs.substr(0, cs.find('*')));
    end = close + 2;
    return true;
}

bool q_safe(unsigned char c) {
    return std::isalnum(c) || c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
}

std::string b64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

bool needs_encoding(std::string_view text) {
    if (text.find("=?") != std::string_view::npos) return true;
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b >= 0x7F || (b < 0x20 && b != '\t')) return true;
    }
    return false;
}

}  // namespace

std::string content_charset(std::string_view content_type) {
    std::size_t from = 0;
    for (;;) {
        std::size_t at = strstrnc(content_type.substr(from), "charset");
        if (at == std::string_view::npos) return {};
        at += from;
        std::size_t p = at + 7;
        while (p < content_type.size() && (content_type[p] == ' ' || content_type[p] == '\t')) ++p;
        if (p >= content_type.size() || content_type[p] != '=') {
            from = at + 7;
            continue;
        }
        ++p;
        while (p < content_type.size() && (content_type[p] == ' ' || content_type[p] == '\t')) ++p;
        std::string_view v = content_type.substr(p);
        if (!v.empty() && v.front() == '"') {
            v.remove_prefix(1);
            v = v.substr(0, v.find('"'));
        } else {
            v = v.substr(0, v.find_first_of("; \t\r\n"));
        }
        return lower_trimmed(v.substr(0, 64));
    }
}

std::string bytes_to_utf8(std::string_view bytes) {
    if (utf8_is_valid(bytes)) return std::string(bytes);
    // One well-formed multi-byte sequence says the text is UTF-8 with a few bad bytes
    // (a character cut off by a byte limit, say): those become U+FFFD and the rest
    // stays as it is, instead of every character being read again as two or three
    // Latin-1 ones. Latin-1 text almost never forms such a sequence by chance.
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t start = at;
        utf8_next(bytes, at);  // an invalid byte moves on by one
        if (at - start > 1) return utf8_valid(bytes);
    }
    return windows_1252(bytes);
}

std::string charset_to_utf8(std::string_view bytes, std::string_view charset) {
    std::string label = lower_trimmed(charset);
    if (label == "utf-8" || label == "utf8") return utf8_valid(bytes);
    if (loose_label(label)) return bytes_to_utf8(bytes);
    std::string out;
    if (convert(bytes, label.c_str(), out)) return out;
    return bytes_to_utf8(bytes);  // a charset iconv does not know
}

std::string header_decode(std::string_view value) {
    struct segment {
        bool word;
        std::string charset;
        std::string bytes;
    };
    std::vector<segment> segs;
    std::size_t i = 0;
    bool after_word = false;
    auto plain = [&](std::string_view text) {
        if (text.empty()) return;
        if (!segs.empty() && !segs.back().word) {
            segs.back().bytes.append(text);
        } else {
            segs.push_back({false, {}, std::string(text)});
        }
    };
    while (i < value.size()) {
        std::size_t at = value.find("=?", i);
        std::string charset, bytes;
        std::size_t end = 0;
        if (at == std::string_view::npos) {
            plain(value.substr(i));
            break;
        }
        if (!read_word(value, at, charset, bytes, end)) {
            plain(value.substr(i, at + 2 - i));
            i = at + 2;
            after_word = false;
            continue;
        }
        std::string_view between = value.substr(i, at - i);
        bool blank = true;
        for (char c : between) blank = blank && is_lwsp(c);
        // Blanks between two encoded words are not part of the text.
        if (!(after_word && blank)) plain(between);
        if (!segs.empty() && segs.back().word && segs.back().charset == charset) {
            // Same charset: joined before conversion, so a character a sender split
            // between two words is still read whole.
            segs.back().bytes += bytes;
        } else {
            segs.push_back({true, charset, std::move(bytes)});
        }
        after_word = true;
        i = end;
    }
    std::string out;
    for (const segment& s : segs)
        out += s.word ? charset_to_utf8(s.bytes, s.charset) : bytes_to_utf8(s.bytes);
    return out;
}

std::string header_encode(std::string_view text, std::size_t used) {
    if (!needs_encoding(text)) return std::string(text);
    std::string valid = utf8_valid(text);
    // Q for text that is mostly ASCII (it stays readable), B for the rest.
    std::size_t q_len = 0;
    for (unsigned char c : valid) q_len += (q_safe(c) || c == ' ') ? 1 : 3;
    bool use_q = q_len <= 4 * ((valid.size() + 2) / 3);
    const std::string open = use_q ? "=?UTF-8?Q?" : "=?UTF-8?B?";
    const std::size_t overhead = open.size() + 2;

    std::string out;
    std::size_t budget = used + 20 < QP_LINE ? std::min(WORD_MAX, QP_LINE - used) : WORD_MAX;
    std::string chunk;    // raw bytes of the word being filled
    std::size_t enc = 0;  // their encoded length (Q)
    auto flush = [&] {
        if (chunk.empty()) return;
        if (!out.empty()) out += "\r\n ";
        out += open;
        if (use_q) {
            for (unsigned char c : chunk) {
                if (c == ' ') {
                    out += '_';
                } else if (q_safe(c)) {
                    out += static_cast<char>(c);
                } else {
                    out += '=';
                    out += HEX[c >> 4];
                    out += HEX[c & 15];
                }
            }
        } else {
            out += b64(chunk);
        }
        out += "?=";
        chunk.clear();
        enc = 0;
        budget = WORD_MAX;
    };
    for (std::size_t at = 0; at < valid.size();) {
        std::size_t start = at;
        utf8_next(valid, at);
        std::string_view ch = std::string_view(valid).substr(start, at - start);
        std::size_t add = 0;
        for (unsigned char c : ch) add += (q_safe(c) || c == ' ') ? 1 : 3;
        std::size_t would = use_q ? enc + add : 4 * ((chunk.size() + ch.size() + 2) / 3);
        if (!chunk.empty() && overhead + would > budget) flush();
        chunk.append(ch);
        enc += add;
    }
    flush();
    return out;
}

std::string header_encode_address(std::string_view value, std::size_t used) {
    std::size_t lt = value.rfind('<');
    if (lt == std::string_view::npos || value.empty() || value.back() != '>') {
        // A bare address is plain ASCII; anything else is text.
        return value.find('@') != std::string_view::npos && !needs_encoding(value)
                   ? std::string(value)
                   : header_encode(value, used);
    }
    std::string_view name = value.substr(0, lt);
    std::string_view addr = value.substr(lt);
    // An ASCII name is left exactly as given (quoted or not).
    if (!needs_encoding(name)) return std::string(value);
    while (!name.empty() && is_lwsp(name.back())) name.remove_suffix(1);
    while (!name.empty() && is_lwsp(name.front())) name.remove_prefix(1);
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    if (name.empty()) return std::string(addr);
    return header_encode(name, used) + " " + std::string(addr);
}

std::string body_encode_qp(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2 + 16);
    auto encode_line = [&out](std::string_view line) {
        std::size_t len = 0;  // characters on the output line so far
        for (std::size_t at = 0; at < line.size();) {
            std::size_t start = at;
            utf8_next(line, at);
            std::string_view ch = line.substr(start, at - start);
            bool last = at == line.size();
            std::string unit;
            for (unsigned char c : ch) {
                bool literal =
                    (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
                // A dot opening a line would need stuffing; written as "=2E" it cannot.
                if (c == '.' && len == 0) literal = false;
                if (literal) {
                    unit += static_cast<char>(c);
                } else {
                    unit += '=';
                    unit += HEX[c >> 4];
                    unit += HEX[c & 15];
                }
            }
            // Room for a soft break ("=") unless this is the last unit of the line.
            std::size_t limit = last ? QP_LINE : QP_LINE - 1;
            if (len > 0 && len + unit.size() > limit) {
                out += "=\r\n";
                len = 0;
                if (unit == ".") unit = "=2E";
            }
            out += unit;
            len += unit.size();
        }
        out += "\r\n";
    };
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t e = text.find_first_of("\r\n", i);
        if (e == std::string_view::npos) {
            if (i < text.size()) encode_line(text.substr(i));
            break;
        }
        encode_line(text.substr(i, e - i));
        i = e + ((text[e] == '\r' && e + 1 < text.size() && text[e + 1] == '\n') ? 2 : 1);
    }
    return out;
}

}  // namespace tolvane
