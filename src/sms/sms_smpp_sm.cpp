// SMPP short messages: see sms_smpp_sm.h.
#include "sms/sms_smpp_sm.h"

#include <cctype>

#include "foundation/log.h"
#include "sms/sms_text.h"

namespace tolvane {

namespace {

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool international(std::string_view s) {
    return s.size() > 1 && s[0] == '+' && all_digits(s.substr(1));
}

// Reads a C-Octet String of at most max octets (NUL included); false when the body
// ends first.
bool get_cstring(const pdu& p, std::size_t& at, std::string& out, std::size_t max) {
    std::size_t end = at;
    while (end < p.body.size() && p.body[end] != 0 && end - at < max) ++end;
    if (end >= p.body.size()) return false;
    if (p.body[end] != 0) {
        // No NUL within its size: the field is cut there, the way the centre's own
        // reader would, and reading goes on after the octet taken as its end.
        out.assign(p.body.begin() + static_cast<std::ptrdiff_t>(at),
                   p.body.begin() + static_cast<std::ptrdiff_t>(end - 1));
        at = end;
        return true;
    }
    out.assign(p.body.begin() + static_cast<std::ptrdiff_t>(at),
               p.body.begin() + static_cast<std::ptrdiff_t>(end));
    at = end + 1;
    return true;
}

bool get_u8(const pdu& p, std::size_t& at, int& out) {
    if (at >= p.body.size()) return false;
    out = p.body[at++];
    return true;
}

const char* state_of_word(std::string_view w) {
    if (w == "DELIVRD") return "DELIVERED";
    if (w == "UNDELIV" || w == "DELETED" || w == "UNKNOWN") return "UNDELIVERED";
    if (w == "EXPIRED") return "EXPIRED";
    if (w == "REJECTD") return "REJECTED";
    return nullptr;
}

const char* state_of_number(int v) {
    switch (v) {
        case 2:
            return "DELIVERED";
        case 3:
            return "EXPIRED";
        case 4:
        case 5:
        case 7:
            return "UNDELIVERED";
        case 8:
            return "REJECTED";
        case 1:
            return "ENROUTE";
        case 6:
            return "ACCEPTED";
        default:
            return "UNKNOWN";
    }
}

// The value after "key:" in a receipt text, up to the next blank.
std::string field_of(std::string_view text, std::string_view key) {
    std::size_t at = 0;
    for (;;) {
        at = text.find(key, at);
        if (at == std::string_view::npos) return {};
        // A key starts the text or follows a blank ("id:" must not match "sub:...id:").
        if (at == 0 || text[at - 1] == ' ') break;
        at += key.size();
    }
    std::size_t from = at + key.size();
    std::size_t end = text.find(' ', from);
    return std::string(text.substr(from, end == std::string_view::npos ? end : end - from));
}

std::string lower_id(std::string_view s) {
    std::string out(s);
    while (!out.empty() && (out.back() == '\0' || out.back() == ' ')) out.pop_back();
    return out;
}

}  // namespace

smpp_address smpp_source_address(std::string_view from) {
    if (international(from)) return {1, 1, std::string(from.substr(1))};
    if (all_digits(from)) return {0, 1, std::string(from)};
    return {5, 0, std::string(from)};
}

smpp_address smpp_dest_address(std::string_view to, int dest_ton, int dest_npi) {
    if (international(to)) return {1, 1, std::string(to.substr(1))};
    if (all_digits(to)) return {dest_ton >= 0 ? dest_ton : 0, dest_npi >= 0 ? dest_npi : 1,
                                std::string(to)};
    return {0, 0, std::string(to)};
}

std::string smpp_received_address(int ton, std::string_view addr) {
    if (ton == 1 && !addr.empty() && addr[0] != '+') return "+" + std::string(addr);
    return std::string(addr);
}

const std::string* smpp_deliver::tlv(std::uint16_t tag) const {
    for (const auto& t : tlvs)
        if (t.tag == tag) return &t.value;
    return nullptr;
}

bool smpp_parse_deliver(const pdu& p, smpp_deliver& d) {
    std::size_t at = 0;
    int skip = 0, sm_length = 0;
    std::string time;
    if (!get_cstring(p, at, d.service_type, SMPP_SERVICE_TYPE_MAX) ||
        !get_u8(p, at, d.source_ton) || !get_u8(p, at, d.source_npi) ||
        !get_cstring(p, at, d.source, SMPP_ADDR_MAX))
        return false;
    if (!get_u8(p, at, d.dest_ton) || !get_u8(p, at, d.dest_npi) ||
        !get_cstring(p, at, d.dest, SMPP_ADDR_MAX))
        return false;
    // Times are empty in a deliver_sm, but a centre that fills them must not throw the
    // reading out of step: they are read to their NUL (17 octets at most).
    if (!get_u8(p, at, d.esm_class) || !get_u8(p, at, d.protocol_id) ||
        !get_u8(p, at, d.priority) || !get_cstring(p, at, time, 17) ||
        !get_cstring(p, at, time, 17) || !get_u8(p, at, d.registered_delivery) ||
        !get_u8(p, at, skip) || !get_u8(p, at, d.data_coding) || !get_u8(p, at, skip) ||
        !get_u8(p, at, sm_length))
        return false;
    std::size_t n = static_cast<std::size_t>(sm_length);
    if (p.body.size() - at < n) {
        d.short_message.assign(p.body.begin() + static_cast<std::ptrdiff_t>(at), p.body.end());
        return false;
    }
    d.short_message.assign(p.body.begin() + static_cast<std::ptrdiff_t>(at),
                           p.body.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
    d.complete = true;
    while (p.body.size() - at >= 4) {
        std::uint16_t tag = static_cast<std::uint16_t>(p.body[at] << 8 | p.body[at + 1]);
        std::size_t len = static_cast<std::size_t>(p.body[at + 2] << 8 | p.body[at + 3]);
        at += 4;
        if (p.body.size() - at < len) return false;
        smpp_tlv t;
        t.tag = tag;
        t.value.assign(p.body.begin() + static_cast<std::ptrdiff_t>(at),
                       p.body.begin() + static_cast<std::ptrdiff_t>(at + len));
        d.tlvs.push_back(std::move(t));
        at += len;
    }
    return true;
}

bool smpp_receipt::final() const {
    return state == "DELIVERED" || state == "UNDELIVERED" || state == "EXPIRED" ||
           state == "REJECTED";
}

bool smpp_receipt_of(const smpp_deliver& d, smpp_receipt& r) {
    const std::string* rid = d.tlv(SMPP_TLV_RECEIPTED_MESSAGE_ID);
    if ((d.esm_class & 0x3C) != SMPP_ESM_RECEIPT && rid == nullptr) return false;
    r = smpp_receipt{};
    r.source = d.source;
    r.dest = d.dest;
    std::string_view text(d.short_message);
    r.message_id = rid ? lower_id(*rid) : field_of(text, "id:");
    if (const std::string* st = d.tlv(SMPP_TLV_MESSAGE_STATE); st && st->size() == 1) {
        r.state = state_of_number(static_cast<unsigned char>((*st)[0]));
    } else {
        std::string word = field_of(text, "stat:");
        const char* s = state_of_word(word);
        r.state = s ? s : (word.empty() ? "UNKNOWN" : word);
    }
    r.error = field_of(text, "err:");
    return true;
}

namespace {

// The text of a GSM part in the character set the centre asked for: the septets as
// they are (data_coding 0), Latin-1 (3) or IA5 (1; what ASCII lacks becomes "?").
std::string gsm_part_as(const std::string& septets, int gsm_coding) {
    if (gsm_coding == 0) return septets;
    std::string latin1 = latin1_from_utf8(gsm_septets_to_utf8(septets));
    if (gsm_coding == 1)
        for (char& c : latin1)
            if (static_cast<unsigned char>(c) > 0x7F) c = '?';
    return latin1;
}

std::unique_ptr<pdu> submit_pdu(const smpp_address& src, const smpp_address& dst, int esm_class,
                                int registered_delivery, int data_coding,
                                std::string_view short_message) {
    auto req = pdu_new(SMPP_SUBMIT_SM, 0);
    pdu& p = *req;
    pdu_add_string(p, "", SMPP_SERVICE_TYPE_MAX);
    pdu_add_int(p, static_cast<std::uint32_t>(src.ton), 1);
    pdu_add_int(p, static_cast<std::uint32_t>(src.npi), 1);
    pdu_add_string(p, src.addr, SMPP_ADDR_MAX);
    pdu_add_int(p, static_cast<std::uint32_t>(dst.ton), 1);
    pdu_add_int(p, static_cast<std::uint32_t>(dst.npi), 1);
    pdu_add_string(p, dst.addr, SMPP_ADDR_MAX);
    pdu_add_int(p, static_cast<std::uint32_t>(esm_class), 1);
    pdu_add_int(p, 0, 1);       // protocol_id
    pdu_add_int(p, 0, 1);       // priority_flag
    pdu_add_string(p, "", 17);  // schedule_delivery_time
    pdu_add_string(p, "", 17);  // validity_period
    pdu_add_int(p, static_cast<std::uint32_t>(registered_delivery), 1);
    pdu_add_int(p, 0, 1);  // replace_if_present_flag
    pdu_add_int(p, static_cast<std::uint32_t>(data_coding), 1);
    pdu_add_int(p, 0, 1);  // sm_default_msg_id
    pdu_add_int(p, static_cast<std::uint32_t>(short_message.size()), 1);
    pdu_add_octet(p, short_message.data(), short_message.size());
    return req;
}

void add_tlv(pdu& p, std::uint16_t tag, std::string_view value) {
    pdu_add_int(p, tag, 2);
    pdu_add_int(p, static_cast<std::uint32_t>(value.size()), 2);
    pdu_add_octet(p, value.data(), value.size());
}

std::string be(std::uint32_t v, int octets) {
    std::string out;
    for (int i = octets - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

}  // namespace

std::vector<std::unique_ptr<pdu>> smpp_submits(std::string_view from, std::string_view to,
                                               std::string_view text,
                                               const smpp_submit_options& o) {
    std::vector<std::unique_ptr<pdu>> out;
    const smpp_address src = smpp_source_address(from);
    const smpp_address dst = smpp_dest_address(to, o.dest_ton, o.dest_npi);
    const sms_coding coding = sms_coding_parse(o.coding).value_or(sms_coding::automatic);
    if (coding == sms_coding::latin1) {
        // The bytes as they always went: Latin-1, data_coding 0, one message.
        std::string bytes = latin1_from_utf8(text);
        if (bytes.size() > SMPP_SHORT_MESSAGE_MAX) {
            imsg("SMPP submit_sm: text of %zu octets cut to %zu", bytes.size(),
                 SMPP_SHORT_MESSAGE_MAX);
            bytes.resize(SMPP_SHORT_MESSAGE_MAX);
        }
        out.push_back(submit_pdu(src, dst, 0, o.registered_delivery, 0, bytes));
        return out;
    }
    const int reference = o.long_mode == smpp_long_mode::payload ? 0 : sms_next_reference(to);
    // A payload carries the whole text at once: up to the part limit, never cut short
    // at one SMS's length.
    sms_split split = sms_text_split(text, coding, o.max_parts, reference);
    if (split.cut)
        imsg("SMPP submit_sm: text cut to %d parts (%zu characters sent)", o.max_parts,
             split.characters);
    if (split.substituted > 0)
        imsg("SMPP submit_sm: %zu characters not in the GSM alphabet sent as \"?\"",
             split.substituted);
    const bool gsm = split.alphabet == sms_alphabet::gsm;
    const int data_coding = gsm ? o.gsm_coding : 8;
    auto data_of = [&](const sms_part& part) {
        return gsm ? gsm_part_as(part.data, o.gsm_coding) : part.data;
    };
    const std::size_t n = split.parts.size();
    if (n == 1) {
        out.push_back(submit_pdu(src, dst, 0, o.registered_delivery, data_coding,
                                 data_of(split.parts[0])));
        return out;
    }
    if (o.long_mode == smpp_long_mode::payload) {
        std::string all;
        for (const sms_part& part : split.parts) all += data_of(part);
        auto p = submit_pdu(src, dst, 0, o.registered_delivery, data_coding, "");
        add_tlv(*p, SMPP_TLV_MESSAGE_PAYLOAD, all);
        out.push_back(std::move(p));
        return out;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const sms_part& part = split.parts[i];
        if (o.long_mode == smpp_long_mode::sar) {
            auto p = submit_pdu(src, dst, 0, o.registered_delivery, data_coding, data_of(part));
            add_tlv(*p, SMPP_TLV_SAR_MSG_REF_NUM, be(static_cast<std::uint32_t>(split.reference), 2));
            add_tlv(*p, SMPP_TLV_SAR_TOTAL_SEGMENTS, be(static_cast<std::uint32_t>(n), 1));
            add_tlv(*p, SMPP_TLV_SAR_SEGMENT_SEQNUM, be(static_cast<std::uint32_t>(i + 1), 1));
            out.push_back(std::move(p));
        } else {
            out.push_back(submit_pdu(src, dst, SMPP_ESM_UDHI, o.registered_delivery, data_coding,
                                     part.udh + data_of(part)));
        }
    }
    return out;
}

Status smpp_decode_text(const smpp_deliver& d, bool gsm_as_latin1, std::string& text,
                        sms_concat& concat) {
    std::string_view data = d.short_message;
    const std::string* payload = d.tlv(SMPP_TLV_MESSAGE_PAYLOAD);
    if (data.empty() && payload != nullptr) data = *payload;
    Result<sms_decoded> out = sms_decode_user_data(
        sms_data_coding_kind(d.data_coding, gsm_as_latin1), (d.esm_class & SMPP_ESM_UDHI) != 0, data);
    Status st;
    if (out) {
        text = std::move(out->text);
        concat = out->concat;
    } else {
        text.clear();
        concat = sms_concat{};
        st = std::move(out.error());
    }
    const std::string* ref = d.tlv(SMPP_TLV_SAR_MSG_REF_NUM);
    const std::string* total = d.tlv(SMPP_TLV_SAR_TOTAL_SEGMENTS);
    const std::string* seq = d.tlv(SMPP_TLV_SAR_SEGMENT_SEQNUM);
    if (ref && total && seq && ref->size() == 2 && total->size() == 1 && seq->size() == 1) {
        auto octet = [](const std::string& v, std::size_t i) {
            return static_cast<int>(static_cast<unsigned char>(v[i]));
        };
        concat.reference = octet(*ref, 0) << 8 | octet(*ref, 1);
        concat.total = octet(*total, 0);
        concat.part = octet(*seq, 0);
    }
    return st;
}

}  // namespace tolvane
