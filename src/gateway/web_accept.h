// The web channel's accepting thread and its connection slots.
//
// web_accept_start runs a thread of its own per listener that accepts on it (never the
// once-a-second main loop, so a slow or silent client holds up nobody): a client
// outside `web_allow` is closed at once, before anything is read; every other one
// (SSL started in HTTPS mode, its handshake deferred to the connection's own thread)
// takes a slot and is served by command_thread on a thread of its own. Accepting and
// serving threads are counted with add_thread/rmv_thread, so shutdown waits for them;
// the accepting thread is woken by the stop itself (gateway_stop_fd).
//
// Slots: `web_max_connections` connections are served at once. Beyond them
// WEB_RESERVE_CONNECTIONS more are taken into reserve slots, so that clients that hold
// every slot (silent ones, until their 2 s for the request line are up) cannot keep a
// load balancer's GET /health or the administrator out: a connection in a reserve slot
// must send its whole request within 2 s and is served only for /health or with valid
// credentials (anything else gets 503). When the reserve is full too, a new client is
// closed at once.
#pragma once

#include <atomic>
#include <memory>

#include "net/tcp.h"

namespace tolvane {

class Gateway;

inline constexpr int WEB_MAX_CONNECTIONS_DEFAULT = 256;
inline constexpr int WEB_RESERVE_CONNECTIONS = 8;

// Starts the accepting thread on listener for gw (counted in gw.threads); 0 when it
// could not be started.
int web_accept_start(Gateway& gw, CHAN* listener, bool https);
// The accepting loop itself, until gw.stop is set.
void web_accept_loop(Gateway& gw, CHAN* listener, bool https);
// Serves one accepted connection for gw on a counted thread of its own
// (gw.threads.start), in a slot of the web_max_connections given, or else in a
// reserve slot. 0 when no slot is free or no thread could be started (the connection is
// then closed).
int web_admin_start(Gateway& gw, std::unique_ptr<CHAN> conn,
                    int most = WEB_MAX_CONNECTIONS_DEFAULT);
// The web channel's slots in use, shared by its threads; owned by the Gateway.
struct WebSlots {
    std::atomic<int> general{0};  // ordinary slots taken
    std::atomic<int> reserve{0};  // reserve slots taken
};
// Connections of gw being served now (reserve slots included), and those in reserve slots.
int web_connections_open(const Gateway& gw);
int web_connections_reserved(const Gateway& gw);

}  // namespace tolvane
