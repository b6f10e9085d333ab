// The MIME line reader over real files: line kinds, header joining, boundaries, part
// numbers and the base64 and quoted-printable line decoders.
#include "mail/mime.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace tolvane {
namespace {

namespace fs = std::filesystem;

struct Line {
    int kind;
    std::string raw, bin, part;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "mime_test_XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path file(const std::string& text) {
        fs::path p = fs::path(path_) / ("m" + std::to_string(n_++) + ".msg");
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }

  private:
    std::string path_;
    int n_ = 0;
};

// Runs a reader over the text stored in a file, the way the listener reads its spool.
std::vector<Line> decode(const std::string& text, MIME* m = nullptr, std::size_t size = 1000) {
    TempDir dir;
    File f(std::fopen(dir.file(text).c_str(), "r"));
    EXPECT_TRUE(f);
    std::unique_ptr<MIME> own;
    if (!m) {
        own = mime_new();
        m = own.get();
    }
    std::vector<Line> out;
    std::string raw, bin;
    for (int kind; (kind = mime_line(m, f.get(), raw, bin, size)) != MIME_END;) {
        out.push_back({kind, raw, bin, m->part});
        if (out.size() > 100000) break;
    }
    return out;
}

std::vector<int> kinds(const std::vector<Line>& lines) {
    std::vector<int> k;
    for (auto& l : lines) k.push_back(l.kind);
    return k;
}

// The decoded body bytes of one part.
std::string body_of(const std::vector<Line>& lines, const std::string& part) {
    std::string b;
    for (auto& l : lines)
        if (l.kind == MIME_BODY && l.part == part) b += l.bin;
    return b;
}

constexpr int H = MIME_HEADER, C = MIME_CONTENT, E = MIME_HEADER_END, B = MIME_BODY,
              S = MIME_BOUNDARY;

// ---- header blocks ----

TEST(MimeHeader, MailWithoutContentTypeIsHeadersThenPlainBody) {
    auto m = mime_new();
    auto lines = decode("From: a@b.c\nSubject: hi\n\nbody =3D line\nsecond\n", m.get());
    EXPECT_EQ(kinds(lines), (std::vector<int>{H, H, E, B, B}));
    EXPECT_EQ(lines[0].raw, "From: a@b.c\n");
    EXPECT_EQ(lines[3].bin, "body =3D line\n");  // no transfer encoding: copied
    EXPECT_EQ(lines[3].part, "1");
    EXPECT_EQ(m->ismime, 0);
}

TEST(MimeHeader, EncodedSubjectComesBackAsRawText) {
    auto lines = decode("Subject: =?UTF-8?B?SGVsbG8gd29ybGQ=?=\r\n\r\nx\r\n");
    ASSERT_EQ(kinds(lines), (std::vector<int>{H, E, B}));
    EXPECT_EQ(lines[0].raw, "Subject: =?UTF-8?B?SGVsbG8gd29ybGQ=?=\r\n");
    EXPECT_EQ(lines[0].bin, "");
}

TEST(MimeHeader, ContinuationsOfOrdinaryHeadersAreHeaderLinesOfTheirOwn) {
    auto lines = decode("Subject: one\n two\n\tthree\nTo: x\n\n");
    EXPECT_EQ(kinds(lines), (std::vector<int>{H, H, H, H, E}));
    EXPECT_EQ(lines[1].raw, " two\n");
    EXPECT_EQ(lines[2].raw, "\tthree\n");
}

TEST(MimeHeader, FourContinuationLinesAreJoinedAndTheRestHandedBack) {
    auto m = mime_new();
    auto lines =
        decode("Content-Type: text/plain;\n c1\n c2\n c3\n c4\n c5\n c6\nX: y\n\nbody\n", m.get());
    ASSERT_EQ(kinds(lines), (std::vector<int>{C, H, H, H, E, B}));
    EXPECT_EQ(lines[0].raw, "Content-Type: text/plain;\n");
    EXPECT_EQ(lines[1].raw, " c5\n");
    EXPECT_EQ(lines[2].raw, " c6\n");
    EXPECT_EQ(lines[3].raw, "X: y\n");
    EXPECT_EQ(m->ismime, 1);
}

TEST(MimeHeader, ContentValueHoldsItsContinuationLines) {
    auto m = mime_new();
    std::string raw, bin;
    TempDir dir;
    File f(std::fopen(
        dir.file("Content-Type: multipart/alternative;\n\tboundary=\"b1\"\nSubject: s\n\n").c_str(),
        "r"));
    ASSERT_EQ(mime_line(m.get(), f.get(), raw, bin), MIME_CONTENT);
    EXPECT_EQ(m->content, "multipart/alternative;\n\tboundary=\"b1\"\n");
    ASSERT_EQ(m->blist.size(), 1u);
    EXPECT_EQ(m->blist[0].bound, "b1");
    EXPECT_EQ(m->blist[0].level, 1);
    ASSERT_EQ(mime_line(m.get(), f.get(), raw, bin), MIME_HEADER);  // the line read ahead
    EXPECT_EQ(raw, "Subject: s\n");
}

TEST(MimeHeader, HeaderNamesIgnoreCaseAndSpacing) {
    auto m = mime_new();
    auto lines =
        decode("content-type:TEXT/plain\nCONTENT-TRANSFER-ENCODING:  Base64\n\nQUJD\n", m.get());
    ASSERT_EQ(kinds(lines), (std::vector<int>{C, H, E, B}));
    EXPECT_EQ(lines[3].bin, "ABC");
}

TEST(MimeHeader, LooseHeaderEndsOnALineOfOneSpace) {
    auto m = mime_new();
    m->loose_header = 1;
    EXPECT_EQ(kinds(decode("A: b\n \nbody\n", m.get())), (std::vector<int>{H, E, B}));
    EXPECT_EQ(kinds(decode("A: b\n \nbody\n")), (std::vector<int>{H, H, H}));
}

TEST(MimeHeader, ReturnAllHandsBackJoinedContinuations) {
    auto m = mime_new();
    m->return_all = 1;
    auto lines = decode("Content-Type: text/plain;\n charset=x\n\nb\n", m.get());
    ASSERT_EQ(kinds(lines), (std::vector<int>{C, H, E, B}));
    EXPECT_EQ(lines[1].raw, " charset=x\n");
}

TEST(MimeHeader, AppendLinesJoinsEveryHeader) {
    auto m = mime_new();
    m->append_lines = 1;
    auto lines = decode("Subject: a\n b\nTo: c\n\n", m.get());
    ASSERT_EQ(kinds(lines), (std::vector<int>{H, H, E}));
    EXPECT_EQ(lines[0].raw, "Subject: a\n b\n");
}

TEST(MimeHeader, AppendLinesJoinsSpecialHeadersOnlyOnce) {
    auto m = mime_new();
    m->append_lines = 1;
    auto lines =
        decode("Content-Type: multipart/mixed;\n a\n b\n c\n boundary=q\n d\n\n--q\n", m.get());
    ASSERT_EQ(kinds(lines), (std::vector<int>{C, H, E, S}));
    EXPECT_EQ(lines[0].raw, "Content-Type: multipart/mixed;\n a\n b\n c\n boundary=q\n");
    EXPECT_EQ(lines[1].raw, " d\n");
    EXPECT_EQ(m->blist.size(), 1u);
}

TEST(MimeHeader, ContentIdKeepsTheBareAddress) {
    auto m = mime_new();
    std::string raw, bin;
    TempDir dir;
    File f(std::fopen(dir.file("Content-ID: <part1.06@example.com>\n\n").c_str(), "r"));
    ASSERT_EQ(mime_line(m.get(), f.get(), raw, bin), MIME_HEADER);
    EXPECT_EQ(m->content_id, "part1.06@example.com");
}

TEST(MimeHeader, FileNameFromDispositionIsLowerCasedAndClearedAtBoundary) {
    auto m = mime_new();
    std::string raw, bin;
    TempDir dir;
    File f(std::fopen(dir.file("Content-Type: multipart/mixed; boundary=z\n\n--z\n"
                               "Content-Disposition: attachment;\n filename=\"Report 2.PDF\"\n\n"
                               "data\n--z\n")
                          .c_str(),
                      "r"));
    std::vector<std::string> names;
    while (mime_line(m.get(), f.get(), raw, bin) != MIME_END) names.push_back(m->fname);
    ASSERT_GE(names.size(), 6u);
    EXPECT_EQ(names[3], "report 2.pdf");
    EXPECT_EQ(names.back(), "");
}

// ---- boundaries and part numbers ----

TEST(MimeBoundary, UnquotedBoundaryOpensAndClosesALevel) {
    auto m = mime_new();
    auto lines = decode(
        "Content-Type: multipart/mixed; boundary=abc\n\npreamble\n--abc\n"
        "Content-Type: text/plain\n\nhello\n--abc--\nepilogue\n",
        m.get());
    ASSERT_EQ(kinds(lines), (std::vector<int>{C, E, B, S, C, E, B, S, B}));
    EXPECT_EQ(lines[3].part, "1.1");
    EXPECT_EQ(lines[6].bin, "hello\n");
    EXPECT_EQ(lines[6].part, "1.1");
    EXPECT_EQ(lines[7].part, "1");  // closed
    EXPECT_EQ(m->blist[0].n, 2);
}

TEST(MimeBoundary, QuotedBoundaryInCapitalsLosesItsQuotes) {
    auto m = mime_new();
    auto lines = decode(
        "Content-Type: multipart/alternative; BOUNDARY=\"=_Part 7\"\n\n--=_Part 7\n\nx\n"
        "--=_Part 7--\n",
        m.get());
    ASSERT_EQ(m->blist.size(), 1u);
    EXPECT_EQ(m->blist[0].bound, "=_Part 7");
    EXPECT_EQ(kinds(lines), (std::vector<int>{C, E, S, E, B, S}));
}

TEST(MimeBoundary, QuoteInALaterParameterIsNotTheBoundary) {
    auto m = mime_new();
    decode("Content-Type: multipart/mixed; boundary=plain1; x-note=\"quoted\"\n\n", m.get());
    ASSERT_EQ(m->blist.size(), 1u);
    EXPECT_EQ(m->blist[0].bound, "plain1");
}

TEST(MimeBoundary, UnclosedQuoteOrEmptyValueDeclaresNothing) {
    auto m = mime_new();
    decode("Content-Type: multipart/mixed; boundary=\"open\n\n--open\n", m.get());
    EXPECT_TRUE(m->blist.empty());
    auto m2 = mime_new();
    auto lines = decode("Content-Type: multipart/mixed; boundary=\"\"\n\n--\n-- x\n", m2.get());
    EXPECT_TRUE(m2->blist.empty());
    EXPECT_EQ(kinds(lines), (std::vector<int>{C, E, B, B}));
}

TEST(MimeBoundary, OtherParameterNamedLikeBoundaryIsSkipped) {
    auto m = mime_new();
    decode("Content-Type: multipart/mixed; x-boundary-hint; boundary = \"real\"\n\n", m.get());
    ASSERT_EQ(m->blist.size(), 1u);
    EXPECT_EQ(m->blist[0].bound, "real");
}

TEST(MimeBoundary, NestedPartsAreNumbered) {
    auto m = mime_new();
    auto lines = decode(
        "Content-Type: multipart/mixed; boundary=\"outer\"\n\n"
        "--outer\nContent-Type: text/plain\n\nfirst\n"
        "--outer\nContent-Type: multipart/alternative; boundary=inner\n\n"
        "--inner\nContent-Type: text/plain\n\nnested\n"
        "--inner\nContent-Type: text/html\n\n<p>nested</p>\n"
        "--inner--\n"
        "--outer--\nafter\n",
        m.get());
    EXPECT_EQ(body_of(lines, "1.1"), "first\n");
    EXPECT_EQ(body_of(lines, "1.2.1"), "nested\n");
    EXPECT_EQ(body_of(lines, "1.2.2"), "<p>nested</p>\n");
    EXPECT_EQ(body_of(lines, "1"), "after\n");
    EXPECT_EQ(m->part, "1");
    EXPECT_EQ(m->partid[1], 3);
    EXPECT_EQ(m->partlvl, 1);
}

TEST(MimeBoundary, DashLineThatIsNoBoundaryIsBody) {
    auto lines = decode(
        "Content-Type: multipart/mixed; boundary=abc\n\n--abc\n\n-- \nsig\n--abx\n--abc--\n");
    EXPECT_EQ(kinds(lines), (std::vector<int>{C, E, S, E, B, B, B, S}));
}

TEST(MimeBoundary, ResyncTakesAnyDashDashLine) {
    auto m = mime_new();
    m->resync = 1;
    auto lines = decode("Content-Type: multipart/mixed; boundary=abc\n\n--abc\n\nx\n--other\n\ny\n",
                        m.get());
    EXPECT_EQ(kinds(lines), (std::vector<int>{C, E, S, E, B, S, E, B}));
    EXPECT_EQ(lines.back().part, "1.2");
}

TEST(MimeBoundary, MissingClosingBoundaryEndsWithTheInput) {
    auto m = mime_new();
    auto lines = decode(
        "Content-Type: multipart/mixed; boundary=q\n\n--q\nContent-Type: text/plain\n\n"
        "last words\nno end",
        m.get());
    EXPECT_EQ(body_of(lines, "1.1"), "last words\nno end");
    std::string raw, bin;
    EXPECT_EQ(mime_line(m.get(), static_cast<std::FILE*>(nullptr), raw, bin), MIME_END);
}

TEST(MimeBoundary, PartWithoutHeaderBlockStillEndsAtTheNextBoundary) {
    auto lines = decode("Content-Type: multipart/mixed; boundary=k\n\n--k\n--k\n\nbody\n--k--\n");
    EXPECT_EQ(kinds(lines), (std::vector<int>{C, E, S, S, E, B, S}));
    EXPECT_EQ(body_of(lines, "1.2"), "body\n");
}

TEST(MimeBoundary, CrLfMailWorksLikeLfMail) {
    auto lines = decode(
        "Content-Type: multipart/mixed; boundary=\"c\"\r\n\r\n--c\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nSGk=\r\n--c--\r\n");
    EXPECT_EQ(kinds(lines), (std::vector<int>{C, E, S, H, E, B, S}));
    EXPECT_EQ(body_of(lines, "1.1"), "Hi");
}

TEST(MimeBoundary, EncodingAndContentResetAtEachBoundary) {
    auto m = mime_new();
    auto lines = decode(
        "Content-Type: multipart/mixed; boundary=r\n\n--r\nContent-Type: text/plain\n"
        "Content-Transfer-Encoding: quoted-printable\n\na=3Db\n--r\n\na=3Db\n",
        m.get());
    EXPECT_EQ(body_of(lines, "1.1"), "a=b\n");
    EXPECT_EQ(body_of(lines, "1.2"), "a=3Db\n");
    EXPECT_EQ(m->content, "");
    EXPECT_EQ(m->encoding, MIME_NONE);
}

TEST(MimeBoundary, DeepNestingStopsGrowingAtTheLastLevel) {
    std::string mail = "Content-Type: multipart/mixed; boundary=b0\n\n";
    for (int i = 0; i < 150; ++i) {
        mail += "--b" + std::to_string(i) + "\nContent-Type: multipart/mixed; boundary=b" +
                std::to_string(i + 1) + "\n\n";
    }
    mail += "--b150\n\ndeep\n";
    auto m = mime_new();
    auto lines = decode(mail, m.get());
    EXPECT_LE(m->partlvl, 99);
    EXPECT_LE(m->part.size(), 100u);
    EXPECT_EQ(lines.back().bin, "deep\n");
}

// ---- lines and limits ----

TEST(MimeLine, LongLineArrivesInPiecesOf997) {
    auto lines = decode("A: b\n\n" + std::string(2500, 'x') + "\n");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2].raw.size(), 997u);
    EXPECT_EQ(lines[3].raw.size(), 997u);
    EXPECT_EQ(lines[4].raw, std::string(506, 'x') + "\n");
}

TEST(MimeLine, RawAndDecodedAreCutToSizeMinusOne) {
    auto lines = decode("A: bcdefghij\n\n0123456789abc\n", nullptr, 8);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].raw, "A: bcde");
    EXPECT_EQ(lines[2].bin, "0123456");
}

TEST(MimeLine, EmptyInputEndsAtOnceAndStaysEnded) {
    auto m = mime_new();
    TempDir dir;
    File f(std::fopen(dir.file("").c_str(), "r"));
    std::string raw = "old", bin = "old";
    EXPECT_EQ(mime_line(m.get(), f.get(), raw, bin), MIME_END);
    EXPECT_EQ(raw, "");
    EXPECT_EQ(mime_line(m.get(), f.get(), raw, bin), MIME_END);
    EXPECT_EQ(mime_line(nullptr, f.get(), raw, bin), MIME_END);
}

TEST(MimeLine, StreamInputGivesTheSameLinesAsAFile) {
    std::string mail =
        "Content-Type: multipart/mixed; boundary=s\n\n--s\nContent-Transfer-Encoding: base64\n\n"
        "QUJD\n--s--\n";
    auto from_file = decode(mail);
    auto m = mime_new();
    std::istringstream in(mail);
    std::string raw, bin;
    std::size_t i = 0;
    for (int kind; (kind = mime_line(m.get(), in, raw, bin)) != MIME_END; ++i) {
        ASSERT_LT(i, from_file.size());
        EXPECT_EQ(kind, from_file[i].kind);
        EXPECT_EQ(raw, from_file[i].raw);
        EXPECT_EQ(bin, from_file[i].bin);
    }
    EXPECT_EQ(i, from_file.size());
}

TEST(MimeLine, NulBytesInABodyLineAreKept) {
    auto lines = decode(std::string("A: b\n\nx\0y\n", 10));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].bin, std::string("x\0y\n", 4));
}

// ---- base64 lines ----

TEST(MimeBase64, DecodesWholeGroups) {
    std::string out;
    EXPECT_EQ(mime_decode_base64("QUJD", out), 3);
    EXPECT_EQ(out, "ABC");
    EXPECT_EQ(mime_decode_base64("QUJDREVG\r\n", out), 6);
    EXPECT_EQ(out, "ABCDEF");
    EXPECT_EQ(mime_decode_base64("QUJD\n\r\n", out), 3);
}

TEST(MimeBase64, FillGivesOneOrTwoBytes) {
    std::string out;
    EXPECT_EQ(mime_decode_base64("QQ==", out), 1);
    EXPECT_EQ(out, "A");
    EXPECT_EQ(mime_decode_base64("QUI=\n", out), 2);
    EXPECT_EQ(out, "AB");
    EXPECT_EQ(mime_decode_base64("QQ==QUJD", out), 4);  // groups are independent
    EXPECT_EQ(out, "AABC");
}

TEST(MimeBase64, ForeignCharacterDecodesToNothing) {
    std::string out = "stale";
    EXPECT_EQ(mime_decode_base64("QU JD", out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(mime_decode_base64("QUJD!", out), 0);
    EXPECT_EQ(mime_decode_base64("Q===", out), 0);
    EXPECT_EQ(mime_decode_base64("\n", out), 0);
    EXPECT_EQ(mime_decode_base64("", out), 0);
}

TEST(MimeBase64, AllByteValuesRoundTrip) {
    // "AAECAwQFBgcICQoLDA0ODw==" is the published encoding of the bytes 0..15.
    std::string out;
    ASSERT_EQ(mime_decode_base64("AAECAwQFBgcICQoLDA0ODw==", out), 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<unsigned char>(out[i]), i);
    ASSERT_EQ(mime_decode_base64("+/7/", out), 3);
    EXPECT_EQ(out, "\xfb\xfe\xff");
}

// ---- quoted-printable ----

TEST(MimeQuoted, EscapesAreDecodedInEitherCase) {
    std::string out;
    EXPECT_EQ(mime_decode_quoted("a=3Db", out), 3);
    EXPECT_EQ(out, "a=b");
    mime_decode_quoted("caf=c3=A9\n", out);
    EXPECT_EQ(out, "caf\xc3\xa9\n");
}

TEST(MimeQuoted, SoftLineBreaksJoinLines) {
    std::string out;
    EXPECT_EQ(mime_decode_quoted("abc=\r\ndef", out), 6);
    EXPECT_EQ(out, "abcdef");
    EXPECT_EQ(mime_decode_quoted("stored soft break=\n", out), 17);
    EXPECT_EQ(out, "stored soft break");
    mime_decode_quoted("ends with =", out);
    EXPECT_EQ(out, "ends with ");
}

TEST(MimeQuoted, EqualsWithoutHexDigitsStays) {
    std::string out;
    mime_decode_quoted("x=ZZy", out);
    EXPECT_EQ(out, "x=ZZy");
    mime_decode_quoted("=4=41", out);
    EXPECT_EQ(out, "=4A");
}

TEST(MimeQuoted, TopBitByteTakesTheNextByteAlong) {
    std::string out;
    mime_decode_quoted("\xe9=41", out);
    EXPECT_EQ(out, "\xe9=41");
    mime_decode_quoted("ab\xe9", out);
    EXPECT_EQ(out, "ab\xe9");
}

TEST(MimeQuoted, InputIsTakenUpTo2000Characters) {
    std::string out;
    EXPECT_EQ(mime_decode_quoted(std::string(2500, 'k'), out), 2000);
}

TEST(MimeHex, TwoDigitsOrMinusOne) {
    EXPECT_EQ(mime_hexbyte("3D"), 0x3d);
    EXPECT_EQ(mime_hexbyte("ff"), 255);
    EXPECT_EQ(mime_hexbyte("fG"), -1);
    EXPECT_EQ(mime_hexbyte("f"), -1);
}

// ---- real-world shaped mails (tests/mail/data) ----

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// One line per line read: kind, part, and the decoded bytes of body lines with control
// characters shown as \n, \r, \xNN.
std::string transcript(const std::vector<Line>& lines) {
    static const char* names[] = {"END", "HEADER", "BODY", "BOUNDARY", "CONTENT", "HEADER_END"};
    std::string t;
    for (auto& l : lines) {
        t += names[l.kind];
        t += ' ';
        t += l.part;
        if (l.kind == MIME_BODY) {
            t += ' ';
            for (unsigned char ch : l.bin) {
                if (ch == '\n') {
                    t += "\\n";
                } else if (ch == '\r') {
                    t += "\\r";
                } else if (ch < 32 || ch >= 127 || ch == '\\') {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02x", ch);
                    t += hex;
                } else {
                    t += static_cast<char>(ch);
                }
            }
        }
        t += '\n';
    }
    return t;
}

class MimeGolden : public ::testing::TestWithParam<std::string> {};

TEST_P(MimeGolden, TranscriptMatches) {
    fs::path dir = fs::path(TOLVANE_SOURCE_DIR) / "tests/mail/data";
    std::string mail = slurp(dir / (GetParam() + ".eml"));
    ASSERT_FALSE(mail.empty());
    std::string got = transcript(decode(mail));
    if (std::getenv("MIME_GOLDEN_WRITE")) {
        // Regenerates the reference; read every new .ref before committing it.
        std::ofstream(dir / (GetParam() + ".ref"), std::ios::binary) << got;
    }
    EXPECT_EQ(got, slurp(dir / (GetParam() + ".ref")));
}

INSTANTIATE_TEST_SUITE_P(Mails, MimeGolden,
                         ::testing::Values("alternative_html_first", "alternative_plain_first",
                                           "nested_attachment", "outlook_quoted_printable",
                                           "broken_base64_no_close"));

}  // namespace
}  // namespace tolvane
