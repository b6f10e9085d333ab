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

// A delivered unit into msg; a stored submit is only marked. false with a reason.
bool read_unit(std::string_view unit, gsm_sms& msg, std::string& why) {
    unit = strtrm_right(unit);
    if (unit.empty() || unit.size() % 2 != 0 || !all_hex(unit)) {
        why = "not an even run of hex digits";
        return false;
    }
    std::size_t i = 0;
    int fo = 0;
    if (!pdu_decode_sc_addr(unit, msg.service_center, i, why) || !pdu_decode_int(unit, i, fo, why))
        return false;
    msg.first_octet_of_sms = fo;
    if ((fo & 3) == 1) {  // a stored SMS-SUBMIT: never handed on, so not read further
        msg.is_submit = true;
        return pdu_decode_int(unit, i, msg.message_reference, why) &&
               pdu_decode_addr(unit, msg.phone, i, why, &msg.type_of_originating_address);
    }
    if ((fo & 3) != 0) {
        why = strprintf("not a delivered or stored message (message type %d)", fo & 3);
        return false;
    }
    int dcs = 0;
    int udl = 0;
    if (!pdu_decode_addr(unit, msg.phone, i, why, &msg.type_of_originating_address) ||
        !pdu_decode_int(unit, i, msg.protocal_identifier, why) ||
        !pdu_decode_int(unit, i, dcs, why) || !pdu_decode_time(unit, msg.timestamp, i, why) ||
        !pdu_decode_int(unit, i, udl, why))
        return false;
    msg.data_coding_sceme = dcs;
    std::optional<sms_text_kind> kind = sms_dcs_kind(dcs, why);
    if (!kind) return false;
    const bool packed = *kind == sms_text_kind::gsm_packed;
    if (udl > static_cast<int>(packed ? PDU_MAX_SEPTETS : PDU_MAX_OCTETS)) {
        why = strprintf("user data length %d is more than one unit holds", udl);
        return false;
    }
    std::size_t octets =
        packed ? (static_cast<std::size_t>(udl) * 7 + 7) / 8 : static_cast<std::size_t>(udl);
    if (unit.size() - i < 2 * octets) {
        why = strprintf("user data of %zu octets is shorter than its length %d",
                        (unit.size() - i) / 2, udl);
        return false;
    }
    sms_decoded d;
    if (!sms_decode_user_data(*kind, (fo & 0x40) != 0, octets_of(unit.substr(i, 2 * octets)), d,
                              why, static_cast<std::size_t>(udl)))
        return false;
    msg.message = utf8_cut(d.text, TEXT_MAX);
    msg.concat = d.concat;
    return true;
}

}  // namespace

int gsm_codec_encode_part(int reference, std::string_view to, sms_alphabet alphabet,
                          const sms_part& part, std::string& unit) {
    std::string why;
    unit = "00";                                                 // the modem's own service centre
    pdu_encode_int(unit, 0x01 | (part.udh.empty() ? 0 : 0x40));  // SMS-SUBMIT
    pdu_encode_int(unit, reference);
    if (!pdu_encode_addr(to, unit, why)) {
        emsg("Cannot build a PDU for (%s): %s", cut(to, 100).c_str(), why.c_str());
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
    std::string ignored;
    std::optional<sms_text_kind> kind = sms_dcs_kind(dcs, ignored);
    const bool hex = !body.empty() && body.size() % 4 == 0 && all_hex(body);
    if (cscs == "UCS2" || (hex && kind == sms_text_kind::ucs2)) {
        std::string_view h = body.substr(0, body.size() - body.size() % 2);
        return utf8_cut(ucs2_to_utf8(all_hex(h) ? octets_of(h) : std::string()), TEXT_MAX);
    }
    if (cscs == "GSM") return utf8_cut(gsm_septets_to_utf8(body), TEXT_MAX);
    return utf8_cut(latin1_to_utf8(body), TEXT_MAX);  // 8859-1, IRA and the like
}

int gsm_codec_encode_pdu(int dcs, std::string_view to, std::string_view message,
                         std::string& unit) {
    std::string why;
    int octets = gsm_encode_pdu(dcs, to, message, unit, why);
    if (octets <= 0) {
        emsg("Cannot build a PDU for (%s): %s", cut(to, 100).c_str(), why.c_str());
        unit.clear();
        return 0;
    }
    return octets;
}

bool gsm_codec_decode_pdu(std::string_view unit, gsm_sms& msg) {
    std::string why;
    msg.is_submit = false;
    msg.concat = sms_concat{};
    if (!read_unit(unit, msg, why)) {
        emsg("Could not decode PDU (%s): %s", cut(unit).c_str(), why.c_str());
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
