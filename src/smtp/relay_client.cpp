// The mail sender (see relay_client.h): the engine's relay dialogue (relay_send.cpp) behind
// one call that says what went wrong.
#include "smtp/relay_client.h"

#include "foundation/lib.h"
#include "foundation/tracefile.h"

namespace tolvane {

Result<std::unique_ptr<RelayClient>> RelayClient::open(const smtp_init& init) {
    smtp_init relay = init;
    // Only the sending side: no listener, nothing to accept or authenticate.
    relay.listenport = 0;
    relay.auth = SMTP_AUTH_OFF;
    relay.tls = SMTP_TLS_NONE;
    int err = 0;
    std::unique_ptr<smtp_engine> engine = smtp_engine_open(relay, err);
    if (err != 0 || !engine) {
        std::string why;
        if (engine) engine->error(err, why);
        return Error{err, why.empty() ? "the relay sender cannot be set up" : why};
    }
    std::unique_ptr<RelayClient> c(new RelayClient());
    c->engine_ = std::move(engine);
    return c;
}

RelayClient::~RelayClient() = default;

Status RelayClient::send(const RelayMail& mail) {
    if (!engine_) return Error{SMTP_ECONNECT, "no relay"};
    // The dialogue's trace lines go out in one write when the mail is done (or when a read
    // has waited a second for the server), not one write a line.
    TraceHold trace_hold;
    smtp_message_extra extra;
    extra.headers = mail.headers;
    std::string failure;
    int err = engine_->send(&extra, mail.from, mail.to, mail.text, &failure);
    if (err == 0) return {};
    if (err == SMTP_ECUT) return Error{SMTP_ECUT, "the send was cut by a shutdown"};
    std::string why;
    engine_->error(err, why);
    // The relay's own words: the step that failed and what the server said.
    if (!failure.empty()) why = cut(why + " (" + failure + ")");
    return Error{err, why};
}

void RelayClient::cut_sends(bool hard) {
    if (engine_) engine_->cut_sends(hard);
}

const std::string& RelayClient::host() const {
    static const std::string none;
    return engine_ ? engine_->sendhost : none;
}

}  // namespace tolvane
