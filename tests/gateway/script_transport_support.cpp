// The scripted SMS transports: see script_transport.h.
#include "gateway/script_transport.h"

#include <chrono>

#include "sms/sms_smpp.h"

namespace tolvane::test {

namespace {

TestSms* sms_of(sms_message* m) {
    return static_cast<TestSms*>(m);
}

// The next scripted send result (0 once they are used up); the send recorded.
int next_result(Script* sc, Sent s) {
    std::lock_guard<std::mutex> g(sc->m);
    sc->sent.push_back(std::move(s));
    if (sc->results.empty()) return 0;
    int r = sc->results.front();
    sc->results.pop_front();
    return r;
}

}  // namespace

SendResult ScriptTransport::send(const SmsOut& out) {
    Sent s{std::string(out.from), std::string(out.to), std::string(out.text),
           out.labels != nullptr, {}, out.want_receipt};
    if (out.labels) s.headers = *out.labels;
    const int r = next_result(sc_, std::move(s));
    if (r == 0) return tolvane::Sent{};
    SendFailure kind = r == SMS_SEND_CUT   ? SendFailure::cut
                       : mode() == SMS_SMPP ? smpp_failure_kind(r)
                                            : SendFailure::failed;
    std::string why;
    error(r, why);
    return SendError{kind, r, why};
}

std::unique_ptr<sms_message> ScriptTransport::wait(int timeout_msec, int& err) {
    std::unique_lock<std::mutex> g(sc_->m);
    auto ready = [this] { return interrupted_ || !sc_->inbox.empty() || sc_->end_code != 0; };
    if (timeout_msec < 0)
        sc_->changed.wait(g, ready);
    else
        sc_->changed.wait_for(g, std::chrono::milliseconds(timeout_msec), ready);
    interrupted_ = false;
    if (sc_->inbox.empty()) {
        if (sc_->end_code != 0) err = sc_->end_code;
        return nullptr;
    }
    std::unique_ptr<sms_message> m = std::move(sc_->inbox.front());
    sc_->inbox.pop_front();
    return m;
}

void ScriptTransport::interrupt() {
    {
        std::lock_guard<std::mutex> g(sc_->m);
        interrupted_ = true;
    }
    sc_->changed.notify_all();
}

int ScriptTransport::msg_recv(sms_message* m) {
    return sms_of(m)->recv_result;
}
const char* ScriptTransport::msg_from(sms_message* m) {
    return sms_of(m)->from.c_str();
}
const char* ScriptTransport::msg_to(sms_message* m) {
    return sms_of(m)->to.c_str();
}
const char* ScriptTransport::msg_body(sms_message* m) {
    return sms_of(m)->body.c_str();
}

int ScriptTransport::msg_reject(sms_message*, int code, const char*) {
    std::lock_guard<std::mutex> g(sc_->m);
    sc_->rejected.push_back(code);
    return 0;
}

int ScriptTransport::msg_accept(sms_message*, int code, const char*) {
    std::lock_guard<std::mutex> g(sc_->m);
    sc_->accepted.push_back(code);
    return 0;
}

void ScriptTransport::msg_free(std::unique_ptr<sms_message>& m) {
    if (m) ++sc_->freed;
    m.reset();
}

std::unique_ptr<ScriptTransport> script_transport(int mode, Script* sc) {
    return std::make_unique<ScriptTransport>(mode, sc);
}

std::unique_ptr<TestSms> an_sms(const std::string& from, const std::string& body,
                                const std::string& to) {
    auto m = std::make_unique<TestSms>();
    m->from = from;
    m->to = to;
    m->body = body;
    return m;
}

namespace {

class ScriptRelay : public RelayClient {
  public:
    explicit ScriptRelay(Script* sc) : sc_(sc) {}
    Status send(const RelayMail& mail) override {
        std::lock_guard<std::mutex> g(sc_->m);
        sc_->sent.push_back(Sent{mail.from, mail.to, mail.text, true, mail.headers});
        if (sc_->results.empty()) return {};
        int r = sc_->results.front();
        sc_->results.pop_front();
        if (r == 0) return {};
        if (r == SMS_SEND_CUT) return Error{SMTP_ECUT, "cut"};
        return Error{r, "scripted failure " + std::to_string(r)};
    }

  private:
    Script* sc_;
};

}  // namespace

std::unique_ptr<RelayClient> script_relay(Script* sc) {
    return std::make_unique<ScriptRelay>(sc);
}

}  // namespace tolvane::test
