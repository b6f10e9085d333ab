// RelayClient: the mail sender. Each send mails one plain-text message (quoted-printable
// body, the given headers first) through the configured relay server.
//
// The dialogue: EHLO (HELO when EHLO is refused), STARTTLS when the relay offers it or
// the settings insist (the relay's certificate checked for its name unless told not to),
// AUTH PLAIN or LOGIN when an account is set, MAIL, RCPT, DATA, QUIT. A recipient or
// sender without "@" gets the configured domain. With relay_keep the connection is kept
// open between mails (RSET before each further one, a new connection when that fails);
// otherwise each send has a connection of its own.
//
// Threads: send() may be called from many threads at once; each call has its own
// connection (an idle kept one, or a new one). cut_sends() may be called from any thread:
// the sends under way fail at once, and every later one too (shutdown).
//
// Ownership: whoever opened the client owns it; it owns its kept connections (closed
// with QUIT when it goes) and its dialogue trace file.
//
//   auto relay = RelayClient::open(settings);
//   Status s = (*relay)->send({.from = "+61412345678@sms", .to = "ann@example.org",
//                              .text = "Hi", .headers = {{"Subject", "SMS"}}});
//   if (!s) log("%s", s.reason().c_str());
#pragma once

#include <memory>
#include <string>

#include "foundation/result.h"
#include "mail/mail_headers.h"
#include "smtp/engine.h"

namespace tolvane {

// One mail to relay. The texts are only read during the call.
struct RelayMail {
    std::string from;      // envelope and header sender; without "@": the from domain added
    std::string to;        // recipient; without "@": the to domain added
    std::string text;      // the body, sent quoted-printable
    mail_headers headers;  // headers to send (Subject, X-...), in order
};

class RelayClient {
  public:
    // The relay part of init (sendhost, sendport, todom, fromdom, outuser, outpass,
    // relay_keep, relay timeouts, out_tls, smtplog). Never fails today; an error would
    // carry its reason.
    static Result<std::unique_ptr<RelayClient>> open(const smtp_init& init);
    virtual ~RelayClient();
    RelayClient(const RelayClient&) = delete;
    RelayClient& operator=(const RelayClient&) = delete;

    // Sends one mail. Error codes: SMTP_ECONNECT, SMTP_EREAD, SMTP_EWRITE, SMTP_ECLOSED,
    // SMTP_EREPLY (the reason carries the relay's own words), SMTP_ECUT after cut_sends
    // (whether the relay took the mail is then unknown).
    virtual Status send(const RelayMail& mail);
    // Shuts the connections of sends under way; they and every later send fail.
    virtual void cut_sends(bool hard);
    // The relay's host as configured, for status pages.
    const std::string& host() const;

  protected:
    // A stand-in with no relay behind it (tests derive their recorders from it).
    RelayClient() = default;

  private:
    std::unique_ptr<smtp_engine> engine_;
};

}  // namespace tolvane
