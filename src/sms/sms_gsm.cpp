// The GSM modem transport: start-up dialogue, sending, and the row operations.
// Receiving (listing, indications, reading and deleting) is in sms_gsm_recv.cpp,
// the line layer in sms_gsm_line.cpp, the error texts in sms_gsm_errors.cpp.
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

// The level of a +CSQ answer (0-31), -1 for 99 (not known) or junk.
int csq_level(std::string_view line) {
    if (!line.starts_with("+CSQ:")) return -1;
    int level = first_number(strtrm(line.substr(5)));
    return level >= 0 && level <= 31 ? level : -1;
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

// Steps 5 onwards of the start-up: everything after the port and the reader are up.
int dialogue(sms_data_gsm* gsm, const gsm_init& rec, int& err) {
    const char* e = gsm->w_endl.c_str();
    std::string line;
    if (!rec.init_string.empty()) {
        if (!gsm_write(gsm, err, "%s%s", rec.init_string.c_str(), e)) return 0;
        if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return 0;
        if (line == rec.init_string && !gsm_read_ok(gsm, err)) return 0;
    }
    if (!gsm_write(gsm, err, "ATE0%s", e)) return 0;
    if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return 0;
    if (line == "ATE0" && gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0)
        return 0;
    if (line != "OK") {
        emsg("ATE0 answered (%s)", line.c_str());
        err = GSM_ERR_ECHO;
        return 0;
    }
    for (const char* q : {"ATS3?", "ATS4?"}) {
        if (!gsm_write(gsm, err, "%s%s", q, e) || !gsm_read_ok(gsm, err) || !gsm_read_ok(gsm, err))
            return 0;
    }
    if (!gsm_write(gsm, err, "AT+CMEE=?%s", e)) return 0;
    if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return 0;
    if (!gsm_iserror(line, err) && !gsm_expect(gsm, err, line)) return 0;
    err = 0;
    if (!gsm_write(gsm, err, "AT+CMEE=1%s", e)) return 0;
    if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return 0;
    if (gsm_iserror(line, err)) imsg("CMEE=1 failed, modem is non compliant, continue anyway.");
    err = 0;

    if (!gsm_write(gsm, err, "AT+CBST=?%s", e) || !gsm_expect(gsm, err, line)) return 0;
    std::optional<std::string> bearer = make_bearer(line, rec.baud);
    if (!bearer) {
        emsg("Failed to make bearer from (%s)", line.c_str());
        return 0;
    }
    if (!gsm_expect(gsm, err, line)) return 0;
    if (!gsm_write(gsm, err, "%s%s", bearer->c_str(), e) || !gsm_expect(gsm, err, line)) return 0;

    // cpin_ok is no longer needed: the OK after the PIN state is taken when it comes.
    if (!pin_check(gsm, rec, err)) return 0;

    if (!retry_query(gsm, err, "AT+CSMS=?", "AT+CSMS=?")) return 0;
    if (!retry_query(gsm, err, "AT+CSMS=0", "AT+CSMS=0")) return 0;

    gsm->usedcs = (rec.mode & MODE_8BIT) ? 4 : (rec.mode & MODE_16BIT) ? 8 : 0;
    gsm->ext7bit = (rec.mode & MODE_EXTENDED) != 0;

    std::string dcs = rec.dcs;
    if (!gsm_write(gsm, err, "AT+CSCS=?%s", e) || !gsm_expect(gsm, err, line)) return 0;
    if (!dcs.empty() && line.find(dcs) == std::string::npos) {
        imsg("Character set (%s) is unsupported (%s)", dcs.c_str(), line.c_str());
        dcs.clear();
    }
    if (!gsm_expect(gsm, err, line)) return 0;

    if (!gsm_write(gsm, err, "AT+CSCA?%s", e) || !gsm_expect(gsm, err, line)) return 0;
    imsg("Current Service Centre address (%s)", line.c_str());
    if (!gsm_read_ok(gsm, err)) return 0;
    if (!rec.sca.empty()) {
        imsg("Setting Service Centre Address (%s)", rec.sca.c_str());
        if (!gsm_write(gsm, err, "AT+CSCA=%s%s", rec.sca.c_str(), e) || !gsm_expect(gsm, err, line))
            return 0;
    }

    if (!gsm_write(gsm, err, "AT+CMGF=?%s", e) || !gsm_expect(gsm, err, line) ||
        !gsm_expect(gsm, err, line))
        return 0;
    if (rec.mode & MODE_PDU) {
        if (!gsm_write(gsm, err, "AT+CMGF=0%s", e)) return 0;
        gsm->ispdu = true;
    } else {
        if (!gsm_write(gsm, err, "AT+CMGF=1%s", e) || !gsm_expect(gsm, err, line)) return 0;
        int ok;
        if (gsm->coding != sms_coding::latin1) {
            // Text mode carries GSM text only; anything else goes in PDU mode.
            if (!dcs.empty() || gsm->usedcs == 8)
                imsg("Text mode uses the GSM character set with sms_coding %s",
                     sms_coding_name(gsm->coding));
            gsm->cscs = "GSM";
            ok = gsm_write(gsm, err, "AT+CSCS=\"GSM\"%s", e);
        } else if (!dcs.empty()) {
            gsm->cscs = dcs;
            ok = gsm_write(gsm, err, "AT+CSCS=\"%s\"%s", dcs.c_str(), e);
        } else if (gsm->usedcs == 8) {
            gsm->cscs = "UCS2";
            ok = gsm_write(gsm, err, "AT+CSCS=\"UCS2\"%s", e);
        } else {
            gsm->cscs = "GSM";
            ok = gsm_write(gsm, err, "AT+CSCS=\"GSM\"%s", e);
        }
        if (!ok) return 0;
    }
    if (!gsm_expect(gsm, err, line)) return 0;

    if (!gsm_write(gsm, err, "AT+CNMI=?%s", e) || !gsm_expect(gsm, err, line)) return 0;
    std::optional<std::string> cnmi = make_cnmi(line);
    if (!cnmi) {
        emsg("Failed to make CNMI from (%s)", line.c_str());
        return 0;
    }
    if (!gsm_expect(gsm, err, line)) return 0;
    if (!gsm_write(gsm, err, "AT+CNMI=%s%s", cnmi->c_str(), e) || !gsm_expect(gsm, err, line))
        return 0;

    if (!gsm_write(gsm, err, "AT+CSQ=?%s", e) || !gsm_expect(gsm, err, line)) return 0;
    imsg("Signal range (%s)", line.c_str());
    if (!gsm_read_ok(gsm, err)) return 0;
    if (!gsm_write(gsm, err, "AT+CSQ%s", e) || !gsm_expect(gsm, err, line)) return 0;
    imsg("Signal level now (%s)", line.c_str());
    gsm->signal_level = csq_level(line);
    if (!gsm_read_ok(gsm, err)) return 0;

    gsm->min_signal = rec.min_signal;
    gsm->signal_timeout = rec.signal_timeout;
    if (gsm->ispdu) return 1;

    if (!gsm_write(gsm, err, "AT+CSDH=?%s", e) || !gsm_expect(gsm, err, line) ||
        !gsm_read_ok(gsm, err))
        return 0;
    if (!gsm_write(gsm, err, "AT+CSDH=1%s", e) || !gsm_expect(gsm, err, line)) return 0;
    return 1;
}

int setup(sms_data_gsm* gsm, const gsm_init& rec, int& err) {
    gsm->port = rec.port;
    imsg("Opening %s (BAUD=%d)...", rec.port.c_str(), rec.baud);
    if (!com_open(gsm->com.get(), rec.port, rec.baud)) {
        // Kept as the reason of the open itself: errno may have changed by the time the
        // text is made.
        gsm->startup_failure = system_error(errno);
        err = GSM_ERR_OPEN;
        return 0;
    }
    if (!rec.debug_file.empty()) {
        imsg("Com port debug file (%s)", rec.debug_file.c_str());
        std::string why;
        gsm->flog = trace_open(rec.debug_file, why);
        if (!gsm->flog) emsg("Failed to append to '%s', %s", rec.debug_file.c_str(), why.c_str());
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
    return dialogue(gsm, rec, err);
}

// Characters that would end or change the command they are written into.
bool safe_for_command(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 32 || c == '"' || c == 127) return false;
    }
    return true;
}

int signal_check(sms_data_gsm* gsm, int& err) {
    int count = 0;
    int level = 0;
    std::string line;
    for (;;) {
        if (gsm->signal_timeout != 0 && count >= gsm->signal_timeout) break;
        if (!gsm_write(gsm, err, "AT+CSQ%s", gsm->w_endl.c_str()) || !gsm_expect(gsm, err, line))
            return 0;
        level = line.size() > 6 ? first_number(std::string_view(line).substr(6)) : 0;
        gsm->signal_level = csq_level(line);
        // 99 is the modem's "not known or not detectable": no signal to send on.
        if (level == 99) level = 0;
        if (!gsm_read_ok(gsm, err)) return 0;
        if (level >= gsm->min_signal) break;
        imsg("Signal strength (%d) is too weak (< %d)", level, gsm->min_signal);
        lib_msleep(gsm->signal_pause_ms);
        ++count;
    }
    imsg("Waited %d secs for signal to improve", count);
    if (gsm->signal_timeout != 0 && count >= gsm->signal_timeout) {
        emsg("Signal strength (%d) is too weak (< %d)", level, gsm->min_signal);
        err = GSM_ERR_SIGNAL;
        return 0;
    }
    imsg("Signal strength (%d) is ok (> %d)", level, gsm->min_signal);
    return 1;
}

// After the AT+CMGS command: the prompt, the bytes and Ctrl-Z, the answer.
int transmit(sms_data_gsm* gsm, std::string bytes) {
    int err = 0;
    bytes += '\x1a';
    // From here on the modem may be in text entry: every way out that is not the
    // modem's own final answer ends it, so that the next command is not typed into
    // this message.
    if (!gsm_wait_prompt(gsm, err, gsm->reply_ms)) {
        if (err == GSM_ERR_TIMEOUT) gsm_end_text_entry(gsm);
        return err ? err : GSM_ERR_UNEXPECTED;
    }
    if (!gsm_write_raw(gsm, err, bytes)) {
        gsm_end_text_entry(gsm);
        return err;
    }
    // Sent only when the modem gives the message its reference: an OK alone, or a
    // line of its own in between, is no proof.
    bool referenced = false;
    std::string line;
    for (;;) {
        if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) {
            gsm_end_text_entry(gsm);
            return GSM_ERR_TIMEOUT;
        }
        if (line.starts_with("+CMGS:")) {
            referenced = true;
            continue;
        }
        if (gsm_iserror(line, err)) return err;
        if (line == "OK") break;
        if (!line.starts_with(">"))  // the echo of the text, on modems that echo it
            imsg("Passing over a line while the message is sent (%s)", gsm_printable(line).c_str());
    }
    if (!referenced) {
        emsg("The modem answered OK without a message reference: not counted as sent");
        return GSM_ERR_UNEXPECTED;
    }
    return 0;
}

// Today's single SMS of Latin-1 bytes (sms_coding latin1), for providers that rely
// on it: the data coding of sms_dcs in PDU mode, 140 bytes in text mode.
int send_latin1(sms_data_gsm* gsm, std::string_view to, std::string_view message) {
    int err = 0;
    std::string bytes;
    std::string text = cut(latin1_from_utf8(message));
    if (gsm->ispdu) {
        int octets = gsm_codec_encode_pdu(gsm->usedcs, to, text, bytes);
        if (octets <= 0) return GSM_ERR_UNEXPECTED;
        if (!gsm_write(gsm, err, "AT+CMGS=%d%s", octets, gsm->w_endl.c_str())) return err;
    } else {
        std::string dest(to);
        if (gsm->usedcs == 8) dest = gsm_codec_to_modem(true, false, dest, 1000);
        if (!gsm_write(gsm, err, "AT+CMGS=\"%s\"%s", dest.c_str(), gsm->w_endl.c_str())) return err;
        bytes = gsm_codec_to_modem(gsm->usedcs == 8, gsm->ext7bit, text, 140);
    }
    return transmit(gsm, std::move(bytes));
}

// Every part in PDU mode; the first failure ends the send with its code.
int send_parts(sms_data_gsm* gsm, std::string_view to, const sms_split& split) {
    for (std::size_t k = 0; k < split.parts.size(); ++k) {
        std::string unit;
        int octets =
            gsm_codec_encode_part(gsm->next_reference, to, split.alphabet, split.parts[k], unit);
        if (octets <= 0) return GSM_ERR_UNEXPECTED;
        gsm->next_reference = (gsm->next_reference + 1) % 256;
        int err = 0;
        if (!gsm_write(gsm, err, "AT+CMGS=%d%s", octets, gsm->w_endl.c_str())) return err;
        if (int code = transmit(gsm, unit); code != 0) {
            if (split.parts.size() > 1)
                emsg("Part %zu of %zu to (%s) failed [%d]", k + 1, split.parts.size(),
                     cut(to, 100).c_str(), code);
            return code;
        }
    }
    return 0;
}

// Why a text cannot go in text mode (GSM characters typed after the prompt), or
// null when it can. Ctrl-Z (the septet of a Greek capital) would end the text
// early, and ESC (in front of an extension character) cancels it on most modems.
const char* needs_pdu(const sms_split& split, bool ext7bit) {
    if (split.alphabet != sms_alphabet::gsm) return "it needs UCS-2";
    if (split.parts.size() > 1) return "it needs several parts";
    for (unsigned char c : split.parts[0].data) {
        if (c == 0x1A) return "it holds a character that ends text entry";
        if (c == GSM_ESC && !ext7bit) return "it holds extension characters";
    }
    return nullptr;
}

int switch_mode(sms_data_gsm* gsm, bool pdu) {
    int err = 0;
    std::string line;
    if (!gsm_write(gsm, err, "AT+CMGF=%d%s", pdu ? 0 : 1, gsm->w_endl.c_str()) ||
        !gsm_expect(gsm, err, line))
        return err ? err : GSM_ERR_UNEXPECTED;
    gsm->ispdu = pdu;
    return 0;
}

int send_locked(sms_data_gsm* gsm, std::string_view to, std::string_view message) {
    int err = 0;
    if (!safe_for_command(to) || to.empty()) {
        emsg("Refusing to send to (%.*s): not a phone number", static_cast<int>(cut(to).size()),
             to.data());
        return GSM_ERR_UNEXPECTED;
    }
    gsm_drop_stale(gsm);
    if (gsm->min_signal > 0 && !signal_check(gsm, err)) return err ? err : GSM_ERR_UNEXPECTED;
    if (gsm->coding == sms_coding::latin1) return send_latin1(gsm, to, message);

    sms_split split = sms_text_split(message, gsm->coding, gsm->max_parts, sms_next_reference(to));
    if (split.cut)
        emsg("Text to (%s) needs more than %d parts: sent cut to %zu characters",
             cut(to, 100).c_str(), gsm->max_parts, split.characters);
    if (split.substituted > 0)
        imsg("%zu characters outside the GSM alphabet sent as \"?\"", split.substituted);
    if (gsm->ispdu) return send_parts(gsm, to, split);

    const char* why = needs_pdu(split, gsm->ext7bit);
    if (why == nullptr) {
        if (!gsm_write(gsm, err, "AT+CMGS=\"%s\"%s", std::string(to).c_str(), gsm->w_endl.c_str()))
            return err;
        return transmit(gsm, split.parts[0].data);
    }
    imsg("Sending to (%s) in PDU mode: %s (%zu %s parts)", cut(to, 100).c_str(), why,
         split.parts.size(), sms_alphabet_name(split.alphabet));
    if (int code = switch_mode(gsm, true); code != 0) return code;
    int code = send_parts(gsm, to, split);
    // The message went either way; a modem left in PDU mode is driven in PDU mode.
    if (int back = switch_mode(gsm, false); back != 0)
        emsg("The modem did not go back to text mode [%d]", back);
    return code;
}

}  // namespace

bool sms_data_gsm::up() const {
    return reader_running && answering;
}

std::string sms_data_gsm::state_text() const {
    if (!reader_running) return "down: the serial line is closed";
    if (!answering) return "down: the modem does not answer";
    int level = signal_level;
    return level < 0 ? "up, signal unknown" : strprintf("up, signal %d of 31", level);
}

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

std::unique_ptr<sms> sms_gsm_init(const gsm_init& init, int& errcode) {
    auto st = std::make_unique<sms_data_gsm>();
    st->lock_com = th_mutex_new("USING_GSM_MODEM");
    st->lock_buffer = th_mutex_new("USING_READ_BUFFER");
    st->lock_queue = th_mutex_new("GSM_SEND_QUEUE");
    st->com = com_new();
    errcode = 0;
    const gsm_init* rec = &init;
    if (rec->reply_ms > 0) st->reply_ms = rec->reply_ms;
    if (rec->delete_retry_ms > 0) st->delete_retry_ms = rec->delete_retry_ms;
    if (rec->pause_ms >= 0) {
        st->csms_pause_ms = rec->pause_ms;
        st->signal_pause_ms = rec->pause_ms;
    }
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
    imsg("GSM modem on %s ready (%s mode)", rec->port.c_str(), st->ispdu ? "PDU" : "text");
    return st;
}

int sms_data_gsm::send(const smtp_message_extra* /*data*/, std::string_view from,
                       std::string_view to, std::string_view message) {
    sms_data_gsm* gsm = this;
    if (gsm == nullptr || !gsm->lock_com) return GSM_ERR_UNEXPECTED;
    std::string f = cut(from, 200);
    std::string t = cut(to, 200);
    imsg("Sending GSM, from=(%s) to=(%s) message=(%.10s...) aquire lock...", f.c_str(), t.c_str(),
         cut(message, 10).c_str());
    int code;
    {
        MutexHold hold(gsm->lock_com.get());
        imsg("Sending GSM, lock aquired");
        code = send_locked(gsm, to, message);
    }
    if (code == 0) imsg("Sending GSM, sent");
    imsg("Sending GSM, end");
    return code;
}

const char* sms_data_gsm::msg_from(sms_message* msg) {
    auto* m = kind_cast<gsm_sms>(msg);
    return m ? m->phone.c_str() : "";
}

const char* sms_data_gsm::msg_body(sms_message* msg) {
    auto* m = kind_cast<gsm_sms>(msg);
    return m ? m->message.c_str() : "";
}

}  // namespace tolvane
