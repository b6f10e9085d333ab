// SMPP protocol data units: see sms_smpp_pdu.h.
#include "sms/sms_smpp_pdu.h"

#include <cstring>

namespace tolvane {

namespace {

void put32(unsigned char* at, std::uint32_t v) {
    at[0] = static_cast<unsigned char>(v >> 24);
    at[1] = static_cast<unsigned char>(v >> 16);
    at[2] = static_cast<unsigned char>(v >> 8);
    at[3] = static_cast<unsigned char>(v);
}

std::uint32_t get32(const unsigned char* at) {
    return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
           (static_cast<std::uint32_t>(at[2]) << 8) | static_cast<std::uint32_t>(at[3]);
}

std::size_t left(const pdu& p) {
    return p.upto < p.body.size() ? p.body.size() - p.upto : 0;
}

}  // namespace

std::unique_ptr<pdu> pdu_new(std::uint32_t cmd_id, std::uint32_t cmd_status) {
    auto p = std::make_unique<pdu>();
    p->cmd_id = cmd_id;
    p->cmd_status = cmd_status;
    return p;
}

std::unique_ptr<pdu> pdu_dup(const pdu& p) {
    auto d = std::make_unique<pdu>(p);
    d->upto = 0;
    return d;
}

void pdu_clear(pdu& p) {
    p = pdu{};
}

void pdu_free(std::unique_ptr<pdu>& p) {
    p.reset();
}

int pdu_add_int(pdu& p, std::uint32_t value, int size) {
    if (size < 1 || size > 4) return 0;
    for (int i = size - 1; i >= 0; --i)
        p.body.push_back(static_cast<unsigned char>(value >> (8 * i)));
    return 1;
}

int pdu_add_string(pdu& p, std::string_view text, std::size_t max) {
    if (max == 0) return 0;
    std::size_t n = text.find('\0');
    if (n == std::string_view::npos) n = text.size();
    if (n > max - 1) n = max - 1;
    p.body.insert(p.body.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    p.body.push_back(0);
    return 1;
}

int pdu_add_octet(pdu& p, const void* bytes, std::size_t len) {
    if (len == 0) return 1;
    if (bytes == nullptr) return 0;
    const auto* b = static_cast<const unsigned char*>(bytes);
    p.body.insert(p.body.end(), b, b + len);
    return 1;
}

int pdu_get_int(pdu& p, int size, std::uint32_t& out) {
    if (size < 1 || size > 4) return 0;
    if (left(p) < static_cast<std::size_t>(size)) return 0;
    std::uint32_t v = 0;
    for (int i = 0; i < size; ++i) v = (v << 8) | p.body[p.upto + static_cast<std::size_t>(i)];
    p.upto += static_cast<std::size_t>(size);
    out = v;
    return 1;
}

int pdu_get_string(pdu& p, std::string& out, std::size_t max) {
    if (max == 0) return 0;
    std::size_t avail = left(p);
    const unsigned char* at = p.body.data() + p.upto;
    std::size_t limit = avail < max ? avail : max;
    const void* nul = limit ? std::memchr(at, 0, limit) : nullptr;
    if (nul != nullptr) {
        std::size_t n = static_cast<const unsigned char*>(nul) - at;
        out.assign(reinterpret_cast<const char*>(at), n);
        p.upto += n + 1;
        return 1;
    }
    if (avail < max) return 0;  // the body ends inside the string
    // No NUL within max octets: the last octet read stands for it.
    out.assign(reinterpret_cast<const char*>(at), max - 1);
    p.upto += max;
    return 1;
}

int pdu_get_octet(pdu& p, std::string& out, std::size_t len) {
    if (left(p) < len) return 0;
    out.assign(reinterpret_cast<const char*>(p.body.data() + p.upto), len);
    p.upto += len;
    return 1;
}

std::string pdu_encode(pdu& p) {
    p.length = static_cast<std::uint32_t>(SMPP_HEADER_LEN + p.body.size());
    std::string wire(SMPP_HEADER_LEN + p.body.size(), '\0');
    auto* w = reinterpret_cast<unsigned char*>(wire.data());
    put32(w, p.length);
    put32(w + 4, p.cmd_id);
    put32(w + 8, p.cmd_status);
    put32(w + 12, p.sequence);
    if (!p.body.empty()) std::memcpy(w + SMPP_HEADER_LEN, p.body.data(), p.body.size());
    return wire;
}

void pdu_header_decode(const unsigned char* h, pdu& out) {
    out.length = get32(h);
    out.cmd_id = get32(h + 4);
    out.cmd_status = get32(h + 8);
    out.sequence = get32(h + 12);
}

// ---- assembler ----

void pdu_assembler::feed(const char* data, std::size_t len) {
    if (broken_ || len == 0) return;
    const auto* d = reinterpret_cast<const unsigned char*>(data);
    if (skip_ > 0) {
        std::size_t drop = len < skip_ ? len : skip_;
        skip_ -= drop;
        d += drop;
        len -= drop;
    }
    if (len == 0) return;
    // Keep the buffer from growing without bound: drop what has been taken.
    if (pos_ > 0 && pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
    } else if (pos_ > 4096 && pos_ * 2 > buf_.size()) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
        pos_ = 0;
    }
    buf_.insert(buf_.end(), d, d + len);
}

pdu_take_result pdu_assembler::take(pdu& out) {
    if (broken_) return PDU_BROKEN;
    if (skip_ > 0 || buffered() < SMPP_HEADER_LEN) return PDU_NEED_MORE;
    const unsigned char* h = buf_.data() + pos_;
    pdu head;
    pdu_header_decode(h, head);
    if (head.length < SMPP_HEADER_LEN || head.length > SMPP_PDU_SKIP_MAX) {
        broken_ = true;
        out = head;
        return PDU_BROKEN;
    }
    if (head.length > SMPP_PDU_MAX) {
        std::size_t body = head.length - SMPP_HEADER_LEN;
        std::size_t have = buffered() - SMPP_HEADER_LEN;
        std::size_t drop = have < body ? have : body;
        pos_ += SMPP_HEADER_LEN + drop;
        skip_ = body - drop;
        out = head;
        return PDU_TOO_LONG;
    }
    if (buffered() < head.length) return PDU_NEED_MORE;
    out = head;
    out.body.assign(h + SMPP_HEADER_LEN, h + head.length);
    out.upto = 0;
    pos_ += head.length;
    if (pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
    }
    return PDU_TAKEN;
}

void pdu_assembler::reset() {
    buf_.clear();
    pos_ = 0;
    skip_ = 0;
    broken_ = false;
}

// ---- pending list ----

int pdulist_add(pdu_list& list, const pdu& p) {
    if (list.items.size() >= PDU_LIST_MAX) return 0;
    list.items.push_back(pdu_dup(p));
    return 1;
}

std::unique_ptr<pdu> pdulist_pop(pdu_list& list) {
    if (list.items.empty()) return nullptr;
    std::unique_ptr<pdu> p = std::move(list.items.front());
    list.items.pop_front();
    return p;
}

void pdulist_free(pdu_list& list) {
    list.items.clear();
}

const char* smpp_command_name(std::uint32_t cmd_id) {
    switch (cmd_id) {
        case SMPP_GENERIC_NACK:
            return "generic_nack";
        case SMPP_BIND_RECEIVER:
            return "bind_receiver";
        case SMPP_BIND_RECEIVER_RESP:
            return "bind_receiver_resp";
        case SMPP_BIND_TRANSMITTER:
            return "bind_transmitter";
        case SMPP_BIND_TRANSMITTER_RESP:
            return "bind_transmitter_resp";
        case SMPP_SUBMIT_SM:
            return "submit_sm";
        case SMPP_SUBMIT_SM_RESP:
            return "submit_sm_resp";
        case SMPP_DELIVER_SM:
            return "deliver_sm";
        case SMPP_DELIVER_SM_RESP:
            return "deliver_sm_resp";
        case SMPP_UNBIND:
            return "unbind";
        case SMPP_UNBIND_RESP:
            return "unbind_resp";
        case SMPP_ENQUIRE_LINK:
            return "enquire_link";
        case SMPP_ENQUIRE_LINK_RESP:
            return "enquire_link_resp";
        case SMPP_ALERT_NOTIFICATION:
            return "alert_notification";
        case SMPP_BIND_TRANSCEIVER:
            return "bind_transceiver";
        case SMPP_BIND_TRANSCEIVER_RESP:
            return "bind_transceiver_resp";
        default:
            return "unknown";
    }
}

}  // namespace tolvane
