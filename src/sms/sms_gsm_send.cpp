// The GSM modem transport's sending side: the signal check, AT+CMGS with its prompt
// and the text ended by Ctrl-Z, long texts as several PDU-mode parts, and the row
// operations that read a message's sender and text.
//
// Ownership: a send holds lock_com from its first command to its last reply; the
// message reference counter is advanced only under it.
#include <string>
#include <string_view>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "sms/sms_gsm.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

namespace {

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
        level = line.size() > 6 ? s_atoi(line.c_str() + 6) : 0;
        gsm->signal_level = gsm_csq_level(line);
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
        int octets = gsm_codec_encode_pdu(gsm->next_reference, gsm->usedcs, to, text, bytes);
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

SendResult sms_data_gsm::send(const SmsOut& sms) {
    const int code = send_text(sms.from, sms.to, sms.text);
    if (code == 0) return Sent{};
    // The modem away (its device gone, or being set up again), also when that happened
    // during this send: the SMS waits for it.
    const bool away = code == GSM_ERR_AWAY || device != GSM_DEVICE_OK;
    SendFailure kind = code == SMS_SEND_CUT && cutting     ? SendFailure::cut
                       : code == GSM_ERR_SIGNAL || away ? SendFailure::temporary
                                                        : SendFailure::failed;
    std::string why;
    if (kind == SendFailure::cut)
        why = "Send cut short by the shutdown";
    else
        error(code, why);
    return SendError{kind, code, why};
}

int sms_data_gsm::send_text(std::string_view from, std::string_view to, std::string_view message) {
    sms_data_gsm* gsm = this;
    if (gsm == nullptr || !gsm->lock_com) return GSM_ERR_UNEXPECTED;
    std::string f = cut(from, 200);
    std::string t = cut(to, 200);
    imsg("Sending GSM, from=(%s) to=(%s) message=(%.10s...) aquire lock...", f.c_str(), t.c_str(),
         cut(message, 10).c_str());
    if (gsm->cutting) return SMS_SEND_CUT;
    if (gsm->device != GSM_DEVICE_OK) {
        imsg("Sending GSM, the modem is away: %s", gsm->state_text().c_str());
        return GSM_ERR_AWAY;
    }
    int code;
    {
        MutexHold hold(gsm->lock_com.get());
        imsg("Sending GSM, lock aquired");
        code = gsm->cutting                      ? SMS_SEND_CUT
               : gsm->device != GSM_DEVICE_OK ? GSM_ERR_AWAY
                                              : send_locked(gsm, to, message);
    }
    if (code != 0 && gsm->cutting) {
        // The dialogue was cut by the shutdown: whether the modem sent it is unknown.
        imsg("Sending GSM, cut short by the shutdown");
        return SMS_SEND_CUT;
    }
    gsm_note_state(gsm);
    if (code == 0) imsg("Sending GSM, sent");
    imsg("Sending GSM, end");
    return code;
}

void sms_data_gsm::cut_sends(bool /*hard*/) {
    {
        std::lock_guard<std::mutex> l(arrived_lock);
        cutting = true;
    }
    arrived.notify_all();
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
