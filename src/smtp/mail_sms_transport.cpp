// SMS by mail to a provider (see mail_sms_transport.h).
#include "smtp/mail_sms_transport.h"


namespace tolvane {

MailSmsTransport::MailSmsTransport(std::string name, std::unique_ptr<RelayClient> relay)
    : SmsTransport(SMS_SMTP, std::move(name)), relay_(std::move(relay)) {}

Result<std::unique_ptr<MailSmsTransport>> MailSmsTransport::open(std::string name,
                                                                 const smtp_init& init) {
    auto relay = RelayClient::open(init);
    if (!relay) return relay.error();
    return std::make_unique<MailSmsTransport>(std::move(name), std::move(*relay));
}

SendResult MailSmsTransport::send(const SmsOut& sms) {
    RelayMail mail;
    mail.from = std::string(sms.from);
    mail.to = std::string(sms.to);
    mail.text = std::string(sms.text);
    if (sms.labels != nullptr) mail.headers = *sms.labels;
    Status s = relay_->send(mail);
    if (s) return Sent{};
    SendError e;
    e.kind = s.error().code == SMTP_ECUT ? SendFailure::cut : SendFailure::failed;
    e.code = s.error().code;
    e.reason = s.error().reason;
    return e;
}

void MailSmsTransport::cut_sends(bool hard) {
    relay_->cut_sends(hard);
}

}  // namespace tolvane
