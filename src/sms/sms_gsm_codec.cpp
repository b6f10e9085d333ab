// The GSM modem transport's view of the PDU codec (pdu.h): the driver works on its
// own message record, so units and texts are converted here.
#include "foundation/lib.h"
#include "foundation/log.h"
#include "sms/pdu.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

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
    gsm_pdu in;
    std::string why;
    if (!gsm_decode_pdu(unit, in, why)) {
        emsg("Could not decode PDU (%s): %s", cut(unit).c_str(), why.c_str());
        return false;
    }
    msg.service_center = cut(in.service_center);
    msg.first_octet_of_sms = in.first_octet_of_sms;
    msg.message_reference = in.message_reference;
    msg.phone = cut(in.phone);
    msg.type_of_originating_address = in.type_of_address;
    msg.protocal_identifier = in.protocal_identifier;
    msg.data_coding_sceme = in.data_coding_sceme;
    msg.timestamp = cut(in.timestamp);
    msg.message = cut(in.message);
    msg.length = static_cast<int>(msg.message.size());
    msg.is_submit = gsm_pdu_is_submit(&in);
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
