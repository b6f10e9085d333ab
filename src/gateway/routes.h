// Several transports behind one: the `transport NAME` sections and `route` lines of the
// settings file, and the transport that routes each SMS over them.
//
// route_table_parse reads the settings text into a RouteTable (the transports with their
// mode, receive flag, weight and modem device; the routes in file order) and checks what
// would make the gateway misroute: a route naming an unknown transport, a transport
// without a mode, two transports on one modem device. It is a pure function of the text.
//
// RoutePicker holds each transport's run state (failures in a row, resting until,
// sends outstanding, sent and failed today) and picks a transport for an SMS: the first
// route whose `match` (and `from`, when given) fits, then `failover` takes the first
// usable transport of its list and `share` the usable one with the fewest outstanding
// per weight. A transport is unusable while it is down and for the rest time after
// fail_limit failed sends in a row. One lock guards the state; no call blocks.
//
// RoutedTransport is an SmsTransport over the named transports (which it owns): the
// Gateway holds it where it holds a single transport, so the delivery lanes, the
// SMS-to-mail path and the status pages see one transport. A send picks a transport
// when it is made (not when it is queued); with none usable it ends `temporary` and the
// entry waits. A transport reaching the fail limit is asked to reset itself
// (reset_after_failures) before it rests. Receiving runs every receiving member's
// receiver on a thread of its own.
//
//   Result<RouteTable> t = route_table_parse(text, "tolvane.ini");
//   if (!t) report("Invalid setting: %s", t.reason().c_str());
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"
#include "sms/transport.h"

namespace tolvane {

enum class RouteStrategy { failover, share };

struct TransportDef {
    std::string name;
    int line = 0;         // of its `transport NAME` line
    int mode = SMS_NONE;  // SMS_GSM ...
    bool receive = false;
    int weight = 1;
    std::string device;  // gsm_com of a modem (its own, the global one, or the default)
};

struct RouteDef {
    int line = 0;
    std::string match = "*";       // wildcard on the E.164 destination
    std::string from;              // wildcard on the billing address or the user ("": any)
    std::vector<std::size_t> via;  // indexes into RouteTable::transports
    RouteStrategy strategy = RouteStrategy::failover;
};

struct RouteTable {
    std::vector<TransportDef> transports;  // in file order
    std::vector<RouteDef> routes;          // in file order; first match wins
};

// Reads the transport sections and route lines of a settings file's text. Without any
// transport section the table stays empty (the single transport of send_mode is used).
// Without route lines every SMS goes through all transports in file order (failover).
// The error's reason is "FILE line N: ...".
Result<RouteTable> route_table_parse(std::string_view text, const std::string& file);

// The outcome of a send for a transport's run state.
enum class SendOutcome { sent, failed, other };

struct MemberState {
    bool resting = false;
    long rest_left_s = 0;
    int failures = 0;  // in a row
    int outstanding = 0;
    long sent_today = 0;
    long failed_today = 0;
};

class RoutePicker {
  public:
    struct Limits {
        int fail_limit = 3;
        std::int64_t rest_ms = 600000;
    };
    RoutePicker(RouteTable table, Limits limits);

    // The first route that fits (from_keys: the billing address and the user); -1: none.
    int route_for(std::string_view to, std::initializer_list<std::string_view> from_keys) const;
    // Picks a usable transport of route (or prefer when it is usable; -1 for none) and
    // counts a send outstanding on it; nothing when none is usable.
    std::optional<std::size_t> pick(int route, const std::function<bool(std::size_t)>& up,
                                    int prefer, std::int64_t now_ms);
    // A send picked earlier ended; day: the local day it ended on (counts reset when it
    // changes). True when this failure makes the transport rest.
    bool finish(std::size_t member, SendOutcome o, std::int64_t now_ms, long day);
    bool usable(std::size_t member, bool up, std::int64_t now_ms) const;
    // Whether some transport of the route is usable.
    bool route_usable(int route, const std::function<bool(std::size_t)>& up,
                      std::int64_t now_ms) const;
    MemberState state(std::size_t member, std::int64_t now_ms, long day) const;
    const RouteTable& table() const { return table_; }

  private:
    struct Run {
        int failures = 0;
        std::int64_t rest_until = 0;
        int outstanding = 0;
        std::uint64_t picked = 0;
        long day = -1;
        long sent = 0;
        long failed = 0;
    };
    bool usable_locked(std::size_t m, bool up, std::int64_t now_ms) const;

    const RouteTable table_;
    const Limits limits_;
    mutable std::mutex lock_;
    std::vector<Run> runs_;  // guarded by lock_
};

class RoutedTransport : public SmsTransport {
  public:
    // members: one transport per table.transports entry, in the same order.
    RoutedTransport(int mode, RouteTable table, RoutePicker::Limits limits,
                    std::vector<std::unique_ptr<SmsTransport>> members);
    ~RoutedTransport() override;

    SendResult send(const SmsOut& sms) override;
    std::vector<SendResult> send_window(std::span<const SmsOut> items,
                                        const WindowHooks& hooks) override;
    bool can_receive() const override;
    Status receive(InboundSink& sink, std::stop_token stop) override;
    int inbound_threads() const override;
    bool up() const override;
    std::string state_text() const override;
    void cut_sends(bool hard) override;

    // Whether a route takes this destination (from_keys: sender, billing address, user).
    bool routes_to(std::string_view to, std::initializer_list<std::string_view> from_keys) const;
    // Whether an SMS to this destination could be sent now.
    bool usable_for(const SmsOut& sms) const;

    struct Member {
        std::string name;
        const SmsTransport* transport;
        bool receive;
        bool usable;
        std::string state;  // the transport's state, or why it rests
        MemberState run;
    };
    std::vector<Member> members() const;
    // Calls fn with each member transport, in table order (start-up gives them what the
    // gateway adds, such as the SMPP receipt handler).
    void for_each_member(const std::function<void(SmsTransport&)>& fn);
    // The routes none of whose transports is usable, by their match ("" when all can send).
    std::string routes_stuck() const;
    const RouteTable& table() const { return picker_.table(); }

  private:
    int prefer_of(const SmsOut& sms) const;
    SendError refusal(int route, const SmsOut& sms) const;
    // One SMS with fail-over; with hooks, each member sends it as a window of one, so that
    // an accepted SMS is told (hooks->after) while its member still holds it.
    SendResult send_one(const SmsOut& sms, const WindowHooks* hooks);
    void ended(std::size_t m, const SendResult& r);
    std::function<bool(std::size_t)> up_fn() const;

    RoutePicker picker_;
    std::vector<std::unique_ptr<SmsTransport>> members_;
};

// Whether t (a routed transport, or any other, which takes every destination) has a
// route for the destination.
bool route_known(const SmsTransport* t, std::string_view to,
                 std::initializer_list<std::string_view> from_keys);
// Milliseconds of the wall clock, and today's local day number (for the daily counts).
std::int64_t routes_now_ms();
long routes_day(std::int64_t now_ms);

}  // namespace tolvane
