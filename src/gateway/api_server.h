// The HTTP API's server: a listener on api_listen/api_port (plain, or TLS with the web
// channel's key and certificate when api_tls is true), an accepting thread, and a Reactor
// (net/reactor.h) whose api_workers threads serve the connections. HTTP/1.1 with
// keep-alive: a connection waiting for its next request is parked in the reactor, costing
// no thread; when it speaks, a worker reads, answers (api_route) and parks it again.
//
// Limits: API_MAX_CONNECTIONS connections at once (beyond them a new one is closed at
// once); a request must arrive whole within API_REQUEST_MS of its first byte; a connection
// idle for API_IDLE_MS between requests is closed; bodies of at most API_MAX_BODY bytes
// (413 beyond).
//
// Ownership: the Gateway owns the server (Gateway::api) and, for it, the key table, the
// messages' status and the idempotency keys. Start-up makes them before the delivery
// workers (api_prepare), which report to the status, and starts the server once the queue
// is open (api_start); shutdown stops it (api_stop: no more accepts, the workers finish
// their requests and are joined, parked connections are closed) before the delivery
// workers stop and the queue closes.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "foundation/result.h"
#include "gateway/api_routes.h"
#include "net/reactor.h"
#include "net/tcp.h"

namespace tolvane {

class Gateway;

inline constexpr int API_MAX_CONNECTIONS = 4096;
inline constexpr long API_REQUEST_MS = 10000;
inline constexpr long API_IDLE_MS = 60000;

class ApiServer {
  public:
    ApiServer(Gateway& gw, ApiContext cx);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Listens on address:port and starts the threads; the error says which step failed.
    Status start(const std::string& address, int port, bool tls, int workers);
    // Stops accepting, finishes the requests under way and closes every connection.
    void stop();
    int port() const { return port_; }

  private:
    struct Conn;
    void accept_loop(std::stop_token st);
    void park(const std::shared_ptr<Conn>& c, long idle_ms);
    void serve(const std::shared_ptr<Conn>& c);
    bool answer(Conn& c);

    Gateway& gw_;
    ApiContext cx_;
    std::unique_ptr<CHAN> listener_;
    int port_ = 0;
    bool tls_ = false;
    int wake_[2] = {-1, -1};  // the accepting thread's stop pipe
    std::atomic<int> open_{0};
    std::unique_ptr<Reactor> reactor_;
    std::jthread acceptor_;
};

// Start-up: the key table, the messages' status and the idempotency keys (false:
// reported, start-up ends); api_start: the server when api_port is not 0 (a listener that
// cannot be opened is logged and the gateway runs without the API). Shutdown: api_stop.
bool api_prepare(Gateway& gw);
void api_start(Gateway& gw);
void api_stop(Gateway& gw);

}  // namespace tolvane
