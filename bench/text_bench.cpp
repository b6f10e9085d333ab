// SMS text speed: coding and splitting a full 999-character text (GSM and UCS-2),
// reading back a three-part set, and the HTML and charset reading of the mail side.
// The old single-unit PDU build of 160 characters runs beside them as the baseline
// the figures are compared to (a ratio, since these machines are noisy).
#include <benchmark/benchmark.h>

#include <string>

#include "mail/mail_charset.h"
#include "mail/mail_html.h"
#include "sms/pdu.h"
#include "sms/sms_concat.h"
#include "sms/sms_text.h"

namespace {

using namespace tolvane;

std::string fill(std::string_view piece, std::size_t chars_per_piece, std::size_t chars) {
    std::string out;
    for (std::size_t n = 0; n + chars_per_piece <= chars; n += chars_per_piece) out += piece;
    return out;
}

// 999 characters of GSM text with extension characters among them.
const std::string& gsm_text() {
    static const std::string t = fill(
        "Meeting at 10:30 [room 4] \xE2\x82\xAC"
        "5 ~ ok. ",
        37, 999);
    return t;
}
// 999 characters that need UCS-2, an emoji among them.
const std::string& ucs2_text() {
    static const std::string t =
        fill("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80 ", 9, 999);
    return t;
}

void BM_SplitGsm999(benchmark::State& state) {
    for (auto _ : state) {
        sms_split s = sms_text_split(gsm_text(), sms_coding::automatic, 10, 1);
        std::size_t udl = 0;
        for (const sms_part& p : s.parts) benchmark::DoNotOptimize(sms_pack_user_data(p, udl));
    }
}
BENCHMARK(BM_SplitGsm999);

void BM_SplitUcs2_999(benchmark::State& state) {
    for (auto _ : state) {
        sms_split s = sms_text_split(ucs2_text(), sms_coding::automatic, 20, 1);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_SplitUcs2_999);

// Three parts as they arrive from a modem: packed GSM user data with headers,
// decoded and joined.
void BM_DecodeThreeParts(benchmark::State& state) {
    sms_split s = sms_text_split(gsm_text().substr(0, 450), sms_coding::automatic, 10, 7);
    std::vector<std::pair<std::string, std::size_t>> units;
    for (const sms_part& p : s.parts) {
        std::size_t udl = 0;
        std::string ud = sms_pack_user_data(p, udl);
        units.emplace_back(ud, udl);
    }
    std::int64_t now = 0;
    for (auto _ : state) {
        sms_reassembly r(600, [&now] { return now; });
        std::vector<concat_done> ready;
        for (const auto& [ud, udl] : units) {
            Result<sms_decoded> d =
                sms_decode_user_data(sms_text_kind::gsm_packed, true, ud, udl);
            if (d) r.add("+61412345678", "x", d->concat, d->text, ready);
        }
        benchmark::DoNotOptimize(ready);
    }
}
BENCHMARK(BM_DecodeThreeParts);

void BM_Baseline_OldUnit160(benchmark::State& state) {
    std::string t(160, 'a');
    std::string unit;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gsm_encode_pdu_ref(1, PDU_DCS_7BIT, "+61412345678", t, unit));
    }
}
BENCHMARK(BM_Baseline_OldUnit160);

void BM_HtmlToText(benchmark::State& state) {
    std::string html = "<html><head><style>p{}</style></head><body>";
    for (int k = 0; k < 40; ++k)
        html += "<p>Order <b>4711</b> shipped &amp; paid: 5&nbsp;&euro;</p>";
    html += "</body></html>";
    for (auto _ : state) benchmark::DoNotOptimize(html_to_text(html));
}
BENCHMARK(BM_HtmlToText);

void BM_Latin1Body(benchmark::State& state) {
    std::string body = fill(
        "Gr\xFC\xDF"
        "e aus M\xFCnchen \x80 ",
        22, 990);
    for (auto _ : state) benchmark::DoNotOptimize(charset_to_utf8(body, "iso-8859-15"));
}
BENCHMARK(BM_Latin1Body);

}  // namespace
