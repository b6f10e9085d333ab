// The alphabet and the longest text (sms_coding, sms_max_parts) through the bound SMPP
// transport against the scripted centre: what data_coding each submit_sm carries and how
// many of them a text takes, read from the octets the centre got.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "net/tcp.h"
#include "smpp_peer_support.h"
#include "sms/sms_smpp.h"
#include "sms/sms_smpp_defines.h"

namespace tolvane {
namespace {

using smpptest::answer_bind;
using smpptest::cstr;
using smpptest::Peer;
using smpptest::raw_pdu;
using smpptest::RawPdu;

struct Submit {
    int esm_class = 0;
    int data_coding = 0;
    std::string short_message;
};

// The fields of a submit_sm body that tell the coding, read independently of the client.
bool read_submit(const std::string& b, Submit& out) {
    std::size_t at = 0;
    auto skip_cstr = [&] {
        std::size_t nul = b.find('\0', at);
        if (nul == std::string::npos) return false;
        at = nul + 1;
        return true;
    };
    auto octet = [&](int& v) {
        if (at >= b.size()) return false;
        v = static_cast<unsigned char>(b[at++]);
        return true;
    };
    int skip = 0, len = 0;
    if (!skip_cstr() || !octet(skip) || !octet(skip) || !skip_cstr() || !octet(skip) ||
        !octet(skip) || !skip_cstr() || !octet(out.esm_class) || !octet(skip) || !octet(skip) ||
        !skip_cstr() || !skip_cstr() || !octet(skip) || !octet(skip) || !octet(out.data_coding) ||
        !octet(skip) || !octet(len) || at + static_cast<std::size_t>(len) > b.size())
        return false;
    out.short_message = b.substr(at, static_cast<std::size_t>(len));
    return true;
}

// A transceiver bound to the scripted centre with the coding settings of one case.
std::unique_ptr<SmsTransport> bound(Peer& peer, const char* coding, int max_parts) {
    smpp_init init;
    init.host = "127.0.0.1";
    init.port = peer.port();
    init.id = "gw";
    init.bind = smpp_bind_kind::transceiver;
    init.enquire_ms = 0;
    init.response_ms = 5000;
    init.coding = coding;
    init.max_parts = max_parts;
    auto started = std::async(std::launch::async, [init] { return sms_smpp_init(init); });
    if (peer.accept() != 0 || !answer_bind(peer, 0, SMPP_BIND_TRANSCEIVER)) return nullptr;
    Result<std::unique_ptr<SmsTransport>> t = started.get();
    return t ? std::move(*t) : nullptr;
}

TEST(SmppCoding, TheSettingsDecideTheDataCodingAndTheNumberOfSubmits) {
    tcp_init();
    const std::string latin = "hello [x] 1";
    const std::string mixed = "Привет 😀 € ok";
    std::string five;  // five GSM parts' worth
    while (five.size() < 4 * 153 + 20) five += "Lorem ipsum dolor sit amet. ";
    struct Case {
        const char* coding;
        int max_parts;
        const std::string* text;
        int data_coding;
        std::size_t submits;
    };
    const Case cases[] = {
        {"auto", 10, &latin, 0, 1},   {"ucs2", 10, &latin, 8, 1},
        {"gsm", 10, &latin, 0, 1},    {"auto", 10, &mixed, 8, 1},
        {"gsm", 10, &mixed, 0, 1},     // what GSM lacks goes as "?", as on the modem
        {"latin1", 10, &mixed, 0, 1},  // single Latin-1 bytes
        {"ucs2", 10, &mixed, 8, 1},   {"auto", 10, &five, 0, 5},
        {"auto", 2, &five, 0, 2},  // cut, as on the modem
        {"ucs2", 2, &five, 8, 2},     {"latin1", 2, &five, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.coding) + " max " + std::to_string(c.max_parts) + ": " +
                     c.text->substr(0, 20));
        Peer peer;
        std::unique_ptr<SmsTransport> t = bound(peer, c.coding, c.max_parts);
        ASSERT_TRUE(t);
        auto sent = std::async(std::launch::async, [&] {
            return t->send({.from = "+61400000001", .to = "+61400000002", .text = *c.text});
        });
        std::vector<Submit> got;
        for (std::size_t i = 0; i < c.submits; ++i) {
            RawPdu p;
            ASSERT_TRUE(peer.read(0, p));
            ASSERT_EQ(p.id, SMPP_SUBMIT_SM);
            Submit s;
            ASSERT_TRUE(read_submit(p.body, s));
            got.push_back(s);
            peer.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, p.seq, cstr("id" + std::to_string(i))));
        }
        ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        SendResult r = sent.get();
        ASSERT_TRUE(r.ok()) << r.reason();
        // The id of the last part, and one part per submit.
        EXPECT_EQ(r->message_id, "id" + std::to_string(c.submits - 1));
        EXPECT_EQ(r->parts, static_cast<int>(c.submits));
        EXPECT_TRUE(peer.quiet(0, 50)) << "no further submit_sm";
        for (const Submit& s : got) {
            EXPECT_EQ(s.data_coding, c.data_coding);
            EXPECT_EQ(s.esm_class, c.submits > 1 ? 0x40 : 0);
        }
        if (c.text == &mixed && std::string(c.coding) == "gsm") {
            // Six Cyrillic letters and the emoji as "?", the euro sign as ESC and its code.
            EXPECT_EQ(got[0].short_message, "?????? ? \x1b\x65 ok");
        }
        if (c.text == &mixed && std::string(c.coding) == "latin1") {
            EXPECT_EQ(got[0].short_message, "?????? ? \x80 ok");
        }
        peer.close_listener();
        peer.close_all();
        t.reset();
    }
}

}  // namespace
}  // namespace tolvane
