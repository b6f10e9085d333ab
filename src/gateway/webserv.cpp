// The web request object: see webserv.h.
#include "gateway/webserv.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>

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

constexpr const char* MASKED = "(masked)";

// One line of the request trace, cut at 999 characters, line ends kept out of it.
void dump_line(std::string& dump, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void dump_line(std::string& dump, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vstrprintf(TEXT_MAX, fmt, ap);
    va_end(ap);
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    dump += text;
    dump += '\n';
}

bool secret_header(std::string_view name) {
    return iequals(name, "authorization") || iequals(name, "proxy-authorization") ||
           iequals(name, "cookie");
}

// The query with the value of every secret field masked, as it was sent otherwise.
std::string masked_query(std::string_view query) {
    std::string out;
    std::size_t from = 0;
    while (from <= query.size()) {
        std::size_t amp = query.find('&', from);
        if (amp == std::string_view::npos) amp = query.size();
        std::string_view item = query.substr(from, amp - from);
        const std::size_t eq = item.find('=');
        std::string name(item.substr(0, eq));
        unescape_url(name);
        if (eq != std::string_view::npos && webserv_secret_field(name)) {
            out.append(item.substr(0, eq + 1));
            out += MASKED;
        } else {
            out.append(item);
        }
        if (amp < query.size()) out += '&';
        from = amp + 1;
    }
    return out;
}

// Every occurrence of each secret replaced by the mask.
void mask_secrets(std::string& text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        if (secret.empty()) continue;
        for (std::size_t at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at + std::char_traits<char>::length(MASKED))) {
            text.replace(at, secret.size(), MASKED);
        }
    }
}

void out_bytes(web_serv* w, const char* bytes, std::size_t n) {
    if (w->outlog) {
        const std::size_t room =
            w->copy.size() < WEBSERV_COPY_MAX ? WEBSERV_COPY_MAX - w->copy.size() : 0;
        w->copy.append(bytes, std::min(n, room));
        if (n > room) w->copy_cut = true;
    }
    if (w->write_failed) return;
    w->outbuf.append(bytes, n);
    if (w->outbuf.size() >= WEBSERV_OUT_CHUNK) webserv_flush(w);
}

// The request dump and the answer copy go to their traces in one write each, once the
// request's secrets (the session's, known only after the request was read) are masked.
void write_traces(web_serv* w) {
    if (w->inlog && !w->dump.empty()) {
        mask_secrets(w->dump, w->secrets);
        trace_write(*w->inlog, w->dump);
        w->dump.clear();
    }
    if (!w->outlog || w->copy.empty()) return;
    std::string text = "\n[" + asctime_now() + "]\n";
    text += w->copy;
    mask_secrets(text, w->secrets);
    if (w->copy_cut) text += strprintf("\n[answer cut at %zu bytes]", WEBSERV_COPY_MAX);
    if (text.back() != '\n') text += '\n';
    trace_write(*w->outlog, text);
    w->copy.clear();
}

// Traces are shared by every request object that names the same path, so that their
// writes and rotations go through one handle.
std::shared_ptr<TraceFile> shared_trace(const std::string& path, std::string& err) {
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<TraceFile>> open;
    std::lock_guard<std::mutex> hold(lock);
    auto& t = open[path];
    if (!t) {
        if (auto opened = trace_open(path)) {
            t = std::move(*opened);
        } else {
            err = opened.error().reason;
        }
    }
    return t;
}

int fail(web_serv* w) {
    tcp_close_nice(w->sock);
    return 0;
}

}  // namespace

web_serv::~web_serv() {
    webserv_flush(this);
    write_traces(this);
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
    std::string err;
    w->inlog = shared_trace(request_log_path, err);
    if (!w->inlog) {
        emsg("Failed to open request log (%s), %s", request_log_path.c_str(), err.c_str());
        ok = 0;
    }
    w->outlog = shared_trace(copy_path, err);
    if (!w->outlog) {
        emsg("Failed to open output copy (%s), %s", copy_path.c_str(), err.c_str());
        ok = 0;
    }
    return ok;
}

void webserv_secret(web_serv* w, std::string_view secret) {
    if (w && !secret.empty()) w->secrets.emplace_back(secret);
}

bool webserv_secret_field(std::string_view name) {
    const std::string n = strlwr(name);
    return n == "token" || n.find("pass") != std::string::npos ||
           n.find("pwd") != std::string::npos || n.find("secret") != std::string::npos;
}

int webserv_load(web_serv* w) {
    if (!w || !w->sock) return 0;
    CHAN* c = w->sock;
    // Reads are cut into slices so that a shutdown and the request's deadline are seen
    // while a client keeps quiet or trickles its bytes.
    constexpr int SLICE_MS = 250;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(w->request_ms);
    const auto first_line_by =
        start + std::chrono::milliseconds(std::min(w->first_line_ms, w->request_ms));
    web_reader r;
    char buf[4096];
    while (r.status() == WEB_MORE) {
        if (w->cancel && w->cancel->load() != 0) return fail(w);
        const auto now = std::chrono::steady_clock::now();
        // Until the request line is in, the nearer deadline is the first line's.
        const auto by = r.have_request_line() ? deadline : first_line_by;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(by - now).count();
        if (left <= 0) {
            // A client that says nothing is common (port scans, a browser's spare
            // connection) and no fault worth an info line; one that stops half way is.
            if (!r.have_request_line()) {
                dmsg("webserv: no request line within %d ms, connection dropped",
                     std::min(w->first_line_ms, w->request_ms));
            } else {
                imsg("webserv: request not complete within %d ms, connection dropped",
                     w->request_ms);
            }
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
    std::vector<std::pair<std::string, std::string>> fields = web_form_fields(w->query);
    if (w->inlog) {
        // Credentials, cookies, tokens and passwords stay out of the request trace.
        std::string& dump = w->dump;
        const std::string target_query =
            iequals(w->method, "POST") ? std::string() : masked_query(w->query);
        dump_line(dump, "%.24s %s %s%s%s", asctime_now().c_str(), w->method.c_str(), w->ref.c_str(),
                  target_query.empty() ? "" : "?", target_query.c_str());
        for (const auto& [name, value] : r.header_lines) {
            dump_line(dump, "\t%s: %s", name.c_str(), secret_header(name) ? MASKED : value.c_str());
        }
        for (const auto& [name, value] : fields) {
            // "(%s)" already brackets the value: the mask goes in without its own.
            dump_line(dump, "\t(%s)=(%s)", name.c_str(),
                      webserv_secret_field(name) ? "masked" : value.c_str());
        }
    }
    for (auto& [name, value] : fields) {
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
    webserv_printf(w, "Date: %s\r\n", http_date_now().c_str());
    for (const PAIR& h : w->hout) webserv_printf(w, "%s: %s\r\n", h.var.c_str(), h.val.c_str());
    webserv_printf(w, "\r\n");
    if (!tpl_display_file(w->tpl.get(), page)) return 0;
    w->shown = true;
    return 1;
}

int webserv_display(web_serv* w, std::string_view status, std::string_view page) {
    if (!w) return 0;
    const std::string name(page);
    webserv_add(w, "page", name);
    if (!readable_file(tpl_file(w->tpl.get(), name))) {
        webserv_printf(w, "HTTP/1.0 550 No such file\r\n");
        return 0;
    }
    webserv_printf(w, "%.*s\r\n", static_cast<int>(status.size()), status.data());
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
