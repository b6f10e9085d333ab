// The GSM modem transport's state as people and the delivery engine see it: whether
// the modem answers, whether it is on the network (AT+CREG?) and its signal (AT+CSQ),
// kept fresh by a watcher thread that asks an idle modem every poll_ms (more often
// while it is down, so that its return is seen soon). A change of up() is told to the
// transport's state watcher (the delivery engine) by whichever thread sees it first:
// the watcher, a send, or the receiving loop's next wait.
//
// Ownership: the watcher thread belongs to the modem state; gsm_watch_stop ends it
// before the port is closed. It takes lock_com only for its two short queries and
// passes a round when a dialogue holds the modem longer than one reply time.
//
// Limits: a modem that does not know AT+CREG? (error or no +CREG line) is taken as
// able to send, as is one that says its registration is unknown (4): holding messages
// back on a modem that may well send would be worse than a failed attempt.
#include <algorithm>
#include <string>
#include <string_view>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

namespace {

bool digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether the registration keeps the modem from sending.
bool off_network(int reg) {
    return reg == GSM_REG_NOT || reg == GSM_REG_SEARCHING || reg == GSM_REG_DENIED;
}

void set_registration(sms_data_gsm* gsm, int reg) {
    int before = gsm->reg_state.exchange(reg);
    if (before != reg) imsg("Network registration (%s)", gsm_registration_name(reg));
}

}  // namespace

int gsm_csq_level(std::string_view line) {
    if (!line.starts_with("+CSQ:")) return -1;
    int level = s_atoi(std::string(strtrm(line.substr(5))).c_str());
    return level >= 0 && level <= 31 ? level : -1;
}

int gsm_creg_state(std::string_view line) {
    if (!line.starts_with("+CREG:")) return GSM_REG_NONE;
    std::vector<std::string> f = ssplit(line.substr(6), ",", 10, false);
    for (std::string& x : f) x = std::string(strtrm(x));
    if (f.empty()) return GSM_REG_NONE;
    // The answer to the query is "n,stat[,lac,ci]"; a notice the modem sends on its own
    // is "stat[,lac,ci]", its area code quoted.
    const std::string& stat = f.size() >= 2 && !f[1].starts_with("\"") ? f[1] : f[0];
    if (!digits(stat) || stat.size() > 1) return GSM_REG_NONE;
    int v = stat[0] - '0';
    return v <= GSM_REG_ROAMING ? v : GSM_REG_NONE;
}

const char* gsm_registration_name(int reg) {
    switch (reg) {
        case GSM_REG_NOT:
            return "not registered";
        case GSM_REG_HOME:
            return "registered (home)";
        case GSM_REG_SEARCHING:
            return "not registered (searching)";
        case GSM_REG_DENIED:
            return "registration denied";
        case GSM_REG_UNKNOWN:
            return "registration unknown";
        case GSM_REG_ROAMING:
            return "registered (roaming)";
        default:
            return "registration not reported";
    }
}

int gsm_query_registration(sms_data_gsm* gsm, int& err) {
    if (!gsm_write(gsm, err, "AT+CREG?%s", gsm->w_endl.c_str())) return 0;
    int reg = GSM_REG_NONE;
    for (;;) {
        std::string line;
        if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return 0;
        if (gsm_is_final(line)) {
            if (line != "OK") dmsg("AT+CREG? answered (%s)", line.c_str());
            break;
        }
        if (int r = gsm_creg_state(line); r != GSM_REG_NONE) {
            reg = r;
        } else {
            imsg("Passing over (%s) in the registration answer", gsm_printable(line).c_str());
        }
    }
    set_registration(gsm, reg);
    return 1;
}

int gsm_query_signal(sms_data_gsm* gsm, int& err) {
    std::string line;
    if (!gsm_write(gsm, err, "AT+CSQ%s", gsm->w_endl.c_str()) || !gsm_expect(gsm, err, line))
        return 0;
    gsm->signal_level = gsm_csq_level(line);
    return gsm_read_ok(gsm, err);
}

void gsm_note_state(sms_data_gsm* gsm) {
    std::lock_guard<std::mutex> told(gsm->note_lock);
    bool now = gsm->up();
    if (gsm->was_up.exchange(now) == now) return;
    std::string text = gsm->state_text();
    if (now) {
        imsg("GSM modem on %s is %s", gsm->port.c_str(), text.c_str());
    } else {
        emsg("GSM modem on %s is %s", gsm->port.c_str(), text.c_str());
    }
    gsm->note_state();
}

namespace {

void watch_main(std::stop_token st, sms_data_gsm* gsm) {
    std::unique_lock<std::mutex> l(gsm->watch_lock);
    for (;;) {
        long wait = gsm->device != GSM_DEVICE_OK ? gsm->reopen_ms
                    : gsm->up()                  ? gsm->poll_ms
                                                 : std::max(1L, gsm->poll_ms / 6);
        // Ends early when the watcher is told to stop, or poked (the device was lost).
        gsm->watch_wake.wait_for(l, st, std::chrono::milliseconds(wait),
                                 [gsm] { return gsm->watch_poke; });
        if (st.stop_requested()) return;
        gsm->watch_poke = false;
        l.unlock();
        if (gsm->device != GSM_DEVICE_OK) {
            // The device is looked for, or the modem set up again.
            gsm_recover(gsm);
        } else {
            MutexHold hold(gsm->lock_com.get(), gsm->reply_ms);
            if (hold) {
                int err = 0;
                gsm_drop_stale(gsm);
                if (gsm_query_signal(gsm, err)) gsm_query_registration(gsm, err);
            }
        }
        gsm_note_state(gsm);
        l.lock();
    }
}

}  // namespace

void gsm_watch_start(sms_data_gsm* gsm) {
    gsm->was_up = gsm->up();
    gsm->watcher = std::jthread(watch_main, gsm);
}

void gsm_watch_stop(sms_data_gsm* gsm) {
    gsm->watcher.request_stop();
    if (gsm->watcher.joinable()) gsm->watcher.join();
}

bool sms_data_gsm::up() const {
    return device == GSM_DEVICE_OK && reader_running && answering && !off_network(reg_state);
}

std::string sms_data_gsm::state_text() const {
    if (device != GSM_DEVICE_OK) {
        std::lock_guard<std::mutex> l(device_lock);
        return "down: " + device_why;
    }
    if (!reader_running) return "down: the serial line is closed";
    if (!answering) return "down: the modem does not answer";
    int level = signal_level;
    std::string signal = level < 0 ? "signal unknown" : strprintf("signal %d of 31", level);
    int reg = reg_state;
    if (off_network(reg))
        return strprintf("down: %s, %s", gsm_registration_name(reg), signal.c_str());
    if (reg == GSM_REG_NONE) return "up, " + signal;
    return strprintf("up, %s, %s", gsm_registration_name(reg), signal.c_str());
}

}  // namespace tolvane
