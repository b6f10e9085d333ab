// The page renderer: see tpl.h.
#include "foundation/tpl.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/weblib.h"

namespace tolvane {

namespace {

std::atomic<tpl*> CurrentTpl{nullptr};

struct internal_function {
    const char* name;
    int want;
    unsigned flag;
};

constexpr internal_function internal_functions[] = {
    {"endif", 0, TplEndif},
    {"else", 0, TplElse},
    {"ifdef", 1, TplIfdef},
    {"ifequal", 2, TplIfEqual},
    {"iflower", 2, TplIfLower},
    {"ifinstr", 2, TplIfInStr},
    {"iftrue", 1, TplIfTrue},
    {"define", 2, TplDefine},
    {"undef", 1, TplUnDef},
    {"include", 1, TplInclude},
    {"localtime", 1, TplLocaltime},
    {"url_encode", 1, TplUrlEncode},
    {"java_url_encode", 1, TplJavaUrlEncode},
    {"html_encode", 1, TplHtmlEncode},
    {"inc", 1, TplInc},
    {"dec", 1, TplDec},
    {"raw", 1, TplRaw},
};

constexpr unsigned TplConditional = TplIfdef | TplIfEqual | TplIfLower | TplIfInStr | TplIfTrue;

bool suppressed(const tpl* t) {
    return (t->mode & TplNoWrite) != 0;
}

bool collecting(const tpl* t) {
    return (t->mode & (TplInternalFn | TplUserFn)) != 0;
}

bool name_start(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || c == '_';
}

void emit(tpl* t, const char* bytes, std::size_t n) {
    if (n == 0) return;
    if (t->write) t->write(bytes, n);
    if (t->debug) {
        std::fwrite(bytes, 1, n, t->debug.get());
        std::fflush(t->debug.get());
    }
}

void out(tpl* t, std::string_view text) {
    if (!suppressed(t)) emit(t, text.data(), text.size());
}

std::optional<std::string> lookup(tpl* t, const std::string& name) {
    if (!t->get) return std::nullopt;
    return t->get(t->if_data, name);
}

// An argument stands for the variable of that name when there is one, else for itself.
std::string value_of(tpl* t, const std::string& arg) {
    auto v = lookup(t, arg);
    return v ? *v : arg;
}

void set_var(tpl* t, const std::string& name, const std::string& value) {
    if (t->set) t->set(t->if_data, name, value);
}

void write_value(tpl* t, const std::string& v, bool raw) {
    if (raw || !t->escape) {
        out(t, v);
    } else {
        out(t, t->escape(v));
    }
}

void write_variable(tpl* t, const std::string& name, bool raw = false) {
    if (suppressed(t)) return;
    if (auto v = lookup(t, name)) write_value(t, *v, raw);
    if (!t->getnxt) return;
    while (auto more = t->getnxt(t->if_data, name)) {
        out(t, "<BR>");
        write_value(t, *more, raw);
    }
}

std::string local_time_text(std::time_t when) {
    std::tm tm{};
    if (!safe_localtime(when, tm)) return {};
    char buf[64];
    std::size_t n = std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &tm);
    return std::string(buf, n).substr(0, 24);
}

bool test_condition(tpl* t, unsigned bit, const std::vector<std::string>& a) {
    switch (bit) {
        case TplIfdef:
            return lookup(t, a[0]).has_value();
        case TplIfEqual:
            return value_of(t, a[0]) == value_of(t, a[1]);
        case TplIfLower:
            return value_of(t, a[0]) < value_of(t, a[1]);
        case TplIfInStr:
            return value_of(t, a[0]).find(value_of(t, a[1])) != std::string::npos;
        case TplIfTrue:
            return istrue(value_of(t, a[0]).c_str()) != 0;
        default:
            return false;
    }
}

void include_file(tpl* t, const std::string& name) {
    const std::string safe = web_strip_parents(name);
    if (t->depth >= TPL_INCLUDE_DEPTH) {
        emsg("Include of '%s' refused: includes nested more than %d deep", safe.c_str(),
             TPL_INCLUDE_DEPTH);
        return;
    }
    ++t->depth;
    tpl_display_file(t, safe);
    --t->depth;
}

void run_internal(tpl* t, unsigned bit, const std::vector<std::string>& a) {
    if (bit & TplConditional) {
        ++t->level;
        if (suppressed(t)) return;
        if (test_condition(t, bit, a)) {
            t->last = t->level;
        } else {
            t->mode |= TplNoWrite;
            t->last = t->level - 1;
        }
        return;
    }
    if (bit == TplElse) {
        // An else outside every conditional has nothing to switch.
        if (t->level <= 0 || t->level - 1 > t->last) return;
        if (suppressed(t)) {
            t->mode &= ~TplNoWrite;
            t->last = t->level;
        } else {
            t->mode |= TplNoWrite;
            t->last = t->level - 1;
        }
        return;
    }
    if (bit == TplEndif) {
        if (t->level <= 0) return;
        --t->level;
        if (t->level <= t->last) {
            t->mode &= ~TplNoWrite;
            t->last = t->level;
        }
        return;
    }
    if (suppressed(t)) return;
    switch (bit) {
        case TplDefine:
            set_var(t, a[0], value_of(t, a[1]));
            break;
        case TplUnDef:
            if (t->rmv) t->rmv(t->if_data, a[0]);
            break;
        case TplInclude:
            include_file(t, value_of(t, a[0]));
            break;
        case TplLocaltime:
            out(t, local_time_text(static_cast<std::time_t>(
                       std::strtoll(value_of(t, a[0]).c_str(), nullptr, 10))));
            break;
        case TplUrlEncode:
            if (auto v = lookup(t, a[0])) out(t, url_encode(*v));
            break;
        case TplJavaUrlEncode:
            if (auto v = lookup(t, a[0])) out(t, url_encode(url_encode(*v)));
            break;
        case TplHtmlEncode:
            if (auto v = lookup(t, a[0])) out(t, html_encode(*v));
            break;
        case TplRaw:
            write_variable(t, a[0], true);
            break;
        case TplInc:
        case TplDec:
            if (auto v = lookup(t, a[0])) {
                long n = std::strtol(v->c_str(), nullptr, 10) + (bit == TplInc ? 1 : -1);
                set_var(t, a[0], strprintf("%d", static_cast<int>(n)));
            }
            break;
        default:
            break;
    }
}

// The collection is complete: run what it was for, then drop the "||" that closes it.
void complete(tpl* t) {
    TplTokens args;
    std::swap(args, t->args);
    t->wanted = 0;
    const unsigned bits = t->mode & TplInternalFn;
    if (t->mode & TplUserFn) {
        const int row = t->cur_fn;
        t->mode &= ~(TplUserFn | TplInternalFn);
        t->cur_fn = -1;
        if (!suppressed(t) && t->fn && row >= 0 && t->fn[row].fn) {
            t->fn[row].fn(t, &args, t->fn_data);
        }
    } else {
        t->mode &= ~TplInternalFn;
        std::vector<std::string> a(args.nodes.begin(), args.nodes.end());
        run_internal(t, bits, a);
    }
    // A body rendered by the function may have left a collection of its own unfinished.
    t->mode &= ~(TplUserFn | TplInternalFn);
    t->cur_fn = -1;
    queue_empty(&t->args);
    t->wanted = 0;
    t->mode |= TplSkip;
}

void collect(tpl* t, const std::string& tok) {
    if (t->wanted < 0) {
        const char* end = t->cur_fn >= 0 && t->fn ? t->fn[t->cur_fn].end : nullptr;
        if (end && tok == end) {
            complete(t);
        } else {
            queue_queue(&t->args, tok);
        }
        return;
    }
    if (tok == TPL_MARK) return;  // between arguments
    queue_queue(&t->args, tok);
    if (--t->wanted <= 0) complete(t);
}

int find_internal(const std::string& name) {
    for (std::size_t i = 0; i < std::size(internal_functions); ++i) {
        if (iequals(name, internal_functions[i].name)) return static_cast<int>(i);
    }
    return -1;
}

int find_user(const tpl* t, const std::string& name) {
    if (!t->fn) return -1;
    for (int i = 0; t->fn[i].name; ++i) {
        if (iequals(name, t->fn[i].name)) return i;
    }
    return -1;
}

void start_name(tpl* t, const std::string& name) {
    if (int i = find_internal(name); i >= 0) {
        t->mode |= internal_functions[i].flag;
        t->wanted = internal_functions[i].want;
        if (t->wanted == 0) complete(t);
        return;
    }
    if (int u = find_user(t, name); u >= 0) {
        const tpl_fns& row = t->fn[u];
        t->mode |= TplUserFn;
        t->cur_fn = u;
        if (row.want > 0) {
            t->wanted = row.want;
        } else if (row.end) {
            t->wanted = -1;
        } else {
            complete(t);
            return;
        }
        t->mode |= TplSkip;
        return;
    }
    write_variable(t, name);
    t->mode |= TplSkip;
}

void vprint_to(tpl* t, bool copy_only, const char* fmt, va_list ap) {
    const std::string text = vstrprintf(TEXT_MAX, fmt, ap);
    if (copy_only) {
        if (t->debug) {
            std::fwrite(text.data(), 1, text.size(), t->debug.get());
            std::fflush(t->debug.get());
        }
        return;
    }
    emit(t, text.data(), text.size());
}

void stdout_write(const char* bytes, std::size_t n) {
    std::fwrite(bytes, 1, n, stdout);
}

}  // namespace

tpl::~tpl() {
    tpl* me = this;
    CurrentTpl.compare_exchange_strong(me, nullptr);
}

std::unique_ptr<tpl> tpl_init() {
    auto t = std::make_unique<tpl>();
    t->write = stdout_write;
    tpl* none = nullptr;
    CurrentTpl.compare_exchange_strong(none, t.get());
    return t;
}

void tpl_free(std::unique_ptr<tpl>& t) {
    t.reset();
}

void tpl_setup(tpl* t, const tpl_fns* table, void* fn_data) {
    if (!t) return;
    if (table) {
        t->fn = table;
        t->cur_fn = -1;
        t->mode &= ~TplUserFn;
    }
    t->fn_data = fn_data;
}

void tpl_setup_path(tpl* t, std::string_view path) {
    if (t) t->path = cut(path);
}

void tpl_setup_if(tpl* t, void* data, TplGet get, TplGet getnxt, TplRmv rmv, TplSet set) {
    if (!t) return;
    t->if_data = data;
    if (get) t->get = std::move(get);
    if (getnxt) t->getnxt = std::move(getnxt);
    if (rmv) t->rmv = std::move(rmv);
    if (set) t->set = std::move(set);
}

void tpl_stream_setup(tpl* t, TplWrite write) {
    if (t) t->write = write ? std::move(write) : TplWrite(stdout_write);
}

void tpl_setup_escape(tpl* t, TplEscape escape) {
    if (t) t->escape = std::move(escape);
}

int tpl_debug(tpl* t, const std::string& file) {
    if (!t) return 0;
    std::FILE* f = std::fopen(file.c_str(), "a");
    if (!f) return 0;
    t->debug.reset(f);
    return 1;
}

std::string tpl_file(const tpl* t, std::string_view name) {
    return attach_path(t ? t->path : std::string(), name);
}

TplTokens tpl_cut(std::string_view text) {
    TplTokens toks;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(TPL_MARK, from);
        if (at == std::string_view::npos) break;
        if (at > from) queue_queue(&toks, std::string(text.substr(from, at - from)));
        queue_queue(&toks, std::string(TPL_MARK));
        from = at + TPL_MARK.size();
    }
    if (from < text.size()) queue_queue(&toks, std::string(text.substr(from)));
    return toks;
}

int tpl_display(tpl* t, const TplTokens* tokens) {
    if (!t || !tokens) return 0;
    const auto& toks = tokens->nodes;
    for (std::size_t i = 0; i < toks.size(); ++i) {
        const std::string& tok = toks[i];
        if (tok.empty()) return 0;
        if (t->mode & TplSkip) {
            t->mode &= ~TplSkip;
            // Only a marker is the closing one; text here means the marker was lost.
            if (tok == TPL_MARK) continue;
        }
        if (collecting(t)) {
            collect(t, tok);
            continue;
        }
        if (tok != TPL_MARK) {
            out(t, tok);
            continue;
        }
        if (i + 1 >= toks.size()) break;
        const std::string& next = toks[++i];
        if (next == TPL_MARK) {
            out(t, TPL_MARK);
        } else if (name_start(next[0])) {
            start_name(t, next);
        } else {
            out(t, TPL_MARK);
            out(t, next);
        }
    }
    return collecting(t) ? 0 : 1;
}

int tpl_display_text(tpl* t, std::string_view text) {
    TplTokens toks = tpl_cut(text);
    return tpl_display(t, &toks);
}

int tpl_display_file(tpl* t, std::string_view name) {
    if (!t) return 0;
    const std::string full = tpl_file(t, name);
    set_var(t, "template", std::string(name));
    std::FILE* raw = std::fopen(full.c_str(), "rb");
    int err = errno;
    struct stat st {};
    if (raw && (::fstat(::fileno(raw), &st) != 0 || !S_ISREG(st.st_mode))) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        std::fclose(raw);
        raw = nullptr;
    }
    if (!raw) {
        emsg("Error opening '%s' for read, %s", full.c_str(), system_error(err).c_str());
        return 0;
    }
    std::unique_ptr<std::FILE, TplFileCloser> f(raw);
    std::string carry;
    bool at_end = false;
    std::string buf;
    do {
        buf = std::move(carry);
        carry.clear();
        const std::size_t want = TPL_CHUNK > buf.size() ? TPL_CHUNK - buf.size() : 0;
        const std::size_t had = buf.size();
        buf.resize(had + want);
        const std::size_t got = want ? std::fread(buf.data() + had, 1, want, f.get()) : 0;
        buf.resize(had + got);
        if (got < want) at_end = true;
        const std::size_t lf = buf.rfind('\n');
        if (lf != std::string::npos && lf + 1 < buf.size()) {
            carry = buf.substr(lf + 1);
            buf.resize(lf + 1);
        }
        TplTokens toks = tpl_cut(buf);
        tpl_display(t, &toks);
    } while (!carry.empty() || !at_end);
    return 1;
}

void tpl_print_tpl(tpl* t, const char* fmt, ...) {
    if (!t) return;
    va_list ap;
    va_start(ap, fmt);
    vprint_to(t, false, fmt, ap);
    va_end(ap);
}

void tpl_write_tpl(tpl* t, const char* bytes, std::size_t count) {
    if (t && bytes) emit(t, bytes, count);
}

void tpl_debug_print_tpl(tpl* t, const char* fmt, ...) {
    if (!t) return;
    va_list ap;
    va_start(ap, fmt);
    vprint_to(t, true, fmt, ap);
    va_end(ap);
}

tpl* tpl_current() {
    return CurrentTpl.load();
}

void tpl_print(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (tpl* t = tpl_current()) {
        vprint_to(t, false, fmt, ap);
    } else {
        const std::string text = vstrprintf(TEXT_MAX, fmt, ap);
        stdout_write(text.data(), text.size());
    }
    va_end(ap);
}

void tpl_write(const char* bytes, std::size_t count) {
    if (!bytes) return;
    if (tpl* t = tpl_current()) {
        emit(t, bytes, count);
    } else {
        stdout_write(bytes, count);
    }
}

void tpl_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string message = vstrprintf(TEXT_MAX, fmt, ap);
    va_end(ap);
    tpl_print("Content-type: text/html\n\n");
    tpl_print("<html>\n");
    tpl_print("<head><title>Initialisation error</title></head>\n");
    tpl_print("<body>\n");
    tpl_print("<p><b>ERROR: </b>%s</p>\n", message.c_str());
    tpl_print("</body>\n");
    tpl_print("</html>\n");
}

}  // namespace tolvane
