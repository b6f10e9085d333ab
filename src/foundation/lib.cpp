// The bounded formatter and its printf-style front ends.
//
// Every log line, web page and protocol line is produced here, so the output
// is never longer than the space the caller grants. Each conversion is
// formatted on its own (numbers by the C library, texts directly) and copied
// into what is left of the space; output stops when the space is full. A null
// text prints "(NULL)" rather than crashing. Length modifiers (h, l, ll, z, j,
// t, L) are understood because the compiler's format checking lets callers
// write them; an unknown conversion is copied as written and takes no argument.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "foundation/lib.h"
#include "foundation/utf8.h"

namespace tolvane {

namespace {

// Collects output up to a fixed number of characters.
class Sink {
  public:
    Sink(std::string& out, std::size_t cap) : out_(out), cap_(out.size() + cap) {}
    bool full() const { return out_.size() >= cap_; }
    std::size_t written() const { return out_.size() - start_; }
    void put(const char* p, std::size_t n) {
        std::size_t room = cap_ - out_.size();
        if (n <= room) {
            out_.append(p, n);
            return;
        }
        // A text cut by the space never ends inside a character; what would have
        // followed the cut is dropped with it.
        out_.append(p, utf8_fit_bytes(std::string_view(p, n), room));
        cap_ = out_.size();
    }
    void put(char c, std::size_t n = 1) {
        std::size_t room = cap_ - out_.size();
        out_.append(n < room ? n : room, c);
    }

  private:
    std::string& out_;
    std::size_t cap_;
    std::size_t start_ = out_.size();
};

struct Conv {
    std::string flags;
    int width = -1;
    int prec = -1;
    char len[3] = {0, 0, 0};  // length modifier as written
    char conv = 0;
    bool left() const { return flags.find('-') != std::string::npos; }
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// Formats one value with the C library through a format built from the conversion.
template <typename T>
void put_c(Sink& sink, const Conv& sp, const char* lenmod, char conv, T value) {
    std::string f = "%" + sp.flags;
    if (sp.width >= 0) f += std::to_string(sp.width);
    if (sp.prec >= 0) f += "." + std::to_string(sp.prec);
    f += lenmod;
    f += conv;
    char small[128];
    int n = std::snprintf(small, sizeof small, f.c_str(), value);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        sink.put(small, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), f.c_str(), value);
    sink.put(big.data(), static_cast<std::size_t>(n));
}
#pragma GCC diagnostic pop

void put_text(Sink& sink, const Conv& sp, const char* s) {
    if (!s) s = "(NULL)";
    std::size_t n = sp.prec >= 0 ? strnlen(s, static_cast<std::size_t>(sp.prec)) : std::strlen(s);
    // A precision cuts bytes, as printf's does, but never inside a character: a
    // sequence it would split is left out (the bytes past the precision are not read,
    // since "%.*s" may be given text without a NUL).
    if (sp.prec >= 0 && n == static_cast<std::size_t>(sp.prec) && n > 0) {
        std::size_t lead = n;
        while (lead > 0 && n - lead < 4 && (static_cast<unsigned char>(s[lead - 1]) & 0xC0) == 0x80)
            --lead;
        if (lead > 0) {
            auto b = static_cast<unsigned char>(s[lead - 1]);
            std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (b >= 0xC0 && n - (lead - 1) < need) n = lead - 1;
        }
    }
    std::size_t pad = sp.width > 0 && static_cast<std::size_t>(sp.width) > n
                          ? static_cast<std::size_t>(sp.width) - n
                          : 0;
    if (!sp.left()) sink.put(' ', pad);
    sink.put(s, n);
    if (sp.left()) sink.put(' ', pad);
}

bool is_flag(char c) {
    return c == '-' || c == '+' || c == '0' || c == ' ' || c == '#';
}

// Reads a width or precision: digits, or "*" taking an int argument.
int read_count(const char*& p, va_list& ap, bool& from_arg) {
    from_arg = false;
    if (*p == '*') {
        ++p;
        from_arg = true;
        return va_arg(ap, int);
    }
    int v = 0;
    bool any = false;
    while (*p >= '0' && *p <= '9') {
        if (v < 100000000) v = v * 10 + (*p - '0');
        ++p;
        any = true;
    }
    return any ? v : -1;
}

void format_signed(Sink& sink, const Conv& sp, va_list& ap) {
    long long v;
    std::string_view l(sp.len);
    if (l == "l")
        v = va_arg(ap, long);
    else if (l == "ll" || l == "q")
        v = va_arg(ap, long long);
    else if (l == "z" || l == "t")
        v = va_arg(ap, std::ptrdiff_t);
    else if (l == "j")
        v = va_arg(ap, std::intmax_t);
    else {
        v = va_arg(ap, int);
        if (l == "h") v = static_cast<short>(v);
        if (l == "hh") v = static_cast<signed char>(v);
    }
    put_c(sink, sp, "ll", sp.conv, v);
}

void format_unsigned(Sink& sink, const Conv& sp, va_list& ap) {
    unsigned long long v;
    std::string_view l(sp.len);
    if (l == "l")
        v = va_arg(ap, unsigned long);
    else if (l == "ll" || l == "q")
        v = va_arg(ap, unsigned long long);
    else if (l == "z" || l == "t")
        v = va_arg(ap, std::size_t);
    else if (l == "j")
        v = va_arg(ap, std::uintmax_t);
    else {
        v = va_arg(ap, unsigned int);
        if (l == "h") v = static_cast<unsigned short>(v);
        if (l == "hh") v = static_cast<unsigned char>(v);
    }
    put_c(sink, sp, "ll", sp.conv, v);
}

void store_count(const Conv& sp, va_list& ap, std::size_t count) {
    std::string_view l(sp.len);
    if (l == "l")
        *va_arg(ap, long*) = static_cast<long>(count);
    else if (l == "ll" || l == "q")
        *va_arg(ap, long long*) = static_cast<long long>(count);
    else if (l == "z" || l == "t")
        *va_arg(ap, std::ptrdiff_t*) = static_cast<std::ptrdiff_t>(count);
    else if (l == "j")
        *va_arg(ap, std::intmax_t*) = static_cast<std::intmax_t>(count);
    else if (l == "h")
        *va_arg(ap, short*) = static_cast<short>(count);
    else if (l == "hh")
        *va_arg(ap, signed char*) = static_cast<signed char>(count);
    else
        *va_arg(ap, int*) = static_cast<int>(count);
}

// The conversion after a '%' (p just past it): flags, width, precision, length and the
// conversion letter; p ends past what it read.
void read_conversion(const char*& p, va_list& ap, Conv& sp) {
    while (is_flag(*p)) sp.flags += *p++;
    bool star = false;
    sp.width = read_count(p, ap, star);
    if (star && sp.width < 0) {  // a negative "*" width means left-justified
        sp.flags += '-';
        sp.width = sp.width == -2147483647 - 1 ? 2147483647 : -sp.width;
    }
    if (*p == '.') {
        ++p;
        sp.prec = read_count(p, ap, star);
        if (!star && sp.prec < 0) sp.prec = 0;  // "." alone means precision 0
    }
    int nl = 0;
    while (nl < 2 && (*p == 'h' || *p == 'l' || *p == 'z' || *p == 'j' || *p == 't' || *p == 'L' ||
                      *p == 'q'))
        sp.len[nl++] = *p++;
    sp.conv = *p;
    if (*p) ++p;
}

void format_char(Sink& sink, const Conv& sp, va_list& ap) {
    const int c = sp.len[0] == 'l' ? static_cast<int>(va_arg(ap, wint_t)) : va_arg(ap, int);
    const char ch = static_cast<char>(c);  // a zero byte is still one character
    const std::size_t pad = sp.width > 1 ? static_cast<std::size_t>(sp.width) - 1 : 0;
    if (!sp.left()) sink.put(' ', pad);
    sink.put(&ch, 1);
    if (sp.left()) sink.put(' ', pad);
}

void format_text(Sink& sink, const Conv& sp, va_list& ap) {
    // Wide texts only arrive through an explicit %ls; "S" is a plain text here.
    if (sp.len[0] == 'l') {
        const wchar_t* w = va_arg(ap, const wchar_t*);
        if (!w)
            put_text(sink, sp, nullptr);
        else
            put_c(sink, sp, "l", 's', w);
        return;
    }
    put_text(sink, sp, va_arg(ap, const char*));
}

// One conversion, read from `begin` (its '%') to `end`.
void format_conversion(Sink& sink, const Conv& sp, va_list& ap, const char* begin,
                       const char* end) {
    switch (sp.conv) {
        case '%':
            sink.put('%');
            break;
        case 'd':
        case 'i':
            format_signed(sink, sp, ap);
            break;
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            format_unsigned(sink, sp, ap);
            break;
        case 'c':
        case 'C':
            format_char(sink, sp, ap);
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (sp.len[0] == 'L')
                put_c(sink, sp, "L", sp.conv, va_arg(ap, long double));
            else
                put_c(sink, sp, "", sp.conv, va_arg(ap, double));
            break;
        case 's':
        case 'S':
            format_text(sink, sp, ap);
            break;
        case 'p': {
            void* v = va_arg(ap, void*);
            Conv ptr = sp;
            ptr.prec = -1;
            put_c(sink, ptr, "", 'p', v);
            break;
        }
        case 'n':
            store_count(sp, ap, sink.written());
            break;
        default:
            // Not a conversion of ours: copy it as written.
            sink.put(begin, static_cast<std::size_t>(end - begin));
            break;
    }
}

// The formatter proper: appends to out at most cap characters.
void format_into(std::string& out, std::size_t cap, const char* fmt, va_list ap_in) {
    if (!fmt) return;
    va_list ap;
    va_copy(ap, ap_in);
    Sink sink(out, cap);
    const char* p = fmt;
    while (*p && !sink.full()) {
        if (*p != '%') {
            const char* q = std::strchr(p, '%');
            std::size_t n = q ? static_cast<std::size_t>(q - p) : std::strlen(p);
            sink.put(p, n);
            p += n;
            continue;
        }
        const char* begin = p++;
        Conv sp;
        read_conversion(p, ap, sp);
        format_conversion(sink, sp, ap, begin, p);
    }
    va_end(ap);
}

// Formats into a buffer of the thread that keeps its room from call to call: a text grown
// piece by piece in a new string would be allocated again at every doubling (several times
// for a log line), where the caller's copy of this one costs one allocation at most.
const std::string& format_scratch(std::size_t cap, const char* fmt, va_list ap) {
    thread_local std::string scratch;
    if (scratch.capacity() > 16 * 1024) std::string().swap(scratch);  // no hoard of a big one
    scratch.clear();
    format_into(scratch, cap, fmt, ap);
    return scratch;
}

}  // namespace

int lib_vsnprintf(char* buf, std::size_t size, const char* fmt, va_list ap) {
    if (!buf || size == 0) return -1;
    const std::string& out = format_scratch(size, fmt, ap);
    if (out.size() >= size) {
        std::memcpy(buf, out.data(), size);
        return -1;
    }
    std::memcpy(buf, out.data(), out.size());
    buf[out.size()] = '\0';
    return static_cast<int>(out.size());
}

int lprintf(char* buf, std::size_t size, const char* fmt, ...) {
    if (!buf || size == 0) return 0;
    va_list ap;
    va_start(ap, fmt);
    const std::string& out = format_scratch(size - 1, fmt, ap);
    va_end(ap);
    std::memcpy(buf, out.data(), out.size());
    buf[out.size()] = '\0';
    return static_cast<int>(out.size());
}

std::string vstrprintf(std::size_t limit, const char* fmt, va_list ap) {
    return format_scratch(limit, fmt, ap);
}

void vstrcat(std::string& out, std::size_t limit, const char* fmt, va_list ap) {
    format_into(out, limit, fmt, ap);
}

std::string strprintf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = vstrprintf(TEXT_MAX, fmt, ap);
    va_end(ap);
    return out;
}

std::string strnprintf(std::size_t limit, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = vstrprintf(limit, fmt, ap);
    va_end(ap);
    return out;
}

void lpcat(std::string& out, std::size_t size, const char* fmt, ...) {
    if (size == 0) return;
    if (out.size() >= size - 1) {
        out.resize(size - 1);
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    format_into(out, size - 1 - out.size(), fmt, ap);
    va_end(ap);
}

}  // namespace tolvane
