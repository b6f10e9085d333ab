// The transport that routes each SMS over several named transports: see routes.h.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/routes.h"

namespace tolvane {

RoutedTransport::RoutedTransport(int mode, RouteTable table, RoutePicker::Limits limits,
                                 std::vector<std::unique_ptr<SmsTransport>> members)
    : SmsTransport(mode, "routes"),
      picker_(std::move(table), limits),
      members_(std::move(members)) {
    // A member coming up or going down wakes whoever watches the routed transport.
    for (auto& m : members_) m->set_state_watcher([this] { state_changed(); });
}

RoutedTransport::~RoutedTransport() {
    for (auto& m : members_) m->set_state_watcher(nullptr);
}

std::function<bool(std::size_t)> RoutedTransport::up_fn() const {
    return [this](std::size_t m) { return members_[m]->up(); };
}

int RoutedTransport::prefer_of(const SmsOut& sms) const {
    if (sms.via == nullptr) return -1;
    for (std::size_t i = 0; i < members_.size(); ++i)
        if (members_[i].get() == sms.via) return static_cast<int>(i);
    return -1;
}

SendError RoutedTransport::refusal(int route, const SmsOut& sms) const {
    if (route < 0)
        return SendError{SendFailure::failed, 0, "No route (" + std::string(sms.to) + ")"};
    // Nothing of the route can carry it now: the entry waits, no attempt held against it.
    return SendError{SendFailure::temporary, 0,
                     "no usable transport for (" + std::string(sms.to) + ")"};
}

void RoutedTransport::ended(std::size_t m, const SendResult& r) {
    SendOutcome o = SendOutcome::other;
    if (r)
        o = SendOutcome::sent;
    else if (r.error().kind == SendFailure::failed)
        o = SendOutcome::failed;
    const std::int64_t now = routes_now_ms();
    if (!picker_.finish(m, o, now, routes_day(now))) return;
    const std::string& name = picker_.table().transports[m].name;
    imsg("Transport %s failed %d sends in a row: it is reset and rests", name.c_str(),
         picker_.state(m, now, routes_day(now)).failures);
    members_[m]->reset_after_failures();
    state_changed();
}

namespace {

// A result as the caller sees it: it names the transport that carried the SMS.
void tag(SendResult& r, const std::string& name) {
    if (r) {
        r->transport = name;
    } else {
        r.error().transport = name;
        if (r.error().kind != SendFailure::cut) r.error().reason += " (via " + name + ")";
    }
}

}  // namespace

SendResult RoutedTransport::send(const SmsOut& sms) {
    return send_one(sms, nullptr);
}

SendResult RoutedTransport::send_one(const SmsOut& sms, const WindowHooks* hooks) {
    const int route = picker_.route_for(sms.to, {sms.billing, sms.user});
    int prefer = prefer_of(sms);
    // A transport that went down under the send did not take the SMS: the next usable
    // one of the route gets it at once, once per transport at most.
    SendResult r = refusal(route, sms);
    const std::size_t tries_max = route < 0 && prefer < 0 ? 0 : members_.size();
    for (std::size_t tries = 0; tries < tries_max; ++tries) {
        std::optional<std::size_t> m = picker_.pick(route, up_fn(), prefer, routes_now_ms());
        if (!m) {
            r = refusal(route, sms);
            break;
        }
        const std::string& name = picker_.table().transports[*m].name;
        if (hooks == nullptr) {
            r = members_[*m]->send(sms);
        } else {
            // Only an accepted SMS is told from inside: a failure may still go on to the
            // next transport, and is told once it is final.
            WindowHooks h;
            h.go_on = hooks->go_on;
            h.after = [&](std::size_t, const SendResult& got) {
                if (!got || !hooks->after) return;
                SendResult c = got;
                tag(c, name);
                hooks->after(0, c);
            };
            r = std::move(members_[*m]->send_window(std::span<const SmsOut>(&sms, 1), h)[0]);
        }
        ended(*m, r);
        tag(r, name);
        if (r || r.error().kind != SendFailure::temporary || members_[*m]->up()) break;
        prefer = -1;
    }
    if (!r && hooks != nullptr && hooks->after) hooks->after(0, r);
    return r;
}

std::vector<SendResult> RoutedTransport::send_window(std::span<const SmsOut> items,
                                                     const WindowHooks& hooks) {
    std::vector<SendResult> out(items.size(),
                                SendError{SendFailure::cut, 0, "not sent: the batch was stopped"});
    if (items.size() == 1) {
        // One SMS (a worker's single entry, a retry) fails over as send() does.
        const std::size_t first[1] = {0};
        if (hooks.go_on && !hooks.go_on()) return out;
        if (hooks.before && !hooks.before(std::span<const std::size_t>(first))) return out;
        out[0] = send_one(items[0], &hooks);
        return out;
    }
    // Each item's transport, picked now; the items of one transport go out together.
    std::vector<std::size_t> order;
    std::vector<std::vector<std::size_t>> groups(members_.size());
    const std::int64_t now = routes_now_ms();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int route = picker_.route_for(items[i].to, {items[i].billing, items[i].user});
        const int prefer = prefer_of(items[i]);
        std::optional<std::size_t> m;
        if (route >= 0 || prefer >= 0) m = picker_.pick(route, up_fn(), prefer, now);
        if (!m) {
            out[i] = refusal(route, items[i]);
            continue;
        }
        if (groups[*m].empty()) order.push_back(*m);
        groups[*m].push_back(i);
    }
    for (std::size_t m : order) {
        const std::vector<std::size_t>& idx = groups[m];
        const std::string& name = picker_.table().transports[m].name;
        std::vector<SmsOut> sub;
        sub.reserve(idx.size());
        for (std::size_t i : idx) sub.push_back(items[i]);
        WindowHooks h;
        h.before = [&](std::span<const std::size_t> s) {
            if (!hooks.before) return true;
            std::vector<std::size_t> outer;
            outer.reserve(s.size());
            for (std::size_t j : s) outer.push_back(idx[j]);
            return hooks.before(outer);
        };
        h.after = [&](std::size_t j, const SendResult& r) {
            if (!hooks.after) return;
            SendResult c = r;
            tag(c, name);
            hooks.after(idx[j], c);
        };
        h.go_on = hooks.go_on;
        std::vector<SendResult> res = members_[m]->send_window(sub, h);
        for (std::size_t j = 0; j < idx.size(); ++j) {
            ended(m, res[j]);
            tag(res[j], name);
            out[idx[j]] = std::move(res[j]);
        }
    }
    return out;
}

bool RoutedTransport::can_receive() const {
    for (const TransportDef& t : picker_.table().transports)
        if (t.receive) return true;
    return false;
}

Status RoutedTransport::receive(InboundSink& sink, std::stop_token stop) {
    // One thread per receiving transport, each until its own stop; this thread waits for
    // the outer stop, then asks every one of them at once and joins them.
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (!picker_.table().transports[i].receive || !members_[i]->can_receive()) continue;
        SmsTransport* t = members_[i].get();
        std::string name = picker_.table().transports[i].name;
        try {
            threads.emplace_back([t, name, &sink](std::stop_token own) {
                if (Status s = t->receive(sink, own); !s)
                    emsg("'Other' receiver of %s error %d:%s", name.c_str(), s.error().code,
                         s.reason().c_str());
            });
        } catch (const std::system_error& e) {
            emsg("Cannot start the receiving thread of %s: %s", name.c_str(), e.what());
        }
    }
    std::mutex mu;
    std::condition_variable_any cv;
    {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, stop, [] { return false; });
    }
    for (std::jthread& t : threads) t.request_stop();
    for (std::jthread& t : threads) t.join();
    return Status{};
}

int RoutedTransport::inbound_threads() const {
    int n = 0;
    for (std::size_t i = 0; i < members_.size(); ++i)
        if (picker_.table().transports[i].receive) n += members_[i]->inbound_threads();
    return n > 0 ? n : 1;
}

bool RoutedTransport::up() const {
    const std::int64_t now = routes_now_ms();
    for (std::size_t i = 0; i < members_.size(); ++i)
        if (picker_.usable(i, members_[i]->up(), now)) return true;
    return false;
}

std::string RoutedTransport::state_text() const {
    const std::string stuck = routes_stuck();
    return stuck.empty() ? "up" : stuck;
}

void RoutedTransport::cut_sends(bool hard) {
    for (auto& m : members_) m->cut_sends(hard);
}

bool RoutedTransport::routes_to(std::string_view to,
                                std::initializer_list<std::string_view> from_keys) const {
    return picker_.route_for(to, from_keys) >= 0;
}

bool RoutedTransport::usable_for(const SmsOut& sms) const {
    const std::int64_t now = routes_now_ms();
    const int prefer = prefer_of(sms);
    if (prefer >= 0 &&
        picker_.usable(static_cast<std::size_t>(prefer), members_[prefer]->up(), now))
        return true;
    const int route = picker_.route_for(sms.to, {sms.billing, sms.user});
    // Without a route the send itself says so (and fails for good).
    return route < 0 || picker_.route_usable(route, up_fn(), now);
}

void RoutedTransport::for_each_member(const std::function<void(SmsTransport&)>& fn) {
    for (auto& m : members_) fn(*m);
}

std::vector<RoutedTransport::Member> RoutedTransport::members() const {
    std::vector<Member> out;
    const std::int64_t now = routes_now_ms();
    const long day = routes_day(now);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const TransportDef& d = picker_.table().transports[i];
        const bool up = members_[i]->up();
        Member m{d.name, members_[i].get(),         d.receive, picker_.usable(i, up, now),
                 {},     picker_.state(i, now, day)};
        std::string s = members_[i]->state_text();
        if (s.empty()) s = up ? "up" : "down";
        if (m.run.resting)
            s = strprintf("resting %ld s after failed sends (%s)", m.run.rest_left_s, s.c_str());
        m.state = s;
        out.push_back(std::move(m));
    }
    return out;
}

std::string RoutedTransport::routes_stuck() const {
    std::string out;
    const std::int64_t now = routes_now_ms();
    for (std::size_t r = 0; r < picker_.table().routes.size(); ++r) {
        if (picker_.route_usable(static_cast<int>(r), up_fn(), now)) continue;
        if (!out.empty()) out += ", ";
        out += "no usable transport for route " + picker_.table().routes[r].match;
    }
    return out;
}

bool route_known(const SmsTransport* t, std::string_view to,
                 std::initializer_list<std::string_view> from_keys) {
    const auto* routed = dynamic_cast<const RoutedTransport*>(t);
    return routed == nullptr || routed->routes_to(to, from_keys);
}

}  // namespace tolvane
