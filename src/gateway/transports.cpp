// The transport factory: see transports.h.
#include "gateway/transports.h"

#include "foundation/lib.h"
#include "sms/sms_xml.h"

namespace tolvane {

namespace {

// TEMPORARY BRIDGE, to go when the SMTP library (its e-mail-to-SMS provider transport)
// lands: the old SMTP transport (sms_smtp) made to look like an SmsTransport for
// delivery_mode smtp. It only sends: the labels become the mail's extra headers, a send
// cut by the shutdown is SendFailure::cut and every other failure is failed.
class SmtpSendBridge : public SmsTransport {
  public:
    explicit SmtpSendBridge(std::unique_ptr<sms> inner)
        : SmsTransport(SMS_SMTP, "SMTP"), inner_(std::move(inner)) {
        inner_->set_state_watcher([this] { state_changed(); });
    }
    ~SmtpSendBridge() override {
        inner_->set_state_watcher(nullptr);
        sms_free(inner_);
    }

    SendResult send(const SmsOut& out) override {
        smtp_message_extra extra;
        if (out.labels != nullptr) extra.headers = *out.labels;
        int err = sms_send(inner_.get(), out.labels != nullptr ? &extra : nullptr, out.from, out.to,
                           out.text);
        if (err == 0) return Sent{};
        return SendError{err == SMS_SEND_CUT ? SendFailure::cut : SendFailure::failed, err,
                         sms_error_text(inner_.get(), err)};
    }
    bool up() const override { return inner_->up(); }
    std::string state_text() const override { return inner_->state_text(); }
    bool tells_state() const override { return inner_->tells_state(); }
    void cut_sends(bool hard) override { inner_->cut_sends(hard); }

  private:
    std::unique_ptr<sms> inner_;
};

using Opened = Result<std::unique_ptr<SmsTransport>>;

Opened open_one(const gsm_init& o) {
    return sms_gsm_init(o);
}
Opened open_one(const smpp_init& o) {
    return sms_smpp_init(o);
}
Opened open_one(const xml_init&) {
    return sms_xml_init();
}
Opened open_one(const smtp_init& o) {
    int err = 0;
    std::unique_ptr<sms> s = sms_smtp_init(o, err);
    if (!s || err != 0) {
        std::string why = sms_error_text(s.get(), err);
        sms_free(s);
        return Error{err, why};
    }
    return std::unique_ptr<SmsTransport>(std::make_unique<SmtpSendBridge>(std::move(s)));
}
Opened open_one(const robot_init& o) {
    return sms_robot_init(o);
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

Result<std::unique_ptr<SmsTransport>> transport_open(const transport_options& o) {
    if (!transport_built(transport_mode(o)))
        return Error{-1, strprintf("the %s transport is not part of this build",
                                   sms_mode_name(transport_mode(o)))};
    return std::visit([](const auto& rec) { return open_one(rec); }, o);
}

}  // namespace tolvane
