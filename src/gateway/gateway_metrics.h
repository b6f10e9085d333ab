// The gateway's counts of what passes through it, kept in the process metrics
// (foundation/metrics.h) for /metrics and the status page.
//
// Each function looks its metric up once (the first call, under the registry's lock) and
// then only touches an atomic, so the message paths may call them on every mail and SMS.
// A transport is labelled with its mode name (delivery_name: "gsm", "smpp", ...).
//
// Counting rules: every mail that gets past the client check is "received" and ends
// either "accepted" (250) or "refused" with one reason (recipient: none of its
// recipients was taken; sender; limit; storage; data: its text never arrived), so
// received = accepted + refused once the dialogue is over. An SMS is "sent" when the
// transport took it and "failed" when it was given up (retries spent or expired in the
// queue); the time from the mail's acceptance to that moment goes into the histogram.
//
//   gateway_count_mail(MAIL_ACCEPTED);
//   gateway_count_sms_sent(SMS_SMPP, seconds_since_accepted);
#pragma once

#include <string>

namespace tolvane {

enum GatewayMailOutcome {
    MAIL_RECEIVED,
    MAIL_ACCEPTED,
    MAIL_REFUSED_RECIPIENT,
    MAIL_REFUSED_SENDER,
    MAIL_REFUSED_LIMIT,
    MAIL_REFUSED_STORAGE,
    MAIL_REFUSED_DATA,
    MAIL_OUTCOMES
};

void gateway_count_mail(GatewayMailOutcome what);
// A client refused before its dialogue (accept_ip or a client-address limit).
void gateway_count_client_refused();
void gateway_count_sms_sent(int mode, double seconds_since_accepted);
void gateway_count_sms_failed(int mode);
void gateway_count_sms_received(int mode);
// The same for an SMS a route sent through a named transport (labelled with its name).
void gateway_count_sms_sent_via(const std::string& transport, double seconds_since_accepted);
void gateway_count_sms_failed_via(const std::string& transport);
void gateway_count_relayed(bool ok);
enum GatewayWebhookOutcome { WEBHOOK_DELIVERED, WEBHOOK_RETRIED, WEBHOOK_FAILED };
void gateway_count_webhook(GatewayWebhookOutcome what);
// One answered HTTP API request: its route ("send", "status", "openapi", "sendsms",
// "other"), its status code and how long it took.
void gateway_count_api(const char* route, int status, double seconds);

}  // namespace tolvane
