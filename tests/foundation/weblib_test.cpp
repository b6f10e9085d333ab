// Web text codings: URL and HTML encoding with their size rule, URL decoding, and the
// parent-directory stripping of page names.
#include "foundation/weblib.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

TEST(UrlEncode, KeepsLettersDigitsSlashColonUnderscore) {
    EXPECT_EQ(url_encode("azAZ09/:_"), "azAZ09/:_");
}

TEST(UrlEncode, EscapesEverythingElseInUpperCaseHex) {
    EXPECT_EQ(url_encode("a b&c=d.e-f~"), "a%20b%26c%3Dd%2Ee%2Df%7E");
    EXPECT_EQ(url_encode(std::string(1, static_cast<char>(233))), "%E9");
    EXPECT_EQ(url_encode(std::string("\0\n", 2)), "%00%0A");
    EXPECT_EQ(url_encode(std::string(1, static_cast<char>(0xff))), "%FF");
}

TEST(UrlEncode, AnEscapeThatDoesNotFitWholeEndsTheOutput) {
    // Room for four characters: "ab" fits, "%20" would need five.
    EXPECT_EQ(url_encode("ab c", 5), "ab");
    EXPECT_EQ(url_encode("ab c", 6), "ab%20");
    EXPECT_EQ(url_encode("abc", 3), "ab");
    EXPECT_EQ(url_encode("abc", 1), "");
    EXPECT_EQ(url_encode("abc", 0), "");
}

TEST(UrlEncode, LongInputIsCutAtTheRendererSize) {
    EXPECT_EQ(url_encode(std::string(5000, 'x')).size(), WEB_CODE_SIZE - 1);
    // 333 escapes fill 999 characters exactly; the next one does not fit.
    EXPECT_EQ(url_encode(std::string(400, ' ')).size(), 999u);
}

TEST(HtmlEncode, ReplacesTheFourSpecialCharacters) {
    EXPECT_EQ(html_encode("<a href=\"x\">&</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
    EXPECT_EQ(html_encode("it's plain"), "it's plain");
}

TEST(HtmlEncode, AnEntityThatDoesNotFitWholeEndsTheOutput) {
    EXPECT_EQ(html_encode("ab&", 7), "ab");  // "&amp;" needs 5 more than the 2
    EXPECT_EQ(html_encode("ab&", 8), "ab&amp;");
    EXPECT_EQ(html_encode("\"", 6), "");
}

TEST(HtmlEscape, FiveCharactersAndNoCut) {
    EXPECT_EQ(html_escape("<a href='x' title=\"y\">&</a>"),
              "&lt;a href=&#39;x&#39; title=&quot;y&quot;&gt;&amp;&lt;/a&gt;");
    EXPECT_EQ(html_escape(std::string(3000, '&')).size(), 3000u * 5);
    EXPECT_EQ(html_escape(""), "");
    EXPECT_EQ(html_escape("\xc3\xa9 plain"), "\xc3\xa9 plain");
}

TEST(UnescapeUrl, PlusAndPercentCodes) {
    std::string v = "a+b%41%4a%4A%e9";
    unescape_url(v);
    EXPECT_EQ(v, std::string("a bAJJ") + static_cast<char>(0xe9));
}

TEST(UnescapeUrl, IncompleteOrInvalidCodesStay) {
    for (const char* in : {"%", "%4", "x%4", "%zz", "%4g", "%g4", "100%"}) {
        SCOPED_TRACE(in);
        std::string v = in;
        unescape_url(v);
        EXPECT_EQ(v, in);
    }
}

TEST(UnescapeUrl, DecodedBytesAreNotDecodedAgain) {
    std::string v = "%2541%2B";
    unescape_url(v);
    EXPECT_EQ(v, "%41+");
}

TEST(UnescapeUrl, NulByteIsKept) {
    std::string v = "a%00b";
    unescape_url(v);
    EXPECT_EQ(v, std::string("a\0b", 3));
}

TEST(StripParents, RemovesEveryParentStepRepeatedly) {
    EXPECT_EQ(web_strip_parents("../../etc/passwd"), "etc/passwd");
    EXPECT_EQ(web_strip_parents("..\\..\\boot.ini"), "boot.ini");
    EXPECT_EQ(web_strip_parents("....//x"), "x");
    EXPECT_EQ(web_strip_parents("a/../b"), "a/b");
    EXPECT_EQ(web_strip_parents("main.htm"), "main.htm");
    EXPECT_EQ(web_strip_parents("..."), "...");
    EXPECT_EQ(web_strip_parents("x.."), "x..");
}

}  // namespace
}  // namespace tolvane
