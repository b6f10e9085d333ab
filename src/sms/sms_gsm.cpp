// The GSM modem transport's start-up: opening the port, the set-up dialogue (echo,
// error reports, bearer, PIN, message service, character set, service centre, mode,
// indications, signal) and the helpers that read the modem's capability replies.
// Sending is in sms_gsm_send.cpp, receiving in sms_gsm_recv.cpp, the modem's state
// (signal, network registration, up or down) in sms_gsm_status.cpp, the line layer
// in sms_gsm_line.cpp, the error texts in sms_gsm_errors.cpp.
//
// Ownership: gsm_open returns the state it made, also after a failed start-up (port
// closed, reader stopped); sms_gsm_init gives the caller the transport, or the code and
// its text after a failed start-up (the state then freed).
#include "sms/sms_gsm.h"

#include <cctype>
#include <chrono>
#include <optional>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

const bool SMS_GSM_BUILT = true;

namespace {

// Pieces of a reply cut at "(" and ")".
std::vector<std::string> groups(std::string_view reply) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : reply) {
        if (c == '(' || c == ')') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

std::string_view skip_commas(std::string_view s) {
    while (!s.empty() && (s.front() == ',' || s.front() == ' ')) s.remove_prefix(1);
    return s;
}

int first_number(std::string_view s) {
    std::string t(s);
    return s_atoi(t.c_str());
}

// "1,3-5,7": true when v is an entry or lies within an entry a-b.
bool in_list(std::string_view list, int v) {
    for (const std::string& item : ssplit(list, ",", 100, false)) {
        std::size_t dash = item.find('-');
        if (dash == std::string::npos) {
            if (!strtrm(item).empty() && first_number(strtrm(item)) == v) return true;
        } else {
            int a = first_number(std::string_view(item).substr(0, dash));
            int b = first_number(std::string_view(item).substr(dash + 1));
            if (v >= a && v <= b) return true;
        }
    }
    return false;
}

void stop_after_failure(sms_data_gsm* gsm) {
    gsm_reader_stop(gsm);
    com_free(gsm->com);
    gsm->com = com_new();  // a closed port: later reads give nothing, writes fail
}

// "gsm.log" gives "gsm_raw.log"; "/var/log/gsm" gives "/var/log/gsm_raw".
std::string raw_trace_name(const std::string& debug_file) {
    std::size_t slash = debug_file.rfind('/');
    std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = debug_file.rfind('.');
    if (dot != std::string::npos && dot > base)
        return strprintf("%.*s_raw%s", static_cast<int>(dot), debug_file.c_str(),
                         debug_file.c_str() + dot);
    return strprintf("%s_raw", debug_file.c_str());
}

// Tries a query up to 25 times until the modem stops answering with an error; then
// reads its OK.
int retry_query(sms_data_gsm* gsm, int& err, const char* cmd, const char* what) {
    for (int attempt = 0;; ++attempt) {
        if (attempt == 25) return 0;
        std::string line;
        if (!gsm_write(gsm, err, "%s%s", cmd, gsm->w_endl.c_str())) return 0;
        if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return 0;
        if (!gsm_iserror(line, err)) break;
        imsg("%s (%d) error: %s", what, attempt, line.c_str());
        lib_msleep(gsm->csms_pause_ms);
    }
    err = 0;
    return gsm_read_ok(gsm, err);
}

// Most modems end the +CPIN: line with an OK, some do not, and which kind is
// attached cannot be told beforehand: an OK coming within a short wait is taken,
// lines of the modem's own (start-up notices) are passed over meanwhile.
void take_optional_ok(sms_data_gsm* gsm) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(GSM_CPIN_OK_MS);
    for (;;) {
        long left = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now())
                                          .count());
        std::string line;
        int ignored = 0;
        if (left <= 0 || gsm_read_line(gsm, ignored, GRL_SKIP_BLANK | GRL_QUIET, left, line) < 0) {
            dmsg("No OK after the PIN state, going on");
            return;
        }
        if (gsm_is_final(line)) return;
        imsg("Passing over (%s) after the PIN state", gsm_printable(line).c_str());
    }
}

int pin_check(sms_data_gsm* gsm, const gsm_init& rec, int& err) {
    std::string L;
    if (!gsm_write(gsm, err, "AT+CPIN?%s", gsm->w_endl.c_str())) return 0;
    if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, L) < 0) return 0;
    if (L.starts_with("+CPIN:")) take_optional_ok(gsm);
    int iscme = 0;
    bool cme_line = false;
    if (gsm_iserrorx(L, err, iscme)) {
        if ((iscme && (err == 3 || err == 4)) || err == GSM_ERR_ERROR) {
            cme_line = iscme != 0;
            err = 0;
        } else {
            if (iscme) err += GSM_CME_PIN_OFFSET;
            return 0;
        }
    }
    std::string_view state = L.size() > 7 ? std::string_view(L).substr(7) : std::string_view();
    std::string line;
    if (state.starts_with("READY") || cme_line || L == "ERROR") {
        imsg("No PIN required or CPIN not understood, continue...");
    } else if (state.starts_with("SIM PIN2")) {
        dmsg("PIN2 required (%s)", L.c_str());
        if (rec.pin2.empty()) {
            emsg("gsm_pin2 REQUIRED");
            err = GSM_ERR_PIN;
            return 0;
        }
        if (!gsm_write(gsm, err, "AT+CPIN2=%s%s", rec.pin2.c_str(), gsm->w_endl.c_str()) ||
            !gsm_expect(gsm, err, line))
            return 0;
    } else if (state.starts_with("SIM PUK2")) {
        dmsg("PUK2 required (%s)", L.c_str());
        if (rec.pin2.empty()) emsg("gsm_pin2 REQUIRED");
        if (rec.puk2.empty()) emsg("gsm_puk2 REQUIRED");
        if (rec.pin2.empty() || rec.puk2.empty()) {
            err = GSM_ERR_PIN;
            return 0;
        }
        if (!gsm_write(gsm, err, "AT+CPIN2=%s,%s%s", rec.puk2.c_str(), rec.pin2.c_str(),
                       gsm->w_endl.c_str()) ||
            !gsm_expect(gsm, err, line))
            return 0;
    } else if (state.starts_with("SIM PIN")) {
        emsg("PIN required (%s)", L.c_str());
        if (rec.pin.empty()) {
            emsg("gsm_pin REQUIRED");
            err = GSM_ERR_PIN;
            return 0;
        }
        if (!gsm_write(gsm, err, "AT+CPIN=%s%s", rec.pin.c_str(), gsm->w_endl.c_str()) ||
            !gsm_expect(gsm, err, line))
            return 0;
    } else if (state.starts_with("SIM PUK")) {
        emsg("PIN/PUK required (%s)", L.c_str());
        if (rec.pin.empty()) emsg("gsm_pin REQUIRED");
        if (rec.puk.empty()) emsg("gsm_puk REQUIRED");
        if (rec.pin.empty() || rec.puk.empty()) {
            err = GSM_ERR_PIN;
            return 0;
        }
        if (!gsm_write(gsm, err, "AT+CPIN=%s,%s%s", rec.puk.c_str(), rec.pin.c_str(),
                       gsm->w_endl.c_str()) ||
            !gsm_expect(gsm, err, line))
            return 0;
    } else {
        imsg("Unsupported PIN check response (%s), continue anyway...", L.c_str());
    }
    return 1;
}

// The init string, echo off, the S-registers read, numbered errors when the modem has them.
bool set_echo_and_errors(sms_data_gsm* gsm, const gsm_init& rec, int& err) {
    const char* e = gsm->w_endl.c_str();
    std::string line;
    if (!rec.init_string.empty()) {
        if (!gsm_write(gsm, err, "%s%s", rec.init_string.c_str(), e)) return false;
        if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return false;
        if (line == rec.init_string && !gsm_read_ok(gsm, err)) return false;
    }
    if (!gsm_write(gsm, err, "ATE0%s", e)) return false;
    if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return false;
    if (line == "ATE0" && gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0)
        return false;
    if (line != "OK") {
        emsg("ATE0 answered (%s)", line.c_str());
        err = GSM_ERR_ECHO;
        return false;
    }
    for (const char* q : {"ATS3?", "ATS4?"}) {
        if (!gsm_write(gsm, err, "%s%s", q, e) || !gsm_read_ok(gsm, err) || !gsm_read_ok(gsm, err))
            return false;
    }
    if (!gsm_write(gsm, err, "AT+CMEE=?%s", e)) return false;
    if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return false;
    if (!gsm_iserror(line, err) && !gsm_expect(gsm, err, line)) return false;
    err = 0;
    if (!gsm_write(gsm, err, "AT+CMEE=1%s", e)) return false;
    if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return false;
    if (gsm_iserror(line, err)) imsg("CMEE=1 failed, modem is non compliant, continue anyway.");
    err = 0;
    return true;
}

// The bearer service for the configured speed, from what AT+CBST=? offers.
bool set_bearer(sms_data_gsm* gsm, const gsm_init& rec, int& err) {
    const char* e = gsm->w_endl.c_str();
    std::string line;
    if (!gsm_write(gsm, err, "AT+CBST=?%s", e) || !gsm_expect(gsm, err, line)) return false;
    std::optional<std::string> bearer = make_bearer(line, rec.baud);
    if (!bearer) {
        emsg("Failed to make bearer from (%s)", line.c_str());
        return false;
    }
    if (!gsm_expect(gsm, err, line)) return false;
    return gsm_write(gsm, err, "%s%s", bearer->c_str(), e) && gsm_expect(gsm, err, line);
}

// The configured character set when the modem has it (dcs), else none.
bool probe_charset(sms_data_gsm* gsm, const gsm_init& rec, int& err, std::string& dcs) {
    std::string line;
    dcs = rec.dcs;
    if (!gsm_write(gsm, err, "AT+CSCS=?%s", gsm->w_endl.c_str()) || !gsm_expect(gsm, err, line))
        return false;
    if (!dcs.empty() && line.find(dcs) == std::string::npos) {
        imsg("Character set (%s) is unsupported (%s)", dcs.c_str(), line.c_str());
        dcs.clear();
    }
    return gsm_expect(gsm, err, line);
}

bool set_service_centre(sms_data_gsm* gsm, const gsm_init& rec, int& err) {
    const char* e = gsm->w_endl.c_str();
    std::string line;
    if (!gsm_write(gsm, err, "AT+CSCA?%s", e) || !gsm_expect(gsm, err, line)) return false;
    imsg("Current Service Centre address (%s)", line.c_str());
    if (!gsm_read_ok(gsm, err)) return false;
    if (rec.sca.empty()) return true;
    imsg("Setting Service Centre Address (%s)", rec.sca.c_str());
    return gsm_write(gsm, err, "AT+CSCA=%s%s", rec.sca.c_str(), e) && gsm_expect(gsm, err, line);
}

// Text mode's character set: GSM text unless latin1 coding asks for another.
bool set_text_charset(sms_data_gsm* gsm, const std::string& dcs, int& err) {
    const char* e = gsm->w_endl.c_str();
    if (gsm->coding != sms_coding::latin1) {
        // Text mode carries GSM text only; anything else goes in PDU mode.
        if (!dcs.empty() || gsm->usedcs == 8)
            imsg("Text mode uses the GSM character set with sms_coding %s",
                 sms_coding_name(gsm->coding));
        gsm->cscs = "GSM";
        return gsm_write(gsm, err, "AT+CSCS=\"GSM\"%s", e);
    }
    if (!dcs.empty()) {
        gsm->cscs = dcs;
        return gsm_write(gsm, err, "AT+CSCS=\"%s\"%s", dcs.c_str(), e);
    }
    if (gsm->usedcs == 8) {
        gsm->cscs = "UCS2";
        return gsm_write(gsm, err, "AT+CSCS=\"UCS2\"%s", e);
    }
    gsm->cscs = "GSM";
    return gsm_write(gsm, err, "AT+CSCS=\"GSM\"%s", e);
}

// PDU or text mode, and in text mode its character set.
bool set_message_format(sms_data_gsm* gsm, const gsm_init& rec, const std::string& dcs, int& err) {
    const char* e = gsm->w_endl.c_str();
    std::string line;
    if (!gsm_write(gsm, err, "AT+CMGF=?%s", e) || !gsm_expect(gsm, err, line) ||
        !gsm_expect(gsm, err, line))
        return false;
    if (rec.mode & MODE_PDU) {
        if (!gsm_write(gsm, err, "AT+CMGF=0%s", e)) return false;
        gsm->ispdu = true;
    } else {
        if (!gsm_write(gsm, err, "AT+CMGF=1%s", e) || !gsm_expect(gsm, err, line)) return false;
        if (!set_text_charset(gsm, dcs, err)) return false;
    }
    return gsm_expect(gsm, err, line);
}

// How new messages are told, from what AT+CNMI=? offers.
bool set_new_message_indications(sms_data_gsm* gsm, int& err) {
    const char* e = gsm->w_endl.c_str();
    std::string line;
    if (!gsm_write(gsm, err, "AT+CNMI=?%s", e) || !gsm_expect(gsm, err, line)) return false;
    std::optional<std::string> cnmi = make_cnmi(line);
    if (!cnmi) {
        emsg("Failed to make CNMI from (%s)", line.c_str());
        return false;
    }
    if (!gsm_expect(gsm, err, line)) return false;
    return gsm_write(gsm, err, "AT+CNMI=%s%s", cnmi->c_str(), e) && gsm_expect(gsm, err, line);
}

// The signal's range and level, and the network registration.
bool read_signal(sms_data_gsm* gsm, int& err) {
    const char* e = gsm->w_endl.c_str();
    std::string line;
    if (!gsm_write(gsm, err, "AT+CSQ=?%s", e) || !gsm_expect(gsm, err, line)) return false;
    imsg("Signal range (%s)", line.c_str());
    if (!gsm_read_ok(gsm, err)) return false;
    if (!gsm_write(gsm, err, "AT+CSQ%s", e) || !gsm_expect(gsm, err, line)) return false;
    imsg("Signal level now (%s)", line.c_str());
    gsm->signal_level = gsm_csq_level(line);
    if (!gsm_read_ok(gsm, err)) return false;
    // Not a condition of the start: a modem still searching for its network comes up
    // later, one without the command is taken as registered.
    return gsm_query_registration(gsm, err);
}

}  // namespace

// Steps 5 onwards of the start-up: everything after the port and the reader are up.
int gsm_dialogue(sms_data_gsm* gsm, const gsm_init& rec, int& err) {
    // The message format is chosen by the dialogue; a modem started again may have been
    // left in PDU mode by a send.
    gsm->ispdu = false;
    if (!set_echo_and_errors(gsm, rec, err) || !set_bearer(gsm, rec, err)) return 0;
    // cpin_ok is no longer needed: the OK after the PIN state is taken when it comes.
    if (!pin_check(gsm, rec, err)) return 0;
    if (!retry_query(gsm, err, "AT+CSMS=?", "AT+CSMS=?")) return 0;
    if (!retry_query(gsm, err, "AT+CSMS=0", "AT+CSMS=0")) return 0;

    gsm->usedcs = (rec.mode & MODE_8BIT) ? 4 : (rec.mode & MODE_16BIT) ? 8 : 0;
    gsm->ext7bit = (rec.mode & MODE_EXTENDED) != 0;

    std::string dcs;
    if (!probe_charset(gsm, rec, err, dcs) || !set_service_centre(gsm, rec, err) ||
        !set_message_format(gsm, rec, dcs, err) || !set_new_message_indications(gsm, err) ||
        !read_signal(gsm, err))
        return 0;

    gsm->min_signal = rec.min_signal;
    gsm->signal_timeout = rec.signal_timeout;
    if (gsm->ispdu) return 1;

    // Text mode: the headers of received messages in full.
    const char* e = gsm->w_endl.c_str();
    std::string line;
    if (!gsm_write(gsm, err, "AT+CSDH=?%s", e) || !gsm_expect(gsm, err, line) ||
        !gsm_read_ok(gsm, err))
        return 0;
    if (!gsm_write(gsm, err, "AT+CSDH=1%s", e) || !gsm_expect(gsm, err, line)) return 0;
    return 1;
}

namespace {

int setup(sms_data_gsm* gsm, const gsm_init& rec, int& err) {
    gsm->port = rec.port;
    // A /dev/serial/by-id/... name is a link to whichever ttyUSBn the device got.
    std::string device;
    std::string why;
    if (!gsm_resolve_device(rec.port, device, why)) {
        emsg("Cannot open serial port '%s', %s", rec.port.c_str(), why.c_str());
        gsm->startup_failure = why;
        err = GSM_ERR_OPEN;
        return 0;
    }
    if (device == rec.port) {
        imsg("Opening %s (BAUD=%d)...", rec.port.c_str(), rec.baud);
    } else {
        imsg("Opening %s, now %s (BAUD=%d)...", rec.port.c_str(), device.c_str(), rec.baud);
    }
    if (Status st = com_open(gsm->com.get(), device, rec.baud); !st) {
        why = st.error().reason;
        emsg("Cannot open serial port '%s', %s", device.c_str(), why.c_str());
        gsm->startup_failure = why;
        err = GSM_ERR_OPEN;
        return 0;
    }
    {
        std::lock_guard<std::mutex> l(gsm->device_lock);
        gsm->device_path = device;
    }
    if (!rec.debug_file.empty()) {
        imsg("Com port debug file (%s)", rec.debug_file.c_str());
        auto opened = trace_open(rec.debug_file);
        gsm->flog = opened ? *opened : nullptr;
        if (!opened)
            emsg("Failed to append to '%s', %s", rec.debug_file.c_str(), opened.reason().c_str());
        std::string raw = raw_trace_name(rec.debug_file);
        if (rec.dodebug) {
            com_debug(gsm->com.get(), raw, rec.crlf);
        } else {
            com_dump(gsm->com.get(), raw);
        }
    }
    gsm->r_endl = "\r\n";
    gsm->w_endl = "\r";
    std::string_view phone = strtrm(rec.localphone);
    if (phone.empty()) {
        emsg("NO MODEM NUMBER!");
        gsm->startup_failure = "no modem number (gsm_number) is set";
        err = GSM_ERR_NUMBER;
        return 0;
    }
    gsm->localphone = cut(phone);
    gsm->coding = rec.coding;
    gsm->max_parts = rec.max_parts;
    imsg("Modem No is (%s)", gsm->localphone.c_str());
    gsm_reader_start(gsm);
    return gsm_dialogue(gsm, rec, err);
}

}  // namespace

std::optional<std::string> make_bearer(std::string_view cbst, int baud) {
    int values[3] = {0, 0, 0};
    int found = 0;
    std::string speeds;
    for (const std::string& g : groups(cbst)) {
        std::string_view p = skip_commas(g);
        if (p.empty() || !std::isdigit(static_cast<unsigned char>(p.front()))) continue;
        if (found == 0) speeds = std::string(p);
        values[found++] = p.front() - '0';
        if (found == 3) break;
    }
    if (found < 3) return std::nullopt;
    int speed = values[0];
    if (speed != 0) {
        int rate = com_rate(baud);
        auto pick = [&](int a, int b) {
            if (in_list(speeds, a)) {
                speed = a;
            } else if (b >= 0 && in_list(speeds, b)) {
                speed = b;
            }
        };
        if (rate <= 600) {
            speed = 1;
        } else if (rate == 1200) {
            pick(3, 2);
        } else if (rate == 2400) {
            pick(5, 4);
        } else if (rate == 4800) {
            pick(6, -1);
        } else if (rate == 9600) {
            pick(12, 7);
        } else if (rate == 19200) {
            pick(15, -1);
        } else if (rate == 38400 || rate == 57600 || rate == 115200) {
            pick(16, -1);
        } else {
            speed = 1;
        }
    }
    return strprintf("AT+CBST=%d,%d,%d", speed, values[1], values[2]);
}

std::optional<std::string> make_cnmi(std::string_view cnmi) {
    std::string out;
    int n = 0;
    for (const std::string& g : groups(cnmi)) {
        std::string_view p = skip_commas(g);
        if (p.empty() || p.front() == '+') continue;
        std::string_view trimmed = strtrm(p);
        if (trimmed.empty()) continue;
        int value;
        if (n == 0) {
            // Mode 0 keeps the indications inside the modem, where a modem that keeps
            // to the standard buffers them until the mode changes: new messages would
            // never be announced. Mode 2 (else 1) sends them on; only a modem that
            // offers neither keeps its first mode.
            value = in_list(trimmed, 2) ? 2 : in_list(trimmed, 1) ? 1 : first_number(trimmed);
        } else if (n == 1) {
            bool ok = false;
            for (const std::string& item : ssplit(trimmed, ",", 100, false)) {
                std::size_t dash = item.find('-');
                if (dash == std::string::npos) {
                    if (!strtrm(item).empty() && first_number(item) == 1) ok = true;
                } else {
                    int a = first_number(std::string_view(item).substr(0, dash));
                    int b = first_number(std::string_view(item).substr(dash + 1));
                    if (a <= 1 && b > 0) ok = true;
                }
                if (ok) break;
            }
            if (!ok) return std::nullopt;
            value = 1;
        } else {
            value = first_number(trimmed);
        }
        out += n == 0 ? strprintf("%d", value) : strprintf(",%d", value);
        ++n;
    }
    if (n < 2) return std::nullopt;
    return out;
}

std::string gsm_raw_trace_name(const std::string& debug_file) {
    return raw_trace_name(debug_file);
}

std::unique_ptr<sms_data_gsm> gsm_open(const gsm_init& init, int& errcode) {
    errcode = 0;
    auto st = std::make_unique<sms_data_gsm>();
    st->lock_com = th_mutex_new("USING_GSM_MODEM");
    st->lock_buffer = th_mutex_new("USING_READ_BUFFER");
    st->lock_queue = th_mutex_new("GSM_SEND_QUEUE");
    st->com = com_new();
    const gsm_init* rec = &init;
    if (rec->reply_ms > 0) st->reply_ms = rec->reply_ms;
    if (rec->delete_retry_ms > 0) st->delete_retry_ms = rec->delete_retry_ms;
    if (rec->poll_ms > 0) st->poll_ms = rec->poll_ms;
    if (rec->pause_ms >= 0) {
        st->csms_pause_ms = rec->pause_ms;
        st->signal_pause_ms = rec->pause_ms;
    }
    if (rec->reopen_ms > 0) st->reopen_ms = rec->reopen_ms;
    if (rec->reset_settle_ms > 0) st->reset_settle_ms = rec->reset_settle_ms;
    if (rec->reset_wait_ms > 0) st->reset_wait_ms = rec->reset_wait_ms;
    st->reset_command = rec->reset;
    st->init = *rec;
    if (!setup(st.get(), *rec, errcode)) {
        if (errcode == 0) errcode = GSM_ERR_UNEXPECTED;
        if (st->startup_failure.empty()) {
            st->startup_failure =
                st->last_reply.empty()
                    ? strprintf("the modem did not answer %s in time", st->last_command.c_str())
                    : strprintf("the modem answered %s with (%s)", st->last_command.c_str(),
                                st->last_reply.c_str());
        }
        st->startup_code = errcode;
        emsg("Error with %s init, cleanup... (%s)", rec->port.c_str(), st->startup_failure.c_str());
        stop_after_failure(st.get());
        return st;
    }
    imsg("GSM modem on %s ready (%s mode), %s", rec->port.c_str(), st->ispdu ? "PDU" : "text",
         st->state_text().c_str());
    gsm_watch_start(st.get());
    return st;
}

Result<std::unique_ptr<SmsTransport>> sms_gsm_init(const gsm_init& init) {
    int errcode = 0;
    std::unique_ptr<sms_data_gsm> st = gsm_open(init, errcode);
    if (errcode != 0) {
        std::string why;
        st->error(errcode, why);
        return Error{errcode, why};
    }
    return std::unique_ptr<SmsTransport>(std::move(st));
}

}  // namespace tolvane
