// The transport factory: see transports.h.
#include "gateway/transports.h"

#include "sms/sms_gsm.h"
#include "sms/sms_smpp.h"
#include "sms/sms_xml.h"
#include "smtp/mail_sms_transport.h"

namespace tolvane {

namespace {

// TEMPORARY BRIDGE, goes once Send is an SmsTransport: the gateway still holds its
// sending transport as an `sms`, so the e-mail-to-SMS provider (MailSmsTransport) is
// wrapped in one. send() is the transport's send, the copied headers as its labels; a
// cut send is SMS_SEND_CUT. It receives nothing: the message operations answer as a
// transport with no message would.
class MailSmsBridge : public sms {
  public:
    explicit MailSmsBridge(std::unique_ptr<MailSmsTransport> t)
        : sms(SMS_SMTP), t_(std::move(t)) {}
    int send(const smtp_message_extra* extra, std::string_view from, std::string_view to,
             std::string_view text) override {
        SendResult r = t_->send({.from = from, .to = to, .text = text,
                                 .labels = extra != nullptr ? &extra->headers : nullptr});
        if (r) return 0;
        if (r.error().kind == SendFailure::cut) return SMS_SEND_CUT;
        last_reason() = r.error().reason;
        return r.error().code != 0 ? r.error().code : SMTP_EREPLY;
    }
    std::unique_ptr<sms_message> wait(int, int&) override { return nullptr; }
    // The reason of this thread's last failed send (the codes are the relay's).
    void error(int err, std::string& bf) override {
        if (err != 0) bf = last_reason().empty() ? "Unknown Error Code" : last_reason();
    }
    int msg_recv(sms_message*) override { return SMTP_ECLOSED; }
    const char* msg_fromip(sms_message*) override { return nullptr; }
    const char* msg_from(sms_message*) override { return nullptr; }
    const char* msg_to(sms_message*) override { return nullptr; }
    const char* msg_body(sms_message*) override { return nullptr; }
    int msg_reject(sms_message*, int, const char*) override { return SMTP_ECLOSED; }
    int msg_accept(sms_message*, int, const char*) override { return SMTP_ECLOSED; }
    void msg_free(std::unique_ptr<sms_message>& msg) override { msg.reset(); }
    bool tells_state() const override { return true; }
    void cut_sends(bool hard) override { t_->cut_sends(hard); }

  private:
    static std::string& last_reason() {
        thread_local std::string why;
        return why;
    }
    std::unique_ptr<MailSmsTransport> t_;
};

std::unique_ptr<sms> open_one(const gsm_init& o, int& err) {
    return sms_gsm_init(o, err);
}
std::unique_ptr<sms> open_one(const smpp_init& o, int& err) {
    return sms_smpp_init(o, err);
}
std::unique_ptr<sms> open_one(const xml_init&, int&) {
    return sms_xml_init();
}
std::unique_ptr<sms> open_one(const smtp_init& o, int& err) {
    auto t = MailSmsTransport::open("smtp", o);
    if (!t) {
        err = t.error().code != 0 ? t.error().code : SMTP_ECONNECT;
        return nullptr;
    }
    return std::make_unique<MailSmsBridge>(std::move(*t));
}
std::unique_ptr<sms> open_one(const robot_init& o, int& err) {
    return sms_robot_init(o, err);
}

}  // namespace

bool transport_built(int mode) {
    switch (mode) {
        case SMS_GSM:
            return SMS_GSM_BUILT;
        case SMS_SMPP:
            return SMS_SMPP_BUILT;
        case SMS_XML:
        case SMS_SMTP:
        case SMS_ROBOT:
            return true;
        default:
            return false;
    }
}

std::unique_ptr<sms> transport_open(const transport_options& o, int& errcode) {
    errcode = 0;
    if (!transport_built(transport_mode(o))) {
        errcode = -1;
        return nullptr;
    }
    return std::visit([&errcode](const auto& rec) { return open_one(rec, errcode); }, o);
}

}  // namespace tolvane
