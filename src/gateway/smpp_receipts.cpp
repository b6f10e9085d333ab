// SMPP settings and delivery receipts: see smpp_receipts.h.
#include "gateway/smpp_receipts.h"

#include "gateway/api_messages.h"

#include <chrono>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/keys.h"
#include "gateway/routes.h"
#include "smtp/engine.h"
#include "smtp/relay_client.h"
#include "records/msgrec.h"
#include "records/stores.h"

namespace tolvane {

namespace {

long number_or(const std::string& text, long fallback, long lo, long hi, const char* key) {
    if (text.empty()) return fallback;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || v < lo || v > hi) {
        emsg("%s (%s) is not a number from %ld to %ld; using %ld", key, text.c_str(), lo, hi,
             fallback);
        return fallback;
    }
    return v;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

void smpp_configure(smpp_settings& s, const std::function<std::string(int)>& get) {
    s.window = static_cast<int>(number_or(get(SMPP_WINDOW), 10, 1, 1000, "smpp_window"));
    s.response_ms =
        number_or(get(SMPP_RESPONSE_TIMEOUT), 30, 1, 3600, "smpp_response_timeout") * 1000;
    s.enquire_ms = number_or(get(SMPP_ENQUIRE_SECS), 30, 0, 3600, "smpp_enquire_link") * 1000;
    s.reconnect_max_ms =
        number_or(get(SMPP_RECONNECT_MAX), 60, 1, 86400, "smpp_reconnect_max") * 1000;
    s.throughput =
        static_cast<int>(number_or(get(SMPP_THROUGHPUT), 0, 0, 100000, "smpp_throughput"));
    s.dest_ton = static_cast<int>(number_or(get(SMPP_DEST_TON), -1, 0, 255, "smpp_dest_ton"));
    s.dest_npi = static_cast<int>(number_or(get(SMPP_DEST_NPI), -1, 0, 255, "smpp_dest_npi"));
    s.gsm_coding = static_cast<int>(number_or(get(SMPP_GSM_CODING), 0, 0, 3, "smpp_gsm_coding"));
    if (s.gsm_coding == 2) {
        emsg("smpp_gsm_coding 2 is not a text coding; using 0");
        s.gsm_coding = 0;
    }
    std::string bind = lower(get(SMPP_BIND));
    if (bind == "transceiver")
        s.bind = smpp_bind_kind::transceiver;
    else if (bind.empty() || bind == "pair")
        s.bind = smpp_bind_kind::pair;
    else
        emsg("smpp_bind (%s) is neither pair nor transceiver; using pair", bind.c_str());
    std::string rec = lower(get(SMPP_RECEIPTS));
    if (rec == "all")
        s.receipts = smpp_receipt_mode::all;
    else if (rec == "failure")
        s.receipts = smpp_receipt_mode::failure;
    else if (!rec.empty() && rec != "none")
        emsg("smpp_receipts (%s) is not none, failure or all; using none", rec.c_str());
    std::string lng = lower(get(SMPP_LONG));
    if (lng == "sar")
        s.long_mode = smpp_long_mode::sar;
    else if (lng == "payload")
        s.long_mode = smpp_long_mode::payload;
    else if (!lng.empty() && lng != "udh")
        emsg("smpp_long (%s) is not udh, sar or payload; using udh", lng.c_str());
}

void SmppReceipts::remember(const std::string& message_id, const smpp_submit_record& r) {
    if (message_id.empty()) return;
    std::lock_guard<std::mutex> g(lock_);
    if (submits_.insert_or_assign(message_id, r).second) order_.push_back(message_id);
    while (order_.size() > SMPP_REMEMBERED_MAX) {
        submits_.erase(order_.front());
        order_.pop_front();
    }
}

void SmppReceipts::expect(const std::string& message_id, smpp_submit_record r) {
    r.settled = false;
    remember(message_id, r);
}

void SmppReceipts::settled(const std::string& message_id) {
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = submits_.find(message_id);
        if (it == submits_.end() || it->second.settled) return;
        it->second.settled = true;
    }
    settled_.notify_all();
}

bool SmppReceipts::record(const smpp_receipt& r) {
    if (!r.final()) {
        imsg("SMPP receipt for (%s) says %s; waiting for its final state", r.message_id.c_str(),
             r.state.c_str());
        return true;
    }
    smpp_submit_record s;
    bool found = false;
    {
        std::unique_lock<std::mutex> g(lock_);
        auto it = submits_.find(r.message_id);
        if (it != submits_.end() && !it->second.settled) {
            settled_.wait_for(g, std::chrono::milliseconds(SMPP_RECEIPT_WAIT_MS), [&] {
                auto now = submits_.find(r.message_id);
                return now == submits_.end() || now->second.settled;
            });
            it = submits_.find(r.message_id);
        }
        if (it != submits_.end()) {
            s = it->second;
            found = true;
            submits_.erase(it);  // the order list forgets it when it comes round
        }
    }
    std::string text = "msgid " + r.message_id;
    if (!r.error.empty()) text += " err " + r.error;
    if (!found) {
        // Sent before a restart, or never by us: the record still says what happened
        // to which phone.
        imsg("SMPP receipt for unknown message id (%s)", r.message_id.c_str());
        return state_write(state_, r.state, "SMS", "", r.source, text, "rec", false) == 1;
    }
    if (!state_write(state_, r.state, s.client, s.bill, s.dest, text, "rec", false)) return false;
    bool failed = r.failed();
    if (!s.api_id.empty()) {
        if (ApiMessages* api = api_.load()) api->receipt(s.api_id, !failed, r.state);
        return true;
    }
    if (relay_ != nullptr && !s.bill.empty() && (s.want_report || (failed && notify_failures_))) {
        std::string notice =
            failed ? strprintf("SMS to (%s) failed delivery (%s)", s.dest.c_str(), r.state.c_str())
                   : strprintf("SMS to (%s) was delivered", s.dest.c_str());
        RelayMail mail{s.originator, s.bill, notice, {}};
        mail_header_set(mail.headers, "Subject", failed ? "SMS Failed" : "SMS Delivered");
        mail_header_set(mail.headers, "X-Tolvane", "REPORT");
        if (Status st = relay_->send(mail); !st)
            emsg("Failed to mail the delivery report to [%s] [%d:%s]", s.bill.c_str(),
                 st.error().code, st.reason().c_str());
    }
    return true;
}

int smpp_receipts_install(SmppReceipts* receipts, SmsTransport* t) {
    if (t == nullptr) return 0;
    int installed = 0;
    auto install = [&](SmsTransport& one) {
        if (sms_smpp_set_receipt_handler(
                one, [receipts](const smpp_receipt& r) { return receipts->record(r); }))
            ++installed;
    };
    if (auto* routed = dynamic_cast<RoutedTransport*>(t))
        routed->for_each_member(install);
    else
        install(*t);
    return installed;
}

}  // namespace tolvane
