// Feeds the SMPP stream assembler arbitrary bytes from a centre, cut into segments at
// places the input chooses, and reads every PDU taken as a deliver_sm would be read.
// Checks that what comes out is whole and within limits, that the held bytes never
// exceed what was fed, and that a field read that does not fit changes nothing.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sms/sms_smpp_defines.h"
#include "sms/sms_smpp_pdu.h"

namespace {

using namespace tolvane;

void read_like_deliver_sm(pdu& p) {
    std::string s;
    std::uint32_t v = 0;
    // service_type, source ton/npi/addr, dest ton/npi/addr, esm_class ... sm_length, text
    const int plan[] = {6, -1, -1, 21, -1, -1, 21, -1, -1, -1, 17, 17, -1, -1, -1, -1};
    for (int f : plan) {
        const std::size_t before = p.upto;
        const int ok =
            f < 0 ? pdu_get_int(p, 1, v) : pdu_get_string(p, s, static_cast<std::size_t>(f));
        if (!ok && p.upto != before) std::abort();
        if (ok && f > 0 && s.size() >= static_cast<std::size_t>(f)) std::abort();
        if (p.upto > p.body.size()) std::abort();
    }
    const std::size_t before = p.upto;
    if (!pdu_get_octet(p, s, v)) {
        if (p.upto != before) std::abort();
    } else if (s.size() != v) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the segment length, so PDUs arrive split every way.
    const std::size_t seg = 1 + data[0] % 23;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const std::size_t len = size - 1;

    pdu_assembler a;
    std::size_t fed = 0;
    std::size_t out = 0;
    while (fed < len || a.buffered() > 0) {
        if (fed < len) {
            const std::size_t n = std::min(seg, len - fed);
            a.feed(bytes + fed, n);
            fed += n;
        }
        if (a.buffered() > fed) std::abort();
        pdu p;
        const pdu_take_result r = a.take(p);
        if (r == PDU_NEED_MORE) {
            if (fed == len) break;
            continue;
        }
        if (r == PDU_BROKEN) {
            if (p.length >= SMPP_HEADER_LEN && p.length <= SMPP_PDU_MAX) std::abort();
            break;
        }
        if (r == PDU_TAKEN) {
            if (p.length != SMPP_HEADER_LEN + p.body.size()) std::abort();
            if (p.body.size() > SMPP_PDU_MAX) std::abort();
            out += p.length;
            if (out > fed) std::abort();
            read_like_deliver_sm(p);
            // What is taken goes out again as the same octets.
            pdu copy = p;
            const std::string wire = pdu_encode(copy);
            if (wire.size() != p.length) std::abort();
        }
    }
    return 0;
}
