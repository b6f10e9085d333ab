// The page renderer: markers, variables, conditionals, internal and user functions,
// includes, file chunking, output copies and every kind of malformed template.
#include "foundation/tpl.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/log.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Variables of a test page: a map, with optional further values per name for getnxt.
struct Vars {
    std::map<std::string, std::string> v;
    std::map<std::string, std::vector<std::string>> more;
    std::map<std::string, std::size_t> next;
};

// A renderer over Vars writing into a string, with a private template directory and log.
class Page : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tvtplXXXXXX").string();
        dir_ = mkdtemp(tmpl.data());
        log_ = log_init(LOG_DEBUG);
        log_doflush(log_.get(), 1);
        log_open(log_.get(), dir_ + "/test.log");
        log_set(log_.get());
        t_ = tpl_init();
        tpl_setup_path(t_.get(), dir_);
        tpl_setup_if(
            t_.get(), &vars_,
            [](void* d, const std::string& n) -> std::optional<std::string> {
                auto* vs = static_cast<Vars*>(d);
                auto it = vs->v.find(n);
                if (it == vs->v.end()) return std::nullopt;
                return it->second;
            },
            [](void* d, const std::string& n) -> std::optional<std::string> {
                auto* vs = static_cast<Vars*>(d);
                auto it = vs->more.find(n);
                if (it == vs->more.end()) return std::nullopt;
                std::size_t& k = vs->next[n];
                if (k >= it->second.size()) {
                    k = 0;
                    return std::nullopt;
                }
                return it->second[k++];
            },
            [](void* d, const std::string& n) { static_cast<Vars*>(d)->v.erase(n); },
            [](void* d, const std::string& n, const std::string& val) {
                static_cast<Vars*>(d)->v[n] = val;
            });
        tpl_stream_setup(t_.get(), [this](const char* p, std::size_t n) { out_.append(p, n); });
    }
    void TearDown() override {
        tpl_free(t_);
        log_free(log_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string render(std::string_view text) {
        out_.clear();
        tpl_display_text(t_.get(), text);
        return out_;
    }
    std::string render_file(const std::string& name, int* result = nullptr) {
        out_.clear();
        int r = tpl_display_file(t_.get(), name);
        if (result) *result = r;
        return out_;
    }
    void file(const std::string& name, const std::string& text) {
        fs::create_directories(fs::path(dir_ + "/" + name).parent_path());
        std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    }
    bool logged(const std::string& part) {
        log_flush(log_.get());
        return slurp(dir_ + "/test.log").find(part) != std::string::npos;
    }

    std::string dir_;
    std::unique_ptr<Log> log_;
    std::unique_ptr<tpl> t_;
    Vars vars_;
    std::string out_;
};

// ---- cutting and markers ----

TEST(TplCut, MarkersAreTokensOfTheirOwnAndNoTokenIsEmpty) {
    TplTokens t = tpl_cut("a||b||||c||");
    std::vector<std::string> got(t.nodes.begin(), t.nodes.end());
    EXPECT_EQ(got, (std::vector<std::string>{"a", "||", "b", "||", "||", "c", "||"}));
    TplTokens none = tpl_cut("");
    EXPECT_EQ(queue_items(&none), 0);
    // An odd bar is text: "|||" is one marker and a bar.
    TplTokens odd = tpl_cut("|||");
    EXPECT_EQ(std::vector<std::string>(odd.nodes.begin(), odd.nodes.end()),
              (std::vector<std::string>{"||", "|"}));
}

TEST_F(Page, DoubleMarkerWritesOneMarkerAndALoneMarkerIsText) {
    EXPECT_EQ(render("||||"), "||");
    EXPECT_EQ(render("a || b"), "a || b");
    EXPECT_EQ(render("x||||y"), "x||y");
    // A marker with nothing after it ends the tokens and is dropped.
    EXPECT_EQ(render("end||"), "end");
}

// ---- variables ----

TEST_F(Page, VariableIsReplacedAndAnUnknownOneWritesNothing) {
    vars_.v["name"] = "World";
    EXPECT_EQ(render("Hello ||name||!"), "Hello World!");
    vars_.v.erase("name");
    EXPECT_EQ(render("Hello ||name||!"), "Hello !");
}

TEST_F(Page, VariableValueIsWrittenAsItIsNotParsedAgain) {
    vars_.v["v"] = "||ifdef||x||<b>";
    EXPECT_EQ(render("[||v||]"), "[||ifdef||x||<b>]");
}

TEST_F(Page, ManyValuedVariableIsJoinedWithBreaks) {
    vars_.v["list"] = "a";
    vars_.more["list"] = {"b", "c"};
    EXPECT_EQ(render("||list||."), "a<BR>b<BR>c.");
}

TEST_F(Page, WithAnEscapeEveryVariableGoesThroughItAndRawWritesItAsItIs) {
    tpl_setup_escape(t_.get(), [](std::string_view v) {
        std::string out;
        for (char c : v) out += c == '<' ? std::string("&lt;") : std::string(1, c);
        return out;
    });
    vars_.v["v"] = "<b>";
    vars_.v["list"] = "<1";
    vars_.more["list"] = {"<2"};
    struct Case {
        const char* text;
        const char* want;
    };
    const Case cases[] = {
        {"[||v||]", "[&lt;b>]"},
        {"[||raw||v||]", "[<b>]"},
        {"[||RAW||v||]", "[<b>]"},
        {"||list||", "&lt;1<BR>&lt;2"},
        {"||raw||list||", "<1<BR><2"},
        {"[||raw||missing||]", "[]"},
        // The encoders write their own coding, not escaped a second time.
        {"||html_encode||v||", "&lt;b&gt;"},
        {"||ifdef||v||||raw||v||||else||x||endif||", "<b>"},
        {"||ifdef||nope||||raw||v||||endif||.", "."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(render(c.text), c.want);
    }
    tpl_setup_escape(t_.get(), nullptr);
    EXPECT_EQ(render("||v||"), "<b>");
}

TEST_F(Page, NamesMayStartWithDigitOrUnderscoreButNotPunctuation) {
    vars_.v["_x"] = "U";
    vars_.v["1y"] = "D";
    EXPECT_EQ(render("||_x||||1y||"), "UD");
    EXPECT_EQ(render("||-x||"), "||-x");
}

// ---- conditionals ----

TEST_F(Page, IfEqualComparesVariablesOrTheLiteralTexts) {
    const char* text = "||ifequal||mode||ip||yes||else||no||endif||";
    vars_.v["mode"] = "ip";
    EXPECT_EQ(render(text), "yes");
    vars_.v.erase("mode");
    EXPECT_EQ(render(text), "no");
    vars_.v["mode"] = "x";
    vars_.v["ip"] = "x";
    EXPECT_EQ(render(text), "yes");
}

TEST_F(Page, NestedConditionalsInsideAFalseSectionChangeNothing) {
    const char* text = "||ifdef||x||A||ifdef||y||B||endif||C||endif||";
    EXPECT_EQ(render(text), "");
    vars_.v["x"] = "1";
    EXPECT_EQ(render(text), "AC");
    vars_.v["y"] = "1";
    EXPECT_EQ(render(text), "ABC");
    vars_.v.erase("x");
    EXPECT_EQ(render(text + std::string("after")), "after");
}

TEST_F(Page, ElseInsideAFalseOuterSectionDoesNotOpenIt) {
    const char* text = "||ifdef||x||A||ifdef||y||B||else||E||endif||C||else||N||endif||";
    EXPECT_EQ(render(text), "N");
    vars_.v["x"] = "1";
    EXPECT_EQ(render(text), "AEC");
}

TEST_F(Page, FalseSectionWritesNoMarkersOrText) {
    EXPECT_EQ(render("||ifdef||nope||a||||b|| text||name||||endif||z"), "z");
}

TEST_F(Page, OtherTests) {
    vars_.v["a"] = "apple";
    vars_.v["b"] = "banana";
    EXPECT_EQ(render("||iflower||a||b||L||else||G||endif||"), "L");
    EXPECT_EQ(render("||iflower||b||a||L||else||G||endif||"), "G");
    EXPECT_EQ(render("||iflower||a||a||L||else||G||endif||"), "G");
    EXPECT_EQ(render("||ifinstr||b||nan||in||else||out||endif||"), "in");
    EXPECT_EQ(render("||ifinstr||nan||b||in||else||out||endif||"), "out");
    vars_.v["on"] = "Checked";
    EXPECT_EQ(render("||iftrue||on||T||else||F||endif||"), "T");
    EXPECT_EQ(render("||iftrue||yes||T||else||F||endif||"), "T");
    EXPECT_EQ(render("||iftrue||nah||T||else||F||endif||"), "F");
}

TEST_F(Page, InternalFunctionNamesIgnoreCase) {
    vars_.v["x"] = "1";
    EXPECT_EQ(render("||IfDef||x||y||ELSE||n||EndIf||"), "y");
}

TEST_F(Page, StrayElseAndEndifAreIgnored) {
    EXPECT_EQ(render("A||endif||B||else||C"), "ABC");
    // The stray endif must not lower the depth below the real conditional either.
    EXPECT_EQ(render("||endif||||ifdef||none||hidden||endif||shown"), "shown");
}

TEST_F(Page, UnclosedConditionalKeepsOutputSuppressedForTheNextRendering) {
    EXPECT_EQ(render("a||ifdef||none||b"), "a");
    EXPECT_EQ(render("c"), "");
    EXPECT_EQ(render("||endif||d"), "d");
}

// ---- define, undef, inc, dec, codings, localtime ----

TEST_F(Page, DefineTakesANameAndAValue) {
    vars_.v["src"] = "copied";
    render("||define||dst||src||||define||lit||text||");
    EXPECT_EQ(vars_.v["dst"], "copied");
    EXPECT_EQ(vars_.v["lit"], "text");
    // The first argument is a name even when a variable of that name exists.
    render("||define||src||new||");
    EXPECT_EQ(vars_.v["src"], "new");
    render("||undef||src||");
    EXPECT_EQ(vars_.v.count("src"), 0u);
}

TEST_F(Page, DefinedValueIsUsedLaterInTheSamePage) {
    EXPECT_EQ(render("||define||who||me||hi ||who||"), "hi me");
}

TEST_F(Page, IncAndDecChangeOnlyAnExistingVariable) {
    vars_.v["n"] = "7";
    render("||inc||n||");
    EXPECT_EQ(vars_.v["n"], "8");
    render("||dec||n||||dec||n||");
    EXPECT_EQ(vars_.v["n"], "6");
    vars_.v["w"] = "word";
    render("||inc||w||");
    EXPECT_EQ(vars_.v["w"], "1");
    render("||inc||unset||");
    EXPECT_EQ(vars_.v.count("unset"), 0u);
}

TEST_F(Page, EncodersTakeAVariableAndIgnoreAMissingOne) {
    vars_.v["q"] = "a b&<\"";
    EXPECT_EQ(render("||url_encode||q||"), "a%20b%26%3C%22");
    EXPECT_EQ(render("||java_url_encode||q||"), "a%2520b%2526%253C%2522");
    EXPECT_EQ(render("||html_encode||q||"), "a b&amp;&lt;&quot;");
    EXPECT_EQ(render("[||url_encode||none||||html_encode||none||]"), "[]");
}

TEST_F(Page, LocaltimeWritesTheAsctimeForm) {
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(render("[||localtime||0||]"), "[Thu Jan  1 00:00:00 1970]");
    vars_.v["when"] = "86400";
    EXPECT_EQ(render("||localtime||when||"), "Fri Jan  2 00:00:00 1970");
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(Page, FunctionsInAFalseSectionDoNotRun) {
    vars_.v["n"] = "1";
    render("||ifdef||none||||inc||n||||define||d||x||||undef||n||||endif||");
    EXPECT_EQ(vars_.v["n"], "1");
    EXPECT_EQ(vars_.v.count("d"), 0u);
}

// ---- user functions ----

struct Calls {
    std::vector<std::vector<std::string>> args;
};

void record(tpl*, TplTokens* a, void* d) {
    static_cast<Calls*>(d)->args.emplace_back(a->nodes.begin(), a->nodes.end());
}

void twice(tpl* t, TplTokens* a, void* d) {
    record(t, a, d);
    for (int i = 0; i < 2; ++i) {
        t->set(t->if_data, "row", std::to_string(i));
        tpl_display(t, a);
    }
}

void greet(tpl* t, TplTokens*, void*) {
    tpl_print_tpl(t, "<%s>", "hello");
}

const tpl_fns test_fns[] = {
    {"status", record, nullptr, 0},       {"pair", record, nullptr, 2},
    {"begin_rows", twice, "end_rows", 0}, {"greet", greet, nullptr, 0},
    {nullptr, nullptr, nullptr, 0},
};

TEST_F(Page, UserFunctionsGetTheirArgumentTokens) {
    Calls c;
    tpl_setup(t_.get(), test_fns, &c);
    EXPECT_EQ(render("a||status||b||pair||x||y||c"), "abc");
    ASSERT_EQ(c.args.size(), 2u);
    EXPECT_TRUE(c.args[0].empty());
    EXPECT_EQ(c.args[1], (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(render("||GREET||!"), "<hello>!");
}

TEST_F(Page, BlockGetsTheTokensUpToItsEndMarkerAndRendersThem) {
    Calls c;
    tpl_setup(t_.get(), test_fns, &c);
    EXPECT_EQ(render("[||begin_rows||<r>||row||</r>||end_rows||]"), "[<r>0</r><r>1</r>]");
    ASSERT_EQ(c.args.size(), 1u);
    EXPECT_EQ(c.args[0], (std::vector<std::string>{"<r>", "||", "row", "||", "</r>", "||"}));
}

TEST_F(Page, BlockBodyWithConditionalsAndNestedFunctions) {
    Calls c;
    tpl_setup(t_.get(), test_fns, &c);
    EXPECT_EQ(render("||begin_rows||||ifequal||row||1||one||else||zero||endif||,||end_rows||."),
              "zero,one,.");
}

TEST_F(Page, UserFunctionInAFalseSectionIsNotCalled) {
    Calls c;
    tpl_setup(t_.get(), test_fns, &c);
    EXPECT_EQ(render("||ifdef||none||||status||||begin_rows||x||end_rows||||endif||ok"), "ok");
    EXPECT_TRUE(c.args.empty());
}

TEST_F(Page, UnfinishedBlockAtTheEndOfATemplateWritesNothing) {
    Calls c;
    tpl_setup(t_.get(), test_fns, &c);
    out_.clear();
    EXPECT_EQ(tpl_display_text(t_.get(), "a||begin_rows||b||row||"), 0);
    EXPECT_EQ(out_, "a");
    EXPECT_TRUE(c.args.empty());
}

// ---- files and includes ----

TEST_F(Page, FileIsRenderedAndItsNameKeptInTheTemplateVariable) {
    vars_.v["who"] = "you";
    file("p.htm", "line ||who||\nsecond\n");
    int r = 0;
    EXPECT_EQ(render_file("p.htm", &r), "line you\nsecond\n");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(vars_.v["template"], "p.htm");
}

TEST_F(Page, MissingFileLogsAndWritesNothing) {
    int r = 1;
    EXPECT_EQ(render_file("absent.htm", &r), "");
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(logged("Error opening '" + dir_ + "/absent.htm' for read, "));
    fs::create_directory(dir_ + "/adir");
    EXPECT_EQ(render_file("adir", &r), "");
    EXPECT_EQ(r, 0);
}

TEST_F(Page, BlockAndConditionalsSpanManyChunks) {
    Calls c;
    tpl_setup(t_.get(), test_fns, &c);
    std::string body;
    for (int i = 0; i < 200; ++i) body += "line " + std::to_string(i) + " ||row||\n";
    file("big.htm", "||begin_rows||\n" + body + "||end_rows||\n||ifdef||row||\n" +
                        std::string(3000, 'z') + "\n||endif||done\n");
    std::string got = render_file("big.htm");
    // Each pass of the body starts with the line feed after the block's name.
    std::string want;
    for (int r = 0; r < 2; ++r) {
        want += "\n";
        for (int i = 0; i < 200; ++i)
            want += "line " + std::to_string(i) + " " + std::to_string(r) + "\n";
    }
    want += "\n\n" + std::string(3000, 'z') + "\ndone\n";
    EXPECT_EQ(got, want);
}

TEST_F(Page, LongLineWithoutLineFeedIsCutWholeAndMarkersAfterItStillWork) {
    vars_.v["v"] = "V";
    file("long.htm", std::string(2500, 'a') + "||v||" + std::string(1500, 'b'));
    EXPECT_EQ(render_file("long.htm"), std::string(2500, 'a') + "V" + std::string(1500, 'b'));
}

TEST_F(Page, IncludeRendersInPlaceWithTheSameVariables) {
    vars_.v["x"] = "X";
    file("inc/part.htm", "<||x||>||define||set_by_part||1||");
    file("main.htm", "a||include||inc/part.htm||b||set_by_part||\n");
    EXPECT_EQ(render_file("main.htm"), "a<X>b1\n");
    EXPECT_EQ(vars_.v["template"], "inc/part.htm");
}

TEST_F(Page, IncludeNameFromAVariableCannotLeaveTheDirectory) {
    file("sub/p.htm", "inside");
    vars_.v["which"] = "../../../sub/p.htm";
    EXPECT_EQ(render("[||include||which||]"), "[inside]");
}

TEST_F(Page, MissingIncludeWritesNothingInItsPlace) {
    EXPECT_EQ(render("a||include||gone.htm||b"), "ab");
    EXPECT_TRUE(logged("gone.htm' for read"));
}

TEST_F(Page, IncludeLoopIsRefusedAtTheDepthLimit) {
    file("loop.htm", "L||include||loop.htm||");
    std::string got = render_file("loop.htm");
    EXPECT_EQ(got, std::string(TPL_INCLUDE_DEPTH + 1, 'L'));
    EXPECT_TRUE(logged("Include of 'loop.htm' refused"));
    // The renderer is usable afterwards.
    EXPECT_EQ(render("ok"), "ok");
}

// ---- output ----

TEST_F(Page, FormattedOutputIsCutAt999Characters) {
    out_.clear();
    tpl_print_tpl(t_.get(), "%s", std::string(5000, 'q').c_str());
    EXPECT_EQ(out_, std::string(999, 'q'));
}

TEST_F(Page, CopyStreamGetsEverythingAndDebugPrintOnlyTheCopy) {
    const std::string copy = dir_ + "/copy.log";
    ASSERT_EQ(tpl_debug(t_.get(), copy), 1);
    vars_.v["v"] = "1";
    render("a||v||");
    out_.clear();
    tpl_debug_print_tpl(t_.get(), "[%d]", 42);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(slurp(copy), "a1[42]");
    EXPECT_EQ(tpl_debug(t_.get(), dir_ + "/no/such/dir/x"), 0);
}

TEST(TplCurrent, FirstRendererIsCurrentUntilFreed) {
    ASSERT_EQ(tpl_current(), nullptr);
    auto a = tpl_init();
    auto b = tpl_init();
    EXPECT_EQ(tpl_current(), a.get());
    std::string out;
    tpl_stream_setup(a.get(), [&](const char* p, std::size_t n) { out.append(p, n); });
    tpl_error("bad %s", "thing");
    EXPECT_NE(out.find("Content-type: text/html\n\n<html>\n"), std::string::npos);
    EXPECT_NE(out.find("<p><b>ERROR: </b>bad thing</p>\n</body>\n</html>\n"), std::string::npos);
    tpl_free(b);
    EXPECT_EQ(tpl_current(), a.get());
    tpl_free(a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(tpl_current(), nullptr);
}

}  // namespace
}  // namespace tolvane
