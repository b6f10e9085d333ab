// MIME decoding speed: whole spool files as the listener reads them, and the two line
// decoders on their own.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "mail/mime.h"

namespace {

using namespace tolvane;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// A typical phone-bound mail: headers of a relayed message, a plain-text part in
// quoted-printable, an HTML alternative and a small base64 attachment.
std::string sample_mail(int attachment_lines) {
    std::string m =
        "Return-Path: <anna@example.org>\n"
        "Received: from mx.example.org (mx.example.org [192.0.2.10])\n"
        "\tby gw.example.net with SMTP; Mon, 7 Dec 2026 10:00:00 +0000\n"
        "From: \"Anna Berg\" <anna@example.org>\n"
        "To: 0701234567@sms.example.net\n"
        "Subject: =?utf-8?Q?M=C3=B6te_i_morgon?=\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed;\n\tboundary=\"----=_Part_1\"\n\n"
        "------=_Part_1\n"
        "Content-Type: multipart/alternative; boundary=alt2\n\n"
        "--alt2\nContent-Type: text/plain; charset=utf-8\n"
        "Content-Transfer-Encoding: quoted-printable\n\n";
    for (int i = 0; i < 10; ++i)
        m += "M=C3=B6tet flyttas till rum 3, v=C3=A5ning 2. Ta med rapporten och =\n"
             "datorn.\n";
    m += "--alt2\nContent-Type: text/html; charset=utf-8\n\n";
    for (int i = 0; i < 10; ++i) m += "<p>M&ouml;tet flyttas till rum 3, v&aring;ning 2.</p>\n";
    m += "--alt2--\n------=_Part_1\nContent-Type: application/pdf; name=\"a.pdf\"\n"
         "Content-Transfer-Encoding: base64\n\n";
    for (int i = 0; i < attachment_lines; ++i)
        m += "JVBERi0xLjQKJcOkw7zDtsOfCjIgMCBvYmoKPDwvTGVuZ3RoIDMgMCBSL0ZpbHRlci9GbGF0ZUR\n";
    m += "------=_Part_1--\n";
    return m;
}

void BM_DecodeSpoolFile(benchmark::State& state) {
    std::string mail = sample_mail(static_cast<int>(state.range(0)));
    auto path = std::filesystem::temp_directory_path() /
                ("mime_bench_" + std::to_string(::getpid()) + ".msg");
    std::ofstream(path, std::ios::binary) << mail;
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "r"));
    std::string raw, bin;
    std::size_t body = 0;
    for (auto _ : state) {
        std::rewind(f.get());
        auto m = mime_new();
        while (int kind = mime_line(m.get(), f.get(), raw, bin)) {
            if (kind == MIME_BODY) body += bin.size();
        }
        benchmark::DoNotOptimize(body);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mail.size()));
    state.counters["mails/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    std::filesystem::remove(path);
}
BENCHMARK(BM_DecodeSpoolFile)->Arg(0)->Arg(50)->Arg(1000);

void BM_Base64Line(benchmark::State& state) {
    std::string line =
        "JVBERi0xLjQKJcOkw7zDtsOfCjIgMCBvYmoKPDwvTGVuZ3RoIDMgMCBSL0ZpbHRlci9GbGF0ZUR\n";
    std::string out;
    for (auto _ : state) benchmark::DoNotOptimize(mime_decode_base64(line, out));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_Base64Line);

void BM_QuotedLine(benchmark::State& state) {
    std::string line = "M=C3=B6tet flyttas till rum 3, v=C3=A5ning 2. Ta med rapporten och =\n";
    std::string out;
    for (auto _ : state) benchmark::DoNotOptimize(mime_decode_quoted(line, out));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_QuotedLine);

}  // namespace
