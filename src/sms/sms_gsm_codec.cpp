// The GSM modem transport's view of the PDU codec (pdu.h) and the text model
// (sms_text.h): the driver works on its own message record, so units and texts are
// converted here. Received units are read field by field and their user data
// decoded by its data coding scheme into UTF-8, the header parsed (never shown)
// and a concatenation element kept in the message's concat; parts to send are
// built from what sms_text_split gives.
#include <cctype>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/utf8.h"
#include "sms/pdu.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

namespace {

std::string hex_of(std::string_view octets) {
    std::string out;
    for (unsigned char c : octets) pdu_encode_int(out, c);
    return out;
}

bool all_hex(std::string_view text) {
    for (unsigned char c : text) {
        if (!std::isxdigit(c)) return false;
    }
    return true;
}

std::string octets_of(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return out;
}

// One octet of unit at i into field.
Status take_int(std::string_view unit, std::size_t& i, int& field) {
    Result<int> v = pdu_decode_int(unit, i);
    if (!v) return std::move(v.error());
    field = *v;
    return {};
}

// An address of unit at i into field.
Status take_addr(std::string_view unit, std::size_t& i, std::string& field, int* type) {
    Result<std::string> r = pdu_decode_addr(unit, i, type);
    if (!r) return std::move(r.error());
    field = std::move(*r);
    return {};
}

// The fields of a delivered unit between the first octet and the user data.
Status read_deliver_fields(std::string_view unit, std::size_t& i, gsm_sms& msg, int& dcs) {
    if (Status st = take_addr(unit, i, msg.phone, &msg.type_of_originating_address); !st) return st;
    if (Status st = take_int(unit, i, msg.protocal_identifier); !st) return st;
    if (Status st = take_int(unit, i, dcs); !st) return st;
    Result<std::string> stamp = pdu_decode_time(unit, i);
    if (!stamp) return std::move(stamp.error());
    msg.timestamp = std::move(*stamp);
    return {};
}

// A delivered unit into msg; a stored submit is only marked.
Status read_unit(std::string_view unit, gsm_sms& msg) {
    unit = strtrm_right(unit);
    if (unit.empty() || unit.size() % 2 != 0 || !all_hex(unit))
        return Error{0, "not an even run of hex digits"};
    std::size_t i = 0;
    int fo = 0;
    Result<std::string> sc = pdu_decode_sc_addr(unit, i);
    if (!sc) return std::move(sc.error());
    msg.service_center = std::move(*sc);
    if (Status st = take_int(unit, i, fo); !st) return st;
    msg.first_octet_of_sms = fo;
    if ((fo & 3) == 1) {  // a stored SMS-SUBMIT: never handed on, so not read further
        msg.is_submit = true;
        if (Status st = take_int(unit, i, msg.message_reference); !st) return st;
        return take_addr(unit, i, msg.phone, &msg.type_of_originating_address);
    }
    if ((fo & 3) != 0)
        return Error{0, strprintf("not a delivered or stored message (message type %d)", fo & 3)};
    int dcs = 0;
    int udl = 0;
    if (Status st = read_deliver_fields(unit, i, msg, dcs); !st) return st;
    if (Status st = take_int(unit, i, udl); !st) return st;
    msg.data_coding_sceme = dcs;
    Result<sms_text_kind> kind = sms_dcs_kind(dcs);
    if (!kind) return std::move(kind.error());
    const bool packed = *kind == sms_text_kind::gsm_packed;
    if (udl > static_cast<int>(packed ? PDU_MAX_SEPTETS : PDU_MAX_OCTETS))
        return Error{0, strprintf("user data length %d is more than one unit holds", udl)};
    std::size_t octets =
        packed ? (static_cast<std::size_t>(udl) * 7 + 7) / 8 : static_cast<std::size_t>(udl);
    if (unit.size() - i < 2 * octets) {
        return Error{0, strprintf("user data of %zu octets is shorter than its length %d",
                                  (unit.size() - i) / 2, udl)};
    }
    Result<sms_decoded> d = sms_decode_user_data(*kind, (fo & 0x40) != 0,
                                                 octets_of(unit.substr(i, 2 * octets)),
                                                 static_cast<std::size_t>(udl));
    if (!d) return std::move(d.error());
    msg.message = utf8_cut(d->text, TEXT_MAX);
    msg.concat = d->concat;
    return {};
}

}  // namespace

int gsm_codec_encode_part(int reference, std::string_view to, sms_alphabet alphabet,
                          const sms_part& part, std::string& unit) {
    unit = "00";                                                 // the modem's own service centre
    pdu_encode_int(unit, 0x01 | (part.udh.empty() ? 0 : 0x40));  // SMS-SUBMIT
    pdu_encode_int(unit, reference);
    if (Status st = pdu_encode_addr(to, unit); !st) {
        emsg("Cannot build a PDU for (%s): %s", cut(to, 100).c_str(), st.error().reason.c_str());
        unit.clear();
        return 0;
    }
    pdu_encode_int(unit, 0);  // protocol identifier
    if (alphabet == sms_alphabet::gsm) {
        pdu_encode_int(unit, 0x00);
        std::size_t udl = 0;
        std::string ud = sms_pack_user_data(part, udl);
        pdu_encode_int(unit, static_cast<int>(udl));
        unit += hex_of(ud);
    } else {
        pdu_encode_int(unit, 0x08);
        std::string ud = part.udh + part.data;
        pdu_encode_int(unit, static_cast<int>(ud.size()));
        unit += hex_of(ud);
    }
    return static_cast<int>(unit.size() / 2) - 1;
}

std::string gsm_codec_text_body(std::string_view cscs, int dcs, std::string_view body) {
    Result<sms_text_kind> kind = sms_dcs_kind(dcs);
    const bool hex = !body.empty() && body.size() % 4 == 0 && all_hex(body);
    if (cscs == "UCS2" || (hex && kind && *kind == sms_text_kind::ucs2)) {
        std::string_view h = body.substr(0, body.size() - body.size() % 2);
        return utf8_cut(ucs2_to_utf8(all_hex(h) ? octets_of(h) : std::string()), TEXT_MAX);
    }
    if (cscs == "GSM") return utf8_cut(gsm_septets_to_utf8(body), TEXT_MAX);
    return utf8_cut(latin1_to_utf8(body), TEXT_MAX);  // 8859-1, IRA and the like
}

int gsm_codec_encode_pdu(int& next_reference, int dcs, std::string_view to,
                         std::string_view message, std::string& unit) {
    Result<int> octets = gsm_encode_pdu(next_reference, dcs, to, message, unit);
    if (!octets) {
        emsg("Cannot build a PDU for (%s): %s", cut(to, 100).c_str(),
             octets.error().reason.c_str());
        unit.clear();
        return 0;
    }
    return *octets;
}

bool gsm_codec_decode_pdu(std::string_view unit, gsm_sms& msg) {
    msg.is_submit = false;
    msg.concat = sms_concat{};
    if (Status st = read_unit(unit, msg); !st) {
        emsg("Could not decode PDU (%s): %s", cut(unit).c_str(), st.error().reason.c_str());
        return false;
    }
    msg.length = static_cast<int>(msg.message.size());
    return true;
}

std::string gsm_codec_to_modem(bool ucs2, bool ext7bit, std::string_view text, std::size_t max) {
    std::string out(text);
    out.resize(gsm_create_encoded(ucs2, ext7bit, out, max));
    return out;
}

std::string gsm_codec_from_modem(bool ucs2, bool ext7bit, std::string_view text, std::size_t max) {
    std::string out(text);
    out.resize(gsm_process_encoded(ucs2, ext7bit, out, max));
    return out;
}

}  // namespace tolvane
