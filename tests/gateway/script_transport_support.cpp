// The scripted SMS transport: see script_transport.h.
#include "script_transport.h"

namespace tolvane::test {

namespace {

struct ScriptInit : sms_init_record {
    Script* script = nullptr;
};
class ScriptDriver : public sms_driver {
  public:
    Script* script = nullptr;
};
Script* script_of(sms_driver* d) {
    return static_cast<ScriptDriver*>(d)->script;
}
TestSms* sms_of(sms_message* m) {
    return static_cast<TestSms*>(m);
}

std::unique_ptr<sms_driver> s_init(sms*, const sms_init_record* init, int&) {
    auto d = std::make_unique<ScriptDriver>();
    d->script = static_cast<const ScriptInit*>(init)->script;
    return d;
}
void s_free(std::unique_ptr<sms_driver>& s) {
    s.reset();
}
int s_recv(sms_driver*, sms_message* m) {
    return sms_of(m)->recv_result;
}
int s_send(sms_driver* d, const smtp_message_extra* extra, std::string_view from,
           std::string_view to, std::string_view text) {
    Script* sc = script_of(d);
    Sent s{std::string(from), std::string(to), std::string(text), extra != nullptr, {}};
    if (extra) s.headers = extra->headers;
    std::lock_guard<std::mutex> g(sc->m);
    sc->sent.push_back(std::move(s));
    if (sc->results.empty()) return 0;
    int r = sc->results.front();
    sc->results.pop_front();
    return r;
}
std::unique_ptr<sms_message> s_wait(sms_driver* d, int, int& err) {
    Script* sc = script_of(d);
    std::lock_guard<std::mutex> g(sc->m);
    if (sc->inbox.empty()) {
        if (sc->end_code != 0) err = sc->end_code;
        return nullptr;
    }
    std::unique_ptr<sms_message> m = std::move(sc->inbox.front());
    sc->inbox.pop_front();
    return m;
}
void s_error(sms_driver*, int err, std::string& bf) {
    bf = "scripted failure " + std::to_string(err);
}
const char* s_ip(sms_driver*, sms_message*) {
    return "";
}
const char* s_from(sms_driver*, sms_message* m) {
    return sms_of(m)->from.c_str();
}
const char* s_to(sms_driver*, sms_message* m) {
    return sms_of(m)->to.c_str();
}
const char* s_body(sms_driver*, sms_message* m) {
    return sms_of(m)->body.c_str();
}
int s_reject(sms_driver* d, sms_message*, int code, const char*) {
    Script* sc = script_of(d);
    std::lock_guard<std::mutex> g(sc->m);
    sc->rejected.push_back(code);
    return 0;
}
int s_accept(sms_driver* d, sms_message*, int code, const char*) {
    Script* sc = script_of(d);
    std::lock_guard<std::mutex> g(sc->m);
    sc->accepted.push_back(code);
    return 0;
}
void s_msgfree(sms_driver* d, std::unique_ptr<sms_message>& m) {
    if (m) ++script_of(d)->freed;
    m.reset();
}

const sms_mode_fn_pointers script_row = {s_init, s_free, s_recv, s_send,   s_wait,   s_error,  s_ip,
                                         s_from, s_to,   s_body, s_reject, s_accept, s_msgfree};

}  // namespace

std::unique_ptr<sms> script_handle(int mode, Script* sc) {
    ScriptInit init;
    init.script = sc;
    return sms_init_row(&script_row, mode, &init);
}

std::unique_ptr<TestSms> an_sms(const std::string& from, const std::string& body,
                                const std::string& to) {
    auto m = std::make_unique<TestSms>();
    m->from = from;
    m->to = to;
    m->body = body;
    return m;
}

}  // namespace tolvane::test
