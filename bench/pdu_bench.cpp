// PDU coding speed: building and reading one full unit of 160 characters in the
// default alphabet (with escape pairs) and of 70 characters in UCS2.
#include <benchmark/benchmark.h>

#include <string>

#include "sms/pdu.h"

namespace {

using namespace tolvane;

std::string text_7bit() {
    std::string t;
    while (t.size() < 160)
        t += "Meeting at 10:30 in room 4, bring the notes. Caf\xE9 cr\xE8me \xFC@$_! ";
    t.resize(160);
    return t;
}

std::string text_ucs2() {
    std::string t;
    while (t.size() < 70) t += "Caf\xE9 \xC0 la cr\xE8me ";
    t.resize(70);
    return t;
}

// A delivered unit carrying text, as the modem lists it: service centre, originator,
// time stamp and the user data.
std::string unit_of(int dcs, const std::string& text) {
    std::string ud;
    if (!pdu_encode_content(dcs, ud, text)) return std::string();
    std::string unit =
        "07914477000900F1"
        "04"
        "0C91447700091032"
        "00";
    pdu_encode_int(unit, dcs);
    return unit + "30604021035480" + ud;
}

void BM_Encode7bit160(benchmark::State& state) {
    const std::string text = text_7bit();
    std::string unit;
    int reference = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            gsm_encode_pdu(reference, PDU_DCS_7BIT, "+447700900123", text, unit));
        benchmark::DoNotOptimize(unit.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Encode7bit160);

void BM_Decode7bit160(benchmark::State& state) {
    const std::string unit = unit_of(PDU_DCS_7BIT, text_7bit());
    gsm_pdu msg;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gsm_decode_pdu(unit, msg));
        benchmark::DoNotOptimize(msg.message.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Decode7bit160);

void BM_EncodeUcs2_70(benchmark::State& state) {
    const std::string text = text_ucs2();
    std::string unit;
    int reference = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            gsm_encode_pdu(reference, PDU_DCS_UCS2, "+447700900123", text, unit));
        benchmark::DoNotOptimize(unit.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeUcs2_70);

void BM_DecodeUcs2_70(benchmark::State& state) {
    const std::string unit = unit_of(PDU_DCS_UCS2, text_ucs2());
    gsm_pdu msg;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gsm_decode_pdu(unit, msg));
        benchmark::DoNotOptimize(msg.message.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeUcs2_70);

}  // namespace
