// MailSmsTransport: SMS sent to an e-mail-to-SMS provider, one mail per SMS, through a
// RelayClient (send_mode smtp).
//
// Each send mails the SMS text to its destination (a number becomes "<number>@<to
// domain>" in the relay client) from its originator; the SmsOut's labels are the mail's
// headers (the gateway passes the received mail's header copy on a first attempt). The
// provider's answer is the relay's: a refused or failed mail is a failed SMS (it counts
// against the SMS's retries), a send cut by a shutdown is `cut`. The transport receives
// nothing and is always up: a provider's state is only known by sending to it.
//
// Threads: send() may be called from many threads at once (each call has a connection of
// its own, or a kept idle one). Ownership: the transport owns its relay client.
#pragma once

#include <memory>
#include <string>

#include "sms/transport.h"
#include "smtp/relay_client.h"

namespace tolvane {

class MailSmsTransport : public SmsTransport {
  public:
    MailSmsTransport(std::string name, std::unique_ptr<RelayClient> relay);
    // Opens the relay client of init; the error of its set-up when it fails.
    static Result<std::unique_ptr<MailSmsTransport>> open(std::string name, const smtp_init& init);

    SendResult send(const SmsOut& sms) override;
    void cut_sends(bool hard) override;

    RelayClient& relay() { return *relay_; }

  private:
    std::unique_ptr<RelayClient> relay_;
};

}  // namespace tolvane
