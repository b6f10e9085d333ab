// The web request object: one HTTP/1.0 request read from a connection, its variables
// and headers, and the page rendered back.
//
// webserv_load reads the request line, the headers and (for POST) the body, and
// puts the query or form fields into `data`, URL-decoded. The same list holds the
// page variables the gateway and the templates set; names are looked up without
// regard to case. Pages are rendered by the object's own renderer from the
// template directory, and everything written goes to the connection (collected
// in WEBSERV_OUT_CHUNK pieces) and, with webserv_debug, to a copy file.
//
// Ownership: the object borrows the connection (the caller closes it) and owns
// its lists, renderer, request log and output buffer; webserv_free (or dropping
// the owner) sends what is still buffered and releases the rest. One object
// belongs to one thread.
//
// Limits: the request line and each header line are cut at 999 characters; at
// most WEBSERV_MAX_HEADERS header lines and a body of at most WEBSERV_MAX_BODY
// bytes are accepted; every read waits at most read_ms (WEBSERV_READ_MS; a client that has
// sent nothing yet is given up at once when `cancel` is set). The Authorization
// header is never written to the request log.
//
//   auto w = webserv_init(conn, "/usr/local/tolvane/web", fns, &cb);
//   webserv_debug(w.get(), "input.log", "output.log");
//   if (webserv_load(w.get())) webserv_display(w.get(), "HTTP/1.0 200 OK", "main.htm");
//   webserv_free(w);
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/containers.h"
#include "foundation/tpl.h"
#include "net/tcp.h"

namespace tolvane {

inline constexpr int WEBSERV_READ_MS = 30000;
inline constexpr int WEBSERV_MAX_HEADERS = 200;
inline constexpr long WEBSERV_MAX_BODY = 1024 * 1024;
inline constexpr std::size_t WEBSERV_OUT_CHUNK = 16384;

class web_serv {
  public:
    web_serv() = default;
    ~web_serv();
    web_serv(const web_serv&) = delete;
    web_serv& operator=(const web_serv&) = delete;

    std::unique_ptr<std::FILE, TplFileCloser> inlog;
    CHAN* sock = nullptr;
    PairList data;
    PairList head;
    PairList hout;
    std::string ref;
    std::unique_ptr<tolvane::tpl> tpl;

    std::string method;  // GET or POST as sent
    std::string query;   // the raw query (or form body)
    std::string outbuf;  // output not yet sent
    // When set and non-zero, a read still waiting for the client gives up (shutdown).
    const std::atomic<int>* cancel = nullptr;
    int read_ms = WEBSERV_READ_MS;  // longest wait of one read
    bool write_failed = false;
    bool shown = false;  // a page has been rendered (webserv_showfile succeeded)
};

std::unique_ptr<web_serv> webserv_init(CHAN* sock, std::string_view template_dir,
                                       const tpl_fns* fns, void* fn_data);
// Opens the request log (appended) and makes the renderer copy all output to copy_path.
// 1 when both could be opened.
int webserv_debug(web_serv* w, const std::string& request_log, const std::string& copy_path);
// Reads and parses the request; 1 on success, else 0 and the connection is closed.
int webserv_load(web_serv* w);

// Request or page variable; nullopt when absent or empty.
std::optional<std::string> webserv_get(web_serv* w, std::string_view name);
void webserv_add(web_serv* w, std::string_view name, std::string_view value);
// Removes every variable of that name (any letter case).
void webserv_rmv(web_serv* w, std::string_view name);
// Names of the variables matching a wildcard pattern ("*", "?"; letter case ignored),
// in list order.
std::vector<std::string> webserv_wild(web_serv* w, std::string_view pattern);
// Request header ("" when absent).
std::string webserv_get_header(web_serv* w, std::string_view name);
void webserv_set_header(web_serv* w, std::string_view name, std::string_view value);

// Formats at most 999 characters and writes them through the renderer.
void webserv_printf(web_serv* w, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The header block ("Date:", the response headers, an empty line) and the rendered page;
// 0, with nothing written, when the page file cannot be read.
int webserv_showfile(web_serv* w, std::string_view page);
// Shows a page with a status line. With use_show, a request variable "show" names the
// page instead (kept inside the template directory). 0 after "HTTP/1.0 550 No such
// file" when the page cannot be read.
int webserv_display(web_serv* w, std::string_view status, std::string_view page,
                    bool use_show = true);
// Sends the buffered output; 0 when the connection failed.
int webserv_flush(web_serv* w);
void webserv_free(std::unique_ptr<web_serv>& w);

}  // namespace tolvane
