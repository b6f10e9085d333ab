// The web channel's accepting thread and its connection slots: see web_accept.h.
#include "gateway/web_accept.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/gateway.h"
#include "gateway/web_admin.h"
#include "records/mutexlist.h"

namespace tolvane {

namespace {

enum class Slot { none, general, reserve };

// A slot of the `most` ordinary ones, else one of the reserve, else none.
Slot take_slot(WebSlots& slots, int most) {
    for (int n = slots.general.load(); n < most;) {
        if (slots.general.compare_exchange_weak(n, n + 1)) return Slot::general;
    }
    for (int n = slots.reserve.load(); n < WEB_RESERVE_CONNECTIONS;) {
        if (slots.reserve.compare_exchange_weak(n, n + 1)) return Slot::reserve;
    }
    return Slot::none;
}

// A slot held for one connection; given back once, when the connection is done with it
// (or was never served).
class SlotHold {
  public:
    SlotHold(WebSlots& slots, Slot s) : slots_(slots), slot_(s) {}
    ~SlotHold() { release(); }
    SlotHold(const SlotHold&) = delete;
    SlotHold& operator=(const SlotHold&) = delete;
    bool reserved() const { return slot_ == Slot::reserve; }
    void release() {
        if (slot_ == Slot::general) slots_.general.fetch_sub(1);
        if (slot_ == Slot::reserve) slots_.reserve.fetch_sub(1);
        slot_ = Slot::none;
    }

  private:
    WebSlots& slots_;
    Slot slot_;
};

int serve(Gateway& gw, std::unique_ptr<CHAN> conn, std::shared_ptr<SlotHold> hold) {
    std::shared_ptr<CHAN> c(std::move(conn));
    return gw.threads.start([&gw, c, hold] {
        command_thread(gw, c.get(), hold->reserved());
        hold->release();
    })
               ? 1
               : 0;
}

// True when a client waits on the listener; false after a stop request (or a signal).
bool wait_client_or_stop(const Gateway& gw, CHAN* listener) {
    pollfd p[2] = {{listener->sk, POLLIN, 0}, {gateway_stop_fd(gw), POLLIN, 0}};
    // Without a stop descriptor the stop is seen by a short wait instead.
    const bool have_stop = p[1].fd >= 0;
    if (::poll(p, have_stop ? 2 : 1, have_stop ? -1 : 200) <= 0) return false;
    if (have_stop && (p[1].revents & POLLIN) && gw.stop.load() == 0) {
        char buf[16];
        while (::read(p[1].fd, buf, sizeof buf) > 0) {
        }
    }
    return (p[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

std::string setting_text(rini* r, int id) {
    const char* v = r ? rini_get(r, id, nullptr, nullptr) : nullptr;
    return v ? v : "";
}

}  // namespace

int web_connections_open(const Gateway& gw) {
    return gw.web_slots->general.load() + gw.web_slots->reserve.load();
}

int web_connections_reserved(const Gateway& gw) {
    return gw.web_slots->reserve.load();
}

int web_admin_start(Gateway& gw, std::unique_ptr<CHAN> conn, int most) {
    const Slot slot = take_slot(*gw.web_slots, most);
    if (slot == Slot::none) return 0;
    return serve(gw, std::move(conn), std::make_shared<SlotHold>(*gw.web_slots, slot));
}

void web_accept_loop(Gateway& gw, CHAN* listener, bool https) {
    std::unique_ptr<rini> reader = rini_init(gw.ini());
    const std::string allow = setting_text(reader.get(), WEB_ALLOW);
    int most = std::atoi(setting_text(reader.get(), WEB_MAX_CONNECTIONS).c_str());
    if (most <= 0) most = WEB_MAX_CONNECTIONS_DEFAULT;
    rini_free(reader);
    // Woken by a client or by the stop; nothing else happens here, so that no client,
    // however slow, can hold up the next one.
    while (gw.stop.load() == 0) {
        if (listener->sk < 0) {
            emsg("Web administration listener closed; no more connections are taken");
            break;
        }
        if (!wait_client_or_stop(gw, listener)) continue;
        std::unique_ptr<CHAN> c;
        if (!tcp_accept(listener, c) || !c || c->sk < 0) {
            const int err = c ? c->xerrno : 0;
            emsg("Web administration accept failed: %s", system_error(err).c_str());
            // Out of descriptors: give the connections being served a moment to end.
            lib_msleep(50);
            continue;
        }
        std::string ip;
        tcp_getip(c.get(), ip);
        if (!wild_list(ip, allow)) {
            imsg("Web connection from [%s] refused: not in web_allow", ip.c_str());
            continue;  // closed here, before a byte is read
        }
        const Slot slot = take_slot(*gw.web_slots, most);
        if (slot == Slot::none) {
            imsg(
                "Web connection from [%s] refused: %d connections and %d in reserve already "
                "open",
                ip.c_str(), most, WEB_RESERVE_CONNECTIONS);
            continue;
        }
        auto hold = std::make_shared<SlotHold>(*gw.web_slots, slot);
        if (https) {
            if (Status st = tcp_ssl_init(c.get(), 1, nullptr); !st) {
                imsg("SSL failed (%s)", st.error().reason.c_str());
                continue;
            }
        }
        if (!serve(gw, std::move(c), hold)) emsg("Failed to start a web administration thread");
    }
}

int web_accept_start(Gateway& gw, CHAN* listener, bool https) {
    if (!listener) return 0;
    return gw.threads.start([&gw, listener, https] { web_accept_loop(gw, listener, https); })
               ? 1
               : 0;
}

}  // namespace tolvane
