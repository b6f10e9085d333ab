// The HTTP API's server: see api_server.h.
#include "gateway/api_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/api_idempotency.h"
#include "gateway/api_json.h"
#include "gateway/api_keys.h"
#include "gateway/api_messages.h"
#include "gateway/gateway.h"
#include "gateway/gateway_metrics.h"
#include "gateway/keys.h"
#include "gateway/smpp_receipts.h"
#include "gateway/store_admin.h"

namespace tolvane {

namespace {

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct ApiServer::Conn {
    explicit Conn(std::unique_ptr<CHAN> ch) : c(std::move(ch)), reader(API_MAX_BODY) {}
    std::unique_ptr<CHAN> c;
    ApiHttpReader reader;
    std::string ip;
    bool tls_started = false;
    bool sent_continue = false;
    std::int64_t request_start = 0;  // steady ms of the first byte of the request read now
    std::atomic<int>* open = nullptr;
    ~Conn() {
        if (open != nullptr) open->fetch_sub(1);
    }
};

ApiServer::ApiServer(Gateway& gw, ApiContext cx) : gw_(gw), cx_(std::move(cx)) {}

ApiServer::~ApiServer() {
    stop();
}

Status ApiServer::start(const std::string& address, int port, bool tls, int workers) {
    tls_ = tls;
    if (!tcp_listen(listener_, port, address.c_str(), 1))
        return Error{0, tcp_error(listener_.get())};
    tcp_getport(listener_.get(), port_);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int code = errno;
        return Error{code, "no pipe: " + system_error(code)};
    }
    reactor_ = std::make_unique<Reactor>(static_cast<std::size_t>(workers));
    if (!reactor_->ok()) return Error{0, "the reactor could not start"};
    acceptor_ = std::jthread([this](std::stop_token st) { accept_loop(st); });
    return {};
}

void ApiServer::stop() {
    if (acceptor_.joinable()) {
        acceptor_.request_stop();
        if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
        acceptor_.join();
    }
    if (reactor_) reactor_->stop();
    tcp_free(listener_);
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void ApiServer::accept_loop(std::stop_token st) {
    while (!st.stop_requested()) {
        pollfd p[2] = {{listener_->sk, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) <= 0) continue;
        if (p[1].revents != 0) break;
        std::unique_ptr<CHAN> c;
        if (!tcp_accept(listener_.get(), c) || !c || c->sk < 0) {
            lib_msleep(20);  // out of descriptors: let connections end
            continue;
        }
        if (open_.load() >= API_MAX_CONNECTIONS) {
            imsg("API connection refused: %d connections open", API_MAX_CONNECTIONS);
            continue;
        }
        auto conn = std::make_shared<Conn>(std::move(c));
        open_.fetch_add(1);
        conn->open = &open_;
        tcp_getip(conn->c.get(), conn->ip);
        conn->request_start = steady_ms();
        park(conn, API_REQUEST_MS);
    }
}

void ApiServer::park(const std::shared_ptr<Conn>& c, long idle_ms) {
    const int fd = c->c->sk;
    (void)reactor_->park(fd, idle_ms, [this, c](Reactor::Wake w) {
        if (w == Reactor::Wake::readable) serve(c);
    });
}

// After a refusal the client may still be sending its body: what it sends is read and
// dropped for a moment after our side is shut, so that the close does not reset the
// connection before the client has read the answer.
static void linger(CHAN* ch) {
    if (ch->sk < 0) return;
    ::shutdown(ch->sk, SHUT_WR);
    char buf[16384];
    long total = 0;
    const std::int64_t until = steady_ms() + 1000;
    while (total < (4L << 20) && steady_ms() < until) {
        const int n = tcp_read_timed(ch, buf, sizeof buf, 200);
        if (n <= 0) break;
        total += n;
    }
}

// Writes one whole answer; false when the connection is to close after it.
static bool write_answer(CHAN* ch, const std::string& bytes) {
    return tcp_write_timed(ch, bytes.data(), static_cast<int>(bytes.size()), 10000) ==
           static_cast<int>(bytes.size());
}

bool ApiServer::answer(Conn& c) {
    const auto t0 = std::chrono::steady_clock::now();
    std::string route;
    ApiAnswer a = api_route(cx_, c.reader.req, c.ip, route);
    const bool keep = c.reader.req.keep_alive && gw_.stop.load() == 0;
    // An HTTP/1.0 client keeps the connection only when the answer says so.
    if (keep && c.reader.req.http10) a.headers.emplace_back("Connection", "keep-alive");
    std::string bytes = api_http_answer(a.status, a.type, a.body, keep, a.headers);
    // Counted before the client can read the answer, so that a client that asks for the
    // metrics next always finds its own request in them.
    gateway_count_api(route.c_str(), a.status,
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    const bool ok = write_answer(c.c.get(), bytes);
    dmsg("API %s %s from [%s]: %d", c.reader.req.method.c_str(), c.reader.req.path.c_str(),
         c.ip.c_str(), a.status);
    return ok && keep;
}

void ApiServer::serve(const std::shared_ptr<Conn>& c) {
    CHAN* ch = c->c.get();
    if (tls_ && !c->tls_started) {
        c->tls_started = true;
        if (Status st = tcp_ssl_init(ch, 1, nullptr); !st) {
            imsg("API TLS from [%s] failed (%s)", c->ip.c_str(), st.error().reason.c_str());
            return;
        }
    }
    char buf[16384];
    for (;;) {
        const int n = tcp_read_timed(ch, buf, sizeof buf, 2000);
        if (n <= 0) return;  // closed, failed or silent: the connection goes
        // A request's time runs from its first byte, not from the idle wait before it.
        if (!c->reader.started() && !c->reader.has_pending()) c->request_start = steady_ms();
        ApiRead st = c->reader.feed(buf, static_cast<std::size_t>(n));
        for (;;) {
            if (st == ApiRead::bad) {
                const int code = c->reader.bad_status();
                imsg("API request from [%s] refused (%d: %s)", c->ip.c_str(), code,
                     c->reader.why().c_str());
                ApiError e{code, code == 413 ? "too_large" : "bad_request", c->reader.why(), ""};
                gateway_count_api("other", code, 0.0);
                (void)write_answer(
                    ch, api_http_answer(code, "application/json", api_error_json(e), false));
                linger(ch);
                return;
            }
            if (st == ApiRead::more) break;
            if (!answer(*c)) return;
            c->sent_continue = false;
            c->request_start = steady_ms();
            st = c->reader.next();
        }
        if (c->reader.head_done() && c->reader.req.expect_continue && !c->sent_continue) {
            c->sent_continue = true;
            static const std::string cont = "HTTP/1.1 100 Continue\r\n\r\n";
            if (!write_answer(ch, cont)) return;
        }
        // Bytes the TLS layer has already decrypted are read now: the socket may stay quiet.
        if (ch->ssl && ch->ssl->pending()) continue;
        break;
    }
    const bool midway = c->reader.has_pending() || c->reader.started();
    long wait = API_IDLE_MS;
    if (midway) wait = std::max<long>(1, API_REQUEST_MS - (steady_ms() - c->request_start));
    park(c, wait);
}

namespace {

// With `store postgresql` the messages' status and the idempotency keys are in the shared
// store (prepared here: schema, old rows dropped); out stays null with `store files`.
bool api_shared_store(Gateway& gw, std::shared_ptr<PgApiStore>& out) {
    Result<StoreKind> kind = store_kind(gw.ini());
    if (!kind) {
        report_error("Failed to find the API's store: %s", kind.reason().c_str());
        return false;
    }
    if (*kind != StoreKind::POSTGRESQL) return true;
    out = std::make_shared<PgApiStore>(gw.setting_str(STORE_DSN), gw.pg_side.get());
    const std::int64_t now = api_now_ms();
    Status opened = out->open(now - std::int64_t{API_STATUS_KEEP_DAYS} * 86400000,
                              now - std::int64_t{API_IDEMPOTENCY_HOURS} * 3600000);
    if (!opened)
        // Its link reconnects by itself: the calls that need it answer 503 meanwhile.
        emsg("HTTP API: the shared store cannot be prepared now (%s)", opened.reason().c_str());
    return true;
}

}  // namespace

bool api_prepare(Gateway& gw) {
    const std::string work = gw.setting_str(WORKPATH);
    Result<std::unique_ptr<ApiKeySource>> source = api_key_source(gw.ini());
    if (!source) {
        report_error("Failed to find the API keys: %s", source.reason().c_str());
        return false;
    }
    gw.api_keys = std::make_unique<ApiKeyTable>(std::move(*source));
    std::shared_ptr<PgApiStore> shared;
    if (!api_shared_store(gw, shared)) return false;
    gw.api_messages = std::make_unique<ApiMessages>(&gw, gw.api_keys.get(),
                                                    attach_path(work, "api_messages.log"), shared);
    gw.api_idempotency =
        std::make_unique<ApiIdempotency>(attach_path(work, "api_idempotency.log"), shared);
    Status opened = gw.api_messages->open();
    if (opened) opened = gw.api_idempotency->open();
    if (!opened) {
        report_error("Failed to open the API's files: %s", opened.reason().c_str());
        return false;
    }
    if (gw.receipts) gw.receipts->set_api(gw.api_messages.get());
    return true;
}

void api_start(Gateway& gw) {
    const int port = gw.setting_int(API_PORT);
    // Reports a stop kept from the queue go now, with or without the API.
    if (gw.queue && gw.api_messages) gw.api_messages->requeue_reports();
    if (port == 0 || !gw.api_messages) {
        imsg("HTTP API off (api_port 0)");
        return;
    }
    if (gw.queue) gw.api_messages->adopt(*gw.queue);
    const bool tls = gw.setting_true(API_TLS);
    if (tls) {
        tcp_ssl_setkey(gw.setting_str(SSL_PRIV), gw.setting_str(SSL_CERT));
        tcp_ssl_setdir(gw.setting_str(SSL_DIR));
        if (Status st = tcp_ssl_init(nullptr, 1, nullptr); !st) {
            emsg("HTTP API: TLS set-up failed (%s); the API is not started",
                 st.error().reason.c_str());
            return;
        }
    }
    auto server = std::make_unique<ApiServer>(gw, api_context(gw));
    const std::string address = gw.setting_str(API_LISTEN);
    int workers = gw.setting_int(API_WORKERS);
    if (workers <= 0) workers = 16;
    if (Status started = server->start(address, port, tls, workers); !started) {
        emsg("HTTP API: cannot listen on %s port %d (%s); the gateway runs without the API",
             address.c_str(), port, started.reason().c_str());
        return;
    }
    imsg("HTTP API listening on %s port %d (%s)", address.c_str(), server->port(),
         tls ? "TLS" : "plain");
    gw.api = std::move(server);
}

void api_stop(Gateway& gw) {
    if (gw.api) gw.api->stop();
}

}  // namespace tolvane
