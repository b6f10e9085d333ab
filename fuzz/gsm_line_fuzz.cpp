// Fuzzes the GSM modem line layer and the dialogues built on it with whatever a modem
// might write. The input is a list of records: an operation byte, a length byte and
// that many bytes, which arrive in the input buffer (as the reader thread would put
// them there) just before the operation runs, so the modem's output is cut at every
// place the input chooses, between and inside lines, prompts and message bodies.
// Operations: every kind of read, the prompt wait, dropping stale lines, a whole send
// (text and PDU mode, UTF-8 texts in parts), a wait (listing and indications),
// reading an announced message, the reply parsers, and the unit and text-mode body
// decoders (whatever they give must be valid UTF-8). Writes go to /dev/null; no read waits, since
// no reader thread runs and every reply time is 0.
//
// Checks: a read never gives more than it was asked for, nor a line end; the buffer
// only shrinks while operations run; after stale lines are dropped no whole line
// other than an unsolicited one is left; the listing keeps at most its limit.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/thread.h"
#include "foundation/utf8.h"
#include "sms/sms_gsm.h"
#include "sms/sms_gsm_impl.h"

using namespace tolvane;

namespace {

int dev_null() {
    static int fd = ::open("/dev/null", O_WRONLY);
    return fd;
}

bool unsolicited(std::string_view line) {
    return line == "RING" || line.starts_with("+CRING:") || line.starts_with("+CLIP:") ||
           line.starts_with("+CMTI:");
}

void check_read(int n, const std::string& bf, std::size_t bfsz, bool raw) {
    if (n < 0 || static_cast<std::size_t>(n) > (raw ? GSM_LINE_MAX : bfsz) + 2) std::abort();
    if (static_cast<std::size_t>(n) != bf.size()) std::abort();
}

void check_line(int n, const std::string& bf) {
    if (n < 0) return;
    if (static_cast<std::size_t>(n) != bf.size()) std::abort();
    if (!bf.empty() && (bf.back() == '\r' || bf.back() == '\n' || bf.back() == '\0')) std::abort();
}

void check_no_stale(sms_data_gsm& g) {
    MutexHold hold(g.lock_buffer.get());
    std::size_t pos = 0;
    for (;;) {
        std::size_t e = g.buffer.find("\r\n", pos);
        if (e == std::string::npos) break;
        std::string_view line(g.buffer.data() + pos, e - pos);
        if (!unsolicited(line)) std::abort();
        pos = e + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sms_data_gsm g;
    g.lock_com = th_mutex_new("USING_GSM_MODEM");
    g.lock_buffer = th_mutex_new("USING_READ_BUFFER");
    g.com = com_new();
    g.com->f = dev_null();
    g.reply_ms = 0;
    g.csms_pause_ms = 0;
    g.signal_pause_ms = 0;
    g.delete_retry_ms = 0;
    g.localphone = "+15550001";

    std::size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t op = data[at];
        const std::size_t len = std::min<std::size_t>(data[at + 1], size - at - 2);
        const std::string chunk(reinterpret_cast<const char*>(data + at + 2), len);
        at += 2 + len;
        std::size_t before;
        {
            MutexHold hold(g.lock_buffer.get());
            g.buffer += chunk;
            before = g.buffer.size();
        }
        int err = 0;
        std::string bf;
        const bool pdu = (op & 0x80) != 0;
        g.ispdu = pdu;
        g.usedcs = (op & 0x40) ? 8 : 0;
        switch (op & 0x0f) {
            case 0: {
                const int flags = ((op & 0x10) ? GRL_INCOMING : 0) |
                                  ((op & 0x20) ? GRL_SKIP_BLANK : 0) |
                                  ((op & 0x40) ? GRL_DISCARD : 0);
                const std::size_t bfsz = 1 + (op & 0x30);
                check_line(gsm_read_line(&g, err, flags, 0, bf, bfsz), bf);
                break;
            }
            case 1: {
                const std::size_t bfsz = 1 + ((op >> 4) & 0x07);
                const int flags = GRL_RAW | ((op & 0x80) ? GRL_EXPECT_GT : 0) |
                                  ((op & 0x40) ? GRL_SKIP_BLANK : 0);
                check_read(gsm_read_raw(&g, err, flags, 0, bf, bfsz), bf, bfsz, true);
                break;
            }
            case 2:
                gsm_wait_prompt(&g, err, 0);
                break;
            case 3:
                gsm_drop_stale(&g);
                check_no_stale(g);
                break;
            case 4:
                g.ext7bit = (op & 0x20) != 0;
                g.send(nullptr, "a@b", (op & 0x10) ? "+447700900123" : "0412",
                       std::string_view(chunk).substr(0, 160));
                break;
            case 5: {
                g.donestored = (op & 0x10) != 0;
                auto m = g.wait(0, err);
                if (m && g.msg_recv(m.get()) < 0) std::abort();
                if (g.stored.size() > GSM_STORED_MAX) std::abort();
                break;
            }
            case 6: {
                gsm_sms m;
                m.memory = "SM";
                m.index = op >> 4;
                g.msg_recv(&m);
                break;
            }
            case 7: {
                gsm_sms m;
                gsm_process_message_info(&g, err, m, chunk, (op & 0x10) != 0);
                if (m.length < 0) std::abort();
                break;
            }
            case 8:
                (void)make_cnmi(chunk);
                (void)make_bearer(chunk, 9600);
                break;
            case 9: {
                int iscme = 0;
                if (gsm_iserrorx(chunk, err, iscme) == 0 && (err != 0 || iscme != 0)) std::abort();
                break;
            }
            case 10: {
                // A unit as listed or read: decoded into UTF-8 and part numbers.
                gsm_sms m;
                if (gsm_codec_decode_pdu(chunk, m)) {
                    if (!utf8_is_valid(m.message)) std::abort();
                    if (m.concat.total < 0 || m.concat.part < 0) std::abort();
                }
                std::string body =
                    gsm_codec_text_body((op & 0x10) ? "UCS2" : "GSM", op >> 5, chunk);
                if (!utf8_is_valid(body)) std::abort();
                break;
            }
            default:
                check_line(gsm_read_line(&g, err, GRL_SKIP_BLANK, 0, bf), bf);
                break;
        }
        MutexHold hold(g.lock_buffer.get());
        if (g.buffer.size() > before) std::abort();
    }
    g.com->f = -1;  // the shared descriptor stays open for the next input
    return 0;
}
