// The web request object: see webserv.h.
#include "gateway/webserv.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <ctime>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/weblib.h"

namespace tolvane {

namespace {

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
    tpl_setup_escape(w->tpl.get(), [](std::string_view v) { return html_escape(v); });
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
    // Reads are cut into slices so that a shutdown and the request's deadline are seen
    // while a client keeps quiet or trickles its bytes.
    constexpr int SLICE_MS = 250;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(w->request_ms);
    web_reader r;
    char buf[4096];
    while (r.status() == WEB_MORE) {
        if (w->cancel && w->cancel->load() != 0) return fail(w);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            imsg("webserv: request not complete within %d ms, connection dropped", w->request_ms);
            return fail(w);
        }
        const int n = tcp_read_timed(c, buf, sizeof buf,
                                     static_cast<int>(std::min<long long>(left, SLICE_MS)));
        if (n == -2) continue;
        if (n <= 0) {
            r.finish();
            // A client that connects and leaves without a word is no error worth a line.
            if (r.have_request_line()) wmsg("%s", r.why().c_str());
            return fail(w);
        }
        r.feed(buf, static_cast<std::size_t>(n));
    }
    if (r.status() != WEB_DONE) {
        wmsg("%s", r.why().c_str());
        return fail(w);
    }
    w->method = r.req.method;
    w->ref = r.req.ref;
    w->query = r.req.query;
    w->head = std::move(r.req.head);
    const std::string target_query = iequals(w->method, "POST") ? std::string() : w->query;
    request_log(w, "%.24s %s %s%s%s\n", asctime_now().c_str(), w->method.c_str(), w->ref.c_str(),
                target_query.empty() ? "" : "?", target_query.c_str());
    for (const auto& [name, value] : r.header_lines) {
        // Credentials stay out of the request log.
        request_log(w, "\t%s: %s\n", name.c_str(),
                    iequals(name, "authorization") ? "(not logged)" : value.c_str());
    }
    for (auto& [name, value] : web_form_fields(w->query)) {
        request_log(w, "\t(%s)=(%s)\n", name.c_str(), value.c_str());
        pair_add(w->req, std::string_view(name), std::string_view(value));
    }
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

std::optional<std::string> webserv_field(web_serv* w, std::string_view name) {
    if (!w) return std::nullopt;
    const std::string& v = pair_findnc(w->req, name);
    if (v.empty()) return std::nullopt;
    return v;
}

std::vector<std::string> webserv_wild(web_serv* w, std::string_view pattern) {
    std::vector<std::string> names;
    if (!w) return names;
    const std::string pat = strlwr(pattern);
    for (const PAIR& p : w->req) {
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

int webserv_display(web_serv* w, std::string_view status, std::string_view page) {
    if (!w) return 0;
    const std::string name(page);
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
