// SMPP short messages: how addresses go out and come back, what a deliver_sm holds
// (also when it is cut short), and what a delivery receipt says.
#include <gtest/gtest.h>

#include "smpp_peer_support.h"
#include "sms/sms_smpp_sm.h"

namespace tolvane {
namespace {

using smpptest::be8;
using smpptest::cstr;

pdu body_pdu(const std::string& body) {
    pdu p;
    p.cmd_id = SMPP_DELIVER_SM;
    p.body.assign(body.begin(), body.end());
    return p;
}

std::string tlv(std::uint16_t tag, const std::string& value) {
    std::string out;
    out += static_cast<char>(tag >> 8);
    out += static_cast<char>(tag & 0xFF);
    out += static_cast<char>(value.size() >> 8);
    out += static_cast<char>(value.size() & 0xFF);
    return out + value;
}

// A deliver_sm body with every field given.
std::string deliver(int src_ton, const std::string& src, int esm, int dc, const std::string& sm,
                    const std::string& tlvs = "") {
    return cstr("") + be8(static_cast<std::uint8_t>(src_ton)) + be8(1) + cstr(src) + be8(0) +
           be8(1) + cstr("4412") + be8(static_cast<std::uint8_t>(esm)) + be8(0) + be8(0) +
           cstr("") + cstr("") + be8(0) + be8(0) + be8(static_cast<std::uint8_t>(dc)) + be8(0) +
           be8(static_cast<std::uint8_t>(sm.size())) + sm + tlvs;
}

TEST(SmppAddress, EveryKindOfOriginatorAndDestination) {
    struct Row {
        const char* text;
        bool source;
        int ton, npi;
        const char* sent;
    } rows[] = {
        {"+61412345678", false, 1, 1, "61412345678"},
        {"+61412345678", true, 1, 1, "61412345678"},
        {"0412345678", false, 0, 1, "0412345678"},
        {"447700900001", true, 0, 1, "447700900001"},
        {"ACME", true, 5, 0, "ACME"},
        {"Shop4You", true, 5, 0, "Shop4You"},
        {"+", true, 5, 0, "+"},              // no digits: not a number
        {"+61 412", true, 5, 0, "+61 412"},  // a blank: not a number
        {"bob@corp.example", true, 5, 0, "bob@corp.example"},
        {"12ab", false, 0, 0, "12ab"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.text) + (r.source ? " as source" : " as destination"));
        smpp_address a = r.source ? smpp_source_address(r.text) : smpp_dest_address(r.text);
        EXPECT_EQ(a, (smpp_address{r.ton, r.npi, r.sent}));
    }
}

TEST(SmppAddress, ConfiguredTypeAppliesToNationalDigitsOnly) {
    EXPECT_EQ(smpp_dest_address("0412345678", 2, 9), (smpp_address{2, 9, "0412345678"}));
    EXPECT_EQ(smpp_dest_address("+61412345678", 2, 9), (smpp_address{1, 1, "61412345678"}));
    EXPECT_EQ(smpp_dest_address("0412345678", 0, -1), (smpp_address{0, 1, "0412345678"}));
}

TEST(SmppAddress, ReceivedInternationalNumberGetsItsPlusBack) {
    EXPECT_EQ(smpp_received_address(1, "447700900123"), "+447700900123");
    EXPECT_EQ(smpp_received_address(1, "+447700900123"), "+447700900123");
    EXPECT_EQ(smpp_received_address(0, "07700900123"), "07700900123");
    EXPECT_EQ(smpp_received_address(5, "ACME"), "ACME");
    EXPECT_EQ(smpp_received_address(1, ""), "");
}

TEST(SmppDeliver, ReadsEveryFieldAndItsOptionalParameters) {
    pdu p = body_pdu(deliver(1, "447700900123", 0x40, 8, std::string("\x00\x41", 2),
                             tlv(SMPP_TLV_SAR_MSG_REF_NUM, std::string("\x01\x02", 2)) +
                                 tlv(SMPP_TLV_MESSAGE_PAYLOAD, "abc")));
    smpp_deliver d;
    ASSERT_TRUE(smpp_parse_deliver(p, d));
    EXPECT_TRUE(d.complete);
    EXPECT_EQ(d.source, "447700900123");
    EXPECT_EQ(d.source_ton, 1);
    EXPECT_EQ(d.dest, "4412");
    EXPECT_EQ(d.esm_class, 0x40);
    EXPECT_EQ(d.data_coding, 8);
    EXPECT_EQ(d.short_message, std::string("\x00\x41", 2));  // a NUL octet is data
    ASSERT_EQ(d.tlvs.size(), 2u);
    ASSERT_NE(d.tlv(SMPP_TLV_MESSAGE_PAYLOAD), nullptr);
    EXPECT_EQ(*d.tlv(SMPP_TLV_MESSAGE_PAYLOAD), "abc");
    EXPECT_EQ(d.tlv(SMPP_TLV_MESSAGE_STATE), nullptr);
}

TEST(SmppDeliver, ABodyCutShortKeepsTheFieldsBeforeTheCut) {
    const std::string whole = deliver(0, "5551234", 0, 0, "hello");
    struct Row {
        std::size_t keep;
        const char* source;
        const char* dest;
        const char* text;
    } rows[] = {
        {0, "", "", ""},
        {5, "", "", ""},  // inside the source address
        {12, "5551234", "", ""},
        {whole.size() - 3, "5551234", "4412", "he"},  // inside the message
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.keep);
        smpp_deliver d;
        EXPECT_FALSE(smpp_parse_deliver(body_pdu(whole.substr(0, r.keep)), d));
        EXPECT_FALSE(d.complete);
        EXPECT_EQ(d.source, r.source);
        EXPECT_EQ(d.dest, r.dest);
        EXPECT_EQ(d.short_message, r.text);
    }
}

TEST(SmppDeliver, AnOptionalParameterOverrunningTheBodyIsDropped) {
    std::string bad = tlv(SMPP_TLV_MESSAGE_PAYLOAD, "abcdef");
    bad.resize(bad.size() - 2);
    smpp_deliver d;
    EXPECT_FALSE(smpp_parse_deliver(
        body_pdu(deliver(0, "1", 0, 0, "x", tlv(SMPP_TLV_MESSAGE_STATE, "\x02") + bad)), d));
    EXPECT_TRUE(d.complete);
    ASSERT_EQ(d.tlvs.size(), 1u);
    EXPECT_EQ(d.tlvs[0].tag, SMPP_TLV_MESSAGE_STATE);
}

TEST(SmppDeliver, TextAndPartFromHeaderOrSarParameters) {
    const std::string sar = tlv(SMPP_TLV_SAR_MSG_REF_NUM, std::string("\x01\x02", 2)) +
                            tlv(SMPP_TLV_SAR_TOTAL_SEGMENTS, "\x03") +
                            tlv(SMPP_TLV_SAR_SEGMENT_SEQNUM, "\x02");
    struct Row {
        int esm;
        std::string sm, tlvs;
        const char* text;
        sms_concat concat;
        const char* reason_part;  // null: decodes
    } rows[] = {
        {0, "hi", "", "hi", {}, nullptr},
        {0x40, std::string("\x05\x00\x03\x07\x02\x01", 6) + "hi", "", "hi", {7, 2, 1}, nullptr},
        {0, "hi", sar, "hi", {0x0102, 3, 2}, nullptr},
        // A header that does not fit: no text, but the sar_* parameters still tell the part.
        {0x40, "\x09\x00", sar, "", {0x0102, 3, 2}, "does not fit"},
        {0x40, "\x09\x00", "", "", {}, "does not fit"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        smpp_deliver d;
        ASSERT_TRUE(smpp_parse_deliver(body_pdu(deliver(0, "1", r.esm, 0, r.sm, r.tlvs)), d));
        std::string text = "old";
        sms_concat concat{9, 9, 9};
        Status st = smpp_decode_text(d, false, text, concat);
        ASSERT_EQ(st.ok(), r.reason_part == nullptr) << st.reason();
        if (r.reason_part) {
            EXPECT_NE(st.reason().find(r.reason_part), std::string::npos);
        }
        EXPECT_EQ(text, r.text);
        EXPECT_EQ(concat, r.concat);
    }
}

TEST(SmppReceipt, EveryStateFromTheReceiptText) {
    struct Row {
        const char* stat;
        const char* state;
        bool final, failed;
    } rows[] = {
        {"DELIVRD", "DELIVERED", true, false},  {"UNDELIV", "UNDELIVERED", true, true},
        {"EXPIRED", "EXPIRED", true, true},     {"REJECTD", "REJECTED", true, true},
        {"DELETED", "UNDELIVERED", true, true}, {"ENROUTE", "ENROUTE", false, false},
        {"ACCEPTD", "ACCEPTD", false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.stat);
        std::string text = std::string("id:msg42 sub:001 dlvrd:000 submit date:2612081200 done "
                                       "date:2612081201 stat:") +
                           r.stat + " err:012 text:hello";
        smpp_deliver d;
        ASSERT_TRUE(smpp_parse_deliver(body_pdu(deliver(1, "61412345678", 0x04, 0, text)), d));
        smpp_receipt rc;
        ASSERT_TRUE(smpp_receipt_of(d, rc));
        EXPECT_EQ(rc.message_id, "msg42");
        EXPECT_EQ(rc.state, r.state);
        EXPECT_EQ(rc.error, "012");
        EXPECT_EQ(rc.final(), r.final);
        EXPECT_EQ(rc.failed(), r.failed);
        EXPECT_EQ(rc.source, "61412345678");
    }
}

TEST(SmppReceipt, OptionalParametersWinOverTheText) {
    smpp_deliver d;
    ASSERT_TRUE(smpp_parse_deliver(
        body_pdu(deliver(0, "1", 0, 0, "id:wrong stat:DELIVRD",
                         tlv(SMPP_TLV_RECEIPTED_MESSAGE_ID, std::string("AB12\0", 5)) +
                             tlv(SMPP_TLV_MESSAGE_STATE, "\x08"))),
        d));
    smpp_receipt rc;
    // A receipted_message_id marks a receipt even without the esm_class type.
    ASSERT_TRUE(smpp_receipt_of(d, rc));
    EXPECT_EQ(rc.message_id, "AB12");
    EXPECT_EQ(rc.state, "REJECTED");
}

TEST(SmppReceipt, AnOrdinaryMessageIsNoReceiptEvenIfItsTextLooksLikeOne) {
    smpp_deliver d;
    ASSERT_TRUE(smpp_parse_deliver(
        body_pdu(deliver(0, "1", 0x40, 0, "id:1 stat:DELIVRD err:000")), d));
    smpp_receipt rc;
    EXPECT_FALSE(smpp_receipt_of(d, rc));
}

TEST(SmppReceipt, KeysInsideOtherWordsAreNotTaken) {
    smpp_deliver d;
    ASSERT_TRUE(smpp_parse_deliver(
        body_pdu(deliver(0, "1", 0x04, 0, "xid:bad id:good stat:EXPIRED")), d));
    smpp_receipt rc;
    ASSERT_TRUE(smpp_receipt_of(d, rc));
    EXPECT_EQ(rc.message_id, "good");
    EXPECT_EQ(rc.state, "EXPIRED");
    EXPECT_EQ(rc.error, "");
}

}  // namespace
}  // namespace tolvane
