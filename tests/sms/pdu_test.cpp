// GSM PDU codec: golden units built and read, septet packing at its boundaries, the
// default alphabet and its extension table, addresses of every kind, time stamps,
// user-data headers, the text-mode conversions, and malformed units from a modem,
// each refused with its own reason and never read past the end.
#include "sms/pdu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvane {
namespace {

// A delivered unit: no service centre, first octet fo, originator +447700900123,
// PID 0, coding dcs, time stamp 2003-06-04 12:30:45 +02, then the user data.
std::string deliver(const std::string& fo, const std::string& dcs, const std::string& ud) {
    return "00" + fo + "0C91447700091032" + "00" + dcs + "30604021035480" + ud;
}

gsm_pdu decoded(const std::string& unit) {
    gsm_pdu msg;
    Status st = gsm_decode_pdu(unit, msg);
    EXPECT_TRUE(st) << unit << ": " << st.reason();
    return msg;
}

// ---- hex primitives ----

TEST(GsmPduHex, OctetsAreWrittenUpperCaseAndReadInEitherCase) {
    std::string out;
    pdu_encode_int(out, 0xAB);
    pdu_encode_int(out, 0x0f);
    pdu_encode_int(out, 0x1FF);  // only the low octet
    EXPECT_EQ(out, "AB0FFF");

    std::size_t i = 0;
    Result<int> v = pdu_decode_int("aBfF", i);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, 0xAB);
    v = pdu_decode_int("aBfF", i);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, 0xFF);
    EXPECT_EQ(i, 4u);
}

TEST(GsmPduHex, ReaderRefusesBadDigitsAndShortTextWithoutMoving) {
    std::size_t i = 0;
    Result<int> v = pdu_decode_int("1G", i);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().reason, "not a hex digit at position 1");
    EXPECT_EQ(i, 0u);

    i = 2;
    v = pdu_decode_int("123", i);
    ASSERT_FALSE(v);
    EXPECT_NE(v.error().reason.find("unit ends at position 2"), std::string::npos)
        << v.error().reason;
    EXPECT_EQ(i, 2u);
    i = 9;  // past the end altogether
    EXPECT_FALSE(pdu_decode_int("12", i));
    EXPECT_EQ(i, 9u);
}

TEST(GsmPduHex, FlipSwapsSemiOctetsAndStopsAtTheEnd) {
    std::string out;
    std::size_t i = 0;
    ASSERT_TRUE(pdu_flip("2143F", out, i));
    ASSERT_TRUE(pdu_flip("2143F", out, i));
    EXPECT_FALSE(pdu_flip("2143F", out, i));
    EXPECT_EQ(out, "1234");
    EXPECT_EQ(i, 4u);
}

// ---- addresses ----

// The address at i, or "(failed)" with a test failure.
std::string addr_at(std::string_view unit, std::size_t& i, int* type = nullptr) {
    Result<std::string> r = pdu_decode_addr(unit, i, type);
    EXPECT_TRUE(r) << unit << ": " << r.reason();
    return r ? *r : "(failed)";
}

std::string sc_addr_at(std::string_view unit, std::size_t& i) {
    Result<std::string> r = pdu_decode_sc_addr(unit, i);
    EXPECT_TRUE(r) << unit << ": " << r.reason();
    return r ? *r : "(failed)";
}

TEST(GsmPduAddress, InternationalAndNationalNumbersAreEncoded) {
    struct row {
        const char* in;
        const char* out;
    } rows[] = {
        {"+447700900123", "0C91447700091032"},
        {"12345", "05812143F5"},  // the length counts digits, not the filler
        {"0", "0181F0"},
        {"+12345678901234567890", "149121436587092143658709"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.in);
        std::string out;
        Status st = pdu_encode_addr(r.in, out);
        ASSERT_TRUE(st) << st.reason();
        EXPECT_EQ(out, r.out);
    }
}

TEST(GsmPduAddress, EncoderRefusesWhatCannotBeDialled) {
    struct row {
        const char* in;
        const char* reason;
    } rows[] = {
        {"", "empty phone number"},
        {"+", "empty phone number"},
        {"+44 7700", "phone number holds ' ', not a digit"},
        {"0044-1", "phone number holds '-', not a digit"},
        {"++44", "phone number holds '+', not a digit"},
        {"12\n3", "phone number holds the byte 0A, not a digit"},
        {"12\xE9"
         "3",
         "phone number holds the byte E9, not a digit"},
        {"123456789012345678901", "phone number of 21 digits is longer than 20"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.in);
        std::string out = "kept";
        EXPECT_EQ(pdu_encode_addr(r.in, out).reason(), r.reason);
        EXPECT_EQ(out, "kept");
    }
}

TEST(GsmPduAddress, TypeOctetDecidesThePlusSign) {
    std::size_t i = 0;
    int type = 0;
    EXPECT_EQ(addr_at("0B817238880900F1", i, &type), "27838890001");
    EXPECT_EQ(type, 0x81);
    EXPECT_EQ(i, 16u);

    i = 0;
    EXPECT_EQ(addr_at("0B917238880900F1", i), "+27838890001");
    // A network-specific number (0xB1) has bits 7 and 4 set but is not international.
    i = 0;
    EXPECT_EQ(addr_at("04B12143", i), "1234");
}

TEST(GsmPduAddress, FillerAndKeypadDigitsAreRead) {
    std::size_t i = 0;
    // A length rounded up to cover the filler still ends at the filler.
    EXPECT_EQ(addr_at("06812143F5", i), "12345");
    i = 0;
    EXPECT_EQ(addr_at("0481A1B2", i), "1*2#");
    // No digits at all: the type octet is still there.
    i = 0;
    EXPECT_EQ(addr_at("009100", i), "");
    EXPECT_EQ(i, 4u);
}

TEST(GsmPduAddress, AlphanumericOriginatorIsUnpackedToItsName) {
    std::size_t i = 0;
    // "Tolvane": 7 characters in 7 octets, length as 13 or 14 semi-octets.
    EXPECT_EQ(addr_at("0DD0D437DB1E769701", i), "Tolvane");
    i = 0;
    EXPECT_EQ(addr_at("0ED0D437DB1E769701", i), "Tolvane");
    i = 0;
    EXPECT_EQ(addr_at("08D049B7F90D", i), "Info");
    // Eleven characters, the longest name, in 10 octets.
    i = 0;
    EXPECT_EQ(addr_at("14D041F1985C369FD169F51A", i), "Abcdefghijk");
    // A line break in a name cannot reach a mail header.
    i = 0;
    EXPECT_EQ(addr_at("06D0418510", i), "A?B");
}

TEST(GsmPduAddress, ServiceCentreFormCountsOctets) {
    std::size_t i = 0;
    EXPECT_EQ(sc_addr_at("0004", i), "");
    EXPECT_EQ(i, 2u);  // no type octet behind a length of 0

    i = 0;
    EXPECT_EQ(sc_addr_at("07917283010010F5", i), "+27381000015");
    EXPECT_EQ(i, 16u);
}

TEST(GsmPduAddress, LengthsBeyondTheDataAreRefused) {
    struct row {
        const char* in;
        bool sca;
        const char* reason;
    } rows[] = {
        {"0B9172", false, "address needs 6 octets at position 4, 1 present"},
        {"0B", false, "unit ends at position 2"},
        {"15911234", false, "address length 21 is more than 20 digits"},
        {"FF91", false, "address length 255 is more than 20 digits"},
        {"079172", true, "service-centre address needs 6 octets at position 4, 1 present"},
        {"0C91447700091032", true, "service-centre address length 12 is more than 11 octets"},
        {"0DD0D437", false, "address needs 7 octets"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.in);
        std::size_t i = 0;
        Result<std::string> out = r.sca ? pdu_decode_sc_addr(r.in, i) : pdu_decode_addr(r.in, i);
        ASSERT_FALSE(out);
        EXPECT_NE(out.error().reason.find(r.reason), std::string::npos) << out.error().reason;
    }
}

// ---- time stamps ----

TEST(GsmPduTime, FieldsAndZoneInWholeHours) {
    struct row {
        const char* in;
        const char* out;
    } rows[] = {
        {"30604021035480", "03/06/04,12:30:45+02"},
        {"3060402103548A", "03/06/04,12:30:45-07"},
        {"99309251619500", "99/03/29,15:16:59+00"},
        {"99309251619522", "99/03/29,15:16:59+05"},  // 22 quarters: 5 1/2 hours, cut
        {"9930925161954A", "99/03/29,15:16:59-06"},  // sign bit with 24 quarters
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.in);
        std::size_t i = 0;
        Result<std::string> out = pdu_decode_time(r.in, i);
        ASSERT_TRUE(out) << out.reason();
        EXPECT_EQ(*out, r.out);
        EXPECT_EQ(i, 14u);
    }
}

TEST(GsmPduTime, ShortOrBadTimeStampIsRefused) {
    std::size_t i = 0;
    EXPECT_EQ(pdu_decode_time("306040210354", i).reason(),
              "time stamp needs 7 octets at position 0, 6 present");
    std::string why = pdu_decode_time("3060402103548G", i).reason();
    EXPECT_EQ(i, 0u);
    EXPECT_NE(why.find("not a hex digit"), std::string::npos) << why;
}

// ---- 7-bit user data ----

std::string content(int dcs, std::string_view text) {
    std::string out;
    Status st = pdu_encode_content(dcs, out, text);
    EXPECT_TRUE(st) << st.reason();
    return out;
}

std::string text_of(int dcs, const std::string& ud, bool udhi = false) {
    gsm_pdu msg;
    std::size_t i = 0;
    Status st = pdu_decode_content(dcs, udhi, ud, i, msg);
    EXPECT_TRUE(st) << ud << ": " << st.reason();
    EXPECT_EQ(msg.length, static_cast<int>(msg.message.size()));
    return msg.message;
}

TEST(GsmPduSeptets, GoldenPackingAtOctetBoundaries) {
    EXPECT_EQ(content(0, "hello"), "05E8329BFD06");
    EXPECT_EQ(content(0, "hellohello"), "0AE8329BFD4697D9EC37");
    // Seven septets fill seven octets (the last partly); eight fit in seven exactly.
    EXPECT_EQ(content(0, "ABCDEFG"), "0741E19058341E01");
    EXPECT_EQ(content(0, "ABCDEFGH"), "0841E19058341E91");
    EXPECT_EQ(content(0, "ABCDEFGHI").size(), 2u + 8 * 2);
    EXPECT_EQ(content(0, ""), "00");

    EXPECT_EQ(text_of(0, "0AE8329BFD4697D9EC37"), "hellohello");
    EXPECT_EQ(text_of(0, "0841E19058341E91"), "ABCDEFGH");
    EXPECT_EQ(text_of(0, "0741E19058341E01"), "ABCDEFG");

    // The reader stops behind the user data, before anything that follows.
    gsm_pdu msg;
    std::size_t i = 2;
    Status st = pdu_decode_content(0, false, "XX0741E19058341E01FFFF", i, msg);
    ASSERT_TRUE(st) << st.reason();
    EXPECT_EQ(i, 18u);
    // A bad digit inside the data leaves the position behind the length octet.
    i = 0;
    EXPECT_EQ(pdu_decode_content(0, false, "0741E1905834QE01", i, msg).reason(),
              "not a hex digit at position 12");
    EXPECT_EQ(i, 2u);
}

TEST(GsmPduSeptets, DefaultAlphabetAndLookAlikes) {
    // Accented letters and signs of the default alphabet, as ISO 8859-1 bytes.
    const std::string latin = "@\xA3$\xA5\xE8\xE9\xD6\xD1\xDC\xA7\xBF\xF6\xF1\xFC\xE0";
    EXPECT_EQ(content(0, latin), "0F808060402870BBDE2F98DFF7FF01");
    EXPECT_EQ(text_of(0, "0F808060402870BBDE2F98DFF7FF01"), latin);

    // Greek capitals have no Latin-1 byte: they read as look-alikes, which go back out
    // as the same codes. Delta (16) is 0x7F, Sigma (24) the a with diaeresis.
    std::string greek = content(0, "\x7F\xE4");
    EXPECT_EQ(greek, "02100C");  // septets 16 and 24
    EXPECT_EQ(text_of(0, greek), "\x7F\xE4");
    // The standard a with diaeresis (123) reads as the same byte.
    EXPECT_EQ(text_of(0, "017B"), "\xE4");
    // Bytes without a code go out as the at sign.
    EXPECT_EQ(content(0, "`\x01"), "020000");
}

TEST(GsmPduSeptets, ExtensionTableTakesEscapePairs) {
    const std::string ext = "{}[]~|\\\x80";  // the euro sign is the byte 0x80
    EXPECT_EQ(content(0, ext), "101BD426B5E16D7C9BDE06B8796DCA");
    EXPECT_EQ(text_of(0, "101BD426B5E16D7C9BDE06B8796DCA"), ext);
    // A caret sent by a phone as ESC 20 reads as a caret; ESC before a code with no
    // extension character reads as that code's own character; ESC ESC is a blank.
    EXPECT_EQ(text_of(0, "021B0A"), "^");
    EXPECT_EQ(text_of(0, "029B20"), "A");
    // A lone ESC at the end produces nothing.
    EXPECT_EQ(text_of(0, "02C10D"), "A");
}

TEST(GsmPduSeptets, LongTextsAreCutAtWholeCharacters) {
    std::string plain(160, 'x');
    std::string ud = content(0, plain);
    EXPECT_EQ(ud.substr(0, 2), "A0");
    EXPECT_EQ(ud.size(), 2u + 140 * 2);
    EXPECT_EQ(text_of(0, ud), plain);

    EXPECT_EQ(content(0, plain + "yz"), ud);  // cut to 160

    std::string braces(70, '{');
    ud = content(0, braces);
    EXPECT_EQ(ud.substr(0, 2), "8C");  // 140 septets
    EXPECT_EQ(text_of(0, ud), braces);

    // 159 septets of text leave no room for an escape pair: it is left out whole,
    // and the plain character behind it is not squeezed in either.
    ud = content(0, std::string(159, 'a') + "{b");
    EXPECT_EQ(ud.substr(0, 2), "9F");
    EXPECT_EQ(text_of(0, ud), std::string(159, 'a'));
    // 81 braces need 162 septets: 80 fit.
    ud = content(0, std::string(81, '{'));
    EXPECT_EQ(ud.substr(0, 2), "A0");
    EXPECT_EQ(text_of(0, ud), std::string(80, '{'));
}

// ---- 8-bit and UCS2 user data ----

TEST(GsmPduOctets, EightBitKeepsEveryByteAndIsCutAt140) {
    EXPECT_EQ(content(4, std::string("\x00\xFF\x7F", 3)), "0300FF7F");
    EXPECT_EQ(text_of(4, "0300FF7F"), std::string("\x00\xFF\x7F", 3));
    std::string ud = content(4, std::string(150, 'q'));
    EXPECT_EQ(ud.substr(0, 2), "8C");
    EXPECT_EQ(ud.size(), 2u + 140 * 2);
    // Octets behind the announced length are not text.
    EXPECT_EQ(text_of(4, "024142434445"), "AB");
}

TEST(GsmPduOctets, Ucs2CarriesLatin1AndTheEuroSign) {
    EXPECT_EQ(content(8, "Hi\xE9\x80"),
              "08004800690"
              "0E920AC");
    EXPECT_EQ(text_of(8,
                      "08004800690"
                      "0E920AC"),
              "Hi\xE9\x80");
    std::string ud = content(8, std::string(75, 'w'));
    EXPECT_EQ(ud.substr(0, 2), "8C");  // 70 characters
    EXPECT_EQ(text_of(8, ud), std::string(70, 'w'));
}

TEST(GsmPduOctets, Ucs2BeyondLatin1BecomesLookAlikesOrQuestionMarks) {
    // Greek capital delta reads as its look-alike; a CJK character and a character
    // beyond U+FFFF (one surrogate pair) each read as one question mark.
    EXPECT_EQ(text_of(8, "0A03944E2DD83DDE000041"), "\x7F??A");
    // A lone low surrogate is one unreadable character too.
    EXPECT_EQ(text_of(8, "04DC000042"), "?B");
}

TEST(GsmPduOctets, CodingGroupsChooseTheAlphabet) {
    struct row {
        int dcs;
        const char* ud;
        const char* text;
    } rows[] = {
        {0xF0, "05E8329BFD06", "hello"},  // class 0 (flash), default alphabet
        {0x11, "05E8329BFD06", "hello"},  // class 1, default alphabet
        {0xC0, "05E8329BFD06", "hello"},  // indication, discard
        {0x0C, "05E8329BFD06", "hello"},  // reserved alphabet reads as default
        {0xF4, "024869", "Hi"},           // class 0, 8-bit
        {0x18, "0400480069", "Hi"},       // class 0, UCS2
        {0xE0, "0400480069", "Hi"},       // indication, store, UCS2
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.dcs);
        EXPECT_EQ(text_of(r.dcs, r.ud), r.text);
    }
}

TEST(GsmPduOctets, UnknownCodingIsRefusedBothWays) {
    std::string out = "00";
    EXPECT_EQ(pdu_encode_content(0xF0, out, "hello").reason(),
              "data coding 240 cannot be sent (0, 4 or 8)");
    EXPECT_EQ(out, "00");

    gsm_pdu msg;
    std::size_t i = 0;
    EXPECT_EQ(pdu_decode_content(0x20, false, "05E8329BFD06", i, msg).reason(),
              "compressed user data (data coding 20) cannot be read");
    EXPECT_EQ(i, 0u);
}

// ---- user-data headers ----

TEST(GsmPduHeader, SevenBitTextStartsAtTheSeptetBoundaryBehindTheHeader) {
    // A concatenation element (reference CC, 2 parts, part 1): 6 octets of header and
    // one fill bit, then "Hi there".
    gsm_pdu msg = decoded(deliver("44", "00",
                                  "0F"
                                  "050003CC0201"
                                  "9069101D5D969701"));
    EXPECT_EQ(msg.message, "Hi there");
    EXPECT_EQ(msg.length, 8);
    EXPECT_EQ(msg.udh, "0003CC0201");
    EXPECT_EQ(msg.concat_reference, 0xCC);
    EXPECT_EQ(msg.concat_total, 2);
    EXPECT_EQ(msg.concat_part, 1);
}

TEST(GsmPduHeader, EightBitAndUcs2HeadersAreSkipped) {
    // A 16-bit reference element beside an unknown one.
    gsm_pdu msg = decoded(deliver("44", "08",
                                  "0F"
                                  "0A"
                                  "0804BEEF0302"
                                  "7002AAAA"
                                  "00480069"));
    EXPECT_EQ(msg.message, "Hi");
    EXPECT_EQ(msg.udh, "0804BEEF03027002AAAA");
    EXPECT_EQ(msg.concat_reference, 0xBEEF);
    EXPECT_EQ(msg.concat_total, 3);
    EXPECT_EQ(msg.concat_part, 2);

    msg = decoded(deliver("44", "04",
                          "05"
                          "0300010258"));
    EXPECT_EQ(msg.message, "X");
    EXPECT_EQ(msg.concat_part, 0);  // a concatenation element of the wrong size

    // Without the header flag the same octets are text.
    msg = decoded(deliver("04", "04",
                          "05"
                          "0300010258"));
    EXPECT_EQ(msg.message, std::string("\x03\x00\x01\x02X", 5));
    EXPECT_EQ(msg.udh, "");
}

// ---- whole units ----

TEST(GsmPduSubmit, GoldenUnitAndOctetCount) {
    std::string unit;
    Result<int> octets = gsm_encode_pdu_ref(0, 0, "+447700900123", "hello", unit);
    ASSERT_TRUE(octets) << octets.reason();
    EXPECT_EQ(*octets, 18);
    EXPECT_EQ(unit,
              "000100"
              "0C91447700091032"
              "0000"
              "05E8329BFD06");

    octets = gsm_encode_pdu_ref(0x1FE, 8, "12345", "Hi", unit);
    ASSERT_TRUE(octets) << octets.reason();
    EXPECT_EQ(*octets, 14);
    EXPECT_EQ(unit,
              "0001FE"
              "05812143F5"
              "0008"
              "0400480069");
}

TEST(GsmPduSubmit, RefusalLeavesTheUnitAlone) {
    std::string unit = "previous";
    EXPECT_EQ(gsm_encode_pdu_ref(1, 0, "+44 77", "hello", unit).reason(),
              "phone number holds ' ', not a digit");
    EXPECT_EQ(gsm_encode_pdu_ref(1, 3, "+4477", "hello", unit).reason(),
              "data coding 3 cannot be sent (0, 4 or 8)");
    EXPECT_EQ(unit, "previous");
}

TEST(GsmPduSubmit, MessageReferenceCountsUpAndWraps) {
    std::string unit;
    int next = 200;
    for (int k = 0; k <= 256; ++k) {
        ASSERT_TRUE(gsm_encode_pdu(next, 0, "123", "a", unit));
        ASSERT_EQ(std::stoi(unit.substr(4, 2), nullptr, 16), (200 + k) % 256);
    }
    EXPECT_EQ(next, 201);
}

TEST(GsmPduSubmit, OwnUnitsReadBackAsStoredSubmits) {
    struct row {
        int dcs;
        const char* to;
        std::string text;
    } rows[] = {
        {0, "+4915112345678", "Grand {plan} at 5\x80 [ok]"},
        {4, "0123", std::string("\x00\x01\xFE", 3)},
        {8, "+1", "Caf\xE9"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.to);
        std::string unit;
        Result<int> octets = gsm_encode_pdu_ref(77, r.dcs, r.to, r.text, unit);
        ASSERT_TRUE(octets) << octets.reason();
        EXPECT_EQ(unit.size(), 2u + 2u * *octets);
        gsm_pdu msg = decoded(unit);
        EXPECT_TRUE(gsm_pdu_is_submit(&msg));
        EXPECT_EQ(msg.message_reference, 77);
        EXPECT_EQ(msg.phone, r.to);
        EXPECT_EQ(msg.data_coding_sceme, r.dcs);
        EXPECT_EQ(msg.message, r.text);
    }
    EXPECT_FALSE(gsm_pdu_is_submit(nullptr));
}

TEST(GsmPduSubmit, StoredSubmitValidityPeriods) {
    // Relative (one octet) skipped, absolute read as a time, enhanced skipped.
    gsm_pdu msg = decoded(
        "0011"
        "05"
        "05812143F5"
        "0000"
        "AA"
        "05E8329BFD06");
    EXPECT_EQ(msg.phone, "12345");
    EXPECT_EQ(msg.message, "hello");
    EXPECT_EQ(msg.timestamp, "");

    msg = decoded(
        "0019"
        "05"
        "05812143F5"
        "0000"
        "30604021035480"
        "05E8329BFD06");
    EXPECT_EQ(msg.timestamp, "03/06/04,12:30:45+02");
    EXPECT_EQ(msg.message, "hello");

    msg = decoded(
        "0009"
        "05"
        "05812143F5"
        "0000"
        "01020304050607"
        "05E8329BFD06");
    EXPECT_EQ(msg.message, "hello");
}

TEST(GsmPduDeliver, GoldenUnitWithServiceCentre) {
    gsm_pdu msg =
        decoded("07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37\r\n");
    EXPECT_EQ(msg.service_center, "+27381000015");
    EXPECT_EQ(msg.first_octet_of_sms, 4);
    EXPECT_FALSE(gsm_pdu_is_submit(&msg));
    EXPECT_EQ(msg.phone, "27838890001");
    EXPECT_EQ(msg.type_of_address, 0xC8);
    EXPECT_EQ(msg.protocal_identifier, 0);
    EXPECT_EQ(msg.data_coding_sceme, 0);
    EXPECT_EQ(msg.timestamp, "99/03/29,15:16:59+02");
    EXPECT_EQ(msg.message, "hellohello");
    EXPECT_EQ(msg.length, 10);
}

TEST(GsmPduDeliver, FieldsOfAnOwnDeliveredUnit) {
    gsm_pdu msg = decoded(deliver("24", "00", "05e8329bfd06"));  // lower case too
    EXPECT_EQ(msg.service_center, "");
    EXPECT_EQ(msg.phone, "+447700900123");
    EXPECT_EQ(msg.timestamp, "03/06/04,12:30:45+02");
    EXPECT_EQ(msg.message, "hello");

    // An alphanumeric originator and a 16-bit text.
    msg = decoded(
        "00"
        "04"
        "0ED0D437DB1E769701"
        "0008"
        "30604021035480"
        "0400480069");
    EXPECT_EQ(msg.phone, "Tolvane");
    EXPECT_EQ(msg.message, "Hi");

    // A previous result does not leak into the next.
    gsm_pdu reused = msg;
    ASSERT_TRUE(gsm_decode_pdu(deliver("04", "04", "00"), reused));
    EXPECT_EQ(reused.message, "");
    EXPECT_EQ(reused.udh, "");
}

TEST(GsmPduMalformed, EveryBrokenUnitIsRefusedWithItsReason) {
    const std::string good = deliver("04", "00", "05E8329BFD06");
    struct row {
        std::string unit;
        const char* reason;
    } rows[] = {
        {"", "empty unit"},
        {"\r\n", "empty unit"},
        {"0", "odd number of hex digits (1)"},
        {good.substr(0, good.size() - 1), "odd number of hex digits"},
        {"00 04", "not a hex digit at position 2"},
        {good.substr(0, 10) + "x" + good.substr(11), "not a hex digit at position 10"},
        {"0C91447700091032", "service-centre address length 12 is more than 11 octets"},
        {"0791728301", "service-centre address needs 6 octets at position 4, 3 present"},
        {"00", "unit ends at position 2"},
        {"0004", "unit ends at position 4"},
        {"00041591", "address length 21 is more than 20 digits"},
        {"00040C914477", "address needs 6 octets at position 8, 2 present"},
        {"00040C914477000910320000", "time stamp needs 7 octets at position 24, 0 present"},
        {good.substr(0, 38), "unit ends at position 38"},
        {deliver("04", "00", "0AE8329BFD"), "user data needs 9 octets at position 40, 4 present"},
        {deliver("04", "00", "A1") + std::string(282, '0'), "161 septets is more than 160"},
        {deliver("04", "04", "8D") + std::string(282, '0'), "141 octets is more than 140"},
        {deliver("04", "04", "FF"), "255 octets is more than 140"},
        {deliver("04", "08", "03004800"), "UCS2 text of 3 octets is not whole characters"},
        {deliver("04", "24", "05E8329BFD06"), "compressed user data"},
        {deliver("44", "04", "00"), "user-data header announced but the user data is empty"},
        {deliver("44", "04", "020741"), "user-data header of 7 octets does not fit in 1 octets"},
        {deliver("44", "00",
                 "05"
                 "0400000000"),
         "header of 5 octets is longer than 5 septets"},
        {"0002" + good.substr(4), "not a delivered or stored message (message type 2)"},
        {"0003" + good.substr(4), "message type 3"},
        {"0019"
         "05"
         "05812143F5"
         "0000"
         "306040",
         "time stamp needs 7 octets"},
        {"0011"
         "05"
         "05812143F5"
         "0000",
         "validity period needs 1 octets"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.unit);
        gsm_pdu msg;
        Status st = gsm_decode_pdu(r.unit, msg);
        ASSERT_FALSE(st);
        EXPECT_NE(st.error().reason.find(r.reason), std::string::npos) << st.error().reason;
    }
}

TEST(GsmPduMalformed, EveryTruncationOfAGoodUnitIsRefused) {
    const std::string units[] = {
        "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
        deliver("44", "00",
                "0F"
                "050003CC0201"
                "9069101D5D969701"),
        deliver("04", "08", "0400480069"),
        "0019"
        "05"
        "05812143F5"
        "0000"
        "30604021035480"
        "05E8329BFD06",
    };
    for (const std::string& unit : units) {
        ASSERT_EQ(decoded(unit).length > 0, true);
        for (std::size_t n = 0; n < unit.size(); ++n) {
            SCOPED_TRACE(unit.substr(0, n));
            gsm_pdu msg;
            Status st = gsm_decode_pdu(std::string_view(unit).substr(0, n), msg);
            ASSERT_FALSE(st);
            EXPECT_FALSE(st.error().reason.empty());
        }
    }
}

TEST(GsmPduMalformed, ChangedDigitsNeverGiveAnInconsistentResult) {
    // Any single changed digit either decodes to a consistent record or is refused
    // with a reason (the sanitizer build checks that nothing is read out of bounds).
    const std::string unit = deliver("44", "00",
                                     "0F"
                                     "050003CC0201"
                                     "9069101D5D969701");
    const char digits[] = "0123456789ABCDEF";
    for (std::size_t k = 0; k < unit.size(); ++k) {
        for (char d : digits) {
            std::string changed = unit;
            changed[k] = d;
            gsm_pdu msg;
            if (Status st = gsm_decode_pdu(changed, msg)) {
                EXPECT_EQ(msg.length, static_cast<int>(msg.message.size()));
                EXPECT_LE(msg.message.size(), 160u);
            } else {
                EXPECT_FALSE(st.error().reason.empty()) << changed;
            }
        }
    }
}

// ---- tables ----

TEST(GsmPduTables, DeliberateDifferencesFromTheStandardAlphabet) {
    EXPECT_EQ(seven_bit_to_unicode[9], 0xE7);         // small c with cedilla
    EXPECT_EQ(seven_bit_to_unicode[128 + 10], 0x0A);  // line feed, not form feed
    EXPECT_EQ(seven_bit_to_unicode[128 + 27], 27);
    EXPECT_EQ(seven_bit_to_unicode[128 + 101], 0x20AC);
    EXPECT_EQ(seven_bit_to_unicode[16], 0x394);
    EXPECT_EQ(seven_bit_to_unicode[128 + 11], 0);
    EXPECT_EQ(seven_bit_to_ascii[128 + 27], ' ');
    EXPECT_EQ(seven_bit_to_ascii[128 + 101], 0x80);
    EXPECT_EQ(seven_bit_to_ascii[18], 0xE8);
    EXPECT_EQ(seven_bit_to_ascii[128 + 5], 0);
    EXPECT_EQ(ascii_to_seven_bit[0x0C], 0);
    EXPECT_EQ(ascii_to_seven_bit[0xC7], 0);
    EXPECT_EQ(ascii_to_seven_bit['^'], 20);
    EXPECT_EQ(ascii_to_seven_bit[0xE4], 24);
    EXPECT_EQ(ascii_to_seven_bit[0x80], 128 + 101);
    EXPECT_EQ(ascii_to_seven_bit['{'], 128 + 40);
    EXPECT_EQ(ascii_to_seven_bit[0xE8], 4);  // the standard code wins over Phi's look-alike
    EXPECT_EQ(ascii_to_seven_bit['$'], 2);
    EXPECT_EQ(ascii_to_seven_bit[0xA4], 36);
}

TEST(GsmPduTables, EveryCodeReadsBackToTheCodeItWasSentAs) {
    // Each byte the reverse table maps goes out as a code that reads back as the same
    // byte, so a look-alike survives a round trip through a phone.
    int round_trips = 0;
    for (int b = 1; b < 256; ++b) {
        int code = ascii_to_seven_bit[b];
        if (code == 0) continue;
        unsigned char back = seven_bit_to_ascii[code];
        SCOPED_TRACE(b);
        EXPECT_EQ(back, b);
        ++round_trips;
    }
    EXPECT_GT(round_trips, 100);
}

// ---- text mode ----

TEST(GsmTextMode, CreateEncodedForTheModem) {
    std::string s = "Hi";
    EXPECT_EQ(gsm_create_encoded(true, false, s, 140), 8u);
    EXPECT_EQ(s, "00480069");
    s = std::string(40, 'a');
    EXPECT_EQ(gsm_create_encoded(true, false, s, 140), 136u);  // 34 characters
    s = std::string(300, 'a');
    EXPECT_EQ(gsm_create_encoded(true, false, s, 1000), 996u);  // 249 characters

    s = "a{b\n\xE9@\xE4Z";
    EXPECT_EQ(gsm_create_encoded(false, true, s, 140), 9u);
    EXPECT_EQ(s, std::string("a\x1B(b\n\x05\x00\x18Z", 9));
    s = "a{b";
    gsm_create_encoded(false, false, s, 140);
    EXPECT_EQ(s, "a(b");
    s = std::string(160, 'x');
    EXPECT_EQ(gsm_create_encoded(false, true, s, 140), 140u);
    s = std::string(140, '{');  // every escape doubles: still cut at max
    EXPECT_EQ(gsm_create_encoded(false, true, s, 140), 140u);
}

TEST(GsmTextMode, ProcessEncodedFromTheModem) {
    std::string s = "00480069";
    EXPECT_EQ(gsm_process_encoded(true, false, s, 999), 2u);
    EXPECT_EQ(s, "Hi");
    s = "0394";
    gsm_process_encoded(true, false, s, 999);
    EXPECT_EQ(s, "\x7F");
    s = "20AC0041";
    gsm_process_encoded(true, false, s, 999);
    EXPECT_EQ(s,
              "\x80"
              "A");
    s = "0048 0069";  // stops at a character that is not a letter or digit
    gsm_process_encoded(true, false, s, 999);
    EXPECT_EQ(s, "H");
    s = "004800690021";
    EXPECT_EQ(gsm_process_encoded(true, false, s, 2), 2u);
    s = "00480";  // a partial group is not read
    gsm_process_encoded(true, false, s, 999);
    EXPECT_EQ(s, "H");

    s = std::string("x\x1B(y\x05\r\n\x1B", 8);
    EXPECT_EQ(gsm_process_encoded(false, false, s, 999), 6u);
    EXPECT_EQ(s, "x{y\xE9\r\n");
    s = std::string(
        "\x1B"
        "A\x00",
        3);
    gsm_process_encoded(false, false, s, 999);
    EXPECT_EQ(s, "A@");
}

}  // namespace
}  // namespace tolvane
