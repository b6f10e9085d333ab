// Feeds the PDU codec arbitrary text as a unit listed or read from a modem, and the
// same bytes to the two text-mode conversions. Checks that a refusal always carries a
// reason, that what is accepted stays within one unit's limits, and that a 7-bit text
// read from a unit goes out and comes back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sms/pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tolvane;
    const std::string text(reinterpret_cast<const char*>(data), size);

    gsm_pdu msg;
    if (Status st = gsm_decode_pdu(text, msg); !st) {
        if (st.error().reason.empty()) std::abort();
    } else {
        if (msg.length != static_cast<int>(msg.message.size())) std::abort();
        if (msg.message.size() > PDU_MAX_SEPTETS) std::abort();
        if (msg.phone.size() > 21 || msg.service_center.size() > 21) std::abort();
        if (!msg.timestamp.empty() && msg.timestamp.size() != 20) std::abort();
        const bool seven_bit = msg.data_coding_sceme == 0 || msg.data_coding_sceme == 0xF0;
        if (seven_bit && msg.udh.empty()) {
            std::string unit;
            if (!gsm_encode_pdu_ref(1, PDU_DCS_7BIT, "+123", msg.message, unit)) std::abort();
            gsm_pdu back;
            if (!gsm_decode_pdu(unit, back)) std::abort();
            if (back.message != msg.message || back.phone != "+123") std::abort();
        }
    }

    for (int mode = 0; mode < 4; ++mode) {
        std::string s = text;
        const std::size_t max = (mode & 2) ? 140 : 1000;
        if (gsm_process_encoded(mode & 1, false, s, max) != s.size()) std::abort();
        if ((mode & 1) && s.size() > max) std::abort();
        s = text;
        if (gsm_create_encoded(mode & 1, mode & 2, s, max) != s.size()) std::abort();
        if (s.size() > max) std::abort();
    }
    return 0;
}
