// Fuzzes the SMTP listener's dialogue engine from a byte stream: the input is
// what a client sends (HELO or EHLO, AUTH exchanges, mails), read in pieces whose
// size the first byte chooses, and a driver plays the gateway's part (recipient
// refusals and the final answer also chosen by the input). The top bits of the
// first byte choose whether AUTH is off, optional, required, or offered without
// encryption; one user "ann" with the password "pw" exists. Mails over 256 bytes
// go to a spool file, and over 64 KiB are refused. Messages handed over on the same connection
// (RSET, a further MAIL FROM) are run the same way until none is left. Bit 0x20 of the
// second byte offers STARTTLS (the switch itself keeps the bytes plain: what is fuzzed is
// the dialogue around it, the state reset and the dropped input), bit 0x10 makes the
// connection one of the implicit-TLS port, greeted after its (plain) handshake.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>

#include "foundation/ssha.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"
#include "net/myssl.h"

using namespace tolvane;

namespace {

struct fuzz_env {
    std::string dir;
    std::unique_ptr<smtp_engine> drv;
    std::deque<std::unique_ptr<smtp_message>> next;
    std::shared_ptr<const MysslSetup> tls;  // only its presence matters over a buffer

    fuzz_env() {
        std::string t = (std::filesystem::temp_directory_path() / "tv_fuzz_XXXXXX").string();
        if (::mkdtemp(t.data())) dir = t;
        smtp_init rec;
        rec.workpath = dir;
        rec.spool_over = 256;
        rec.max_size = 64 * 1024;
        rec.max_recipients = 20;
        int err = 0;
        drv = smtp_engine_open(rec, err);
        auto* d = static_cast<smtp_engine*>(drv.get());
        d->users["ann"] = ssha_encode("pw");
        d->auth_fail_delay_ms = 0;  // a second per failure would stall the fuzzer
        if (Result<MysslSetupPtr> made = myssl_client_setup_new(false)) tls = std::move(*made);
        static_cast<smtp_engine*>(drv.get())->handoff = [this](std::unique_ptr<smtp_message> m) {
            next.push_back(std::move(m));
        };
    }
};

void play(smtp_engine* d, smtp_message* m, uint8_t policy) {
    if (!d->msg_fromip(m)) return;
    if (d->msg_recv(m) != 0) return;
    int n = 0;
    while (const char* to = d->msg_to(m)) {
        if ((policy >> (n++ % 4)) & 1) d->msg_reject(m, 500, "To Blocked");
        if (n > 10000) break;
    }
    if (!d->msg_from(m)) return;
    if (!d->msg_body(m)) return;
    auto extra = smtp_message_extra_of(m);
    std::string subject;
    if (auto* s = mail_header_find(m->headers, "Subject")) qp_header_decode(*s, subject, 1000);
    if (policy & 0x80)
        d->msg_reject(m, 500, nullptr);
    else
        d->msg_accept(m, 250, "Command DATA Processed mail data OK");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_env env;
    if (size < 2) return 0;
    int chunk = 1 + data[0] % 64;
    uint8_t policy = data[1];
    std::string input(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string out;
    auto* d = static_cast<smtp_engine*>(env.drv.get());
    int auth = data[0] >> 6;
    d->auth = auth == 3 ? SMTP_AUTH_REQUIRED : auth;
    d->auth_plaintext = auth == 3 || (data[1] & 0x40) != 0;
    d->tls_setup = (data[1] & 0x20) ? env.tls : nullptr;
    auto first = smtp_message_new(d, smtp_memory_link(input, &out, chunk), MODE_HELO);
    if (data[1] & 0x10) {
        first->sock->wrap_pending = true;
        first->sock->wrap_greeting = "fuzz";
    }
    play(d, first.get(), policy);
    first.reset();
    for (int handed = 0; !env.next.empty() && handed < 1000; ++handed) {
        auto m = std::move(env.next.front());
        env.next.pop_front();
        play(d, m.get(), policy);
    }
    env.next.clear();
    return 0;
}
