// The modem driver's start-up dialogue and sending, against the fake modem on a
// pseudo-terminal; and the reply parsers the start-up builds its settings from.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "foundation/lib.h"
#include "sms/gsm_modem_support.h"

namespace tolvane {
namespace {

using test::GsmDriver;
using test::stored_sms;
namespace fs = std::filesystem;

// ---- parsers ----

TEST(GsmBearer, TheDefaultsComeFromTheFirstDigitOfEachGroup) {
    EXPECT_EQ(make_bearer("+CBST: (0-7,12,14,65,66,68,70,71,75),(0),(0-2)", 9600), "AT+CBST=0,0,0");
    EXPECT_EQ(make_bearer("+CBST: (0-7),(0-1),(1)", 9600), "AT+CBST=0,0,1");
    EXPECT_EQ(make_bearer("+CBST: (0-7),(0)", 9600), std::nullopt);
    EXPECT_EQ(make_bearer("", 9600), std::nullopt);
}

TEST(GsmBearer, ANonZeroDefaultSpeedFollowsTheSerialSpeed) {
    const char* reply = "+CBST: (7,12,14),(0),(1)";
    struct row {
        int baud;
        const char* want;
    } rows[] = {{9600, "AT+CBST=12,0,1"}, {600, "AT+CBST=1,0,1"},   {300, "AT+CBST=1,0,1"},
                {4800, "AT+CBST=7,0,1"},  {19200, "AT+CBST=7,0,1"}, {115200, "AT+CBST=7,0,1"},
                {2400, "AT+CBST=7,0,1"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.baud);
        EXPECT_EQ(make_bearer(reply, r.baud), r.want);
    }
    EXPECT_EQ(make_bearer("+CBST: (7,1-16),(0),(1)", 57600), "AT+CBST=16,0,1");
    EXPECT_EQ(make_bearer("+CBST: (7,1-16),(0),(1)", 1200), "AT+CBST=3,0,1");
    EXPECT_EQ(make_bearer("+CBST: (7,2,4),(0),(1)", 1200), "AT+CBST=2,0,1");
    EXPECT_EQ(make_bearer("+CBST: (7,2,4),(0),(1)", 2400), "AT+CBST=4,0,1");
}

TEST(GsmCnmi, StoredMessagesAreAnnouncedAndTheRestIsOff) {
    // The first value is the mode that sends indications on (see gsm_faults_test).
    EXPECT_EQ(make_cnmi("+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)"), "2,1,0,0,0");
    EXPECT_EQ(make_cnmi("+CNMI: (2),(0,1,2),(0),(0),(0)"), "2,1,0,0,0");
    EXPECT_EQ(make_cnmi("+CNMI: (1,2),(1)"), "2,1");
    // The new-message mode cannot be 1: no setting.
    EXPECT_EQ(make_cnmi("+CNMI: (0-2),(0,2,3),(0),(0),(0)"), std::nullopt);
    EXPECT_EQ(make_cnmi("+CNMI: (0-2),(2-3),(0),(0),(0)"), std::nullopt);
    EXPECT_EQ(make_cnmi("OK"), std::nullopt);
}

TEST(GsmRawTrace, TheRawTraceSitsBesideTheDialogueLog) {
    EXPECT_EQ(gsm_raw_trace_name("gsm.log"), "gsm_raw.log");
    EXPECT_EQ(gsm_raw_trace_name("/var/log/gsm"), "/var/log/gsm_raw");
    EXPECT_EQ(gsm_raw_trace_name("/var/log.d/gsm"), "/var/log.d/gsm_raw");
    EXPECT_EQ(gsm_raw_trace_name("/var/log.d/com.trace.txt"), "/var/log.d/com.trace_raw.txt");
}

// ---- start-up ----

const std::vector<std::string> kTextStartup = {
    "AT",        "ATE0",          "ATS3?",     "ATS4?",           "AT+CMEE=?", "AT+CMEE=1",
    "AT+CBST=?", "AT+CBST=0,0,0", "AT+CPIN?",  "AT+CSMS=?",       "AT+CSMS=0", "AT+CSCS=?",
    "AT+CSCA?",  "AT+CMGF=?",     "AT+CMGF=1", "AT+CSCS=\"GSM\"", "AT+CNMI=?", "AT+CNMI=2,1,0,0,0",
    "AT+CSQ=?",  "AT+CSQ",        "AT+CREG?",  "AT+CSDH=?",       "AT+CSDH=1"};

TEST_F(GsmDriver, TextModeStartUpRunsTheWholeDialogue) {
    sms_data_gsm* g = start();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(modem.commands(), kTextStartup);
    EXPECT_FALSE(g->ispdu);
    EXPECT_EQ(std::string(g->msg_to(nullptr)), "+447700900999");
}

TEST_F(GsmDriver, PduModeStartUpSkipsTheTextSettings) {
    rec.mode |= MODE_PDU;
    sms_data_gsm* g = start();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(g->ispdu);
    EXPECT_EQ(modem.count("AT+CMGF=0"), 1);
    EXPECT_FALSE(modem.seen("AT+CMGF=1"));
    EXPECT_FALSE(modem.seen("AT+CSCS=\""));
    EXPECT_FALSE(modem.seen("AT+CSDH"));
    EXPECT_EQ(modem.commands().back(), "AT+CREG?");
}

TEST_F(GsmDriver, AModemEchoingUntilEchoIsTurnedOffStillStarts) {
    modem.set_echo(true);
    start();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(modem.commands(), kTextStartup);
}

TEST_F(GsmDriver, AModemThatIgnoresEchoOffFailsItsFirstQuery) {
    modem.set_echo(true, true);
    start();
    EXPECT_EQ(err, GSM_ERR_UNEXPECTED);  // the echo is read where the bearer list belongs
    EXPECT_FALSE(modem.seen("AT+CPIN?"));
}

TEST_F(GsmDriver, NoModemNumberIs518AndNothingIsWritten) {
    rec.localphone = "  ";
    sms_data_gsm* g = start();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(err, GSM_ERR_NUMBER);
    EXPECT_TRUE(modem.commands().empty());
    EXPECT_FALSE(g->reader_running);
    EXPECT_EQ(g->com->f, -1);
}

TEST_F(GsmDriver, APortThatCannotBeOpenedIs517) {
    rec.port = "/nonexistent/ttyGSM";
    ASSERT_NE(start(), nullptr);
    EXPECT_EQ(err, GSM_ERR_OPEN);
}

TEST_F(GsmDriver, EchoOffRefusedIs523) {
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c == "ATE0") return "\r\nERROR\r\n";
        return std::nullopt;
    });
    sms_data_gsm* g = start();
    EXPECT_EQ(err, GSM_ERR_ECHO);
    EXPECT_FALSE(modem.seen("ATS3?"));
    EXPECT_EQ(g->com->f, -1);
}

TEST_F(GsmDriver, WithoutCpinOkTheOkAfterReadyIsTakenAndTheDialogueStaysInStep) {
    rec.mode = MODE_ZERO;
    start();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(modem.commands(), kTextStartup);
}

TEST_F(GsmDriver, WithoutCpinOkAModemSendingNoOkAfterReadyStarts) {
    rec.mode = MODE_ZERO;
    modem.set_ok_after_cpin(false);
    start();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(modem.commands(), kTextStartup);
}

TEST_F(GsmDriver, TheSimStateDecidesWhichCodeIsSent) {
    struct row {
        const char* state;
        const char* pin;
        const char* pin2;
        const char* puk;
        const char* puk2;
        int code;
        const char* sent;  // null: no code is sent
    } rows[] = {
        {"SIM PIN", "1234", "", "", "", 0, "AT+CPIN=1234"},
        {"SIM PIN2", "1234", "5678", "", "", 0, "AT+CPIN2=5678"},
        {"SIM PUK", "1234", "", "87654321", "", 0, "AT+CPIN=87654321,1234"},
        {"SIM PUK2", "", "5678", "", "1111", 0, "AT+CPIN2=1111,5678"},
        {"SIM PIN", "", "5678", "", "", GSM_ERR_PIN, nullptr},
        {"SIM PIN2", "1234", "", "", "", GSM_ERR_PIN, nullptr},
        {"SIM PUK", "1234", "", "", "", GSM_ERR_PIN, nullptr},
        {"SIM PUK2", "", "5678", "", "", GSM_ERR_PIN, nullptr},
        {"PH-NET PIN", "1234", "", "", "", 0, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.state);
        test::FakeModem m;
        m.set_cpin(r.state);
        gsm_init x = rec;
        x.port = m.path();
        x.pin = r.pin;
        x.pin2 = r.pin2;
        x.puk = r.puk;
        x.puk2 = r.puk2;
        auto st = test::start_gsm(x);
        int code = st.code;
        EXPECT_EQ(code, r.code);
        bool any = m.seen("AT+CPIN=") || m.seen("AT+CPIN2=");
        if (r.sent) {
            EXPECT_EQ(m.count(r.sent), 1);
        } else {
            EXPECT_FALSE(any);
        }
        EXPECT_EQ(m.seen("AT+CSMS=?"), r.code == 0);
    }
}

TEST_F(GsmDriver, APinCheckErrorGetsThreeHundredAdded) {
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c == "AT+CPIN?") return "\r\n+CME ERROR: 11\r\n";
        return std::nullopt;
    });
    start();
    EXPECT_EQ(err, 312);
    std::string text;
    text = why;
    EXPECT_EQ(text, "[311] SIM PIN required: the modem answered AT+CPIN? with (+CME ERROR: 11)");
}

TEST_F(GsmDriver, APinCheckTheModemDoesNotKnowIsPassedOver) {
    for (const char* reply : {"\r\n+CME ERROR: 3\r\n", "\r\nERROR\r\n"}) {
        SCOPED_TRACE(reply);
        test::FakeModem m;
        std::string r = reply;
        m.on([r](const std::string& c) -> std::optional<std::string> {
            if (c == "AT+CPIN?") return r;
            return std::nullopt;
        });
        gsm_init x = rec;
        x.port = m.path();
        auto st = test::start_gsm(x);
        int code = st.code;
        // After an error line there is no OK to read, whatever cpin_ok says.
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(m.seen("AT+CSDH=1"));
    }
}

TEST_F(GsmDriver, MessageServiceQueriesAreRetriedUntilTheModemIsReady) {
    int fails = 2;
    modem.on([&fails](const std::string& c) -> std::optional<std::string> {
        if (c == "AT+CSMS=?" && fails-- > 0) return "\r\n+CMS ERROR: 302\r\n";
        return std::nullopt;
    });
    start();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(modem.count("AT+CSMS=?"), 3);
}

TEST_F(GsmDriver, CharacterSetsTheModemLacksAreNotAskedFor) {
    struct row {
        const char* dcs;
        int mode;
        const char* sent;
    } rows[] = {{"8859-1", MODE_8BIT, "AT+CSCS=\"8859-1\""},
                {"KOI8", MODE_8BIT, "AT+CSCS=\"GSM\""},
                {"", MODE_16BIT, "AT+CSCS=\"UCS2\""}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.dcs);
        test::FakeModem m;
        gsm_init x = rec;
        x.port = m.path();
        x.coding = sms_coding::latin1;  // other codings use the GSM set in text mode
        x.dcs = r.dcs;
        x.mode |= r.mode;
        auto st = test::start_gsm(x);
        int code = st.code;
        EXPECT_EQ(code, 0);
        EXPECT_EQ(m.count(r.sent), 1);
    }
}

TEST_F(GsmDriver, AServiceCentreIsSetWhenGiven) {
    rec.sca = "+447700000111";
    start();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(modem.count("AT+CSCA=+447700000111"), 1);
}

TEST_F(GsmDriver, AModemFallingSilentIsATimeOut) {
    rec.reply_ms = 300;
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c == "AT+CSCA?") return std::string();
        return std::nullopt;
    });
    sms_data_gsm* g = start();
    EXPECT_EQ(err, GSM_ERR_TIMEOUT);
    EXPECT_FALSE(modem.seen("AT+CMGF"));
    EXPECT_FALSE(g->reader_running);
}

TEST_F(GsmDriver, ErrorsOfSettingStepsEndTheStartUpWithTheirCode) {
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c == "AT+CNMI=2,1,0,0,0") return "\r\n+CMS ERROR: 303\r\n";
        return std::nullopt;
    });
    start();
    EXPECT_EQ(err, 304);
    EXPECT_FALSE(modem.seen("AT+CSQ"));
}

TEST_F(GsmDriver, TheDialogueLogAndRawTraceAreWritten) {
    fs::path dir = fs::temp_directory_path() / ("tv_gsmdbg_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    rec.debug_file = (dir / "gsm.log").string();
    ready();
    state.reset();
    std::ifstream in(dir / "gsm.log");
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_NE(ss.str().find(" WRITE[AT+CNMI=2,1,0,0,0]\n"), std::string::npos);
    EXPECT_NE(ss.str().find(" READ4[+CSQ: 20,99]\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "gsm_raw.log"));
    EXPECT_GT(fs::file_size(dir / "gsm_raw.log"), 0u);
    fs::remove_all(dir);
}

// ---- sending ----

TEST_F(GsmDriver, TextModeSendWritesTheNumberThenTheText) {
    sms_data_gsm* g = ready();
    EXPECT_EQ(g->send_text("a@b.c", "+447700900123", "hello there"), 0);
    EXPECT_EQ(later(), std::vector<std::string>{"AT+CMGS=\"+447700900123\""});
    EXPECT_EQ(modem.bodies(), std::vector<std::string>{"hello there"});
}

TEST_F(GsmDriver, ATextModeMessageIsCutTo140CharactersInLatin1) {
    rec.coding = sms_coding::latin1;  // today's bytes; other codings send parts
    sms_data_gsm* g = ready();
    std::string text;
    for (int i = 0; i < 160; ++i) text += static_cast<char>('a' + i % 26);
    EXPECT_EQ(g->send_text("", "12345", text), 0);
    ASSERT_EQ(modem.bodies().size(), 1u);
    EXPECT_EQ(modem.bodies()[0], text.substr(0, 140));
}

TEST_F(GsmDriver, ARefusalAfterTheTextGivesTheModemsCode) {
    sms_data_gsm* g = ready();
    modem.set_cmgs_reply("\r\n+CMS ERROR: 38\r\n");
    int code = g->send_text("", "12345", "hi");
    EXPECT_EQ(code, 39);
    std::string text;
    g->error(code, text);
    EXPECT_EQ(text, "[38] Reserved");
    // The link is still in step: the next send works.
    modem.set_cmgs_reply("");
    EXPECT_EQ(g->send_text("", "12345", "again"), 0);
}

TEST_F(GsmDriver, AnErrorInsteadOfThePromptIsReportedWithoutWaiting) {
    rec.reply_ms = 20000;
    sms_data_gsm* g = ready();
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c.starts_with("AT+CMGS=")) return "\r\n+CMS ERROR: 330\r\n";
        return std::nullopt;
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(g->send_text("", "12345", "hi"), 331);
    EXPECT_TRUE(modem.bodies().empty());
    // Not a speed check: waiting out the reply time would take the full 20 s.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
}

TEST_F(GsmDriver, APromptThatNeverComesIsATimeOut) {
    rec.reply_ms = 300;
    sms_data_gsm* g = ready();
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c.starts_with("AT+CMGS=")) return "\r\n";
        return std::nullopt;
    });
    EXPECT_EQ(g->send_text("", "12345", "hi"), GSM_ERR_TIMEOUT);
    EXPECT_TRUE(modem.bodies().empty());
}

TEST_F(GsmDriver, AReplyComingAfterItsTimeOutIsNotTakenByTheNextSend) {
    rec.reply_ms = 300;
    sms_data_gsm* g = ready();
    modem.set_cmgs_reply(" ");  // no whole line: the reply to the text times out
    EXPECT_EQ(g->send_text("", "12345", "first"), GSM_ERR_TIMEOUT);
    modem.inject("\r\n+CMGS: 9\r\n\r\nOK\r\n");  // the late completion
    for (int i = 0; i < 1000; ++i) {
        MutexHold hold(g->lock_buffer.get());
        if (g->buffer.ends_with("OK\r\n")) break;
        hold.release();
        lib_msleep(10);
    }
    modem.set_cmgs_reply("");
    EXPECT_EQ(g->send_text("", "12345", "second"), 0);
    EXPECT_EQ(modem.bodies(), (std::vector<std::string>{"first", "second"}));
}

TEST_F(GsmDriver, ADestinationThatWouldBreakTheCommandIsRefused) {
    sms_data_gsm* g = ready();
    for (const char* to : {"123\"\rAT+CPIN=0000", "", "12\n34"}) {
        SCOPED_TRACE(to);
        EXPECT_EQ(g->send_text("", to, "hi"), GSM_ERR_UNEXPECTED);
    }
    EXPECT_TRUE(later().empty());
}

TEST_F(GsmDriver, AWeakSignalIsWaitedOut) {
    rec.min_signal = 10;
    rec.signal_timeout = 0;
    modem.set_signal({20, 5, 5, 12});  // the first is the start-up's own query
    sms_data_gsm* g = ready();
    EXPECT_EQ(g->send_text("", "12345", "hi"), 0);
    EXPECT_EQ(later(),
              (std::vector<std::string>{"AT+CSQ", "AT+CSQ", "AT+CSQ", "AT+CMGS=\"12345\""}));
}

TEST_F(GsmDriver, ASignalThatStaysWeakSendsNothingAndSaysSo) {
    rec.min_signal = 10;
    rec.signal_timeout = 2;
    modem.set_signal({20, 5, 99});  // 99: the modem does not know
    sms_data_gsm* g = ready();
    EXPECT_EQ(g->send_text("", "12345", "hi"), GSM_ERR_SIGNAL);
    EXPECT_EQ(later(), (std::vector<std::string>{"AT+CSQ", "AT+CSQ"}));
    EXPECT_TRUE(modem.bodies().empty());
}

TEST_F(GsmDriver, ConcurrentSendsTakeTurnsOnTheLine) {
    sms_data_gsm* g = ready();
    modem.set_byte_delay_ms(1);
    std::vector<std::thread> ts;
    std::atomic<int> failures{0};
    for (int i = 0; i < 4; ++i) {
        ts.emplace_back([&, i] {
            std::string text = "message number " + std::to_string(i);
            if (g->send_text("", "1234" + std::to_string(i), text) != 0) ++failures;
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(failures, 0);
    auto bodies = modem.bodies();
    std::sort(bodies.begin(), bodies.end());
    EXPECT_EQ(bodies, (std::vector<std::string>{"message number 0", "message number 1",
                                                "message number 2", "message number 3"}));
}

TEST_F(GsmDriver, AfterAHangUpSendsFailAtOnce) {
    rec.reply_ms = 20000;
    sms_data_gsm* g = ready();
    modem.hang_up();
    for (int i = 0; i < 500 && g->reader_running; ++i) lib_msleep(10);
    int code = g->send_text("", "12345", "hi");
    // The device is gone: the send does not even try.
    EXPECT_EQ(code, GSM_ERR_AWAY);
    EXPECT_FALSE(modem.seen("AT+CMGS"));
}

TEST_F(GsmDriver, TheTransportStartsAndSendsThroughItsInterface) {
    ASSERT_TRUE(SMS_GSM_BUILT);
    Result<std::unique_ptr<SmsTransport>> r = sms_gsm_init(rec);
    ASSERT_TRUE(r.ok()) << r.reason();
    std::unique_ptr<SmsTransport> s = std::move(*r);
    EXPECT_EQ(s->mode(), SMS_GSM);
    EXPECT_TRUE(s->can_receive());
    SendResult sent = s->send({.from = "x@y", .to = "+15551234", .text = "via the class"});
    ASSERT_TRUE(sent.ok()) << sent.reason();
    EXPECT_EQ(sent->parts, 1);
    EXPECT_EQ(modem.bodies(), std::vector<std::string>{"via the class"});
}

}  // namespace
}  // namespace tolvane
