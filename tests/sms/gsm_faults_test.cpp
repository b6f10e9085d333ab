// The modem driver against modems that misbehave or differ from one another: lines
// of their own around the send prompt, drafts beside received messages, indications
// held back, an OK after the PIN state or none, refused deletes. Each case is played
// by the fake modem on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "foundation/lib.h"
#include "sms/gsm_modem_support.h"

namespace tolvane {
namespace {

using test::as_gsm;
using test::FakeModem;
using test::GsmDriver;
using test::next_message;
using test::stored_sms;
using test::text_sms;
using sent = FakeModem::sent_sms;

// ---- text entry ----

TEST_F(GsmDriver, LinesOfTheModemsOwnBeforeThePromptArePassedOver) {
    struct row {
        const char* name;
        const char* before_prompt;
    } rows[] = {
        {"registration after a blank line", "\r\n+CREG: 1\r\n\r\n> "},
        {"registration just before", "\r\n+CREG: 1\r\n> "},
        {"two notices", "\r\n^BOOT:1,0\r\n+CGREG: 1\r\n\r\n> "},
        {"a call announced", "\r\nRING\r\n\r\n> "},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        FakeModem m;
        m.set_entry_echo(true);
        std::string first = r.before_prompt;
        int asked = 0;
        m.on([first, &asked](const std::string& c) -> std::optional<std::string> {
            if (c.starts_with("AT+CMGS=") && asked++ == 0) return first;
            return std::nullopt;
        });
        gsm_init x = rec;
        x.port = m.path();
        auto st = test::start_gsm(x);
        int code = st.code;
        ASSERT_EQ(code, 0);
        EXPECT_EQ(st->send_text("", "+111", "for one"), 0);
        EXPECT_EQ(st->send_text("", "+222", "for two"), 0);
        // Each text went to its own number, and nothing else was sent.
        EXPECT_EQ(m.sent(), (std::vector<sent>{{"AT+CMGS=\"+111\"", "for one"},
                                               {"AT+CMGS=\"+222\"", "for two"}}));
    }
}

TEST_F(GsmDriver, APromptThatNeverComesEndsTextEntryBeforeTheNextCommand) {
    rec.reply_ms = 400;
    sms_data_gsm* g = ready();
    modem.set_entry_echo(true);
    // The modem takes the command into text entry but its prompt is lost on the line.
    modem.lose_next_prompt();
    EXPECT_EQ(g->send_text("", "+111", "for one"), GSM_ERR_TIMEOUT);
    EXPECT_EQ(modem.escapes(), 1);
    EXPECT_EQ(g->send_text("", "+222", "for two"), 0);
    // The second text did not go into the first message, nor to the first number.
    EXPECT_EQ(modem.sent(), (std::vector<sent>{{"AT+CMGS=\"+222\"", "for two"}}));
}

TEST_F(GsmDriver, APromptArrivingLateIsNotTakenAsTheNextSendsPrompt) {
    rec.reply_ms = 400;
    sms_data_gsm* g = ready();
    modem.set_entry_echo(true);
    int asked = 0;
    modem.on([&asked](const std::string& c) -> std::optional<std::string> {
        if (c.starts_with("AT+CMGS=") && asked++ == 0) return std::string();  // silent
        return std::nullopt;
    });
    EXPECT_EQ(g->send_text("", "+111", "for one"), GSM_ERR_TIMEOUT);
    // Now the prompt comes, after the send gave up: the modem is in text entry.
    modem.enter_text_entry("AT+CMGS=\"+111\"");
    modem.inject("\r\n> ");
    for (int i = 0; i < 200; ++i) {
        MutexHold hold(g->lock_buffer.get());
        if (g->buffer.find('>') != std::string::npos) break;
        hold.release();
        lib_msleep(10);
    }
    EXPECT_EQ(g->send_text("", "+222", "for two"), 0);
    EXPECT_GE(modem.escapes(), 1);
    EXPECT_EQ(modem.sent(), (std::vector<sent>{{"AT+CMGS=\"+222\"", "for two"}}));
}

TEST_F(GsmDriver, ASendIsSuccessfulOnlyWithItsMessageReference) {
    struct row {
        const char* name;
        const char* answer;
        int code;
    } rows[] = {
        {"reference and OK", "\r\n+CMGS: 7\r\n\r\nOK\r\n", 0},
        {"a notice between", "\r\n+CREG: 1\r\n\r\n+CMGS: 7\r\n\r\nOK\r\n", 0},
        {"OK alone", "\r\nOK\r\n", GSM_ERR_UNEXPECTED},
        {"a notice, then OK", "\r\n+CREG: 1\r\n\r\nOK\r\n", GSM_ERR_UNEXPECTED},
        {"refused", "\r\n+CMS ERROR: 38\r\n", 39},
        {"plain error", "\r\nERROR\r\n", GSM_ERR_ERROR},
    };
    sms_data_gsm* g = ready();
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        modem.set_cmgs_reply(r.answer);
        EXPECT_EQ(g->send_text("", "+111", "hi"), r.code);
    }
}

TEST_F(GsmDriver, NoAnswerAfterTheTextEndsTextEntryAndTakesTheLateAnswer) {
    rec.reply_ms = 400;
    sms_data_gsm* g = ready();
    modem.set_cmgs_reply(" ");  // no whole line
    EXPECT_EQ(g->send_text("", "+111", "first"), GSM_ERR_TIMEOUT);
    // The ESC came after the text was ended: a modem outside text entry ignores it.
    modem.set_cmgs_reply("");
    EXPECT_EQ(g->send_text("", "+222", "second"), 0);
    EXPECT_EQ(modem.sent().back(), (sent{"AT+CMGS=\"+222\"", "second"}));
}

// ---- drafts ----

TEST_F(GsmDriver, TextModeHandsOutOnlyReceivedMessages) {
    int draft = modem.store(text_sms("+1999", "draft to a friend", "STO UNSENT"));
    int copy = modem.store(text_sms("+1998", "copy of a sent one", "STO SENT"));
    modem.store(text_sms("+1555", "unread", "REC UNREAD"));
    modem.store(text_sms("+1556", "read", "REC READ"));
    sms_data_gsm* g = ready();
    std::set<std::string> bodies;
    int code = -1;
    for (int i = 0; i < 5; ++i) {
        auto m = g->wait(50, code);
        EXPECT_EQ(code, 0);
        if (m) {
            bodies.insert(g->msg_body(m.get()));
            EXPECT_EQ(g->msg_accept(m.get(), 0, "OK"), 0);
        }
    }
    EXPECT_EQ(bodies, (std::set<std::string>{"unread", "read"}));
    // The drafts stay where they are.
    EXPECT_TRUE(modem.has_stored(draft));
    EXPECT_TRUE(modem.has_stored(copy));
    EXPECT_EQ(modem.stored_count(), 2u);
    EXPECT_FALSE(modem.seen("AT+CMGD=" + std::to_string(draft)));
    EXPECT_FALSE(modem.seen("AT+CMGD=" + std::to_string(copy)));
}

TEST_F(GsmDriver, AnAnnouncedDraftIsNeitherReadOutNorDeleted) {
    sms_data_gsm* g = ready();
    int code = -1;
    g->wait(100, code);  // the listing
    int index = modem.store(text_sms("+1999", "draft", "STO UNSENT"));
    modem.inject("\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n");
    auto m = next_message(g, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(g->msg_recv(m.get()), GSM_ERR_UNEXPECTED);
    EXPECT_TRUE(modem.has_stored(index));
}

// ---- indications ----

TEST(GsmCnmi, TheModeThatSendsIndicationsOnIsChosen) {
    struct row {
        const char* reply;
        const char* want;
    } rows[] = {
        {"+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)", "2,1,0,0,0"},
        {"+CNMI: (0-3),(0-3),(0-3),(0-2),(0,1)", "2,1,0,0,0"},
        {"+CNMI: (0,1),(0-3),(0),(0),(0)", "1,1,0,0,0"},
        {"+CNMI: (1,3),(1),(0),(0),(0)", "1,1,0,0,0"},
        {"+CNMI: (2),(0,1,2),(0),(0),(0)", "2,1,0,0,0"},
        {"+CNMI: (3),(1),(0),(0),(0)", "3,1,0,0,0"},  // neither offered: kept
        {"+CNMI: (0),(1),(0),(0),(0)", "0,1,0,0,0"},
        {"+CNMI: (1,2),(1)", "2,1"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.reply);
        EXPECT_EQ(make_cnmi(r.reply), r.want);
    }
}

TEST_F(GsmDriver, AModemHoldingIndicationsInModeZeroStillAnnounces) {
    sms_data_gsm* g = ready();
    EXPECT_EQ(modem.count("AT+CNMI=2,1,0,0,0"), 1);
    int code = -1;
    g->wait(100, code);
    int index = modem.deliver(text_sms("+1555", "announced"));
    EXPECT_EQ(modem.held_indications(), 0);
    auto m = next_message(g, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(as_gsm(m)->index, index);
}

// ---- the PIN state ----

TEST_F(GsmDriver, BothKindsOfModemStartWhateverCpinOkSays) {
    struct row {
        int mode;
        bool ok_after_cpin;
        const char* state;
    } rows[] = {
        {MODE_ZERO, true, "READY"},       {MODE_ZERO, false, "READY"},
        {MODE_CPIN_OK, true, "READY"},    {MODE_CPIN_OK, false, "READY"},
        {MODE_ZERO, true, "SIM PIN"},     {MODE_ZERO, false, "SIM PIN"},
        {MODE_CPIN_OK, false, "SIM PIN"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.mode) + " " + r.state + (r.ok_after_cpin ? " ok" : ""));
        FakeModem m;
        m.set_ok_after_cpin(r.ok_after_cpin);
        m.set_cpin(r.state);
        gsm_init x = rec;
        x.port = m.path();
        x.mode = r.mode;
        x.pin = "1234";
        auto st = test::start_gsm(x);
        int code = st.code;
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(m.seen("AT+CSDH=1"));
        EXPECT_EQ(st->send_text("", "+111", "hi"), 0);
    }
}

TEST_F(GsmDriver, AStartUpErrorSaysWhatTheModemAnswered) {
    struct row {
        const char* command;
        const char* answer;  // null: silence
        const char* text;
    } rows[] = {
        {"AT+CNMI=?", "\r\n+CNMI: (0),(0,2)\r\n\r\nOK\r\n",
         "Error unexpected line: the modem answered AT+CNMI=? with (+CNMI: (0),(0,2))"},
        {"AT+CNMI=2,1,0,0,0", "\r\n+CMS ERROR: 303\r\n",
         "[303] operation not supported: the modem answered AT+CNMI=2,1,0,0,0 with (+CMS "
         "ERROR: 303)"},
        {"AT+CSCA?", nullptr, "Error reading: the modem did not answer AT+CSCA? in time"},
        {"ATE0", "\r\nERROR\r\n", "Error with ATEO (Echo): the modem answered ATE0 with (ERROR)"},
        {"AT+CBST=?", "\r\n+CBST: (0-7)\r\n\r\nOK\r\n",
         "Error unexpected line: the modem answered AT+CBST=? with (+CBST: (0-7))"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.command);
        FakeModem m;
        std::string cmd = r.command;
        std::string answer = r.answer ? r.answer : "";
        m.on([cmd, answer](const std::string& c) -> std::optional<std::string> {
            if (c == cmd) return answer;
            return std::nullopt;
        });
        gsm_init x = rec;
        x.port = m.path();
        x.reply_ms = 400;
        auto st = test::start_gsm(x);
        int code = st.code;
        EXPECT_NE(code, 0);
        std::string text;
        text = st.why;
        EXPECT_EQ(text, r.text);
    }
}

TEST_F(GsmDriver, APortThatCannotBeOpenedGivesTheReasonOfTheOpen) {
    rec.port = "/nonexistent/ttyGSM";
    start();
    ASSERT_EQ(err, GSM_ERR_OPEN);
    errno = EACCES;  // whatever happened since does not change the reason
    std::string text;
    text = why;
    EXPECT_EQ(text, "Error opening. OSError(No such file or directory)");
}

// ---- health ----

TEST_F(GsmDriver, UpWhileTheModemAnswersWithTheSignalItLastGave) {
    rec.reply_ms = 300;
    modem.set_signal({17});
    sms_data_gsm* g = ready();
    EXPECT_TRUE(g->up());
    EXPECT_EQ(g->signal(), 17);
    EXPECT_EQ(g->state_text(), "up, registered (home), signal 17 of 31");
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c.starts_with("AT+CMGS=")) return std::string();  // silent
        return std::nullopt;
    });
    EXPECT_EQ(g->send_text("", "+111", "hi"), GSM_ERR_TIMEOUT);
    EXPECT_FALSE(g->up());
    EXPECT_EQ(g->state_text(), "down: the modem does not answer");
    modem.on(nullptr);
    EXPECT_EQ(g->send_text("", "+111", "hi"), 0);
    EXPECT_TRUE(g->up());
    modem.hang_up();
    for (int i = 0; i < 500 && g->reader_running; ++i) lib_msleep(10);
    EXPECT_FALSE(g->up());
    EXPECT_EQ(g->state_text(), "down: device gone: " + modem.path());
}

TEST_F(GsmDriver, ASignalTheModemDoesNotKnowIsUnknown) {
    modem.set_signal({99});
    sms_data_gsm* g = ready();
    EXPECT_EQ(g->signal(), -1);
    EXPECT_EQ(g->state_text(), "up, registered (home), signal unknown");
}

// ---- refused deletes ----

TEST_F(GsmDriver, ARefusedDeleteIsTriedAgainLaterAndReceptionGoesOn) {
    rec.delete_retry_ms = 200;
    int stored = modem.store(text_sms("+1555", "stored"));
    int refusals = 1;
    modem.on([&refusals, stored](const std::string& c) -> std::optional<std::string> {
        if (c == "AT+CMGD=" + std::to_string(stored) && refusals-- > 0)
            return "\r\n+CMS ERROR: 321\r\n";
        return std::nullopt;
    });
    sms_data_gsm* g = ready();
    int code = -1;
    auto m1 = g->wait(100, code);
    ASSERT_NE(m1, nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(g->msg_accept(m1.get(), 0, "OK"), 0);  // answered although the delete was refused
    EXPECT_TRUE(modem.has_stored(stored));

    int announced = modem.deliver(text_sms("+1666", "announced"));
    auto m2 = next_message(g, code);
    ASSERT_NE(m2, nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(as_gsm(m2)->index, announced);
    EXPECT_EQ(g->msg_recv(m2.get()), 0);
    EXPECT_STREQ(g->msg_body(m2.get()), "announced");
    EXPECT_EQ(g->msg_accept(m2.get(), 0, "OK"), 0);

    // Later waits try the delete again, after reading that the place still holds it.
    for (int i = 0; i < 100 && modem.has_stored(stored); ++i) g->wait(50, code);
    EXPECT_FALSE(modem.has_stored(stored));
    EXPECT_EQ(modem.count("AT+CMGD=" + std::to_string(stored)), 2);
    EXPECT_TRUE(g->pending_deletes.empty());
}

TEST_F(GsmDriver, ARefusedDeleteOfAnAnnouncedMessageStillHandsItOn) {
    rec.delete_retry_ms = 200;
    sms_data_gsm* g = ready();
    int code = -1;
    g->wait(100, code);
    int index = modem.deliver(text_sms("+1555", "keep me"));
    int refusals = 1;
    modem.on([&refusals](const std::string& c) -> std::optional<std::string> {
        if (c.starts_with("AT+CMGD=") && refusals-- > 0) return "\r\n+CMS ERROR: 321\r\n";
        return std::nullopt;
    });
    auto m = next_message(g, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(g->msg_recv(m.get()), 0);
    EXPECT_STREQ(g->msg_body(m.get()), "keep me");
    EXPECT_EQ(g->msg_accept(m.get(), 0, "OK"), 0);
    for (int i = 0; i < 100 && modem.has_stored(index); ++i) g->wait(50, code);
    EXPECT_FALSE(modem.has_stored(index));
}

TEST_F(GsmDriver, ALaterDeleteNeverRemovesAnotherMessageInTheSamePlace) {
    rec.delete_retry_ms = 200;
    int index = modem.store(text_sms("+1555", "old one"));
    // The refusal was wrong: the old message went, and a new one took its place.
    std::string read = "AT+CMGR=" + std::to_string(index);
    std::string newer =
        "\r\n+CMGR: \"REC UNREAD\",\"+1777\",,\"26/12/08,11:00:00+04\",145,4,0,0,"
        "\"+447700000000\",145,15\r\nnew one, unread\r\n\r\nOK\r\n";
    modem.on([read, newer](const std::string& c) -> std::optional<std::string> {
        if (c.starts_with("AT+CMGD=")) return "\r\n+CMS ERROR: 321\r\n";
        if (c == read) return newer;
        return std::nullopt;
    });
    sms_data_gsm* g = ready();
    int code = -1;
    auto m = g->wait(100, code);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(g->msg_body(m.get()), "old one");
    EXPECT_EQ(g->msg_accept(m.get(), 0, "OK"), 0);
    ASSERT_EQ(g->pending_deletes.size(), 1u);
    for (int i = 0; i < 100 && !g->pending_deletes.empty(); ++i) g->wait(50, code);
    EXPECT_TRUE(g->pending_deletes.empty());
    EXPECT_TRUE(modem.seen(read));
    EXPECT_EQ(modem.count("AT+CMGD=" + std::to_string(index)), 1);  // only the refused one
}

}  // namespace
}  // namespace tolvane
