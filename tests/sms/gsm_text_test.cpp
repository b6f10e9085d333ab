// The modem driver with UTF-8 texts, against the fake modem: which coding and how
// many parts go out in PDU mode, when text mode hands a message to PDU mode, and
// how received units and text-mode bodies become UTF-8 with their part numbers.
#include <gtest/gtest.h>

#include "sms/gsm_modem_support.h"
#include "sms/hex_support.h"

namespace tolvane {
namespace {

using test::GsmDriver;
using test::stored_sms;

// The fields of an SMS-SUBMIT unit as the driver writes it (no service centre, no
// validity period), read here on their own so the driver's coder is checked.
struct submit {
    int first = 0;
    std::string to;
    int dcs = -1;
    int udl = 0;
    std::string udh;   // hex, length octet included
    std::string text;  // UTF-8
};

int octet(const std::string& hex, std::size_t at) {
    return std::stoi(hex.substr(at, 2), nullptr, 16);
}

std::string octets(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(octet(hex, i));
    return out;
}

submit read_submit(const std::string& unit) {
    submit s;
    std::size_t i = 2 + 2 * octet(unit, 0);
    s.first = octet(unit, i);
    i += 4;  // first octet, reference
    int digits = octet(unit, i);
    i += 4;  // digit count, type
    for (int k = 0; k < digits; k += 2) {
        s.to += unit[i + 2 * (k / 2) + 1];
        if (k + 1 < digits) s.to += unit[i + 2 * (k / 2)];
    }
    i += 2 * ((digits + 1) / 2);
    i += 2;  // protocol identifier
    s.dcs = octet(unit, i);
    s.udl = octet(unit, i + 2);
    std::string ud = octets(unit.substr(i + 4));
    std::size_t header = 0;
    if (s.first & 0x40) {
        header = 1 + static_cast<unsigned char>(ud[0]);
        s.udh = unit.substr(i + 4, 2 * header);
    }
    if (s.dcs == 0) {
        std::size_t skip = (header * 8 + 6) / 7;
        s.text = gsm_septets_to_utf8(
            gsm_unpack_septets(ud, static_cast<std::size_t>(s.udl) - skip, skip));
    } else {
        s.text = ucs2_to_utf8(ud.substr(header));
    }
    return s;
}

class GsmPduText : public GsmDriver {
  protected:
    void SetUp() override {
        GsmDriver::SetUp();
        rec.mode |= MODE_PDU;
    }
};

TEST_F(GsmPduText, EachTextGoesInTheCodingItNeedsAndArrivesExactly) {
    struct row {
        const char* text;
        int dcs;
    } rows[] = {
        {"plain words", 0x00},
        {"\xe2\x82\xac [ ] ~ ^ { } | \\", 0x00},  // extension characters
        {"Gr\xc3\xbc\xc3\x9f"
         "e @home",
         0x00},  // ü and ß are in the alphabet
        {"@ first", 0x00},
        {"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", 0x08},  // Cyrillic
        {"\xe4\xbd\xa0\xe5\xa5\xbd", 0x08},                          // Chinese
        {"smile \xf0\x9f\x98\x80", 0x08},                            // beyond the BMP
    };
    sms_data_gsm* g = ready();
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        std::size_t before = modem.bodies().size();
        ASSERT_EQ(g->send_text("", "+447700900123", r.text), 0);
        ASSERT_EQ(modem.bodies().size(), before + 1);
        submit s = read_submit(modem.bodies().back());
        EXPECT_EQ(s.dcs, r.dcs);
        EXPECT_EQ(s.first & 0x40, 0);  // one part: no header
        EXPECT_EQ(s.to, "447700900123");
        EXPECT_EQ(s.text, r.text);
    }
}

TEST_F(GsmPduText, LongTextsGoInPartsWithTheirHeaders) {
    struct row {
        std::string text;
        int dcs;
        std::size_t parts;
    } rows[] = {
        {std::string(400, 'a'), 0x00, 3},
        {std::string(160, 'b'), 0x00, 1},
        {std::string(161, 'c'), 0x00, 2},
    };
    std::string cyrillic;
    for (int i = 0; i < 200; ++i) cyrillic += "\xd0\xb4";
    sms_data_gsm* g = ready();
    auto check = [&](const std::string& text, int dcs, std::size_t parts) {
        std::size_t before = modem.bodies().size();
        ASSERT_EQ(g->send_text("", "+447700900123", text), 0);
        auto bodies = modem.bodies();
        ASSERT_EQ(bodies.size(), before + parts);
        std::string joined;
        std::string ref;
        for (std::size_t k = 0; k < parts; ++k) {
            submit s = read_submit(bodies[before + k]);
            EXPECT_EQ(s.dcs, dcs);
            joined += s.text;
            if (parts == 1) {
                EXPECT_TRUE(s.udh.empty());
                continue;
            }
            EXPECT_EQ(s.first & 0x40, 0x40);
            ASSERT_EQ(s.udh.size(), 12u);
            EXPECT_EQ(s.udh.substr(0, 6), "050003");
            if (k == 0) ref = s.udh.substr(6, 2);
            EXPECT_EQ(s.udh.substr(6, 2), ref);  // one reference for the set
            EXPECT_EQ(octet(s.udh, 8), static_cast<int>(parts));
            EXPECT_EQ(octet(s.udh, 10), static_cast<int>(k + 1));
        }
        EXPECT_EQ(joined, text);
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text.size());
        check(r.text, r.dcs, r.parts);
    }
    SCOPED_TRACE("cyrillic");
    check(cyrillic, 0x08, 3);
}

TEST_F(GsmPduText, APartRefusedEndsTheSendWithItsCode) {
    sms_data_gsm* g = ready();
    int n = 0;
    modem.on([&n](const std::string& c) -> std::optional<std::string> {
        if (c == "AT+CMGS-END") return std::nullopt;
        if (c.starts_with("AT+CMGS=") && ++n == 2) return "\r\n+CMS ERROR: 38\r\n";
        return std::nullopt;
    });
    EXPECT_EQ(g->send_text("", "+1555", std::string(400, 'x')), 39);
    EXPECT_EQ(modem.sent().size(), 1u);  // the third part was not tried
}

TEST_F(GsmDriver, TextModeSendsGsmTextAndHandsTheRestToPduMode) {
    struct row {
        std::string text;
        bool pdu;
    } rows[] = {
        {std::string(160, 'a'), false},      // one SMS of GSM text
        {"price 10\xe2\x82\xac", true},      // extension character: ESC
        {"\xce\x9e", true},                  // Ctrl-Z as a septet
        {"\xd0\x9f\xd1\x80\xd0\xb8", true},  // UCS-2
        {std::string(161, 'a'), true},       // two parts
        {"a@b \xc3\xa9t\xc3\xa9", false},    // @ and é are in the alphabet
    };
    sms_data_gsm* g = ready();
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        std::size_t before = modem.commands().size();
        ASSERT_EQ(g->send_text("", "+1555", r.text), 0);
        auto all = modem.commands();
        std::vector<std::string> cmds(all.begin() + static_cast<long>(before), all.end());
        EXPECT_FALSE(g->ispdu);
        if (!r.pdu) {
            EXPECT_EQ(cmds, std::vector<std::string>{"AT+CMGS=\"+1555\""});
            auto sent = modem.sent();
            EXPECT_EQ(gsm_septets_to_utf8(sent.back().text), r.text);
            continue;
        }
        ASSERT_GE(cmds.size(), 3u);
        EXPECT_EQ(cmds.front(), "AT+CMGF=0");
        EXPECT_EQ(cmds.back(), "AT+CMGF=1");
        std::string joined;
        for (std::size_t k = 1; k + 1 < cmds.size(); ++k) {
            EXPECT_TRUE(cmds[k].starts_with("AT+CMGS=")) << cmds[k];
            EXPECT_FALSE(cmds[k].starts_with("AT+CMGS=\""));
        }
        auto sent = modem.sent();
        for (std::size_t k = sent.size() - (cmds.size() - 2); k < sent.size(); ++k) {
            joined += read_submit(sent[k].text).text;
        }
        EXPECT_EQ(joined, r.text);
    }
}

// ---- receiving ----

// A delivered unit from +447700900001 with dcs and user data (hex) as given.
std::string deliver(int first, int dcs, int udl, const std::string& ud) {
    char head[64];
    std::snprintf(head, sizeof head, "0791447700000000%02X0C9144770009001000%02X62218001000080%02X",
                  first, dcs, udl);
    return head + ud;
}

using test::hex;

TEST_F(GsmPduText, ReceivedUnitsAreReadByTheirCodingIntoUtf8) {
    std::string ucs2 = ucs2_from_utf8("\xd0\x9f\xd1\x80\xd0\xb8 \xf0\x9f\x98\x80");
    sms_part at_first;
    at_first.data = std::string("\0 at", 4);
    at_first.units = 4;
    std::size_t at_udl = 0;
    std::string at_ud = sms_pack_user_data(at_first, at_udl);
    sms_part part2;
    part2.udh = sms_concat_header(0x42, 3, 2);
    part2.data = "two";
    part2.units = 3;
    std::size_t p2_udl = 0;
    std::string p2_ud = sms_pack_user_data(part2, p2_udl);
    struct row {
        std::string unit;
        std::string text;
        sms_concat concat;
    } rows[] = {
        {deliver(0x04, 0x08, static_cast<int>(ucs2.size()), hex(ucs2)),
         "\xd0\x9f\xd1\x80\xd0\xb8 \xf0\x9f\x98\x80",
         {}},
        {deliver(0x04, 0x00, static_cast<int>(at_udl), hex(at_ud)), "@ at", {}},
        {deliver(0x44, 0x00, static_cast<int>(p2_udl), hex(p2_ud)), "two", {0x42, 3, 2}},
        {deliver(0x44, 0x08, 6 + 4, "050003070201" + hex(ucs2_from_utf8("\xc3\xa9\xc3\xa9"))),
         "\xc3\xa9\xc3\xa9",
         {7, 2, 1}},
    };
    for (const row& r : rows) {
        stored_sms d;
        d.pdu = r.unit;
        modem.store(d);
    }
    sms_data_gsm* g = ready();
    std::vector<std::unique_ptr<sms_message>> got;
    int code = -1;
    for (int i = 0; i < 10 && got.size() < 4; ++i) {
        if (auto m = g->wait(50, code)) got.push_back(std::move(m));
    }
    ASSERT_EQ(got.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        const row& r = rows[3 - k];  // handed out last-listed first
        SCOPED_TRACE(r.text);
        EXPECT_EQ(std::string(g->msg_body(got[k].get())), r.text);
        EXPECT_EQ(got[k]->concat, r.concat);
    }
}

TEST_F(GsmDriver, TextModeBodiesAreReadInTheModemsCharacterSet) {
    stored_sms m;
    m.text = std::string(
        "\0 Gr\x7e\x1e"
        "e \x1b\x65",
        10);  // @, ü, ß, euro in GSM codes
    modem.store(m);
    sms_data_gsm* g = ready();
    int code = -1;
    auto got = g->wait(100, code);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(g->msg_body(got.get())),
              "@ Gr\xc3\xbc\xc3\x9f"
              "e \xe2\x82\xac");
}

TEST(GsmTextBody, TheCharacterSetAndTheCodingDecide) {
    struct row {
        const char* cscs;
        int dcs;
        std::string body;
        std::string want;
    } rows[] = {
        {"GSM", 0, std::string("a\0b", 3), "a@b"},
        {"UCS2", 8, "041F0440", "\xd0\x9f\xd1\x80"},
        {"GSM", 8, "041F0440", "\xd0\x9f\xd1\x80"},  // UCS-2 shown as hex
        {"GSM", 0, "041F", "041F"},                  // 7-bit text that looks like hex
        {"8859-1", 0, "Gr\xfc\xdf", "Gr\xc3\xbc\xc3\x9f"},
        {"UCS2", 8, "D83DDE00", "\xf0\x9f\x98\x80"},
        {"UCS2", 8, "D83D", "\xef\xbf\xbd"},  // a lone surrogate is not a cut
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.body);
        EXPECT_EQ(gsm_codec_text_body(r.cscs, r.dcs, r.body), r.want);
    }
}

}  // namespace
}  // namespace tolvane
