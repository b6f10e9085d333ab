// Quoted-printable codings (see mail_qp.h): body lines of mail to send, and header
// words ("=?charset?q?...?=") in both directions.
#include "mail/mail_qp.h"

#include <cctype>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "mail/mime.h"

namespace tolvane {

namespace {

constexpr char HEX[] = "0123456789ABCDEF";
constexpr std::string_view WORD_OPEN = "=?iso-8859-1?q?";
constexpr std::string_view WORD_FOLD = "?=\r\n\t=?iso-8859-1?q?";
constexpr std::string_view WORD_CLOSE = "?=";

bool printable(unsigned char c) {
    return c >= 32 && c < 127;
}

void hex_byte(std::string& out, unsigned char c) {
    out.push_back('=');
    out.push_back(HEX[c >> 4]);
    out.push_back(HEX[c & 15]);
}

}  // namespace

void qp_encode(std::string& line, std::size_t size) {
    std::size_t room = size > 0 ? size - 1 : 0;
    std::string out;
    out.reserve(line.size() + line.size() / 4);
    for (unsigned char c : line) {
        bool hex = !printable(c) || c == '=';
        if (out.size() + (hex ? 3 : 1) > room) break;
        if (hex)
            hex_byte(out, c);
        else
            out.push_back(static_cast<char>(c));
    }
    line.swap(out);
}

int qp_header_encode(const char* name, const char* text, std::string& out, std::size_t size) {
    out.clear();
    if (!text || size <= 18) return 0;
    std::size_t room = size - 1;
    // Encode into tokens: one character each, or an "=XX" triple that must stay whole.
    std::string enc;
    bool needed = false;
    for (const char* p = text; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        std::size_t before = enc.size();
        if (c == ' ') {
            enc.push_back('_');
        } else if (printable(c) && c != '=' && c != '?' && c != '_' && c != '(' && c != ')') {
            enc.push_back(static_cast<char>(c));
        } else {
            hex_byte(enc, c);
            needed = true;
        }
        if (WORD_OPEN.size() + enc.size() + WORD_CLOSE.size() > room) {
            enc.resize(before);  // no room for this character
            break;
        }
    }
    if (!needed) {
        for (char& c : enc)
            if (c == '_') c = ' ';
        out = std::move(enc);
        return static_cast<int>(out.size());
    }
    // Fold into encoded words that keep the header lines short.
    out.append(WORD_OPEN);
    std::size_t count = (name ? std::string_view(name).size() : 0) + 19;
    for (std::size_t i = 0; i < enc.size();) {
        std::size_t tok = enc[i] == '=' ? 3 : 1;
        if (count >= 70) {
            if (out.size() + WORD_FOLD.size() + WORD_CLOSE.size() > room) break;
            out.append(WORD_FOLD);
            count = 18;
        }
        if (out.size() + tok + WORD_CLOSE.size() > room) break;
        out.append(enc, i, tok);
        count += tok;
        i += tok;
    }
    out.append(WORD_CLOSE);
    return static_cast<int>(out.size());
}

int qp_header_decode(std::string_view text, std::string& out, std::size_t size) {
    std::size_t room = size > 0 ? size - 1 : 0;
    dmsg("qp_header_decode(%.*s)", static_cast<int>(text.size()), text.data());
    out.clear();
    if (text.substr(0, 2) != "=?") {
        out.assign(text.substr(0, room));
        return static_cast<int>(out.size());
    }
    std::vector<std::string_view> pieces;
    std::size_t at = 0;
    while (pieces.size() < 99) {
        std::size_t q = text.find('?', at);
        if (q == std::string_view::npos) break;
        pieces.push_back(text.substr(at, q - at));
        at = q + 1;
    }
    pieces.push_back(text.substr(at));
    if (pieces.size() < 5) return -1;
    std::string joined;
    for (std::size_t i = 3; i < pieces.size(); i += 4) joined.append(pieces[i]);
    std::string_view how = pieces[2];
    if (how == "q" || how == "Q") {
        for (char& c : joined)
            if (c == '_') c = ' ';
        mime_decode_quoted(joined, out);
    } else if (how == "b" || how == "B") {
        mime_decode_base64(joined, out);
    } else {
        return -1;
    }
    if (out.size() > room) out.resize(room);
    dmsg("qp_header_decode done %d (%s)", static_cast<int>(out.size()), out.c_str());
    return static_cast<int>(out.size());
}

}  // namespace tolvane
