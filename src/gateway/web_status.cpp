// What the status page, /health and /metrics know of the running gateway: see
// web_status.h.
#include "gateway/web_status.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

#include "foundation/lib.h"
#include "foundation/metrics.h"
#include "gateway/delivery.h"
#include "gateway/gateway.h"
#include "gateway/web_admin.h"
#include "records/msgrec.h"

namespace tolvane {

namespace {

constexpr std::size_t LINE_MAX_BYTES = 4095;

// What has been read of one day file so far.
struct FileState {
    ino_t ino = 0;
    off_t offset = 0;
    std::string partial;    // an unfinished last line
    bool skipping = false;  // inside an over-long line
    int sent = 0;
    int failed = 0;
    int received = 0;
    std::deque<record_outcome> last;
};

std::mutex files_lock;
std::map<std::string, FileState> files;  // guarded by files_lock
long next_seq = 0;                       // guarded by files_lock

void take_line(FileState& f, std::string_view line, char delim, bool sms_to_mail) {
    record_outcome o;
    if (!web_parse_record(line, delim, o)) return;
    o.direction = sms_to_mail ? "SMS to mail" : "mail to SMS";
    o.seq = ++next_seq;
    if (sms_to_mail) {
        if (o.client == "SMS") ++f.received;
    } else if (o.status == "SUCCESS") {
        ++f.sent;
    } else if (o.status == "FAILURE") {
        ++f.failed;
    }
    f.last.push_back(std::move(o));
    if (f.last.size() > WEB_STATUS_OUTCOMES) f.last.pop_front();
}

// Reads what was appended to path since the last call.
void catch_up(const std::string& path, FileState& f, char delim, bool sms_to_mail) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        f = FileState{};
        return;
    }
    if (st.st_ino != f.ino || st.st_size < f.offset) {
        f = FileState{};
        f.ino = st.st_ino;
    }
    if (st.st_size == f.offset) return;
    std::FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) return;
    if (::fseeko(fp, f.offset, SEEK_SET) != 0) {
        std::fclose(fp);
        return;
    }
    char buf[16384];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) {
        f.offset += static_cast<off_t>(n);
        std::string_view chunk(buf, n);
        while (!chunk.empty()) {
            const std::size_t lf = chunk.find('\n');
            const std::string_view part = chunk.substr(0, lf);
            if (!f.skipping) {
                if (f.partial.size() + part.size() > LINE_MAX_BYTES) {
                    f.skipping = true;
                    f.partial.clear();
                } else {
                    f.partial.append(part);
                }
            }
            if (lf == std::string_view::npos) break;
            chunk.remove_prefix(lf + 1);
            if (!f.skipping) take_line(f, f.partial, delim, sms_to_mail);
            f.partial.clear();
            f.skipping = false;
        }
    }
    std::fclose(fp);
}

callback_data* cbd(void* data) {
    return static_cast<callback_data*>(data);
}

std::string number(double v) {
    return metric_number(v);
}

// Whether a part can carry traffic now, and how it says so.
bool part_state(const sms* s, std::string& text) {
    if (!s) {
        text = "not open";
        return false;
    }
    const bool up = s->up();
    text = s->state_text();
    if (text.empty()) text = up ? "up" : "down";
    return up;
}

std::vector<web_health_item> probe() {
    std::vector<web_health_item> items;
    auto add = [&items](const sms* s, std::string name, std::string role) {
        web_health_item i;
        i.name = std::move(name);
        i.role = std::move(role);
        i.up = part_state(s, i.why);
        items.push_back(std::move(i));
    };
    add(Smtp.get(), "smtp", "listener");
    if (Send) {
        add(Send.get(), delivery_name(sms_mode(Send.get())),
            Recv == Send.get() ? "send and receive" : "send");
    }
    if (Recv && Recv != Send.get()) add(Recv, delivery_name(sms_mode(Recv)), "receive");
    return items;
}

}  // namespace

bool web_parse_record(std::string_view line, char delim, record_outcome& out) {
    std::vector<std::string_view> f;
    std::size_t from = 0;
    // Five delimiters end the fixed fields; the text is everything after them.
    while (f.size() < 5) {
        const std::size_t at = line.find(delim, from);
        if (at == std::string_view::npos) return false;
        f.push_back(line.substr(from, at - from));
        from = at + 1;
    }
    std::string_view text = line.substr(from);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    // Every field is written with the delimiter after it, the last one too.
    if (!text.empty() && text.back() == delim) text.remove_suffix(1);
    out.status = std::string(f[0]);
    out.client = std::string(f[1]);
    out.from = std::string(f[2]);
    out.to = std::string(f[3]);
    out.when = std::string(f[4]);
    out.text = std::string(text);
    return true;
}

day_summary web_day_summary(const std::string& dir, std::time_t now, char delim) {
    const std::string rec = attach_path(dir, msgrec_day_file(now, "rec"));
    const std::string log = attach_path(dir, msgrec_day_file(now, "log"));
    day_summary d;
    std::lock_guard<std::mutex> hold(files_lock);
    // Yesterday's files are done with.
    for (auto it = files.begin(); it != files.end();) {
        it = it->first == rec || it->first == log ? std::next(it) : files.erase(it);
    }
    FileState& r = files[rec];
    FileState& l = files[log];
    catch_up(rec, r, delim, false);
    catch_up(log, l, delim, true);
    d.sent = r.sent;
    d.failed = r.failed;
    d.received = l.received;
    d.last.assign(r.last.begin(), r.last.end());
    d.last.insert(d.last.end(), l.last.begin(), l.last.end());
    std::sort(d.last.begin(), d.last.end(),
              [](const record_outcome& a, const record_outcome& b) { return a.seq > b.seq; });
    if (d.last.size() > WEB_STATUS_OUTCOMES) d.last.resize(WEB_STATUS_OUTCOMES);
    return d;
}

void web_status_install_probe(bool install) {
    web_set_health_probe(install ? WebHealthProbe(probe) : WebHealthProbe());
}

void web_show_gateway(tpl*, TplTokens*, void* data) {
    web_serv* w = cbd(data)->web;
    rini* ini = cbd(data)->ini;
    const char* dir = ini ? rini_get(ini, WORKPATH, nullptr, nullptr) : nullptr;
    const day_summary d = web_day_summary(dir ? dir : ".", std::time(nullptr), RecordDelimiter);
    webserv_add(w, "sms_sent_today", strprintf("%d", d.sent));
    webserv_add(w, "sms_failed_today", strprintf("%d", d.failed));
    webserv_add(w, "sms_received_today", strprintf("%d", d.received));
    const queue_stats q = delivery_queue_stats();
    webserv_add(w, "queue_waiting", strprintf("%d", static_cast<int>(q.waiting)));
    const std::int64_t age_ms = q.oldest_ms > 0 ? delivery_now_ms() - q.oldest_ms : 0;
    webserv_add(w, "queue_oldest",
                q.waiting > 0
                    ? time_length_text(static_cast<long>(std::max<std::int64_t>(age_ms, 0) / 1000))
                    : std::string("-"));
    const MetricsRegistry& m = metrics();
    webserv_add(w, "metric_mails_received", number(m.value(METRIC_MAILS_RECEIVED)));
    webserv_add(w, "metric_mails_accepted", number(m.value(METRIC_MAILS_ACCEPTED)));
    webserv_add(w, "metric_mails_refused", number(m.value(METRIC_MAILS_REFUSED)));
    webserv_add(w, "metric_sms_sent", number(m.value(METRIC_SMS_SENT)));
    webserv_add(w, "metric_sms_failed", number(m.value(METRIC_SMS_FAILED)));
    webserv_add(w, "metric_sms_received", number(m.value(METRIC_SMS_RECEIVED)));
    webserv_add(w, "metric_mails_relayed", number(m.value(METRIC_MAILS_RELAYED)));
    webserv_add(w, "metric_mails_relay_failed", number(m.value(METRIC_MAILS_RELAY_FAILED)));
    webserv_add(w, "metric_sessions_open", number(m.value(METRIC_SMTP_SESSIONS_OPEN)));
    webserv_add(w, "metric_sessions_refused", number(m.value(METRIC_SMTP_SESSIONS_REFUSED)));
    webserv_add(w, "metric_reconnects", number(m.value(METRIC_TRANSPORT_RECONNECTS)));
    webserv_add(w, "metric_web_open", strprintf("%d", web_connections_open()));
    std::tm tm{};
    char when[64] = "";
    if (safe_localtime(std::time(nullptr), tm)) std::strftime(when, sizeof when, "%H:%M:%S", &tm);
    webserv_add(w, "updated", when);
}

void web_begin_transports(tpl* t, TplTokens* body, void* data) {
    web_serv* w = cbd(data)->web;
    for (const web_health_item& i : web_health_now()) {
        webserv_add(w, "transport_name", i.name);
        webserv_add(w, "transport_role", i.role);
        webserv_add(w, "transport_state", i.why.empty() ? (i.up ? "up" : "down") : i.why);
        webserv_add(w, "transport_up", i.up ? "up" : "down");
        tpl_display(t, body);
    }
}

void web_begin_outcomes(tpl* t, TplTokens* body, void* data) {
    web_serv* w = cbd(data)->web;
    rini* ini = cbd(data)->ini;
    const char* dir = ini ? rini_get(ini, WORKPATH, nullptr, nullptr) : nullptr;
    const day_summary d = web_day_summary(dir ? dir : ".", std::time(nullptr), RecordDelimiter);
    for (const record_outcome& o : d.last) {
        // Today's outcomes only: the time of day says enough ("Tue Dec  8 13:24:42 2026").
        webserv_add(w, "outcome_when", o.when.size() >= 19 ? o.when.substr(11, 8) : o.when);
        webserv_add(w, "outcome_direction", o.direction);
        webserv_add(w, "outcome_status", o.status);
        webserv_add(w, "outcome_from", o.from);
        webserv_add(w, "outcome_to", o.to);
        webserv_add(w, "outcome_text", o.text);
        webserv_add(w, "outcome_class", o.status == "SUCCESS" ? "ok" : "bad");
        tpl_display(t, body);
    }
    webserv_add(w, "outcome_count", strprintf("%d", static_cast<int>(d.last.size())));
}

}  // namespace tolvane
