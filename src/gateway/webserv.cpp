// The web request object: see webserv.h.
#include "gateway/webserv.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <ctime>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/weblib.h"

namespace tolvane {

namespace {

// A peer's text made safe for one log line.
std::string printable(std::string_view text) {
    std::string out = cut(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return out;
}

// Header names and values go out one per line: a line end inside one would start a
// header (or the body) of the client's choosing.
std::string one_line(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return out;
}

std::string asctime_now() {
    std::tm tm{};
    char buf[64];
    if (!safe_localtime(std::time(nullptr), tm)) return "Bad Time";
    std::size_t n = std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &tm);
    return std::string(buf, n);
}

std::string http_date_now() {
    std::tm tm{};
    char buf[64];
    if (!safe_gmtime(std::time(nullptr), tm)) return "Bad Time";
    std::size_t n = std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(buf, n);
}

// A page that cannot be rendered is logged as the renderer would log it.
bool readable_file(const std::string& path) {
    struct stat st {};
    int err = 0;
    if (::stat(path.c_str(), &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        return true;
    } else {
        err = errno;
    }
    emsg("Error opening '%s' for read, %s", path.c_str(), system_error(err).c_str());
    return false;
}

void request_log(web_serv* w, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void request_log(web_serv* w, const char* fmt, ...) {
    if (!w->inlog) return;
    va_list ap;
    va_start(ap, fmt);
    const std::string text = vstrprintf(TEXT_MAX, fmt, ap);
    va_end(ap);
    std::fwrite(text.data(), 1, text.size(), w->inlog.get());
    std::fflush(w->inlog.get());
}

void out_bytes(web_serv* w, const char* bytes, std::size_t n) {
    if (w->write_failed) return;
    w->outbuf.append(bytes, n);
    if (w->outbuf.size() >= WEBSERV_OUT_CHUNK) webserv_flush(w);
}

void parse_fields(web_serv* w, std::string_view text) {
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t amp = text.find('&', from);
        if (amp == std::string_view::npos) amp = text.size();
        std::string_view item = text.substr(from, amp - from);
        from = amp + 1;
        if (item.empty()) continue;
        const std::size_t eq = item.find('=');
        std::string name(item.substr(0, eq));
        std::string value(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1));
        unescape_url(name);
        unescape_url(value);
        if (name.empty()) continue;
        webserv_add(w, name, value);
        request_log(w, "\t(%s)=(%s)\n", name.c_str(), value.c_str());
    }
}

// The next line of the request. While nothing is buffered the wait is cut into slices,
// so that a client that keeps quiet does not hold the thread past a shutdown.
int read_line(web_serv* w, std::string& line) {
    constexpr int SLICE_MS = 250;
    CHAN* c = w->sock;
    for (int waited = 0; c->inlen <= c->inupto;) {
        if (w->cancel && w->cancel->load() != 0) return 0;
        if (tcp_waitfor(c, SLICE_MS)) break;
        if (c->sk < 0) return 0;
        waited += SLICE_MS;
        if (waited >= w->read_ms) return 0;
    }
    return tcp_readline(c, line, static_cast<int>(TEXT_MAX) + 1);
}

int fail(web_serv* w) {
    tcp_close_nice(w->sock);
    return 0;
}

}  // namespace

web_serv::~web_serv() {
    webserv_flush(this);
}

std::unique_ptr<web_serv> webserv_init(CHAN* sock, std::string_view template_dir,
                                       const tpl_fns* fns, void* fn_data) {
    auto w = std::make_unique<web_serv>();
    web_serv* self = w.get();
    w->sock = sock;
    w->tpl = tpl_init();
    tpl_setup(w->tpl.get(), fns, fn_data ? fn_data : self);
    tpl_setup_path(w->tpl.get(), template_dir);
    tpl_setup_if(
        w->tpl.get(), self,
        [](void* d, const std::string& n) { return webserv_get(static_cast<web_serv*>(d), n); },
        nullptr, [](void* d, const std::string& n) { webserv_rmv(static_cast<web_serv*>(d), n); },
        [](void* d, const std::string& n, const std::string& v) {
            webserv_add(static_cast<web_serv*>(d), n, v);
        });
    tpl_stream_setup(w->tpl.get(), [self](const char* p, std::size_t n) { out_bytes(self, p, n); });
    return w;
}

int webserv_debug(web_serv* w, const std::string& request_log_path, const std::string& copy_path) {
    if (!w) return 0;
    int ok = 1;
    std::FILE* f = std::fopen(request_log_path.c_str(), "a");
    if (f) {
        w->inlog.reset(f);
    } else {
        emsg("Failed to open request log (%s), %s", request_log_path.c_str(),
             system_error(errno).c_str());
        ok = 0;
    }
    if (!tpl_debug(w->tpl.get(), copy_path)) {
        emsg("Failed to open output copy (%s), %s", copy_path.c_str(), system_error(errno).c_str());
        ok = 0;
    }
    return ok;
}

int webserv_load(web_serv* w) {
    if (!w || !w->sock) return 0;
    CHAN* c = w->sock;
    tcp_set_read_timeout(c, w->read_ms);
    std::string line;
    if (read_line(w, line) != 1) return fail(w);
    std::vector<std::string> words = s_split_words(line, " \t");
    if (words.size() < 2 || !(iequals(words[0], "GET") || iequals(words[0], "POST"))) {
        emsg("webserv: (%s) unrecognised", printable(line).c_str());
        return fail(w);
    }
    w->method = words[0];
    const std::string& target = words[1];
    const std::size_t q = target.find('?');
    w->ref = target.substr(0, q);
    w->query = q == std::string::npos ? std::string() : target.substr(q + 1);
    request_log(w, "%.24s %s %s%s%s\n", asctime_now().c_str(), w->method.c_str(), w->ref.c_str(),
                w->query.empty() ? "" : "?", w->query.c_str());

    long length = 0;
    for (int lines = 0;; ++lines) {
        if (read_line(w, line) != 1) return fail(w);
        if (line.empty()) break;
        if (lines >= WEBSERV_MAX_HEADERS) {
            emsg("webserv: more than %d header lines, request refused", WEBSERV_MAX_HEADERS);
            return fail(w);
        }
        const std::size_t at = line.find(": ");
        if (at == std::string::npos || at == 0) continue;
        const std::string name = line.substr(0, at);
        const std::string value = line.substr(at + 2);
        if (iequals(name, "content-length")) {
            char* end = nullptr;
            length = std::strtol(value.c_str(), &end, 10);
            if (end == value.c_str() || length < 0 || length > WEBSERV_MAX_BODY) {
                emsg("webserv: content length (%s) refused", printable(value).c_str());
                return fail(w);
            }
        }
        pair_add(w->head, std::string_view(name), std::string_view(value));
        // Credentials stay out of the request log.
        request_log(w, "\t%s: %s\n", name.c_str(),
                    iequals(name, "authorization") ? "(not logged)" : value.c_str());
    }

    if (iequals(w->method, "POST")) {
        std::string body(static_cast<std::size_t>(length), '\0');
        long got = 0;
        while (got < length) {
            int n =
                tcp_read_timed(c, body.data() + got, static_cast<int>(length - got), w->read_ms);
            if (n <= 0) {
                emsg("webserv: request body ended after %ld of %ld bytes", got, length);
                return fail(w);
            }
            got += n;
        }
        w->query = std::move(body);
    }
    parse_fields(w, w->query);
    return 1;
}

std::optional<std::string> webserv_get(web_serv* w, std::string_view name) {
    if (!w) return std::nullopt;
    const std::string& v = pair_findnc(w->data, name);
    if (v.empty()) return std::nullopt;
    return v;
}

void webserv_add(web_serv* w, std::string_view name, std::string_view value) {
    if (w) pair_add(w->data, name, value);
}

void webserv_rmv(web_serv* w, std::string_view name) {
    if (!w) return;
    w->data.remove_if([&](const PAIR& p) { return iequals(p.var, name); });
}

std::vector<std::string> webserv_wild(web_serv* w, std::string_view pattern) {
    std::vector<std::string> names;
    if (!w) return names;
    const std::string pat = strlwr(pattern);
    for (const PAIR& p : w->data) {
        if (wild_match(strlwr(p.var), pat)) names.push_back(p.var);
    }
    return names;
}

std::string webserv_get_header(web_serv* w, std::string_view name) {
    return w ? pair_findnc(w->head, name) : std::string();
}

void webserv_set_header(web_serv* w, std::string_view name, std::string_view value) {
    if (w) pair_add(w->hout, std::string_view(one_line(name)), std::string_view(one_line(value)));
}

void webserv_printf(web_serv* w, const char* fmt, ...) {
    if (!w) return;
    va_list ap;
    va_start(ap, fmt);
    const std::string text = vstrprintf(TEXT_MAX, fmt, ap);
    va_end(ap);
    tpl_write_tpl(w->tpl.get(), text.data(), text.size());
}

int webserv_showfile(web_serv* w, std::string_view page) {
    if (!w || !readable_file(tpl_file(w->tpl.get(), page))) return 0;
    webserv_printf(w, "Date: %s\n", http_date_now().c_str());
    for (const PAIR& h : w->hout) webserv_printf(w, "%s: %s\n", h.var.c_str(), h.val.c_str());
    webserv_printf(w, "\n");
    if (!tpl_display_file(w->tpl.get(), page)) return 0;
    w->shown = true;
    return 1;
}

int webserv_display(web_serv* w, std::string_view status, std::string_view page, bool use_show) {
    if (!w) return 0;
    std::string name(page);
    if (use_show) {
        if (auto show = webserv_get(w, "show")) name = web_strip_parents(*show);
    }
    webserv_add(w, "page", name);
    if (!readable_file(tpl_file(w->tpl.get(), name))) {
        webserv_printf(w, "HTTP/1.0 550 No such file\n");
        return 0;
    }
    tpl_debug_print_tpl(w->tpl.get(), "\n[%.24s]\n", asctime_now().c_str());
    webserv_printf(w, "%.*s\n", static_cast<int>(status.size()), status.data());
    return webserv_showfile(w, name);
}

int webserv_flush(web_serv* w) {
    if (!w) return 0;
    if (w->write_failed) {
        w->outbuf.clear();
        return 0;
    }
    if (w->outbuf.empty()) return 1;
    const int len = static_cast<int>(w->outbuf.size());
    const int sent = w->sock ? tcp_write_timed(w->sock, w->outbuf.data(), len, WEBSERV_READ_MS) : 0;
    w->outbuf.clear();
    if (sent < len) {
        w->write_failed = true;
        return 0;
    }
    return 1;
}

void webserv_free(std::unique_ptr<web_serv>& w) {
    w.reset();
}

}  // namespace tolvane
