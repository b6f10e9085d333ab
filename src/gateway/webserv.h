// The web request object: one HTTP/1.0 request read from a connection, its fields
// and headers, and the page rendered back.
//
// webserv_load reads the request line, the headers and (for POST) the body with a
// web_reader, and puts the query or form fields, URL-decoded, into `req`. Page
// variables, which the gateway and the templates set and the renderer shows, live
// apart in `data`: a request field can never stand in for a page variable nor name
// a template to include. Names are looked up without regard to case. Pages are
// rendered by the object's own renderer from the template directory, every
// variable HTML-escaped unless the template asks for it raw, and everything written
// goes to the connection (collected in WEBSERV_OUT_CHUNK pieces). Header lines end in
// CR LF.
//
// With webserv_debug the request is dumped to a request trace and the answer copied to
// an answer trace: dialogue traces (tracefile.h: mode 0600, rotated at the traces' size
// limit, reopened on SIGHUP), each request and each answer one write, so that those of
// connections served at the same time never interleave. Secrets stay out of both: the
// values of the Authorization, Proxy-Authorization and Cookie headers, of form fields
// named "token" or holding "pass", "pwd" or "secret" in their names (in the request line
// too), and every text given to webserv_secret (session ids, form tokens), wherever it
// appears in the request or the answer, are written as "(masked)"; both are written when
// the object is freed. An answer copy is cut at WEBSERV_COPY_MAX bytes.
//
// Ownership: the object borrows the connection (the caller closes it) and owns
// its lists, renderer and output buffer, and shares the two traces; webserv_free (or
// dropping the owner) sends what is still buffered, writes the answer copy and releases
// the rest. One object belongs to one thread.
//
// Limits: those of web_reader (lines of 999 characters, WEBSERV_MAX_HEADERS header
// lines, a body of WEBSERV_MAX_BODY bytes); the request line must arrive within
// first_line_ms (WEBSERV_FIRST_LINE_MS) and the whole request within request_ms
// (WEBSERV_REQUEST_MS), and a read still waiting gives up within a quarter of a second
// once `cancel` is set.
//
//   auto w = webserv_init(conn, "/usr/local/tolvane/web", fns, &cb);
//   webserv_debug(w.get(), "input.log", "output.log");  // only with web_trace
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
#include "foundation/tracefile.h"
#include "gateway/webserv_reader.h"
#include "net/tcp.h"

namespace tolvane {

inline constexpr int WEBSERV_READ_MS = 30000;
// A client that has not sent its request line by then is dropped: a slot held by a client
// that says nothing is soon free again.
inline constexpr int WEBSERV_FIRST_LINE_MS = 2000;
// A client that has not sent its whole request by then is dropped.
inline constexpr int WEBSERV_REQUEST_MS = 10000;
inline constexpr std::size_t WEBSERV_OUT_CHUNK = 16384;
inline constexpr std::size_t WEBSERV_COPY_MAX = 256 * 1024;

class web_serv {
  public:
    web_serv() = default;
    ~web_serv();
    web_serv(const web_serv&) = delete;
    web_serv& operator=(const web_serv&) = delete;

    std::shared_ptr<TraceFile> inlog;   // request trace, or null
    std::shared_ptr<TraceFile> outlog;  // answer trace, or null
    std::string dump;                   // the request, for inlog
    std::string copy;                   // the answer so far, for outlog
    bool copy_cut = false;              // the answer was longer than WEBSERV_COPY_MAX
    std::vector<std::string> secrets;   // masked wherever they appear in the copy
    CHAN* sock = nullptr;
    PairList data;  // page variables
    PairList req;   // request fields (query or form), never seen by the renderer
    PairList head;
    PairList hout;
    std::string ref;
    std::unique_ptr<tolvane::tpl> tpl;

    std::string method;  // GET or POST as sent
    std::string query;   // the raw query (or form body)
    std::string outbuf;  // output not yet sent
    // When set and non-zero, a read still waiting for the client gives up (shutdown).
    const std::atomic<int>* cancel = nullptr;
    int read_ms = WEBSERV_READ_MS;              // longest wait of one write
    int first_line_ms = WEBSERV_FIRST_LINE_MS;  // the request line must arrive within this
    int request_ms = WEBSERV_REQUEST_MS;        // the whole request must arrive within this
    bool write_failed = false;
    bool shown = false;  // a page has been rendered (webserv_showfile succeeded)
};

std::unique_ptr<web_serv> webserv_init(CHAN* sock, std::string_view template_dir,
                                       const tpl_fns* fns, void* fn_data);
// Dumps the request to the request trace and copies the answer to the answer trace (see
// above; a trace already open for the same path is shared). 1 when both could be opened.
int webserv_debug(web_serv* w, const std::string& request_log, const std::string& copy_path);
// A text masked wherever it appears in the request dump or the answer copy (a session
// id, a form token).
void webserv_secret(web_serv* w, std::string_view secret);
// True for the name of a form field whose value never goes to a trace.
bool webserv_secret_field(std::string_view name);
// Reads and parses the request; 1 on success, else 0 and the connection is closed.
int webserv_load(web_serv* w);

// Page variable; nullopt when absent or empty.
std::optional<std::string> webserv_get(web_serv* w, std::string_view name);
void webserv_add(web_serv* w, std::string_view name, std::string_view value);
// Removes every page variable of that name (any letter case).
void webserv_rmv(web_serv* w, std::string_view name);
// Request field (query or form); nullopt when absent or empty.
std::optional<std::string> webserv_field(web_serv* w, std::string_view name);
// Names of the request fields matching a wildcard pattern ("*", "?"; letter case
// ignored), in list order.
std::vector<std::string> webserv_wild(web_serv* w, std::string_view pattern);
// Request header ("" when absent).
std::string webserv_get_header(web_serv* w, std::string_view name);
void webserv_set_header(web_serv* w, std::string_view name, std::string_view value);

// Formats at most 999 characters and writes them through the renderer.
void webserv_printf(web_serv* w, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The header block ("Date:", the response headers, an empty line) and the rendered page;
// 0, with nothing written, when the page file cannot be read.
int webserv_showfile(web_serv* w, std::string_view page);
// Shows a page with a status line; 0 after "HTTP/1.0 550 No such file" when the page
// cannot be read.
int webserv_display(web_serv* w, std::string_view status, std::string_view page);
// Sends the buffered output; 0 when the connection failed.
int webserv_flush(web_serv* w);
void webserv_free(std::unique_ptr<web_serv>& w);

}  // namespace tolvane
