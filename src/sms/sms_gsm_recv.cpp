// The GSM modem transport's receiving side: the listing of stored messages, the
// wait for new-message indications, reading a message, deleting it once the gateway
// has stored it (or keeping it to be read again), and the parser of the +CMGL / +CMGR
// header fields.
//
// A message stays in the modem until the gateway answers for it: accepted (stored in
// the queue) deletes it, rejected or released unanswered leaves it there and lists
// the modem again after poll_ms. Places handed out and not answered yet are never
// handed out twice, neither by a listing nor by an indication.
#include <algorithm>
#include <chrono>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "sms/sms_gsm.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

namespace {

constexpr const char* PDU_MODE_STATUS[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT",
                                           "ALL"};

struct field {
    std::string text;
    bool quoted = false;
};

// Comma-separated fields; commas inside quotes belong to the field, quotes removed.
std::vector<field> split_fields(std::string_view info) {
    std::vector<field> out(1);
    bool inq = false;
    for (char c : info) {
        if (c == '"') {
            inq = !inq;
            out.back().quoted = true;
        } else if (c == ',' && !inq) {
            out.emplace_back();
        } else if (out.back().text.size() < TEXT_MAX) {
            out.back().text += c;
        }
    }
    for (field& f : out) f.text = std::string(strtrm(f.text));
    return out;
}

// Stored outgoing messages (drafts, copies of sent ones) share the memory with
// received ones; only these are handed on.
bool received(const gsm_sms& msg) {
    return !msg.is_submit && !msg.status.starts_with("STO");
}

int number(const field& f) {
    return s_atoi(f.text.c_str());
}

bool looks_like_time(const field& f) {
    return f.quoted && f.text.find('/') != std::string::npos &&
           f.text.find(':') != std::string::npos;
}

// PDU mode: stat, optional alpha, length.
int pdu_message_info(int& errcode, gsm_sms& msg, const std::vector<field>& f) {
    if (f.size() < 2 || f[0].text.empty()) {
        errcode = GSM_ERR_UNEXPECTED;
        return 0;
    }
    int st = number(f[0]);
    msg.status = st >= 0 && st <= 4 ? PDU_MODE_STATUS[st] : "";
    dmsg("Message 'status' (%d)(%s)", st, msg.status.c_str());
    const field& len = f.size() >= 3 ? f[2] : f[1];
    msg.alpha = f.size() >= 3 ? f[1].text : std::string();
    dmsg("Message 'alpha' (%s)", msg.alpha.c_str());
    // A unit is at most a few hundred octets: a larger count is junk, and must not
    // make the body read wait for bytes that never come (nor overflow).
    const int octets = number(len);
    if (octets < 0 || octets > GSM_PDU_OCTETS_MAX || len.text.empty()) {
        msg.length = 0;
        errcode = GSM_ERR_UNEXPECTED;
        return 0;
    }
    msg.length = octets * 2;
    dmsg("PDU length (%d)", msg.length);
    return 1;
}

// Text mode's optional tail after the time stamp, from field i on: the type of address,
// for +CMGR the first octet, protocol id, coding, service centre and its type; then the
// length.
void text_message_tail(gsm_sms& msg, const std::vector<field>& f, std::size_t i, bool iscmgl) {
    auto num = [&](int& into, const char* name) {
        if (i < f.size() && !f[i].text.empty()) {
            into = number(f[i]);
            dmsg("Message '%s' (%d)", name, into);
        }
        ++i;
    };
    num(msg.type_of_originating_address, "type of originating address");
    if (!iscmgl) {
        num(msg.first_octet_of_sms, "first octet of sms");
        num(msg.protocal_identifier, "protocal identifier");
        num(msg.data_coding_sceme, "data coding sceme");
        if (i < f.size()) {
            msg.service_center = f[i].text;
            dmsg("Message 'service center' (%s)", msg.service_center.c_str());
        }
        ++i;
        num(msg.type_of_service_center, "type of service center");
    }
    if (i < f.size() && !f[i].text.empty()) msg.length = number(f[i]);
}

// Text mode: stat, oa, optional alpha, scts, then the optional tail.
int text_message_info(sms_data_gsm* gsm, int& errcode, gsm_sms& msg, const std::vector<field>& f,
                      bool iscmgl) {
    if (f.size() < 3) {
        errcode = GSM_ERR_UNEXPECTED;
        return 0;
    }
    msg.status = f[0].text;
    dmsg("Message 'status' (%s)", msg.status.c_str());
    msg.phone = f[1].text;
    dmsg("Message 'from' (%s)", msg.phone.c_str());
    std::size_t i = 2;
    bool alpha_absent = looks_like_time(f[2]) && (f.size() < 4 || !looks_like_time(f[3]));
    if (!alpha_absent) {
        msg.alpha = f[2].text;
        dmsg("Message 'alpha' (%s)", msg.alpha.c_str());
        i = 3;
    }
    if (i >= f.size()) {
        errcode = GSM_ERR_UNEXPECTED;
        return 0;
    }
    msg.timestamp = f[i++].text;
    dmsg("Message 'timestamp' (%s)", msg.timestamp.c_str());
    msg.length = 0;
    text_message_tail(msg, f, i, iscmgl);
    if (msg.length < 0 || msg.length > static_cast<int>(TEXT_MAX)) msg.length = 0;
    if (gsm->usedcs == 8) {
        dmsg("Decoding 'from' UCS2 (%s)", msg.phone.c_str());
        msg.phone = gsm_codec_from_modem(true, false, msg.phone, TEXT_MAX);
        if (!msg.service_center.empty()) {
            dmsg("Decoding 'service center' UCS2 (%s)", msg.service_center.c_str());
            msg.service_center = gsm_codec_from_modem(true, false, msg.service_center, TEXT_MAX);
        }
        msg.length *= 4;
        dmsg("Message 'length' UCS2 (%d)", msg.length);
    } else {
        dmsg("Message 'length' (%d)", msg.length);
    }
    return 1;
}

}  // namespace

// Reads the header fields that follow the index of a +CMGL line, or the prefix of a
// +CMGR line, into msg.
int gsm_process_message_info(sms_data_gsm* gsm, int& errcode, gsm_sms& msg, std::string_view info,
                             bool iscmgl) {
    std::vector<field> f = split_fields(info);
    if (gsm->ispdu) return pdu_message_info(errcode, msg, f);
    return text_message_info(gsm, errcode, msg, f, iscmgl);
}

namespace {

// Reads the body that follows a +CMGL / +CMGR header into msg. 0 when it did not
// all come.
int read_body(sms_data_gsm* gsm, int& err, gsm_sms& msg) {
    std::string sca;
    if (gsm->ispdu) {
        if (gsm_read_raw(gsm, err, GRL_RAW | GRL_SKIP_BLANK, gsm->reply_ms, sca, 2) != 2) return 0;
        int octets = static_cast<int>(std::strtol(sca.c_str(), nullptr, 16));
        msg.length += 2 * octets;
        dmsg("PDU length (including SCA) (%d)", msg.length);
    }
    std::string body;
    if (msg.length > 0 && gsm_read_raw(gsm, err, GRL_RAW | GRL_SKIP_BLANK, gsm->reply_ms, body,
                                       static_cast<std::size_t>(msg.length)) != msg.length)
        return 0;
    if (gsm->ispdu) {
        std::string unit = sca + body;
        if (!gsm_codec_decode_pdu(unit, msg)) emsg("Could not decode PDU (%s)", unit.c_str());
    } else {
        msg.message = gsm_codec_text_body(gsm->cscs, msg.data_coding_sceme, body);
        msg.length = static_cast<int>(msg.message.size());
    }
    return 1;
}

// A listed message that is handed out and not answered yet, or accepted and waiting
// for its refused delete to be tried again. Called with lock_com held.
bool in_hand(sms_data_gsm* gsm, const gsm_sms& msg) {
    for (const gsm_pending_delete& p : gsm->pending_deletes) {
        if (p.index == msg.index && p.phone == msg.phone && p.timestamp == msg.timestamp &&
            p.message == msg.message)
            return true;
    }
    std::lock_guard<std::mutex> l(gsm->settle_lock);
    return std::find(gsm->handed.begin(), gsm->handed.end(), msg.index) != gsm->handed.end();
}

// Marks msg as given to the gateway.
void hand_out(sms_data_gsm* gsm, gsm_sms& msg) {
    std::lock_guard<std::mutex> l(gsm->settle_lock);
    gsm->handed.push_back(msg.index);
    msg.handed_out = true;
}

// Ends msg's time in hand; false when it was answered already (or never handed out).
bool settle(sms_data_gsm* gsm, gsm_sms& msg) {
    std::lock_guard<std::mutex> l(gsm->settle_lock);
    if (!msg.handed_out || msg.settled) return false;
    msg.settled = true;
    auto it = std::find(gsm->handed.begin(), gsm->handed.end(), msg.index);
    if (it != gsm->handed.end()) gsm->handed.erase(it);
    return true;
}

// Leaves msg in the modem and lists the modem again after poll_ms to read it then.
void keep(sms_data_gsm* gsm, gsm_sms& msg, const char* why) {
    if (!settle(gsm, msg)) return;
    emsg("Message (%d) from (%s) left in the modem (%s): read again in %ld s", msg.index,
         msg.phone.empty() ? "not read" : msg.phone.c_str(), why, gsm->poll_ms / 1000);
    {
        std::lock_guard<std::mutex> l(gsm->settle_lock);
        auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(gsm->poll_ms);
        if (!gsm->relist_pending || due < gsm->relist_at) gsm->relist_at = due;
        gsm->relist_pending = true;
    }
    // The indication wait in progress may have begun before this and wait without end: it
    // ends now, so that the next one ends at the time of the listing.
    gsm->interrupt();
}

// Lists the modem's messages into stored; called with lock_com held.
void list_stored(sms_data_gsm* gsm, int& err) {
    std::string line;
    gsm_drop_stale(gsm);
    if (gsm->ispdu) {
        if (!gsm_write(gsm, err, "AT+CMGL=4%s", gsm->w_endl.c_str())) return;
    } else if (!gsm_write(gsm, err, "AT+CMGL=\"ALL\"%s", gsm->w_endl.c_str())) {
        return;
    }
    if (!gsm_expect(gsm, err, line)) return;
    std::size_t over = 0;
    for (;;) {
        if (line == "OK") {
            gsm->donestored = true;
            break;
        }
        if (line.starts_with("+CMGL:")) {
            auto msg = std::make_unique<gsm_sms>();
            std::string_view rest = std::string_view(line).substr(line.size() > 7 ? 7 : 6);
            std::string idx(rest.substr(0, rest.find(',')));
            msg->index = s_atoi(idx.c_str());
            std::size_t comma = line.find(',');
            int perr = 0;
            if (comma == std::string::npos ||
                !gsm_process_message_info(gsm, perr, *msg, std::string_view(line).substr(comma + 1),
                                          true))
                imsg("Didn't like the message line (%s)", line.c_str());
            if (!read_body(gsm, err, *msg)) break;
            if (gsm->ispdu && msg->is_submit) {
                imsg("Skipping stored PDU it's not an incoming message");
            } else if (!received(*msg)) {
                imsg("Skipping stored message (%d) (%s): not a received message", msg->index,
                     msg->status.c_str());
            } else if (in_hand(gsm, *msg)) {
                dmsg("Stored message (%d) is being handled already", msg->index);
            } else if (gsm->stored.size() < GSM_STORED_MAX) {
                imsg("Stored message (%d) from (%s)", msg->index, msg->phone.c_str());
                gsm->stored.push_back(std::move(msg));
            } else {
                // Left in the modem for the next listing.
                ++over;
            }
        } else if (gsm_iserror(line, err)) {
            break;
        } else {
            imsg("Didn't like the message line (%s)", line.c_str());
        }
        if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) break;
    }
    if (over > 0) {
        imsg("%zu more stored messages are left in the modem for a later listing", over);
        gsm->relist = true;
    }
}

int delete_message(sms_data_gsm* gsm, int index) {
    int err = 0;
    gsm_drop_stale(gsm);
    if (!gsm_write(gsm, err, "AT+CMGD=%d%s", index, gsm->w_endl.c_str())) return err;
    return gsm_classify(gsm, err);
}

// Deletes a message the gateway has stored; a refusal is logged and the delete
// tried again later, so that reception goes on. Called with lock_com held.
void delete_handed_on(sms_data_gsm* gsm, const gsm_sms& msg) {
    int err = delete_message(gsm, msg.index);
    if (err == 0) return;
    std::string why;
    gsm->error(err, why);
    emsg("Could not delete message (%d) from the modem [%d:%s], trying again later", msg.index, err,
         why.c_str());
    gsm_pending_delete p;
    p.index = msg.index;
    p.phone = msg.phone;
    p.timestamp = msg.timestamp;
    p.message = msg.message;
    p.wait_ms = gsm->delete_retry_ms;
    p.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(p.wait_ms);
    gsm->pending_deletes.push_back(std::move(p));
}

// Reads the message at index (AT+CMGR) into msg; 0 or an error code.
int read_message(sms_data_gsm* gsm, int index, gsm_sms& msg) {
    int err = 0;
    std::string line;
    gsm_drop_stale(gsm);
    if (!gsm_write(gsm, err, "AT+CMGR=%d%s", index, gsm->w_endl.c_str())) return err;
    if (!gsm_expect(gsm, err, line)) return err ? err : GSM_ERR_UNEXPECTED;
    std::string_view info = line.size() > 7 ? std::string_view(line).substr(7) : "";
    if (!line.starts_with("+CMGR:") || !gsm_process_message_info(gsm, err, msg, info, false)) {
        emsg("Unexpected reply to AT+CMGR (%s)", line.c_str());
        return err ? err : GSM_ERR_UNEXPECTED;
    }
    if (!read_body(gsm, err, msg)) return err ? err : GSM_ERR_TIMEOUT;
    if (gsm_read_line(gsm, err, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return err;
    if (line != "OK") imsg("Expcted 'OK' got '%s'", line.c_str());
    return 0;
}

// Tries the deletes that are due again. Before each, the place is read: a message
// that is gone needs no delete, and one that differs arrived after ours and must
// not be deleted unread. Called with lock_com held.
void retry_deletes(sms_data_gsm* gsm) {
    auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < gsm->pending_deletes.size();) {
        gsm_pending_delete& p = gsm->pending_deletes[i];
        if (p.due > now) {
            ++i;
            continue;
        }
        gsm_sms there;
        int err = read_message(gsm, p.index, there);
        bool done = false;
        if (err == 321 + 1) {  // invalid memory index: the place is empty
            imsg("Message (%d) is no longer in the modem", p.index);
            done = true;
        } else if (err == 0 && (there.phone != p.phone || there.timestamp != p.timestamp ||
                                there.message != p.message)) {
            imsg("Place (%d) holds another message now: not deleted", p.index);
            done = true;
        } else if (err == 0 && (err = delete_message(gsm, p.index)) == 0) {
            imsg("Deleted message (%d) on try %d", p.index, p.tries + 1);
            done = true;
        }
        if (!done && ++p.tries >= GSM_DELETE_TRIES) {
            emsg("Giving up deleting message (%d) after %d tries [%d]", p.index, p.tries, err);
            done = true;
        }
        if (done) {
            gsm->pending_deletes.erase(gsm->pending_deletes.begin() + static_cast<long>(i));
            continue;
        }
        p.wait_ms = std::min(p.wait_ms * 2, GSM_DELETE_RETRY_MAX_MS);
        p.due = now + std::chrono::milliseconds(p.wait_ms);
        ++i;
    }
}

// A message listed in the modem, when one is held: listed again when that is due; one is
// handed out per wait. Listed messages still held are handed out before any new
// listing, so that a listing cut short and repeated gives nothing twice.
std::unique_ptr<sms_message> next_stored(sms_data_gsm* gsm, int& errcode) {
    if (gsm->donestored && gsm->stored.empty()) {
        std::lock_guard<std::mutex> l(gsm->settle_lock);
        if (gsm->relist_pending && std::chrono::steady_clock::now() >= gsm->relist_at) {
            gsm->relist_pending = false;
            gsm->donestored = false;
            imsg("Listing the modem again for the messages left in it");
        }
    }
    if (!gsm->donestored && gsm->stored.empty()) {
        MutexHold hold(gsm->lock_com.get());
        list_stored(gsm, errcode);
        if (errcode != 0 && !gsm->stored.empty()) errcode = 0;  // hand out what was listed
    }
    if (gsm->stored.empty()) return nullptr;
    std::unique_ptr<sms_message> out = std::move(gsm->stored.back());
    gsm->stored.pop_back();
    hand_out(gsm, *static_cast<gsm_sms*>(out.get()));
    if (gsm->stored.empty() && gsm->relist) {
        gsm->relist = false;
        gsm->donestored = false;
    }
    return out;
}

// The next line the modem sent by itself: 1 with it in `line`; 0 when there is none yet
// (look again); -1 when the wait ends (its time is up, an interrupt, or the stop). A
// delete to try again brings the deadline forward.
int next_unsolicited(sms_data_gsm* gsm, std::chrono::steady_clock::time_point& deadline,
                     std::string& line) {
    using clock = std::chrono::steady_clock;
    unsigned long seen;
    {
        std::lock_guard<std::mutex> l(gsm->arrived_lock);
        if (gsm->interrupted) {
            gsm->interrupted = false;
            return -1;
        }
        seen = gsm->arrivals;
    }
    int got;
    {
        // The modem's lock only for a look at what has arrived: a send is never
        // kept waiting by an idle wait.
        long left = deadline == clock::time_point::max()
                        ? GSM_REPLY_MS
                        : static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                deadline - clock::now())
                                                .count());
        MutexHold hold(gsm->lock_com.get(), std::max(left, 0L));
        if (!hold) return clock::now() >= deadline ? -1 : 0;
        for (const auto& p : gsm->pending_deletes) deadline = std::min(deadline, p.due);
        int ignored = 0;
        got = gsm_read_line(gsm, ignored, GRL_INCOMING | GRL_SKIP_BLANK | GRL_DISCARD, 0, line);
    }
    if (got >= 0) return 1;
    // Nothing there: sleep until the reader brings more, the time is up, or an
    // interrupt. A reader that has ended brings nothing: only those two then.
    std::unique_lock<std::mutex> l(gsm->arrived_lock);
    bool woken = gsm->arrived.wait_until(l, deadline, [&] {
        return gsm->interrupted || gsm->stopping || (gsm->reader_running && gsm->arrivals != seen);
    });
    if (!woken || gsm->stopping) return -1;
    if (gsm->interrupted) {
        gsm->interrupted = false;
        return -1;
    }
    return 0;
}

// The memory and index of a new-message indication (+CMTI: "SM",3); false when the line
// is none.
bool read_indication(const std::string& line, gsm_sms& msg) {
    std::string_view rest = line.size() > 7 ? std::string_view(line).substr(7) : "";
    std::size_t q1 = rest.find('"');
    std::size_t q2 = q1 == std::string_view::npos ? q1 : rest.find('"', q1 + 1);
    std::size_t comma = q2 == std::string_view::npos ? q2 : rest.find(',', q2);
    if (!line.starts_with("+CMTI:") || comma == std::string_view::npos ||
        strtrm(rest.substr(comma + 1)).empty())
        return false;
    msg.memory = std::string(rest.substr(q1 + 1, q2 - q1 - 1));
    if (msg.memory.empty()) msg.memory = "SM";
    std::string idx(strtrm(rest.substr(comma + 1)));
    msg.index = s_atoi(idx.c_str());
    return true;
}

// The modem is away (its device gone, or being set up again): nothing is listed or
// awaited from it. The wait sleeps its time out, or until it is interrupted (the modem
// is back) or the state is freed.
std::unique_ptr<sms_message> wait_away(sms_data_gsm* gsm, int timeout_msec) {
    auto pred = [gsm] { return gsm->interrupted || gsm->stopping; };
    std::unique_lock<std::mutex> l(gsm->arrived_lock);
    if (timeout_msec < 0) {
        gsm->arrived.wait(l, pred);
    } else {
        gsm->arrived.wait_for(l, std::chrono::milliseconds(timeout_msec), pred);
    }
    gsm->interrupted = false;
    return nullptr;
}

}  // namespace

std::unique_ptr<sms_message> sms_data_gsm::wait(int timeout_msec, int& errcode) {
    sms_data_gsm* gsm = this;
    if (gsm == nullptr || !gsm->lock_com) {
        errcode = GSM_ERR_UNEXPECTED;
        return nullptr;
    }
    // A reply that came (or did not) in a message's read since the last wait.
    gsm_note_state(gsm);
    if (gsm->device != GSM_DEVICE_OK) return wait_away(gsm, timeout_msec);
    if (std::unique_ptr<sms_message> out = next_stored(gsm, errcode)) return out;
    if (errcode != 0 && gsm->device != GSM_DEVICE_OK) {
        // The device went away during the listing: not an error of the receiver. The
        // listing is done again once the modem is back.
        imsg("Listing the modem cut short: %s", gsm->state_text().c_str());
        errcode = 0;
        return wait_away(gsm, timeout_msec);
    }
    if (errcode != 0) return nullptr;
    if (!gsm->pending_deletes.empty()) {
        MutexHold hold(gsm->lock_com.get(), timeout_msec < 0 ? TH_FOREVER : timeout_msec);
        if (hold) retry_deletes(gsm);
    }
    using clock = std::chrono::steady_clock;
    auto deadline = timeout_msec < 0 ? clock::time_point::max()
                                     : clock::now() + std::chrono::milliseconds(timeout_msec);
    // A message left in the modem and a delete to try again are due at their times:
    // the wait ends then, so that the next one does them.
    {
        std::lock_guard<std::mutex> l(gsm->settle_lock);
        if (gsm->relist_pending) deadline = std::min(deadline, gsm->relist_at);
    }
    for (;;) {
        std::string line;
        int got = next_unsolicited(gsm, deadline, line);
        if (got < 0) return nullptr;
        if (got == 0) continue;
        auto msg = std::make_unique<gsm_sms>();
        if (!read_indication(line, *msg)) {
            emsg("Cannot read the new-message indication (%s)", line.c_str());
            continue;
        }
        {
            MutexHold hold(gsm->lock_com.get());
            if (in_hand(gsm, *msg)) {
                imsg("Message (%s)(%d) is being handled already", msg->memory.c_str(), msg->index);
                continue;
            }
            hand_out(gsm, *msg);
        }
        imsg("Incoming message (%s)(%d)", msg->memory.c_str(), msg->index);
        return msg;
    }
}

int sms_data_gsm::msg_recv(sms_message* m) {
    sms_data_gsm* gsm = this;
    auto* msg = kind_cast<gsm_sms>(m);
    if (gsm == nullptr || msg == nullptr || !gsm->lock_com) return GSM_ERR_UNEXPECTED;
    if (msg->memory.empty()) return 0;
    MutexHold hold(gsm->lock_com.get());
    if (int err = read_message(gsm, msg->index, *msg); err != 0) return err;
    if (!received(*msg)) {
        // An announcement should only ever name a received message; a draft stays.
        emsg("Message (%d) (%s) is not a received message: left in the modem", msg->index,
             msg->status.c_str());
        return GSM_ERR_UNEXPECTED;
    }
    return 0;
}

int sms_data_gsm::msg_accept(sms_message* m, int /*code*/, const char* /*reason*/) {
    sms_data_gsm* gsm = this;
    auto* msg = kind_cast<gsm_sms>(m);
    if (gsm == nullptr || msg == nullptr || !gsm->lock_com) return GSM_ERR_UNEXPECTED;
    if (msg->settled) return 0;  // answered already
    // Out of hand only once the delete is done (or queued for a retry): a listing
    // between the two would hand it out again.
    MutexHold hold(gsm->lock_com.get());
    delete_handed_on(gsm, *msg);
    settle(gsm, *msg);
    return 0;
}

int sms_data_gsm::msg_reject(sms_message* m, int /*code*/, const char* reason) {
    sms_data_gsm* gsm = this;
    auto* msg = kind_cast<gsm_sms>(m);
    if (gsm == nullptr || msg == nullptr) return GSM_ERR_UNEXPECTED;
    keep(gsm, *msg, reason != nullptr && *reason != '\0' ? reason : "rejected");
    return 0;
}

void sms_data_gsm::interrupt() {
    {
        std::lock_guard<std::mutex> l(arrived_lock);
        interrupted = true;
    }
    arrived.notify_all();
}

void sms_data_gsm::msg_free(std::unique_ptr<sms_message>& m) {
    if (auto* msg = kind_cast<gsm_sms>(m.get())) keep(this, *msg, "released unanswered");
    m.reset();
}

std::optional<gsm_message_view> sms_gsm_message_view(const sms_message* m) {
    const auto* msg = kind_cast<const gsm_sms>(m);
    if (msg == nullptr) return std::nullopt;
    return gsm_message_view{msg->memory.c_str(), msg->index, msg->status.c_str(),
                            msg->timestamp.c_str(), msg->service_center.c_str()};
}

}  // namespace tolvane
