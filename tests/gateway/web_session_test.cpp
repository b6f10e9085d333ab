// Login sessions of the web channel: the cookie, a token used up by its use, the idle
// and total lifetimes, the user name, and the bound on live sessions.
#include "gateway/web_session.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tolvane {
namespace {

class Sessions : public ::testing::Test {
  protected:
    WebSessions sessions;  // this test's gateway's
    static std::string cookie(const web_session& s) {
        return std::string(WEB_SESSION_COOKIE) + "=" + s.id;
    }
    const std::time_t t0 = 1700000000;
};

TEST_F(Sessions, AFirstRequestStartsOneAndItsCookieFindsItAgain) {
    const web_session a = sessions.session_for("", "admin", t0);
    EXPECT_TRUE(a.fresh);
    EXPECT_EQ(a.id.size(), 32u);
    EXPECT_EQ(a.token.size(), 32u);
    EXPECT_NE(a.id, a.token);
    const web_session again =
        sessions.session_for("theme=dark; " + cookie(a) + "; x=1", "admin", t0);
    EXPECT_FALSE(again.fresh);
    EXPECT_EQ(again.id, a.id);
    EXPECT_EQ(again.token.size(), 32u);
    EXPECT_NE(again.token, a.token);  // each page its own
    const web_session other = sessions.session_for("", "admin", t0);
    EXPECT_NE(other.id, a.id);
    EXPECT_NE(other.token, a.token);
}

TEST_F(Sessions, ATokenIsUsedUpByItsUseAndAWrongOneChangesNothing) {
    const web_session a = sessions.session_for("", "admin", t0);
    std::string next;
    EXPECT_FALSE(sessions.use_token(a.id, "0123", t0, next));
    EXPECT_EQ(next, "");
    EXPECT_FALSE(sessions.use_token(a.id, "", t0, next));
    EXPECT_TRUE(sessions.use_token(a.id, a.token, t0, next));
    EXPECT_EQ(next.size(), 32u);
    EXPECT_NE(next, a.token);
    std::string after;
    EXPECT_FALSE(sessions.use_token(a.id, a.token, t0, after));
    EXPECT_TRUE(sessions.use_token(a.id, next, t0, after));
}

// Two tabs of one session: each page's form works once, in any order; a page shown
// WEB_SESSION_TOKENS pages ago or more must be reloaded.
TEST_F(Sessions, PagesSideBySideEachSendTheirFormOnce) {
    const web_session first = sessions.session_for("", "admin", t0);
    const web_session second = sessions.session_for(cookie(first), "admin", t0);
    const web_session third = sessions.session_for(cookie(first), "admin", t0);
    std::string next;
    for (const web_session* page : {&second, &first, &third}) {
        EXPECT_TRUE(sessions.use_token(first.id, page->token, t0, next));
        EXPECT_FALSE(sessions.use_token(first.id, page->token, t0, next)) << "used twice";
    }
    // Unused now: `next` (the answer page of the last use) and `old`; the pages shown
    // after them push both out.
    const web_session old = sessions.session_for(cookie(first), "admin", t0);
    std::string newest;
    for (std::size_t i = 0; i < WEB_SESSION_TOKENS; ++i)
        newest = sessions.session_for(cookie(first), "admin", t0).token;
    EXPECT_FALSE(sessions.use_token(first.id, next, t0, next));
    EXPECT_FALSE(sessions.use_token(first.id, old.token, t0, next));
    EXPECT_TRUE(sessions.use_token(first.id, newest, t0, next));
}

TEST_F(Sessions, ATokenIsGoodInItsOwnSessionOnly) {
    const web_session a = sessions.session_for("", "admin", t0);
    const web_session b = sessions.session_for("", "admin", t0);
    std::string next;
    EXPECT_FALSE(sessions.use_token(b.id, a.token, t0, next));
    EXPECT_FALSE(sessions.use_token("", a.token, t0, next));
    EXPECT_FALSE(sessions.use_token(std::string(32, '0'), a.token, t0, next));
    EXPECT_TRUE(sessions.use_token(a.id, a.token, t0, next));
}

TEST_F(Sessions, ASessionEndsWhenIdleTooLongOrOldOrForAnotherUser) {
    const web_session a = sessions.session_for("", "admin", t0);
    // Each request keeps it alive for another idle period...
    std::time_t t = t0;
    for (; t + WEB_SESSION_IDLE_S <= t0 + WEB_SESSION_MAX_S; t += WEB_SESSION_IDLE_S) {
        EXPECT_FALSE(sessions.session_for(cookie(a), "admin", t).fresh) << t - t0;
    }
    // ... but not past its total lifetime.
    const web_session old = sessions.session_for(cookie(a), "admin", t0 + WEB_SESSION_MAX_S + 1);
    EXPECT_TRUE(old.fresh);
    EXPECT_NE(old.id, a.id);
    std::string next;
    EXPECT_FALSE(sessions.use_token(a.id, a.token, t0 + WEB_SESSION_MAX_S + 1, next));

    const web_session b = sessions.session_for("", "admin", t0);
    EXPECT_TRUE(sessions.session_for(cookie(b), "admin", t0 + WEB_SESSION_IDLE_S + 1).fresh);

    const web_session c = sessions.session_for("", "admin", t0);
    EXPECT_TRUE(sessions.session_for(cookie(c), "root", t0).fresh);
    // That ended it for its first user too.
    EXPECT_TRUE(sessions.session_for(cookie(c), "admin", t0).fresh);
}

TEST_F(Sessions, TheOneUsedLongestAgoGivesWayWhenTheTableIsFull) {
    const web_session first = sessions.session_for("", "admin", t0);
    const web_session second = sessions.session_for("", "admin", t0 + 1);
    sessions.session_for(cookie(first), "admin", t0 + 2);  // the first is used again
    std::set<std::string> ids{first.id, second.id};
    for (std::size_t i = 2; i < WEB_SESSIONS_MAX; ++i) {
        ids.insert(sessions.session_for("", "admin", t0 + 3).id);
    }
    EXPECT_EQ(ids.size(), WEB_SESSIONS_MAX);
    sessions.session_for("", "admin", t0 + 4);  // one more: the second goes
    EXPECT_FALSE(sessions.session_for(cookie(first), "admin", t0 + 5).fresh);
    EXPECT_TRUE(sessions.session_for(cookie(second), "admin", t0 + 5).fresh);
}

TEST(SessionCookie, AttributesAndParsing) {
    EXPECT_EQ(web_session_cookie("abc", false),
              "tolvane_session=abc; Path=/; HttpOnly; SameSite=Strict");
    EXPECT_EQ(web_session_cookie("abc", true),
              "tolvane_session=abc; Path=/; HttpOnly; SameSite=Strict; Secure");
    EXPECT_EQ(web_session_cookie_value("a=1;tolvane_session=xyz; b=2"), "xyz");
    EXPECT_EQ(web_session_cookie_value("my_tolvane_session=xyz"), "");
    EXPECT_EQ(web_session_cookie_value(""), "");
}

// Each gateway keeps its own sessions: a cookie or a token of one means nothing to
// another in the same process, and clearing one leaves the other's.
TEST_F(Sessions, AnotherGatewaysSessionsAreNotThese) {
    WebSessions other;
    const web_session a = sessions.session_for("", "admin", t0);
    std::string next;
    EXPECT_FALSE(other.use_token(a.id, a.token, t0, next));
    EXPECT_TRUE(next.empty());
    EXPECT_TRUE(other.session_for(cookie(a), "admin", t0).fresh);
    other.clear();
    EXPECT_FALSE(sessions.session_for(cookie(a), "admin", t0).fresh);
    EXPECT_TRUE(sessions.use_token(a.id, a.token, t0, next));
}

}  // namespace
}  // namespace tolvane
