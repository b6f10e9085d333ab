// The text of HTML mail: what a reader sees, from markup real senders write.
#include "mail/mail_html.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

TEST(HtmlToText, Table) {
    struct row {
        const char* name;
        std::string html;
        const char* want;
    } rows[] = {
        {"the usual shop mail",
         "<html><head><title>Order</title><style>p{color:red}</style></head><body><p>Hello "
         "<b>world</b></p><p>at 5&nbsp;pm &amp; later</p></body></html>",
         "Hello world\nat 5 pm & later"},
        {"line breaks", "a<br>b<br/>c<div>d</div>e<h2>f</h2>g", "a\nb\nc\nd\ne\nf\ng"},
        {"lists", "<ul><li>one</li><li>two</li></ul>after", "one\ntwo\nafter"},
        {"table rows and cells",
         "<table><tr><td>a</td><td>b</td></tr><tr><th>c</th><td>d</td></tr></table>", "a b\nc d"},
        {"script and comments dropped",
         "x<script>alert('no')</script>y<!-- hidden -->z<noscript>n</noscript>", "xyz"},
        {"named and numeric entities", "caf&eacute; &#8364;5 &#x1F600; &lt;tag&gt; &quot;q&quot;",
         "caf\xC3\xA9 \xE2\x82\xAC"
         "5 \xF0\x9F\x98\x80 <tag> \"q\""},
        {"blanks collapsed", "  many \n\t  blanks\r\n here  ", "many blanks here"},
        {"runs of breaks collapsed", "<p>a</p><p></p><br><br><p>b</p>", "a\nb"},
        {"broken markup", "<p>unclosed <b>bold <i>both</p>next<div", "unclosed bold both\nnext"},
        {"utf-8 text", "<p>\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82</p>",
         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {"a document charset is ignored: the text is UTF-8 already",
         "<meta charset=\"iso-8859-1\"><p>Gr\xC3\xBC\xC3\x9F"
         "e</p>",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"empty", "", ""},
        {"only markup", "<html><body></body></html>", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(html_to_text(r.html), r.want);
    }
}

TEST(HtmlToText, DeepNestingDoesNotExhaustTheStack) {
    // Nesting the parser takes: the text is found.
    std::string html;
    for (int k = 0; k < 100; ++k) html += "<div><span>";
    EXPECT_EQ(html_to_text(html + "deep"), "deep");
    // Far beyond what it takes: it gives up on the document, the gateway goes on.
    html.clear();
    for (int k = 0; k < 100000; ++k) html += "<div><span>";
    std::string text = html_to_text(html + "deep");
    EXPECT_EQ(text.find('<'), std::string::npos);
}

}  // namespace
}  // namespace tolvane
