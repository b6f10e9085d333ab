// The modem driver in PDU mode (units sent, listed and read), and the text-mode
// character conversions, against the fake modem.
#include <gtest/gtest.h>

#include "sms/gsm_modem_support.h"

namespace tolvane {
namespace {

using test::as_gsm;
using test::GsmDriver;
using test::next_message;
using test::stored_sms;
using test::text_sms;

// Service centre +447700000000, from +447700900001, 26/12/08 10:00:00 +02, "hello".
const std::string kDeliver =
    "0791447700000000"
    "04"
    "0C91447700090010"
    "0000"
    "62218001000080"
    "05E8329BFD06";
// A stored SMS-SUBMIT (one-octet validity period) to +447700900123, "hello".
const std::string kSubmit =
    "00"
    "1100"
    "0C91447700091032"
    "0000"
    "AA"
    "05E8329BFD06";

class GsmPdu : public GsmDriver {
  protected:
    void SetUp() override {
        GsmDriver::SetUp();
        rec.mode |= MODE_PDU;
    }
};

TEST_F(GsmPdu, SendWritesTheOctetCountAndTheUnit) {
    sms_data_gsm* g = ready();
    ASSERT_TRUE(g->ispdu);
    EXPECT_EQ(g->send_text("", "+447700900123", "hello"), 0);
    EXPECT_EQ(later(), std::vector<std::string>{"AT+CMGS=18"});
    ASSERT_EQ(modem.bodies().size(), 1u);
    const std::string unit = modem.bodies()[0];
    ASSERT_EQ(unit.size(), 38u);
    EXPECT_EQ(unit.substr(0, 4), "0001");  // no service centre, SMS-SUBMIT
    EXPECT_EQ(unit.substr(6), "0C91447700091032000005E8329BFD06");
}

TEST_F(GsmPdu, EachSendTakesTheNextReference) {
    sms_data_gsm* g = ready();
    EXPECT_EQ(g->send_text("", "12345", "a"), 0);
    EXPECT_EQ(g->send_text("", "12345", "a"), 0);
    auto b = modem.bodies();
    ASSERT_EQ(b.size(), 2u);
    int r0 = std::stoi(b[0].substr(4, 2), nullptr, 16);
    int r1 = std::stoi(b[1].substr(4, 2), nullptr, 16);
    EXPECT_EQ(r1, (r0 + 1) % 256);
    // National type, swapped pairs, an odd digit padded with F.
    EXPECT_EQ(b[0].substr(8, 8), "812143F5");
}

TEST_F(GsmPdu, AFullTextFillsOneHundredFortyOctetsInLatin1) {
    rec.coding = sms_coding::latin1;  // today's single unit; other codings send parts
    sms_data_gsm* g = ready();
    EXPECT_EQ(g->send_text("", "12345", std::string(170, 'x')), 0);
    ASSERT_EQ(modem.bodies().size(), 1u);
    const std::string unit = modem.bodies()[0];
    // 00 01 MR, address (2 + 2 + 6), PID, DCS, length A0, then 140 octets.
    EXPECT_EQ(unit.substr(16, 6), "0000A0");
    EXPECT_EQ(unit.size(), 22u + 280u);
    EXPECT_EQ(later().back(), "AT+CMGS=150");
}

TEST_F(GsmPdu, StoredDeliveredUnitsAreDecodedAndSubmitsSkipped) {
    stored_sms d;
    d.pdu = kDeliver;
    d.pdu_stat = 1;
    int di = modem.store(d);
    stored_sms s;
    s.pdu = kSubmit;
    s.pdu_stat = 3;
    int si = modem.store(s);
    sms_data_gsm* g = ready();
    int code = -1;
    auto m = g->wait(100, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(as_gsm(m)->index, di);
    EXPECT_STREQ(g->msg_from(m.get()), "+447700900001");
    EXPECT_STREQ(g->msg_body(m.get()), "hello");
    EXPECT_EQ(as_gsm(m)->timestamp, "26/12/08,10:00:00+02");
    EXPECT_EQ(as_gsm(m)->service_center, "+447700000000");
    EXPECT_EQ(as_gsm(m)->status, "REC READ");
    EXPECT_EQ(g->wait(100, code), nullptr);
    EXPECT_TRUE(modem.has_stored(si));  // never handed out, never deleted
    EXPECT_EQ(modem.count("AT+CMGL=4"), 1);
}

TEST_F(GsmPdu, AnAnnouncedUnitIsReadAndDeletedWhenAccepted) {
    sms_data_gsm* g = ready();
    int code = -1;
    g->wait(100, code);
    stored_sms d;
    d.pdu = kDeliver;
    int index = modem.deliver(d);
    std::unique_ptr<sms_message> m;
    for (int i = 0; i < 100 && !m; ++i) m = g->wait(200, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(g->msg_recv(m.get()), 0);
    EXPECT_STREQ(g->msg_body(m.get()), "hello");
    EXPECT_STREQ(g->msg_from(m.get()), "+447700900001");
    EXPECT_TRUE(modem.has_stored(index));
    EXPECT_EQ(g->msg_accept(m.get(), 0, "OK"), 0);
    EXPECT_FALSE(modem.has_stored(index));
}

TEST_F(GsmPdu, ADestinationNoUnitCanHoldIsRefusedBeforeAnyCommand) {
    sms_data_gsm* g = ready();
    EXPECT_EQ(g->send_text("", "12a45", "hi"), GSM_ERR_UNEXPECTED);
    EXPECT_TRUE(later().empty());
    EXPECT_EQ(g->send_text("", "+447700900123", "hi"), 0);
}

TEST_F(GsmPdu, AnUndecodableListedUnitIsStillHandedOutAndDeleted) {
    stored_sms d;
    d.pdu = "07914477";  // cut short
    int index = modem.store(d);
    sms_data_gsm* g = ready();
    int code = -1;
    auto m = g->wait(100, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(as_gsm(m)->index, index);
    EXPECT_STREQ(g->msg_body(m.get()), "");
    EXPECT_EQ(g->msg_accept(m.get(), 0, "OK"), 0);
    EXPECT_FALSE(modem.has_stored(index));
}

// ---- the text-mode conversions, as the driver uses them ----

TEST(GsmTextCodec, TextForTheModemUsesItsAlphabet) {
    EXPECT_EQ(gsm_codec_to_modem(false, false, "a@b\r\n", 140), std::string("a\0b\r\n", 5));
    EXPECT_EQ(gsm_codec_to_modem(false, true, "{x}", 140), "\x1b(x\x1b)");
    EXPECT_EQ(gsm_codec_to_modem(false, false, "{x}", 140), "(x)");
    EXPECT_EQ(gsm_codec_to_modem(false, false, "\xe9t\xe9", 140), "\x05t\x05");
    EXPECT_EQ(gsm_codec_to_modem(false, false, std::string(200, 'a'), 140).size(), 140u);
}

TEST(GsmTextCodec, Ucs2ForTheModemIsFourHexDigitsABytes) {
    EXPECT_EQ(gsm_codec_to_modem(true, false, "Hi\xe9", 140), "0048006900E9");
    EXPECT_EQ(gsm_codec_to_modem(true, false, std::string(50, 'a'), 140).size(), 34u * 4);
    EXPECT_EQ(gsm_codec_to_modem(true, false, "+4477", 1000), "002B0034003400370037");
}

TEST(GsmTextCodec, TextFromTheModemBecomesSingleBytes) {
    EXPECT_EQ(gsm_codec_from_modem(true, false, "00480069", 999), "Hi");
    EXPECT_EQ(gsm_codec_from_modem(true, false, "0394", 999), "\x7f");
    EXPECT_EQ(gsm_codec_from_modem(true, false, "20AC0041-041", 999),
              "\x80"
              "A");
    EXPECT_EQ(gsm_codec_from_modem(false, false, std::string("a\0b\x1b(\r\n", 7), 999), "a@b{\r\n");
}

}  // namespace
}  // namespace tolvane
