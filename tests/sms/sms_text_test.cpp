// SMS text coding, splitting and decoding: published packing examples, every
// extension character, part boundaries and the failure paths of received data.
#include "sms/sms_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sms/hex_support.h"

namespace tolvane {
namespace {

using test::hex;
using test::repeat;
using test::unhex;

// Septets of plain ASCII letters and digits, which are their own GSM codes.
std::string septets(std::string_view ascii) {
    return std::string(ascii);
}

// ---- packing: the examples every description of the 7-bit packing uses ----

TEST(GsmPacking, PublishedExamples) {
    struct row {
        const char* text;
        const char* packed;
    } rows[] = {
        {"hellohello", "E8329BFD4697D9EC37"},
        {"How are you?", "C8F71D14969741F977FD07"},
        {"12345678", "31D98C56B3DD70"},  // eight septets fill seven octets exactly
        {"1234567", "31D98C56B3DD00"},   // seven septets: the last octet has one free bit
        {"A", "41"},
        {"", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(hex(gsm_pack_septets(septets(r.text))), r.packed);
        std::string back = gsm_unpack_septets(unhex(r.packed), std::string_view(r.text).size());
        EXPECT_EQ(back, r.text);
    }
}

TEST(GsmPacking, FillBitsAfterAHeader) {
    // A six-octet header takes 48 bits; the text starts at septet 7 (bit 49), so
    // one fill bit: "A" (0x41) shifted left by one is 0x82.
    sms_part part;
    part.udh = unhex("050003CC0201");
    part.data = "A";
    std::size_t udl = 0;
    std::string ud = sms_pack_user_data(part, udl);
    EXPECT_EQ(hex(ud), "050003CC020182");
    EXPECT_EQ(udl, 8u);

    // A seven-octet header (16-bit reference) takes 56 bits = 8 septets exactly:
    // no fill.
    part.udh = unhex("06080412340301");
    udl = 0;
    ud = sms_pack_user_data(part, udl);
    EXPECT_EQ(hex(ud),
              "060804123403014"
              "1");
    EXPECT_EQ(udl, 9u);
}

TEST(GsmPacking, HeaderAndTextReadBack) {
    // Lengths around every fill width (headers of 1 to 8 octets).
    for (int h = 1; h <= 8; ++h) {
        for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 100u}) {
            SCOPED_TRACE(testing::Message() << "header " << h << " text " << n);
            sms_part part;
            part.udh = std::string(1, static_cast<char>(h - 1)) + std::string(h - 1, '\x7F');
            for (std::size_t k = 0; k < n; ++k) part.data += static_cast<char>((k * 37 + 5) & 0x7F);
            std::size_t udl = 0;
            std::string ud = sms_pack_user_data(part, udl);
            Result<sms_decoded> d = sms_decode_user_data(sms_text_kind::gsm_packed, true, ud, udl);
            ASSERT_TRUE(d) << d.reason();
            EXPECT_EQ(d->text, gsm_septets_to_utf8(part.data));
            EXPECT_EQ(d->udh, part.udh.substr(1));
        }
    }
}

// ---- the alphabet ----

TEST(GsmAlphabet, EveryExtensionCharacter) {
    struct row {
        const char* utf8;
        int code;
    } rows[] = {{"\x0C", 0x0A}, {"^", 0x14}, {"{", 0x28}, {"}", 0x29}, {"\\", 0x2F},
                {"[", 0x3C},    {"~", 0x3D}, {"]", 0x3E}, {"|", 0x40}, {"\xE2\x82\xAC", 0x65}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.utf8);
        sms_split split = sms_text_split(r.utf8, sms_coding::automatic, 10, 0);
        ASSERT_EQ(split.alphabet, sms_alphabet::gsm);
        ASSERT_EQ(split.parts.size(), 1u);
        EXPECT_EQ(hex(split.parts[0].data), hex(std::string{27, static_cast<char>(r.code)}));
        EXPECT_EQ(split.parts[0].units, 2u);
        // Read back: ESC 10 reads as a line feed (mail has no use for a form feed).
        std::string back = gsm_septets_to_utf8(split.parts[0].data);
        EXPECT_EQ(back, r.code == 0x0A ? std::string("\n") : std::string(r.utf8));
    }
}

TEST(GsmAlphabet, DefaultTableCharactersAndNonMembers) {
    struct row {
        const char* utf8;
        const char* septets_hex;  // empty: not in the alphabet
    } rows[] = {
        {"@", "00"},        {"\xC2\xA3", "01"}, {"$", "02"},
        {"\xC3\xA8", "04"}, {"\xC3\xA7", "09"}, {"\n", "0A"},
        {"\xCE\x94", "10"}, {"_", "11"},        {"\xCE\xA9", "15"},
        {"\xC3\x9F", "1E"}, {" ", "20"},        {"\xC2\xA4", "24"},
        {"\xC2\xA1", "40"}, {"\xC3\x84", "5B"}, {"\xC2\xA7", "5F"},
        {"\xC2\xBF", "60"}, {"\xC3\xA0", "7F"}, {"`", ""},
        {"\xC3\x87", ""},   {"\xD0\xAF", ""},   {"\xF0\x9F\x98\x80", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.utf8);
        std::string text = r.utf8;
        bool in = std::string(r.septets_hex) != "";
        EXPECT_EQ(gsm_text_fits(text), in);
        if (in) {
            sms_split split = sms_text_split(text, sms_coding::gsm, 1, 0);
            EXPECT_EQ(hex(split.parts[0].data), r.septets_hex);
            EXPECT_EQ(gsm_septets_to_utf8(split.parts[0].data), text);
        } else {
            EXPECT_EQ(sms_text_split(text, sms_coding::automatic, 1, 0).alphabet,
                      sms_alphabet::ucs2);
        }
    }
}

TEST(GsmAlphabet, AtSignIsSeptetZeroAndNeverEndsTheText) {
    std::string data("\0\0A\0", 4);
    EXPECT_EQ(gsm_septets_to_utf8(data), "@@A@");
    std::string packed = gsm_pack_septets(data);
    Result<sms_decoded> d = sms_decode_user_data(sms_text_kind::gsm_packed, false, packed, 4);
    ASSERT_TRUE(d) << d.reason();
    EXPECT_EQ(d->text, "@@A@");
    d = sms_decode_user_data(sms_text_kind::gsm_unpacked, false, data);
    ASSERT_TRUE(d) << d.reason();
    EXPECT_EQ(d->text, "@@A@");
}

TEST(GsmAlphabet, EscapeOddities) {
    // An extension code with no character reads as its default character; ESC ESC
    // as a blank; a trailing ESC is dropped.
    EXPECT_EQ(gsm_septets_to_utf8(std::string{27, 'A'}), "A");
    EXPECT_EQ(gsm_septets_to_utf8(std::string{27, 27, 'B'}), " B");
    EXPECT_EQ(gsm_septets_to_utf8(std::string{'C', 27}), "C");
    // The high bit of an unpacked septet from a peer is ignored, never an index
    // beyond the table.
    EXPECT_EQ(gsm_septets_to_utf8(std::string{static_cast<char>(0xC1)}), "A");
}

// ---- choosing the coding ----

TEST(SmsCoding, Names) {
    struct row {
        const char* name;
        std::optional<sms_coding> want;
    } rows[] = {{"auto", sms_coding::automatic}, {"GSM", sms_coding::gsm},
                {"ucs2", sms_coding::ucs2},      {"Latin1", sms_coding::latin1},
                {"utf8", std::nullopt},          {"", std::nullopt}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(sms_coding_parse(r.name), r.want);
    }
}

TEST(SmsCoding, AutoNeverSubstitutes) {
    struct row {
        const char* text;
        sms_alphabet want;
    } rows[] = {
        {"plain text", sms_alphabet::gsm},
        {"\xE2\x82\xAC [ ] ~ ^ { } | \\", sms_alphabet::gsm},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         sms_alphabet::gsm},
        {"almost all GSM but one \xD0\xAF", sms_alphabet::ucs2},
        {"backquote ` is not GSM", sms_alphabet::ucs2},
        {"\xF0\x9F\x98\x80", sms_alphabet::ucs2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        sms_split s = sms_text_split(r.text, sms_coding::automatic, 10, 0);
        EXPECT_EQ(s.alphabet, r.want);
        EXPECT_EQ(s.substituted, 0u);
        std::string back;
        for (const sms_part& p : s.parts)
            back += s.alphabet == sms_alphabet::gsm ? gsm_septets_to_utf8(p.data)
                                                    : ucs2_to_utf8(p.data);
        EXPECT_EQ(back, r.text);
    }
}

TEST(SmsCoding, GsmForcedReplacesAndCounts) {
    sms_split s = sms_text_split(
        "a\xD0\xAF"
        "b\xF0\x9F\x98\x80",
        sms_coding::gsm, 10, 0);
    EXPECT_EQ(s.alphabet, sms_alphabet::gsm);
    EXPECT_EQ(s.parts[0].data, "a?b?");
    EXPECT_EQ(s.substituted, 2u);
}

TEST(SmsCoding, Ucs2ForcedWithSurrogatePair) {
    sms_split s = sms_text_split("A\xF0\x9F\x98\x80", sms_coding::ucs2, 10, 0);
    EXPECT_EQ(s.alphabet, sms_alphabet::ucs2);
    EXPECT_EQ(hex(s.parts[0].data), "0041D83DDE00");
    EXPECT_EQ(s.parts[0].units, 3u);
    EXPECT_EQ(ucs2_to_utf8(s.parts[0].data), "A\xF0\x9F\x98\x80");
}

TEST(SmsCoding, Latin1KeepsTheOldBytes) {
    std::size_t subst = 0;
    EXPECT_EQ(hex(latin1_from_utf8("Gr\xC3\xBC\xC3\x9F"
                                   "e \xE2\x82\xAC\xD0\xAF",
                                   &subst)),
              "4772FCDF6520803F");
    EXPECT_EQ(subst, 1u);
    sms_split s = sms_text_split(repeat("x", 300), sms_coding::latin1, 10, 0);
    ASSERT_EQ(s.parts.size(), 1u);  // never split: the transports cut as they always did
    EXPECT_TRUE(s.parts[0].udh.empty());
    EXPECT_EQ(s.parts[0].data.size(), 300u);
    EXPECT_EQ(latin1_to_utf8("\xFC\x80"), "\xC3\xBC\xE2\x82\xAC");
}

// ---- splitting ----

TEST(SmsSplit, PartSizesAtTheLimits) {
    struct row {
        std::string text;
        sms_alphabet alphabet;
        std::vector<std::size_t> units;  // per part
    } rows[] = {
        {repeat("a", 160), sms_alphabet::gsm, {160}},
        {repeat("a", 161), sms_alphabet::gsm, {153, 8}},
        {repeat("a", 306), sms_alphabet::gsm, {153, 153}},
        {repeat("a", 307), sms_alphabet::gsm, {153, 153, 1}},
        {repeat("a", 400), sms_alphabet::gsm, {153, 153, 94}},
        // 80 euro signs are 160 septets: one SMS; 81 must split, and never inside a pair.
        {repeat("\xE2\x82\xAC", 80), sms_alphabet::gsm, {160}},
        {repeat("\xE2\x82\xAC", 81), sms_alphabet::gsm, {152, 10}},
        {repeat("a", 152) + "\xE2\x82\xAC" + repeat("b", 8), sms_alphabet::gsm, {152, 10}},
        {repeat("\xD0\xAF", 70), sms_alphabet::ucs2, {70}},
        {repeat("\xD0\xAF", 71), sms_alphabet::ucs2, {67, 4}},
        {repeat("\xD0\xAF", 200), sms_alphabet::ucs2, {67, 67, 66}},
        // A surrogate pair that would straddle the boundary moves whole to the next part.
        {repeat("\xD0\xAF", 66) + "\xF0\x9F\x98\x80" + "xyz", sms_alphabet::ucs2, {66, 5}},
        {repeat("\xF0\x9F\x98\x80", 35), sms_alphabet::ucs2, {70}},
        {repeat("\xF0\x9F\x98\x80", 36), sms_alphabet::ucs2, {66, 6}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << r.text.substr(0, 12) << " (" << r.text.size() << " bytes)");
        sms_split s = sms_text_split(r.text, sms_coding::automatic, 10, 0x42);
        EXPECT_EQ(s.alphabet, r.alphabet);
        ASSERT_EQ(s.parts.size(), r.units.size());
        EXPECT_FALSE(s.cut);
        std::string joined;
        for (std::size_t k = 0; k < s.parts.size(); ++k) {
            const sms_part& p = s.parts[k];
            EXPECT_EQ(p.units, r.units[k]) << "part " << k + 1;
            std::size_t octets = r.alphabet == sms_alphabet::gsm ? p.units : p.units * 2;
            EXPECT_EQ(p.data.size(), octets);
            if (s.parts.size() == 1) {
                EXPECT_TRUE(p.udh.empty());
            } else {
                EXPECT_EQ(hex(p.udh), hex(sms_concat_header(0x42, static_cast<int>(s.parts.size()),
                                                            static_cast<int>(k + 1))));
                // What goes on air never exceeds 140 octets of user data.
                std::size_t udl = 0;
                std::size_t bytes = r.alphabet == sms_alphabet::gsm
                                        ? sms_pack_user_data(p, udl).size()
                                        : p.udh.size() + p.data.size();
                EXPECT_LE(bytes, 140u);
            }
            joined += r.alphabet == sms_alphabet::gsm ? gsm_septets_to_utf8(p.data)
                                                      : ucs2_to_utf8(p.data);
        }
        EXPECT_EQ(joined, r.text);
    }
}

TEST(SmsSplit, ConcatenationHeaderBytes) {
    EXPECT_EQ(hex(sms_concat_header(0x42, 3, 1)), "050003420301");
    EXPECT_EQ(hex(sms_concat_header(0x1FF, 3, 3)), "050003FF0303");  // 8-bit reference
}

TEST(SmsSplit, CutAtMaxPartsWithFlag) {
    sms_split s = sms_text_split(repeat("a", 2000), sms_coding::automatic, 3, 7);
    ASSERT_EQ(s.parts.size(), 3u);
    EXPECT_TRUE(s.cut);
    EXPECT_EQ(s.characters, 459u);
    EXPECT_EQ(hex(s.parts[2].udh), "050003070303");

    // One part allowed: a plain SMS of 160, no header.
    s = sms_text_split(repeat("a", 200), sms_coding::automatic, 1, 7);
    ASSERT_EQ(s.parts.size(), 1u);
    EXPECT_TRUE(s.cut);
    EXPECT_TRUE(s.parts[0].udh.empty());
    EXPECT_EQ(s.parts[0].units, 160u);

    // Out-of-range settings are clamped, never zero parts.
    s = sms_text_split("hi", sms_coding::automatic, 0, 7);
    EXPECT_EQ(s.parts.size(), 1u);
    s = sms_text_split(repeat("a", 153 * 300), sms_coding::automatic, 1000, 7);
    EXPECT_EQ(s.parts.size(), 255u);
    EXPECT_TRUE(s.cut);
}

TEST(SmsSplit, EmptyTextIsOneEmptyPart) {
    sms_split s = sms_text_split("", sms_coding::automatic, 10, 0);
    ASSERT_EQ(s.parts.size(), 1u);
    EXPECT_TRUE(s.parts[0].data.empty());
    EXPECT_FALSE(s.cut);
}

TEST(SmsSplit, InvalidUtf8IsReplacedNotDropped) {
    sms_split s = sms_text_split(
        "a\xFF"
        "b",
        sms_coding::automatic, 10, 0);
    EXPECT_EQ(s.alphabet, sms_alphabet::ucs2);  // U+FFFD is not GSM
    EXPECT_EQ(hex(s.parts[0].data), "0061FFFD0062");
}

TEST(SmsReference, CountsPerDestination) {
    int a1 = sms_next_reference("+4917000001");
    int b1 = sms_next_reference("+4917000002");
    int a2 = sms_next_reference("+4917000001");
    EXPECT_EQ(a2, (a1 + 1) & 0xFF);
    int b2 = sms_next_reference("+4917000002");
    EXPECT_EQ(b2, (b1 + 1) & 0xFF);
    for (int k = 0; k < 300; ++k) {
        int r = sms_next_reference("+4917000003");
        ASSERT_GE(r, 0);
        ASSERT_LE(r, 255);
    }
}

// ---- receiving ----

TEST(SmsDecode, Ucs2SurrogatesAndDamage) {
    struct row {
        const char* octets_hex;
        const char* utf8;
    } rows[] = {
        {"041F04400438043204350442", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {"4F60597D", "\xE4\xBD\xA0\xE5\xA5\xBD"},
        {"D83DDE00", "\xF0\x9F\x98\x80"},
        {"D83D0041",
         "\xEF\xBF\xBD"
         "A"},  // high surrogate without its low half
        {"DE000041",
         "\xEF\xBF\xBD"
         "A"},                          // low surrogate alone
        {"0041D83D", "A\xEF\xBF\xBD"},  // pair cut at the end
        {"004100", "A\xEF\xBF\xBD"},    // odd octet
        {"00000041",
         "\xEF\xBF\xBD"
         "A"},  // a zero unit does not end the text
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.octets_hex);
        Result<sms_decoded> d = sms_decode_user_data(sms_text_kind::ucs2, false, unhex(r.octets_hex));
        ASSERT_TRUE(d) << d.reason();
        EXPECT_EQ(d->text, r.utf8);
    }
}

TEST(SmsDecode, OtherKinds) {
    Result<sms_decoded> d = sms_decode_user_data(sms_text_kind::binary, false, unhex("00FF10"));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->text, "00FF10");
    d = sms_decode_user_data(sms_text_kind::ia5, false, std::string("ok\x80", 3));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->text, "ok\xEF\xBF\xBD");
    d = sms_decode_user_data(sms_text_kind::latin1, false, std::string("\xE9\0", 2));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->text, "\xC3\xA9\xEF\xBF\xBD");
}

TEST(SmsDecode, HeaderIsParsedNeverShown) {
    struct row {
        sms_text_kind kind;
        const char* data_hex;
        const char* text;
        sms_concat concat;
    } rows[] = {
        {sms_text_kind::ucs2,
         "050003420302"
         "0041",
         "A",
         {0x42, 3, 2}},
        {sms_text_kind::gsm_unpacked, "0608041234030348", "H", {0x1234, 3, 3}},
        {sms_text_kind::latin1,
         "0A"
         "0A0100"
         "0003990201"
         "0100"
         "E9",
         "\xC3\xA9",
         {0x99, 2, 1}},
        {sms_text_kind::binary,
         "0401020304"
         "AB",
         "AB",
         {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.data_hex);
        Result<sms_decoded> d = sms_decode_user_data(r.kind, true, unhex(r.data_hex));
        ASSERT_TRUE(d) << d.reason();
        EXPECT_EQ(d->text, r.text);
        EXPECT_EQ(d->concat, r.concat);
    }
}

TEST(SmsDecode, MalformedHeadersAndLengths) {
    struct row {
        sms_text_kind kind;
        const char* data_hex;
        std::size_t septets;
        const char* reason_part;
    } rows[] = {
        {sms_text_kind::ucs2, "", 0, "user data is empty"},
        {sms_text_kind::ucs2, "0600030102", 0, "does not fit"},
        {sms_text_kind::gsm_packed, "0500030102", 10, "octets of user data"},
        {sms_text_kind::gsm_packed, "050003010201", 6, "longer than 6 septets"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.data_hex);
        Result<sms_decoded> d = sms_decode_user_data(r.kind, true, unhex(r.data_hex), r.septets);
        ASSERT_FALSE(d);
        EXPECT_NE(d.error().reason.find(r.reason_part), std::string::npos) << d.error().reason;
    }
}

TEST(SmsDecode, ElementOverrunningTheHeaderEndsTheWalk) {
    // The second element claims 9 octets in a header of 7: ignored, not read past.
    Result<sms_udh_info> h = sms_udh_parse(unhex("07"
                                                 "0100"
                                                 "0009AAAA"
                                                 "41"));
    ASSERT_TRUE(h) << h.reason();
    EXPECT_EQ(h->octets, 8u);
    EXPECT_FALSE(h->concat.is_part());
}

TEST(SmsDecode, DataCodingSchemeGroups) {
    struct row {
        int dcs;
        std::optional<sms_text_kind> want;
    } rows[] = {
        {0x00, sms_text_kind::gsm_packed},
        {0x04, sms_text_kind::binary},
        {0x08, sms_text_kind::ucs2},
        {0x0C, sms_text_kind::gsm_packed},
        {0x10, sms_text_kind::gsm_packed},
        {0x11, sms_text_kind::gsm_packed},
        {0x15, sms_text_kind::binary},
        {0x18, sms_text_kind::ucs2},
        {0x20, std::nullopt},
        {0x28, std::nullopt},
        {0x40, sms_text_kind::gsm_packed},
        {0x48, sms_text_kind::ucs2},
        {0x60, std::nullopt},
        {0x80, sms_text_kind::gsm_packed},
        {0xC0, sms_text_kind::gsm_packed},
        {0xD8, sms_text_kind::gsm_packed},
        {0xE0, sms_text_kind::ucs2},
        {0xF0, sms_text_kind::gsm_packed},
        {0xF1, sms_text_kind::gsm_packed},
        {0xF4, sms_text_kind::binary},
        {0xF6, sms_text_kind::binary},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.dcs);
        Result<sms_text_kind> k = sms_dcs_kind(r.dcs);
        ASSERT_EQ(k.ok(), r.want.has_value());
        if (r.want) {
            EXPECT_EQ(*k, *r.want);
        } else {
            EXPECT_NE(k.error().reason.find("compressed"), std::string::npos);
        }
    }
}

TEST(SmsDecode, SmppDataCodings) {
    struct row {
        int dc;
        bool as_latin1;
        sms_text_kind want;
    } rows[] = {
        {0, false, sms_text_kind::gsm_unpacked}, {0, true, sms_text_kind::latin1},
        {1, false, sms_text_kind::ia5},          {2, false, sms_text_kind::binary},
        {3, false, sms_text_kind::latin1},       {4, false, sms_text_kind::binary},
        {6, false, sms_text_kind::binary},       {8, false, sms_text_kind::ucs2},
        {0x18, false, sms_text_kind::ucs2},      {0xF0, false, sms_text_kind::gsm_unpacked},
        {0xF4, false, sms_text_kind::binary},    {0x20, false, sms_text_kind::binary},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.dc);
        EXPECT_EQ(sms_data_coding_kind(r.dc, r.as_latin1), r.want);
    }
}

}  // namespace
}  // namespace tolvane
