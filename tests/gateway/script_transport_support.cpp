// The scripted SMS transport: see script_transport.h.
#include "script_transport.h"

namespace tolvane::test {

namespace {

TestSms* sms_of(sms_message* m) {
    return static_cast<TestSms*>(m);
}

class ScriptTransport : public sms {
  public:
    ScriptTransport(int mode, Script* sc) : sms(mode), sc_(sc) {}

    int send(const smtp_message_extra* extra, std::string_view from, std::string_view to,
             std::string_view text) override {
        Sent s{std::string(from), std::string(to), std::string(text), extra != nullptr, {}};
        if (extra) s.headers = extra->headers;
        std::lock_guard<std::mutex> g(sc_->m);
        sc_->sent.push_back(std::move(s));
        if (sc_->results.empty()) return 0;
        int r = sc_->results.front();
        sc_->results.pop_front();
        return r;
    }
    std::unique_ptr<sms_message> wait(int, int& err) override {
        std::lock_guard<std::mutex> g(sc_->m);
        if (sc_->inbox.empty()) {
            if (sc_->end_code != 0) err = sc_->end_code;
            return nullptr;
        }
        std::unique_ptr<sms_message> m = std::move(sc_->inbox.front());
        sc_->inbox.pop_front();
        return m;
    }
    void error(int err, std::string& bf) override {
        bf = "scripted failure " + std::to_string(err);
    }
    int msg_recv(sms_message* m) override { return sms_of(m)->recv_result; }
    const char* msg_fromip(sms_message*) override { return ""; }
    const char* msg_from(sms_message* m) override { return sms_of(m)->from.c_str(); }
    const char* msg_to(sms_message* m) override { return sms_of(m)->to.c_str(); }
    const char* msg_body(sms_message* m) override { return sms_of(m)->body.c_str(); }
    int msg_reject(sms_message*, int code, const char*) override {
        std::lock_guard<std::mutex> g(sc_->m);
        sc_->rejected.push_back(code);
        return 0;
    }
    int msg_accept(sms_message*, int code, const char*) override {
        std::lock_guard<std::mutex> g(sc_->m);
        sc_->accepted.push_back(code);
        return 0;
    }
    void msg_free(std::unique_ptr<sms_message>& m) override {
        if (m) ++sc_->freed;
        m.reset();
    }

  private:
    Script* sc_;
};

}  // namespace

std::unique_ptr<sms> script_handle(int mode, Script* sc) {
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
