// MIME decoder: line classification, boundaries, part numbers and the line decoders.
#include "mail/mime.h"

#include <algorithm>
#include <cstring>

#include "foundation/lib.h"

namespace tolvane {

namespace {

// A physical line is read in pieces of at most this many characters.
constexpr std::size_t PIECE = 997;
constexpr std::size_t VALUE_MAX = TEXT_MAX;
constexpr int CONTINUATIONS = 4;
constexpr std::size_t QP_MAX_INPUT = 2000;

// Where the lines come from: a C stream or a C++ stream.
struct LineSource {
    std::FILE* f = nullptr;
    std::istream* in = nullptr;

    // The next piece of a line, its line feed included; false at the end of the input.
    bool read(std::string& line) {
        line.clear();
        if (f) {
            int ch;
            while (line.size() < PIECE && (ch = getc_unlocked(f)) != EOF) {
                line.push_back(static_cast<char>(ch));
                if (ch == '\n') break;
            }
        } else if (in && *in) {
            std::streambuf* sb = in->rdbuf();
            while (line.size() < PIECE) {
                auto ch = sb->sbumpc();
                if (ch == std::streambuf::traits_type::eof()) {
                    in->setstate(std::ios::eofbit);
                    break;
                }
                line.push_back(static_cast<char>(ch));
                if (ch == '\n') break;
            }
        }
        return !line.empty();
    }
};

bool is_blank(char ch) {
    return ch == ' ' || ch == '\t';
}

// When line starts with the header name and a colon (any case), value gets the rest with
// the blanks after the colon skipped.
bool header_is(std::string_view line, std::string_view name, std::string_view& value) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    if (!istarts_with(line, name)) return false;
    value = line.substr(name.size() + 1);
    while (!value.empty() && is_blank(value.front())) value.remove_prefix(1);
    return true;
}

void append_cut(std::string& to, std::string_view more, std::size_t max) {
    if (to.size() >= max) return;
    to.append(more.substr(0, max - to.size()));
}

// Next line to work on: the one read ahead, else a new one.
bool next_line(MIME* m, LineSource& src, std::string& line) {
    if (m->gotline) {
        line.swap(m->nextline);
        m->nextline.clear();
        m->gotline = 0;
        return true;
    }
    return src.read(line);
}

// Appends up to four continuation lines to value; the first line that is not one stays
// read ahead.
void join_continuations(MIME* m, LineSource& src, std::string& value) {
    if (m->gotline) return;  // the next line was already read and is no continuation
    std::string line;
    for (int i = 0; i < CONTINUATIONS; ++i) {
        if (!src.read(line)) {
            m->isend = 1;
            return;
        }
        if (!is_blank(line.front())) {
            m->nextline.swap(line);
            m->gotline = 1;
            return;
        }
        append_cut(value, line, VALUE_MAX);
        if (m->return_all) {
            append_cut(m->lost, line, VALUE_MAX);
            m->islost = 1;
        }
    }
}

// A "name=" (or "filename=") parameter sets fname.
void find_name(MIME* m, std::string_view value) {
    std::size_t at = strstrnc(value, "name=");
    if (at == std::string_view::npos) return;
    std::string_view v = value.substr(at + 5);
    std::size_t end;
    if (!v.empty() && v.front() == '"') {
        v.remove_prefix(1);
        end = v.find('"');
    } else {
        end = v.find_first_of("; \t\r\n");
    }
    if (end != std::string_view::npos) v = v.substr(0, end);
    m->fname = strlwr(v.substr(0, 200));
}

// The boundary parameter of a Content-Type value: the first "boundary" followed by "="
// (blanks allowed around it), quoted or up to a blank, ";" or line end.
void declare_boundary(MIME* m, std::string_view value) {
    std::size_t from = 0;
    for (;;) {
        std::size_t at = strstrnc(value.substr(from), "boundary");
        if (at == std::string_view::npos) return;
        at += from;
        std::size_t p = at + 8;
        while (p < value.size() && is_blank(value[p])) ++p;
        if (p >= value.size() || value[p] != '=') {
            from = at + 8;
            continue;
        }
        ++p;
        while (p < value.size() && is_blank(value[p])) ++p;
        std::string_view b = value.substr(p);
        if (!b.empty() && b.front() == '"') {
            b.remove_prefix(1);
            std::size_t close = b.find('"');
            if (close == std::string_view::npos) return;  // no closing quote: no boundary
            b = b.substr(0, close);
        } else {
            b = b.substr(0, b.find_first_of(" \t;\r\n"));
        }
        // An empty boundary would make every line starting "--" a part boundary.
        if (b.empty()) return;
        BOUND nb;
        nb.bound.assign(b.substr(0, VALUE_MAX));
        nb.level = m->level + 1;
        m->blist.push_back(std::move(nb));
        m->level = static_cast<int>(m->blist.size());
        return;
    }
}

// Index + 1 in blist of the boundary this line opens or closes (newest first), 0 for none;
// closing is set for a boundary followed by "--".
int match_boundary(const MIME* m, std::string_view line, bool& closing) {
    closing = false;
    if (line.size() < 2 || line[0] != '-' || line[1] != '-') return 0;
    std::string_view rest = line.substr(2);
    for (std::size_t i = m->blist.size(); i-- > 0;) {
        const std::string& b = m->blist[i].bound;
        if (rest.starts_with(b)) {
            closing = rest.substr(b.size()).starts_with("--");
            return static_cast<int>(i) + 1;
        }
    }
    if (m->resync) {
        // Any dash-dash line: taken as a boundary of the current level.
        int cur = m->partlvl >= 1 && m->partlvl < MIME_MAXLEVEL ? m->cur[m->partlvl] : 0;
        if (cur > 0) {
            closing = line.size() >= 4 && line.substr(line.size() - 4).starts_with("--");
            return cur;
        }
    }
    return 0;
}

void number_part(MIME* m, int which, bool closing) {
    BOUND& b = m->blist[static_cast<std::size_t>(which - 1)];
    ++b.n;
    if (m->partlvl >= 1 && m->partlvl < MIME_MAXLEVEL && m->cur[m->partlvl] == which) {
        ++m->partid[m->partlvl - 1];
    } else if (m->partlvl <= 98) {
        ++m->partlvl;
        m->cur[m->partlvl] = which;
        ++m->partid[m->partlvl - 1];
    }
    if (closing && m->partlvl > 0) --m->partlvl;
    std::string part;
    for (int lvl = 1; lvl <= m->partlvl && lvl <= 81; ++lvl) {
        if (lvl > 1) part += '.';
        part += std::to_string(m->partid[lvl - 1]);
    }
    m->part = cut(part, 100);
}

int boundary_line(MIME* m, int which, bool closing) {
    number_part(m, which, closing);
    if (!closing) m->inhead = 1;
    m->encoding = MIME_NONE;
    m->content.clear();
    m->content_id.clear();
    m->fname.clear();
    return MIME_BOUNDARY;
}

bool header_end(const MIME* m, std::string_view line) {
    if (line.empty() || line == "\n" || line == "\r\n") return true;
    return m->loose_header && (line == " " || line == " \n" || line == " \r\n");
}

int header_line(MIME* m, LineSource& src, std::string& line) {
    // With append_lines every header already holds its continuation lines.
    const bool joined = m->append_lines != 0;
    if (joined) join_continuations(m, src, line);
    auto join = [&](std::string& value) {
        if (!joined) join_continuations(m, src, value);
    };
    std::string_view value;
    if (header_is(line, "Content-Type", value)) {
        m->content.assign(value.substr(0, VALUE_MAX));
        join(m->content);
        m->ismime = 1;
        declare_boundary(m, m->content);
        find_name(m, m->content);
        return MIME_CONTENT;
    }
    if (header_is(line, "Content-Transfer-Encoding", value)) {
        std::string v(value.substr(0, VALUE_MAX));
        join(v);
        v = strlwr(v);
        if (v.find("quoted-printable") != std::string::npos) m->encoding = MIME_QUOTED;
        if (v.find("7bit") != std::string::npos) m->encoding = MIME_NONE;
        if (v.find("base64") != std::string::npos) m->encoding = MIME_BASE64;
        m->ismime = 1;
        find_name(m, v);
        return MIME_HEADER;
    }
    if (header_is(line, "Content-ID", value)) {
        std::string raw;
        m->content_id = rfc_raw_email(strip_eol_r(value), raw) ? raw : std::string();
        return MIME_HEADER;
    }
    if (header_is(line, "Content-Disposition", value)) {
        std::string v(value.substr(0, VALUE_MAX));
        join(v);
        find_name(m, v);
        return MIME_HEADER;
    }
    return MIME_HEADER;
}

int mime_line_from(MIME* m, LineSource& src, std::string& raw, std::string& bin, std::size_t size) {
    raw.clear();
    bin.clear();
    if (!m) return MIME_END;
    std::size_t keep = size > 0 ? size - 1 : 0;
    if (m->islost) {
        m->islost = 0;
        raw.assign(m->lost.substr(0, keep));
        m->lost.clear();
        return MIME_HEADER;
    }
    if (m->isend && !m->gotline) return MIME_END;
    std::string line;
    if (!next_line(m, src, line)) {
        m->isend = 1;
        return MIME_END;
    }
    int kind;
    bool closing = false;
    if (m->inhead) {
        if (header_end(m, line)) {
            m->inhead = 0;
            kind = MIME_HEADER_END;
        } else if (int b = match_boundary(m, line, closing); b > 0) {
            // A part without a header block: the boundary still counts as one.
            kind = boundary_line(m, b, closing);
        } else {
            kind = header_line(m, src, line);
        }
    } else if (int b = match_boundary(m, line, closing); b > 0) {
        kind = boundary_line(m, b, closing);
    } else {
        kind = MIME_BODY;
        switch (m->encoding) {
            case MIME_BASE64:
                mime_decode_base64(line, bin);
                break;
            case MIME_QUOTED:
                mime_decode_quoted(line, bin);
                break;
            default:
                bin = line;
                break;
        }
        if (bin.size() > keep) bin.resize(keep);
    }
    raw.assign(line, 0, std::min(line.size(), keep));
    return kind;
}

int b64_value(unsigned char ch) {
    if (ch >= 'A' && ch <= 'Z') return ch - 'A';
    if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
    if (ch >= '0' && ch <= '9') return ch - '0' + 52;
    if (ch == '+') return 62;
    if (ch == '/') return 63;
    return -1;
}

}  // namespace

std::unique_ptr<MIME> mime_new() {
    auto m = std::make_unique<MIME>();
    m->partid[0] = 1;  // the whole mail is part 1
    return m;
}

void mime_free(std::unique_ptr<MIME>& m) {
    m.reset();
}

int mime_line(MIME* m, std::FILE* f, std::string& raw, std::string& bin, std::size_t size) {
    LineSource src;
    src.f = f;
    return mime_line_from(m, src, raw, bin, size);
}

int mime_line(MIME* m, std::istream& in, std::string& raw, std::string& bin, std::size_t size) {
    LineSource src;
    src.in = &in;
    return mime_line_from(m, src, raw, bin, size);
}

int mime_decode_base64(std::string_view text, std::string& out) {
    out.clear();
    if (text.ends_with('\n')) text.remove_suffix(1);
    if (text.ends_with('\r')) text.remove_suffix(1);
    if (text.ends_with('\n')) text.remove_suffix(1);
    for (std::size_t at = 0; at < text.size(); at += 4) {
        std::string_view g = text.substr(at, 4);
        int v[4] = {0, 0, 0, 0};
        int have = 0;  // characters of the group that carry bits
        for (std::size_t i = 0; i < g.size(); ++i) {
            auto ch = static_cast<unsigned char>(g[i]);
            if (ch == '=' && i >= 2) break;
            int x = b64_value(ch);
            if (x < 0) {
                out.clear();
                return 0;
            }
            v[i] = x;
            have = static_cast<int>(i) + 1;
        }
        if (have >= 2) out.push_back(static_cast<char>((v[0] << 2) | (v[1] >> 4)));
        if (have >= 3) out.push_back(static_cast<char>(((v[1] & 15) << 4) | (v[2] >> 2)));
        if (have >= 4) out.push_back(static_cast<char>(((v[2] & 3) << 6) | v[3]));
    }
    return static_cast<int>(out.size());
}

int mime_hexbyte(std::string_view text) {
    auto digit = [](char ch) -> int {
        if (ch >= '0' && ch <= '9') return ch - '0';
        if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
        if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
        return -1;
    };
    if (text.size() < 2) return -1;
    int hi = digit(text[0]), lo = digit(text[1]);
    if (hi < 0 || lo < 0) return -1;
    return hi * 16 + lo;
}

int mime_decode_quoted(std::string_view text, std::string& out) {
    out.clear();
    text = text.substr(0, QP_MAX_INPUT);
    std::size_t i = 0;
    while (i < text.size()) {
        auto ch = static_cast<unsigned char>(text[i]);
        if (ch == '=') {
            std::string_view after = text.substr(i + 1);
            if (after.starts_with("\r\n")) {  // soft line break
                i += 3;
                continue;
            }
            if (after.size() < 2) break;  // a stored soft line break: joins the next line
            int b = mime_hexbyte(after);
            if (b < 0) {
                out.push_back('=');  // not an escape: the characters stay as they are
                ++i;
                continue;
            }
            out.push_back(static_cast<char>(b));
            i += 3;
            continue;
        }
        if (ch & 0x80) {
            // Copied with the byte after it, so that a two-byte character stays whole.
            out.push_back(static_cast<char>(ch));
            if (i + 1 < text.size()) out.push_back(text[i + 1]);
            i += 2;
            continue;
        }
        out.push_back(static_cast<char>(ch));
        ++i;
    }
    return static_cast<int>(out.size());
}

}  // namespace tolvane
