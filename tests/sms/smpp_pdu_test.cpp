// SMPP PDU coding: golden octets, field readers at the end of the body, and the
// stream assembler against split, glued, short and over-long PDUs.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "smpp_peer_support.h"
#include "sms/sms_smpp_pdu.h"

namespace tolvane {
namespace {

using smpptest::be32;
using smpptest::cstr;
using smpptest::raw_pdu;

std::string body_of(const pdu& p) {
    return std::string(p.body.begin(), p.body.end());
}

pdu with_body(std::string_view b) {
    pdu p;
    p.body.assign(b.begin(), b.end());
    return p;
}

TEST(PduEncode, HeaderCarriesLengthAndFieldsMostSignificantFirst) {
    auto p = pdu_new(SMPP_ENQUIRE_LINK_RESP, 0);
    p->sequence = 7;
    EXPECT_EQ(pdu_encode(*p), std::string("\x00\x00\x00\x10\x80\x00\x00\x15\x00\x00\x00\x00"
                                          "\x00\x00\x00\x07",
                                          16));
    EXPECT_EQ(p->length, 16u);

    auto q = pdu_new(SMPP_SUBMIT_SM, 0x45);
    q->sequence = 0x01020304;
    pdu_add_string(*q, "ab", 10);
    EXPECT_EQ(pdu_encode(*q), raw_pdu(4, 0x45, 0x01020304, std::string("ab\0", 3)));
    EXPECT_EQ(q->length, 19u);
}

TEST(PduEncode, HeaderOctetsAreReadUnsigned) {
    std::string h = be32(200) + be32(0x80000004u) + be32(0xFFFFFFFEu) + be32(0x8000000Fu);
    pdu p;
    pdu_header_decode(reinterpret_cast<const unsigned char*>(h.data()), p);
    EXPECT_EQ(p.length, 200u);
    EXPECT_EQ(p.cmd_id, 0x80000004u);
    EXPECT_EQ(p.cmd_status, 0xFFFFFFFEu);
    EXPECT_EQ(p.sequence, 0x8000000Fu);
}

TEST(PduFields, IntegersOfEachSizeAreBigEndian) {
    pdu p;
    EXPECT_EQ(pdu_add_int(p, 0xAB, 1), 1);
    EXPECT_EQ(pdu_add_int(p, 0xBEEF, 2), 1);
    EXPECT_EQ(pdu_add_int(p, 0x123456, 3), 1);
    EXPECT_EQ(pdu_add_int(p, 0xDEADBEEF, 4), 1);
    EXPECT_EQ(body_of(p), std::string("\xAB\xBE\xEF\x12\x34\x56\xDE\xAD\xBE\xEF", 10));
    EXPECT_EQ(pdu_add_int(p, 1, 0), 0);
    EXPECT_EQ(pdu_add_int(p, 1, 5), 0);
    EXPECT_EQ(p.bsz(), 10);

    std::uint32_t v = 0;
    ASSERT_EQ(pdu_get_int(p, 1, v), 1);
    EXPECT_EQ(v, 0xABu);
    ASSERT_EQ(pdu_get_int(p, 2, v), 1);
    EXPECT_EQ(v, 0xBEEFu);
    ASSERT_EQ(pdu_get_int(p, 3, v), 1);
    EXPECT_EQ(v, 0x123456u);
    ASSERT_EQ(pdu_get_int(p, 4, v), 1);
    EXPECT_EQ(v, 0xDEADBEEFu);
    // The body is used up: nothing more is read and the output is left alone.
    v = 99;
    EXPECT_EQ(pdu_get_int(p, 1, v), 0);
    EXPECT_EQ(v, 99u);
}

TEST(PduFields, StringsAreCutToMaxLessOneAndEndInNul) {
    pdu p;
    EXPECT_EQ(pdu_add_string(p, "abcdefghij", 5), 1);
    EXPECT_EQ(pdu_add_string(p, "", 5), 1);
    EXPECT_EQ(pdu_add_string(p, std::string_view("x\0y", 3), 5), 1);
    EXPECT_EQ(pdu_add_string(p, "no room", 0), 0);
    EXPECT_EQ(body_of(p), std::string("abcd\0\0x\0", 8));
}

TEST(PduFields, StringReaderStopsAtNulOrAtMax) {
    pdu p = with_body(std::string("447700900123\0rest\0", 18));
    std::string s;
    ASSERT_EQ(pdu_get_string(p, s, 21), 1);
    EXPECT_EQ(s, "447700900123");
    EXPECT_EQ(p.upto, 13u);
    // No NUL within max octets: the last one read stands for it.
    ASSERT_EQ(pdu_get_string(p, s, 3), 1);
    EXPECT_EQ(s, "re");
    EXPECT_EQ(p.upto, 16u);
    ASSERT_EQ(pdu_get_string(p, s, 3), 1);
    EXPECT_EQ(s, "t");
    EXPECT_EQ(p.upto, 18u);
}

TEST(PduFields, ReadersRefuseFieldsThatRunPastTheBody) {
    pdu p = with_body("abc");  // no NUL at all
    std::string s = "untouched";
    EXPECT_EQ(pdu_get_string(p, s, 21), 0);
    EXPECT_EQ(s, "untouched");
    EXPECT_EQ(p.upto, 0u);
    // Exactly max octets without a NUL is still a (cut) string.
    ASSERT_EQ(pdu_get_string(p, s, 3), 1);
    EXPECT_EQ(s, "ab");

    pdu q = with_body("abcd");
    EXPECT_EQ(pdu_get_octet(q, s, 5), 0);
    EXPECT_EQ(s, "ab");
    EXPECT_EQ(q.upto, 0u);
    ASSERT_EQ(pdu_get_octet(q, s, 4), 1);
    EXPECT_EQ(s, "abcd");
    ASSERT_EQ(pdu_get_octet(q, s, 0), 1);
    EXPECT_EQ(s, "");
    std::uint32_t v = 5;
    EXPECT_EQ(pdu_get_int(q, 4, v), 0);
    EXPECT_EQ(v, 5u);

    pdu empty;
    EXPECT_EQ(pdu_get_string(empty, s, 1), 0);
    EXPECT_EQ(pdu_get_int(empty, 1, v), 0);
}

TEST(PduLife, DupIsDeepAndRewound) {
    auto p = pdu_new(SMPP_DELIVER_SM, 0);
    p->sequence = 9;
    pdu_add_string(*p, "hello", 10);
    std::string s;
    ASSERT_EQ(pdu_get_string(*p, s, 10), 1);
    auto d = pdu_dup(*p);
    EXPECT_EQ(d->upto, 0u);
    EXPECT_EQ(d->sequence, 9u);
    EXPECT_EQ(d->cmd_id, SMPP_DELIVER_SM);
    p->body[0] = 'J';
    ASSERT_EQ(pdu_get_string(*d, s, 10), 1);
    EXPECT_EQ(s, "hello");

    pdu_clear(*p);
    EXPECT_EQ(p->cmd_id, 0u);
    EXPECT_EQ(p->sequence, 0u);
    EXPECT_EQ(p->bsz(), 0);
    pdu_free(p);
    EXPECT_EQ(p, nullptr);
}

TEST(PduList, KeepsArrivalOrderAndABound) {
    pdu_list l;
    EXPECT_EQ(pdulist_pop(l), nullptr);
    for (std::uint32_t i = 1; i <= PDU_LIST_MAX; ++i) {
        pdu p;
        p.sequence = i;
        ASSERT_EQ(pdulist_add(l, p), 1);
    }
    pdu extra;
    EXPECT_EQ(pdulist_add(l, extra), 0);
    EXPECT_EQ(l.size(), PDU_LIST_MAX);
    EXPECT_EQ(pdulist_pop(l)->sequence, 1u);
    EXPECT_EQ(pdulist_pop(l)->sequence, 2u);
    pdulist_free(l);
    EXPECT_TRUE(l.empty());
}

// ---- the assembler ----

TEST(PduAssembler, PduFedOneOctetAtATimeComesOutWhole) {
    std::string wire = raw_pdu(SMPP_DELIVER_SM, 0, 42, "body\0x");
    pdu_assembler a;
    pdu out;
    for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
        a.feed(&wire[i], 1);
        ASSERT_EQ(a.take(out), PDU_NEED_MORE) << "after " << i + 1 << " octets";
    }
    a.feed(&wire.back(), 1);
    ASSERT_EQ(a.take(out), PDU_TAKEN);
    EXPECT_EQ(out.cmd_id, SMPP_DELIVER_SM);
    EXPECT_EQ(out.sequence, 42u);
    EXPECT_EQ(body_of(out), "body");
    EXPECT_EQ(a.buffered(), 0u);
}

TEST(PduAssembler, GluedPdusAndAHeaderOnlyPdu) {
    std::string wire = raw_pdu(SMPP_ENQUIRE_LINK, 0, 1) +
                       raw_pdu(SMPP_SUBMIT_SM_RESP, 0, 2, cstr("id7")) +
                       raw_pdu(SMPP_UNBIND, 0, 3).substr(0, 9);
    pdu_assembler a;
    a.feed(wire.data(), wire.size());
    pdu out;
    ASSERT_EQ(a.take(out), PDU_TAKEN);
    EXPECT_EQ(out.sequence, 1u);
    EXPECT_EQ(out.bsz(), 0);
    ASSERT_EQ(a.take(out), PDU_TAKEN);
    EXPECT_EQ(out.cmd_id, SMPP_SUBMIT_SM_RESP);
    EXPECT_EQ(body_of(out), std::string("id7\0", 4));
    EXPECT_EQ(a.take(out), PDU_NEED_MORE);
    EXPECT_EQ(a.buffered(), 9u);
    std::string rest = raw_pdu(SMPP_UNBIND, 0, 3).substr(9);
    a.feed(rest.data(), rest.size());
    ASSERT_EQ(a.take(out), PDU_TAKEN);
    EXPECT_EQ(out.cmd_id, SMPP_UNBIND);
}

TEST(PduAssembler, LengthBelowHeaderBreaksTheStreamForGood) {
    for (std::uint32_t len : {0u, 1u, 15u, 0xFFFFFFFFu, 0x80000000u}) {
        SCOPED_TRACE(len);
        std::string wire = be32(len) + be32(SMPP_ENQUIRE_LINK) + be32(0) + be32(5);
        pdu_assembler a;
        a.feed(wire.data(), wire.size());
        pdu out;
        EXPECT_EQ(a.take(out), PDU_BROKEN);
        EXPECT_EQ(out.length, len);
        EXPECT_EQ(out.sequence, 5u);
        std::string good = raw_pdu(SMPP_ENQUIRE_LINK, 0, 6);
        a.feed(good.data(), good.size());
        EXPECT_EQ(a.take(out), PDU_BROKEN);
        EXPECT_TRUE(a.broken());
    }
}

TEST(PduAssembler, OverLongPduIsSkippedAndTheNextOneRead) {
    const std::size_t len = SMPP_PDU_MAX + 1;
    std::string big = be32(static_cast<std::uint32_t>(len)) + be32(SMPP_DELIVER_SM) + be32(0) +
                      be32(77) + std::string(len - 16, 'x');
    std::string next = raw_pdu(SMPP_ENQUIRE_LINK, 0, 78);
    std::string wire = big + next;
    pdu_assembler a;
    pdu out;
    // In uneven pieces, so that the skip spans several feeds and ends inside one.
    std::size_t at = 0;
    bool saw_long = false;
    bool saw_next = false;
    std::size_t step = 1000;
    while (at < wire.size()) {
        std::size_t n = std::min(step, wire.size() - at);
        a.feed(wire.data() + at, n);
        at += n;
        step = step * 3 / 2 + 7;
        for (;;) {
            pdu_take_result r = a.take(out);
            if (r == PDU_NEED_MORE) break;
            if (r == PDU_TOO_LONG) {
                EXPECT_FALSE(saw_long);
                saw_long = true;
                EXPECT_EQ(out.sequence, 77u);
                EXPECT_EQ(out.length, len);
            } else {
                ASSERT_EQ(r, PDU_TAKEN);
                EXPECT_EQ(out.cmd_id, SMPP_ENQUIRE_LINK);
                EXPECT_EQ(out.sequence, 78u);
                saw_next = true;
            }
        }
    }
    EXPECT_TRUE(saw_long);
    EXPECT_TRUE(saw_next);
    EXPECT_EQ(a.buffered(), 0u);
}

TEST(PduAssembler, LongestAcceptedPduIsTaken) {
    std::string body(SMPP_PDU_MAX - 16, 'y');
    std::string wire = raw_pdu(SMPP_DELIVER_SM, 0, 1, body);
    pdu_assembler a;
    a.feed(wire.data(), wire.size());
    pdu out;
    ASSERT_EQ(a.take(out), PDU_TAKEN);
    EXPECT_EQ(out.bsz(), static_cast<int>(body.size()));
}

TEST(PduAssembler, RandomOctetsNeverReadPastWhatWasFed) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        pdu_assembler a;
        std::string junk;
        int n = static_cast<int>(rng() % 300);
        for (int i = 0; i < n; ++i) junk.push_back(static_cast<char>(rng() & 0xFF));
        // Plausible lengths now and then, so that whole PDUs come out too.
        if (n >= 4 && rng() % 2) {
            std::string l = be32(16 + rng() % 40);
            junk.replace(0, 4, l);
        }
        a.feed(junk.data(), junk.size());
        pdu out;
        std::size_t taken = 0;
        for (int k = 0; k < 100; ++k) {
            pdu_take_result r = a.take(out);
            if (r == PDU_TAKEN) {
                taken += out.length;
                std::string s;
                std::uint32_t v;
                // Field readers on whatever came out must stay inside the body.
                while (pdu_get_string(out, s, 1 + rng() % 30) || pdu_get_int(out, 1, v)) {
                }
                EXPECT_LE(out.upto, out.body.size());
                continue;
            }
            break;
        }
        EXPECT_LE(taken, junk.size());
    }
}

}  // namespace
}  // namespace tolvane
