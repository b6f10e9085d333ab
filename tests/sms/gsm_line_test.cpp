// The modem line layer over a pseudo-terminal: how lines and raw bytes are taken
// out of the input buffer, what is set aside for the indication wait, reply
// classification, and the transport's error texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/lib.h"
#include "sms/gsm_support.h"
#include "sms/sms_gsm.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {
namespace {

using test::FakeModem;

class GsmLine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(modem_.path().empty());
        g_.lock_com = th_mutex_new("USING_GSM_MODEM");
        g_.lock_buffer = th_mutex_new("USING_READ_BUFFER");
        g_.com = com_new();
        ASSERT_TRUE(com_open(g_.com.get(), modem_.path(), 9600));
        g_.reply_ms = 5000;
        gsm_reader_start(&g_);
    }
    void TearDown() override { gsm_reader_stop(&g_); }

    // Waits until the reader has put n bytes or more in the buffer.
    bool buffered(std::size_t n) {
        for (int i = 0; i < 1000; ++i) {
            {
                MutexHold hold(g_.lock_buffer.get());
                if (g_.buffer.size() >= n) return true;
            }
            lib_msleep(10);
        }
        return false;
    }
    std::string buffer() {
        MutexHold hold(g_.lock_buffer.get());
        return g_.buffer;
    }
    std::string line(int type, long timeout = 5000) {
        std::string bf;
        err_ = 0;
        last_ = gsm_read_line(&g_, err_, type, timeout, bf);
        return bf;
    }

    FakeModem modem_;
    sms_data_gsm g_;
    int err_ = 0;
    int last_ = 0;
};

TEST_F(GsmLine, ALineIsTakenWithoutItsLineEnd) {
    modem_.inject("+CSQ: 17,99\r\nOK\r\n");
    EXPECT_EQ(line(GRL_SKIP_BLANK), "+CSQ: 17,99");
    EXPECT_EQ(last_, 11);
    EXPECT_EQ(line(GRL_SKIP_BLANK), "OK");
    EXPECT_EQ(buffer(), "");
}

TEST_F(GsmLine, BlankLinesAreDroppedOnlyWhenAsked) {
    modem_.inject("\r\n\r\nOK\r\n");
    ASSERT_TRUE(buffered(8));
    EXPECT_EQ(line(0), "");
    EXPECT_EQ(last_, 0);  // a blank line, not a time-out
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(line(GRL_SKIP_BLANK), "OK");
}

TEST_F(GsmLine, SysstartIsPassedOverAndStaysInTheBuffer) {
    modem_.inject("^SYSSTART\r\nOK\r\n");
    EXPECT_EQ(line(GRL_SKIP_BLANK), "OK");
    EXPECT_EQ(buffer(), "^SYSSTART\r\n");
}

TEST_F(GsmLine, AnIndicationDuringADialogueWaitsForTheIncomingRead) {
    modem_.inject("\r\n+CMTI: \"SM\",3\r\n\r\n+CMGS: 7\r\n\r\nOK\r\n");
    EXPECT_EQ(line(GRL_SKIP_BLANK), "+CMGS: 7");
    EXPECT_EQ(line(GRL_SKIP_BLANK), "OK");
    EXPECT_EQ(buffer(), "+CMTI: \"SM\",3\r\n");
    EXPECT_EQ(line(GRL_INCOMING | GRL_SKIP_BLANK), "+CMTI: \"SM\",3");
    EXPECT_EQ(buffer(), "");
}

TEST_F(GsmLine, ATimeOutSets519AndKeepsWhatCame) {
    modem_.inject("+CMGS: 1");  // no line end yet
    ASSERT_TRUE(buffered(8));
    EXPECT_EQ(line(GRL_SKIP_BLANK, 200), "");
    EXPECT_EQ(last_, -1);
    EXPECT_EQ(err_, GSM_ERR_TIMEOUT);
    EXPECT_EQ(buffer(), "+CMGS: 1");
    modem_.inject("\r\n");
    EXPECT_EQ(line(GRL_SKIP_BLANK), "+CMGS: 1");
}

TEST_F(GsmLine, AnIncomingReadTimesOutSilently) {
    EXPECT_EQ(line(GRL_INCOMING | GRL_SKIP_BLANK, 150), "");
    EXPECT_EQ(last_, -1);
    EXPECT_EQ(err_, 0);
}

TEST_F(GsmLine, AnIncomingReadLeavesAReplyLineAloneUnlessToldToDropIt) {
    modem_.inject("OK\r\n+CMTI: \"ME\",9\r\n");
    ASSERT_TRUE(buffered(19));
    EXPECT_EQ(line(GRL_INCOMING | GRL_SKIP_BLANK, 150), "");
    EXPECT_EQ(buffer(), "OK\r\n+CMTI: \"ME\",9\r\n");
    EXPECT_EQ(line(GRL_INCOMING | GRL_SKIP_BLANK | GRL_DISCARD), "+CMTI: \"ME\",9");
    EXPECT_EQ(buffer(), "");
}

TEST_F(GsmLine, ARingIsHungUpAndACallerIdIgnored) {
    modem_.inject("RING\r\n+CLIP: \"+4477\",145\r\n+CMTI: \"SM\",4\r\n");
    EXPECT_EQ(line(GRL_INCOMING | GRL_SKIP_BLANK), "+CMTI: \"SM\",4");
    EXPECT_EQ(modem_.count("ATH0"), 1);
}

TEST_F(GsmLine, RawReadsWaitForExactlyTheBytesAskedFor) {
    modem_.set_byte_delay_ms(5);
    modem_.inject("0791447700000000F0\r\n");
    std::string bf;
    int err = 0;
    EXPECT_EQ(gsm_read_raw(&g_, err, GRL_RAW | GRL_SKIP_BLANK, 5000, bf, 2), 2);
    EXPECT_EQ(bf, "07");
    EXPECT_EQ(gsm_read_raw(&g_, err, GRL_RAW | GRL_SKIP_BLANK, 5000, bf, 16), 16);
    EXPECT_EQ(bf, "91447700000000F0");
    EXPECT_EQ(err, 0);
}

TEST_F(GsmLine, APromptIsTakenAndAnErrorInsteadOfItIsHandedOver) {
    modem_.inject("> ");
    std::string bf;
    int err = 0;
    EXPECT_EQ(gsm_read_raw(&g_, err, GRL_RAW | GRL_EXPECT_GT, 5000, bf, 2), 2);
    EXPECT_EQ(bf, "> ");
    modem_.inject("+CMS ERROR: 304\r\n");
    EXPECT_GT(gsm_read_raw(&g_, err, GRL_RAW | GRL_EXPECT_GT, 5000, bf, 2), 0);
    EXPECT_EQ(bf, "+CMS ERROR: 304\r\n");
}

TEST_F(GsmLine, ALongLineIsCutButRemovedWhole) {
    modem_.inject(std::string(3000, 'x') + "\r\nOK\r\n");
    EXPECT_EQ(line(GRL_SKIP_BLANK), std::string(GSM_LINE_MAX, 'x'));
    EXPECT_EQ(line(GRL_SKIP_BLANK), "OK");
}

TEST_F(GsmLine, AHungUpLineEndsTheReaderAndReadsFailAtOnce) {
    modem_.hang_up();
    for (int i = 0; i < 500 && g_.reader_running; ++i) lib_msleep(10);
    EXPECT_FALSE(g_.reader_running);
    EXPECT_EQ(line(GRL_SKIP_BLANK, 60000), "");
    EXPECT_EQ(err_, GSM_ERR_TIMEOUT);
}

TEST_F(GsmLine, WritesGoOutWholeAndAreLogged) {
    std::filesystem::path log =
        std::filesystem::temp_directory_path() / ("tv_gsmlog_" + std::to_string(::getpid()));
    std::filesystem::remove(log);
    auto opened = trace_open(log.string());
    ASSERT_TRUE(opened) << opened.reason();
    g_.flog = *opened;
    int err = 0;
    EXPECT_EQ(gsm_write(&g_, err, "AT+CSDH=%d%s", 1, g_.w_endl.c_str()), 1);
    EXPECT_TRUE(modem_.wait_command("AT+CSDH=1"));
    EXPECT_EQ(line(GRL_SKIP_BLANK), "OK");
    g_.flog.reset();
    std::ifstream in(log);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_NE(ss.str().find(" WRITE[AT+CSDH=1]\n"), std::string::npos) << ss.str();
    EXPECT_NE(ss.str().find(" READ4[OK]\n"), std::string::npos) << ss.str();
    std::filesystem::remove(log);
}

TEST_F(GsmLine, LateLinesAreDroppedBeforeADialogueButIndicationsKept) {
    const std::string in = "OK\r\n+CMTI: \"SM\",2\r\n\r\n+CMGS: 4\r\nRING\r\n+CS";
    modem_.inject(in);
    ASSERT_TRUE(buffered(in.size()));
    gsm_drop_stale(&g_);
    EXPECT_EQ(buffer(), "+CMTI: \"SM\",2\r\nRING\r\n+CS");
}

TEST_F(GsmLine, AWriteToAClosedPortIs520) {
    com_close(g_.com.get());
    int err = 0;
    EXPECT_EQ(gsm_write(&g_, err, "AT%s", "\r"), 0);
    EXPECT_EQ(err, GSM_ERR_WRITE);
    err = 0;
    EXPECT_EQ(gsm_write_raw(&g_, err, "abc"), 0);
    EXPECT_EQ(err, GSM_ERR_WRITE);
}

TEST(GsmClassify, ErrorRepliesGiveTheirCodes) {
    struct row {
        const char* line;
        int is_error;
        int code;
        int cme;
    } rows[] = {
        {"+CMS ERROR: 500", 1, 501, 0},
        {"+CME ERROR: 10", 1, 11, 1},
        {"+CMS ERROR:0", 1, 1, 0},
        {"ERROR", 1, 521, 0},
        {"OK", 0, 0, 0},
        {"ERRORS", 0, 0, 0},
        {"+CMGS: 4", 0, 0, 0},
        {"", 0, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.line);
        int code = 77;
        int cme = 77;
        EXPECT_EQ(gsm_iserrorx(r.line, code, cme), r.is_error);
        EXPECT_EQ(code, r.code);
        EXPECT_EQ(cme, r.cme);
    }
}

TEST(GsmErrorText, CodesGiveTheModemsTexts) {
    struct row {
        int code;
        const char* text;
    } rows[] = {
        {0, ""},
        {1, "[0] unspecified GSM radio link layer error"},
        {19, "[18] message type non-existent or not implemented "},
        {42, "[41] Reserved"},
        {230, "[229] Values specific to an aplication"},
        {256, "[255] Unspecified error cause"},
        {312, "[311] SIM PIN required"},
        {322, "[321] invalid memory index"},
        {501, "[500] unknown error"},
        {512, "[511] Reserved"},
        {513, "[512] Manufacturer specific"},
        {-5, "[-6] Manufacturer specific"},
        {524,
         "Error authenticating with phone, pin required. Check tolvane.log for ERROR noting "
         "setting required."},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.code);
        std::string bf = "junk";
        sms_data_gsm().error(r.code, bf);
        EXPECT_EQ(bf, r.text);
    }
}

TEST(GsmErrorText, DriverCodesCarryTheSystemText) {
    struct row {
        int code;
        const char* start;
    } rows[] = {{517, "Error opening. OSError("},
                {518, "Error setting up. OSError("},
                {519, "Error reading. OSError("},
                {520, "Error writing. OSError("},
                {521, "Error without error code. OSError("},
                {522, "Error unexpected line. OSError("},
                {523, "Error with ATEO (Echo). OSError("}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.code);
        std::string bf;
        sms_data_gsm().error(r.code, bf);
        EXPECT_TRUE(bf.starts_with(r.start)) << bf;
        EXPECT_TRUE(bf.ends_with(")")) << bf;
    }
    std::string bf;
    sms_data_gsm().error(GSM_ERR_SIGNAL, bf);
    EXPECT_FALSE(bf.empty());
}

}  // namespace
}  // namespace tolvane
