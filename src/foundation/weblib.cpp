// Web text codings: see weblib.h.
#include "foundation/weblib.h"

namespace tolvane {

namespace {

bool url_plain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == ':' || c == '_';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Appends piece when it fits whole within size - 1 characters; false ends the output.
bool put(std::string& out, std::size_t size, std::string_view piece) {
    if (size == 0 || out.size() + piece.size() > size - 1) return false;
    out.append(piece);
    return true;
}

}  // namespace

std::string url_encode(std::string_view text, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (url_plain(c)) {
            if (!put(out, size, std::string_view(&ch, 1))) break;
        } else {
            const char code[3] = {'%', digits[c >> 4], digits[c & 0x0f]};
            if (!put(out, size, std::string_view(code, 3))) break;
        }
    }
    return out;
}

std::string html_encode(std::string_view text, std::size_t size) {
    std::string out;
    for (char ch : text) {
        std::string_view piece;
        switch (ch) {
            case '"':
                piece = "&quot;";
                break;
            case '&':
                piece = "&amp;";
                break;
            case '<':
                piece = "&lt;";
                break;
            case '>':
                piece = "&gt;";
                break;
            default:
                piece = std::string_view(&ch, 1);
                break;
        }
        if (!put(out, size, piece)) break;
    }
    return out;
}

void unescape_url(std::string& text) {
    std::size_t to = 0;
    for (std::size_t from = 0; from < text.size(); ++from) {
        char c = text[from];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && from + 2 < text.size()) {
            const int hi = hex_value(text[from + 1]);
            const int lo = hex_value(text[from + 2]);
            if (hi >= 0 && lo >= 0) {
                c = static_cast<char>((hi << 4) | lo);
                from += 2;
            }
        }
        text[to++] = c;
    }
    text.resize(to);
}

std::string web_strip_parents(std::string_view name) {
    std::string out(name);
    for (;;) {
        std::size_t at = std::string::npos;
        for (std::size_t i = 0; i + 2 < out.size(); ++i) {
            if (out[i] == '.' && out[i + 1] == '.' && (out[i + 2] == '/' || out[i + 2] == '\\')) {
                at = i;
                break;
            }
        }
        if (at == std::string::npos) return out;
        out.erase(at, 3);
    }
}

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '"':
                out += "&quot;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace tolvane
