// What the status page, /health and /metrics know of the running gateway: the state of
// the mail listener and of each SMS transport, today's outcomes from the records store
// (the gateway's records store, Gateway::state: the day files, or the shared database),
// and the queue.
//
// web_status_install_probe gives the web channel (web_set_health_probe) a probe over
// the gateway's SMTP server, its send and receive transports, and with a shared store its database
// ("database", role "store", "connected" or "lost"); the gateway installs it once they
// are open and removes it before it closes them. web_day_summary reads today's day
// files (YYYYMMDD.rec: mail to SMS, YYYYMMDD.log: SMS to mail) of a directory through a
// DayFileReader, which reads only what was appended since its last call.
//
// Ownership: the summaries are plain values. Limits: the last WEB_STATUS_OUTCOMES
// outcomes are shown.
//
//   DayFileReader reader;
//   day_summary d = web_day_summary(reader, workpath, std::time(nullptr), gw.delimiter);
//   // d.sent, d.failed, d.received, d.last (newest first)
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/tpl.h"

namespace tolvane {

class Gateway;
class DayFileReader;

inline constexpr std::size_t WEB_STATUS_OUTCOMES = 20;

struct record_outcome {
    std::string direction;  // "mail to SMS" (.rec) or "SMS to mail" (.log)
    std::string status;     // SUCCESS, FAILURE, ...
    std::string client;
    std::string from;
    std::string to;
    std::string when;  // as written, "Tue Dec  8 13:24:42 2026"
    std::string text;
    long seq = 0;  // order of reading, to sort the two files together
};

struct day_summary {
    int sent = 0;      // SUCCESS lines of the .rec file
    int failed = 0;    // FAILURE lines of the .rec file
    int received = 0;  // lines of the .log file for an SMS that came in (client "SMS")
    std::vector<record_outcome> last;  // newest first, at most WEB_STATUS_OUTCOMES
};

// One record line ("STATUS|client|from|to|time|text|", split at delim; the text may hold
// the delimiter). False for a line with fewer than six fields.
bool web_parse_record(std::string_view line, char delim, record_outcome& out);

// Today's figures and last outcomes (local date of now) from the day files in dir, read
// on from where reader stopped.
day_summary web_day_summary(DayFileReader& reader, const std::string& dir, std::time_t now,
                            char delim);

// Installs (or, with install false, removes) the probe over gw's SMTP server and SMS
// transports (gw must outlive it).
void web_status_install_probe(Gateway& gw, bool install = true);

// Template functions of the status page:
//   ||show_gateway||        sets sms_sent_today, sms_failed_today, sms_received_today,
//                           queue_waiting, queue_oldest, and the metric_* figures
//   ||begin_transports|| ... ||end_transports||   once per part: transport_name,
//                           transport_role, transport_state, transport_up ("up"/"down")
//   ||begin_outcomes|| ... ||end_outcomes||       once per recent outcome: outcome_when,
//                           outcome_direction, outcome_status, outcome_from, outcome_to,
//                           outcome_text, outcome_class ("ok"/"bad")
// Their data is the web channel's callback_data.
void web_show_gateway(tpl* t, TplTokens* args, void* data);
void web_begin_transports(tpl* t, TplTokens* body, void* data);
void web_begin_outcomes(tpl* t, TplTokens* body, void* data);

}  // namespace tolvane
