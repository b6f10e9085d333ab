// The robot transport against small shell programs written by each test.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "sms/lib_spawn.h"
#include "sms/sms_robot.h"
#include "sms/sms_xml.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

class RobotTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tv_robot_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        state_.reset();
        // Reap what the sends left behind before the folder goes.
        for (int i = 0; i < 200 && spawn_pending() > 0; ++i) {
            spawn_release(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        fs::remove_all(dir_);
    }

    // Writes an executable /bin/sh program with the given body; returns its path.
    std::string program(const std::string& name, const std::string& body) {
        fs::path p = dir_ / name;
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(p, fs::perms::owner_all);
        return p.string();
    }

    void open(const std::string& cmdline, long answer_ms = 2000,
              sms_coding coding = sms_coding::automatic, int max_parts = 10) {
        robot_init rec;
        rec.cmdline = cmdline;
        rec.answer_ms = answer_ms;
        rec.coding = coding;
        rec.max_parts = max_parts;
        state_ = sms_robot_init(rec);
        ASSERT_TRUE(state_);
    }

    // The send's code (0 when sent); its failure is kept for error() and kind().
    int send(std::string_view text, std::string_view from = "+61400000001",
             std::string_view to = "+61400000002") {
        SendResult r = state_->send({.from = from, .to = to, .text = text});
        std::lock_guard<std::mutex> g(last_lock_);
        if (r) {
            last_ = SendError{};
            return 0;
        }
        last_ = r.error();
        return r.error().code;
    }

    // The text of the last failed send, when its code was code.
    std::string error(int code) {
        std::lock_guard<std::mutex> g(last_lock_);
        return last_.code == code ? last_.reason : "(last code " + std::to_string(last_.code) + ")";
    }
    SendFailure kind() {
        std::lock_guard<std::mutex> g(last_lock_);
        return last_.kind;
    }

    std::string slurp(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::string d() const { return dir_.string(); }

    fs::path dir_;
    std::unique_ptr<SmsTransport> state_;
    std::mutex last_lock_;
    SendError last_;  // guarded by last_lock_
};

TEST_F(RobotTest, UpOnlyWhileItsProgramCanBeRun) {
    const std::string p = program("send.sh", "echo SUCCESS");
    struct Case {
        const char* what;
        std::string cmdline;
        bool up;
    };
    const std::vector<Case> cases = {
        {"program with arguments", p + " --fast x", true},
        {"missing program", d() + "/none.sh", false},
        {"empty command line", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        open(c.cmdline);
        EXPECT_EQ(state_->up(), c.up);
        EXPECT_EQ(state_->state_text().find("cannot be run") == std::string::npos, c.up)
            << state_->state_text();
    }
    open(p + " --fast");
    EXPECT_EQ(state_->state_text(), "command " + p);
    fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(state_->up());
    EXPECT_EQ(state_->state_text(), "command " + p + " cannot be run");
    fs::permissions(p, fs::perms::owner_all);
    EXPECT_TRUE(state_->up());
}

TEST_F(RobotTest, SuccessInSmallLettersCountsAsSent) {
    open(program("ok.sh",
                 "head -c \"$SMS_LENGTH\" > " + d() +
                     "/text\nprintf '%s|%s|%s' \"$SMS_LENGTH\" \"$SMS_FROM\" \"$SMS_TO\" > " + d() +
                     "/env\necho 'success, queued as 7'"));
    EXPECT_EQ(send("hello robot", "+61411111111", "0412345678"), 0);
    EXPECT_EQ(slurp("text"), "hello robot");
    EXPECT_EQ(slurp("env"), "11|+61411111111|0412345678");
}

TEST_F(RobotTest, AnswerOtherThanSuccessIsTheErrorText) {
    open(program("ok.sh", "head -c \"$SMS_LENGTH\" >/dev/null\necho OK"));
    EXPECT_EQ(send("text"), 5);
    EXPECT_EQ(error(5), "OK");
}

TEST_F(RobotTest, CarriageReturnBeforeLineEndIsDropped) {
    open(program("crlf.sh", "printf 'Rejected: no credit\\r\\nmore\\n'"));
    EXPECT_EQ(send("x"), 5);
    EXPECT_EQ(error(5), "Rejected: no credit");
    open(program("crlf_ok.sh", "printf 'SUCCESS\\r\\n'"));
    EXPECT_EQ(send("x"), 0);
}

TEST_F(RobotTest, SuccessMustBeAtTheStartOfTheLine) {
    open(program("late.sh", "echo 'NOT SUCCESS'"));
    EXPECT_EQ(send("x"), 5);
    EXPECT_EQ(error(5), "NOT SUCCESS");
}

TEST_F(RobotTest, SilenceEndsWithReadFailureAndTheProgramIsEnded) {
    open(program("silent.sh", "echo $$ > " + d() + "/pid\nexec sleep 30"), 300);
    EXPECT_EQ(send("hello"), 3);
    EXPECT_EQ(error(3), "Failed to read from process (no answer within 300 ms)");
    int pid = std::atoi(slurp("pid").c_str());
    ASSERT_GT(pid, 0);
    // The hung program was told to stop; once reaped it no longer exists.
    bool gone = false;
    for (int i = 0; i < 300 && !gone; ++i) {
        spawn_release(0);
        gone = ::kill(pid, 0) != 0;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
}

// A shutdown's cut ends a program still running (its children too: the script's sleep
// holds the answer pipe) and its send returns SMS_SEND_CUT; one deaf to SIGTERM needs the
// hard cut. A send started after the cut runs nothing.
TEST_F(RobotTest, CutEndsTheProgramAndItsSendReturnsCut) {
    struct Case {
        const char* name;
        const char* body;
        bool needs_hard;
    };
    const Case cases[] = {
        {"ends on SIGTERM", "touch $0.started\nsleep 30\necho SUCCESS", false},
        {"deaf to SIGTERM", "trap '' TERM\ntouch $0.started\nsleep 30\necho SUCCESS", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string prog = program("slow" + std::to_string(n++) + ".sh", c.body);
        open(prog, 60000);
        std::atomic<int> got{1};
        std::thread sender([&] { got = send("hello"); });
        for (int i = 0; i < 2000 && !fs::exists(prog + ".started"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(fs::exists(prog + ".started"));
        state_->cut_sends(false);
        if (c.needs_hard) {
            // Still waiting: SIGTERM was ignored (the program would answer in 30 s).
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(got.load(), 1);
            state_->cut_sends(true);
        }
        sender.join();
        EXPECT_EQ(got.load(), SMS_SEND_CUT);
        EXPECT_EQ(kind(), SendFailure::cut);
        EXPECT_EQ(error(SMS_SEND_CUT), "Send cut short by the shutdown");
        EXPECT_EQ(send("after the cut"), SMS_SEND_CUT);
        EXPECT_EQ(kind(), SendFailure::cut);
    }
}

TEST_F(RobotTest, ProgramReadingToTheEndOfItsInputGetsTheWholeText) {
    // The input is closed behind the text, so text=$(cat) ends and the answer comes.
    open(program("cat.sh", "text=$(cat)\nprintf '%s' \"$text\" > " + d() + "/got\necho SUCCESS"),
         2000);
    std::string text =
        "\xE2\x82\xAC [ ] ~ ^ { } | \\ Gr\xC3\xBC\xC3\x9F"
        "e \xF0\x9F\x98\x80";
    EXPECT_EQ(send(text), 0);
    EXPECT_EQ(slurp("got"), text);
}

TEST_F(RobotTest, CodingPartsAndLengthAreInTheEnvironment) {
    struct row {
        const char* name;
        std::string text;
        sms_coding coding;
        int max_parts;
        const char* want_env;   // SMS_CODING SMS_PARTS SMS_LENGTH
        std::string want_text;  // bytes the program read
    } rows[] = {
        {"plain", "hello", sms_coding::automatic, 10, "gsm 1 5", "hello"},
        {"euro is GSM, three bytes", "\xE2\x82\xAC", sms_coding::automatic, 10, "gsm 1 3",
         "\xE2\x82\xAC"},
        {"two GSM parts", std::string(200, 'a'), sms_coding::automatic, 10, "gsm 2 200",
         std::string(200, 'a')},
        {"cyrillic is UCS-2", "\xD0\x9F\xD1\x80\xD0\xB8", sms_coding::automatic, 10, "ucs2 1 6",
         "\xD0\x9F\xD1\x80\xD0\xB8"},
        {"cut at the part limit", std::string(2000, 'b'), sms_coding::automatic, 2, "gsm 2 306",
         std::string(306, 'b')},
        {"latin1 bytes",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC\xD0\x9F",
         sms_coding::latin1, 10, "latin1 1 8",
         "Gr\xFC\xDF"
         "e \x80?"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        open(program("env.sh", "echo \"$SMS_CODING $SMS_PARTS $SMS_LENGTH\" > " + d() +
                                   "/env\ncat > " + d() + "/got\necho SUCCESS"),
             2000, r.coding, r.max_parts);
        EXPECT_EQ(send(r.text), 0);
        EXPECT_EQ(slurp("env"), std::string(r.want_env) + "\n");
        EXPECT_EQ(slurp("got"), r.want_text);
    }
}

TEST_F(RobotTest, NoAnswerAndExitIsReadFailure) {
    open(program("quiet.sh", "exit 0"));
    EXPECT_EQ(send(""), 3);
    EXPECT_EQ(error(3), "Failed to read from process (the program ended without an answer)");
}

TEST_F(RobotTest, MissingProgramCannotBeSpawned) {
    open(d() + "/no-such-program arg");
    EXPECT_EQ(send("hello"), 2);
    EXPECT_EQ(error(2), "Failed to spawn process (No such file or directory)");
}

TEST_F(RobotTest, ProgramIsNotSearchedInThePathList) {
    open("sh -c 'echo SUCCESS'");
    EXPECT_EQ(send("hello"), 2);
}

TEST_F(RobotTest, EmptyCommandLineCannotBeSpawned) {
    open("   ");
    EXPECT_EQ(send("hello"), 2);
}

TEST_F(RobotTest, EmptyTextGivesLengthZeroAndWritesNothing) {
    // read with a time limit: anything written would be caught in "got".
    open(program("empty.sh", "echo \"$SMS_LENGTH\" > " + d() + "/len\ntimeout 0.2 cat > " + d() +
                                 "/got\necho SUCCESS"));
    EXPECT_EQ(send(""), 0);
    EXPECT_EQ(slurp("len"), "0\n");
    EXPECT_EQ(slurp("got"), "");
}

TEST_F(RobotTest, ProgramThatDiesBeforeReadingDoesNotEndTheGateway) {
    // A text larger than a pipe holds makes the write meet the dead reader.
    // Latin-1 texts are not cut at a part limit, so this one is larger than a pipe.
    open(program("dies.sh", "exec 0<&-\nexit 3"), 2000, sms_coding::latin1);
    std::string big(256 * 1024, 'x');
    EXPECT_EQ(send(big), 4);
    EXPECT_EQ(error(4), "Failed to write to process (Broken pipe)");
}

TEST_F(RobotTest, AnswerGivenWithoutReadingTheTextStillDecides) {
    open(program("env_only.sh", "echo SUCCESS"), 2000, sms_coding::latin1);
    std::string big(256 * 1024, 'x');
    EXPECT_EQ(send(big), 0);
    open(program("env_only_no.sh", "echo 'NO ROUTE'"), 2000, sms_coding::latin1);
    EXPECT_EQ(send(big), 5);
    EXPECT_EQ(error(5), "NO ROUTE");
}

TEST_F(RobotTest, ArgumentsAreSplitWithQuotesKept) {
    open(program("args.sh",
                 "for a in \"$@\"; do echo \"[$a]\"; done > " + d() + "/args\necho SUCCESS") +
         " one \"two words\"\tthree\r\n");
    EXPECT_EQ(send("x"), 0);
    EXPECT_EQ(slurp("args"), "[one]\n[two words]\n[three]\n");
}

TEST_F(RobotTest, InheritedAddressVariablesAreReplaced) {
    ::setenv("SMS_TO", "stale", 1);
    open(program("to.sh", "env | grep -c '^SMS_TO=' > " + d() + "/count\necho \"$SMS_TO\" > " +
                              d() + "/to\necho SUCCESS"));
    ::unsetenv("SMS_TO");
    EXPECT_EQ(send("x", "a", "fresh"), 0);
    EXPECT_EQ(slurp("count"), "1\n");
    EXPECT_EQ(slurp("to"), "fresh\n");
}

TEST_F(RobotTest, ConcurrentSendsUseTheirOwnChildAndEnvironment) {
    open(program("each.sh",
                 "head -c \"$SMS_LENGTH\" > " + d() + "/\"$SMS_TO\"\nsleep 0.05\necho SUCCESS"));
    std::vector<std::thread> th;
    std::vector<int> codes(6, -1);
    for (int i = 0; i < 6; ++i) {
        th.emplace_back([&, i] {
            codes[i] = send("text number " + std::to_string(i), "f", "to" + std::to_string(i));
        });
    }
    for (auto& t : th) t.join();
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(codes[i], 0);
        EXPECT_EQ(slurp("to" + std::to_string(i)), "text number " + std::to_string(i));
    }
}

TEST_F(RobotTest, ChildrenAreReaped) {
    open(program("fast.sh", "echo SUCCESS"));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(send("x"), 0);
    for (int i = 0; i < 300 && spawn_pending() > 0; ++i) {
        spawn_release(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(spawn_pending(), 0u);
}

TEST_F(RobotTest, DefaultAnswerLimitIsTwentySeconds) {
    robot_init rec;
    rec.cmdline = "/bin/true";
    state_ = sms_robot_init(rec);
    EXPECT_EQ(sms_robot_answer_ms(state_.get()), 20000);
    rec.answer_ms = 0;  // not given
    auto unset = sms_robot_init(rec);
    EXPECT_EQ(sms_robot_answer_ms(unset.get()), 20000);
    auto xml = sms_xml_init();
    EXPECT_EQ(sms_robot_answer_ms(xml.get()), 0);  // another kind of transport
}

TEST_F(RobotTest, AProgramFailureIsAFailedSendNeverTemporary) {
    struct Case {
        const char* what;
        std::string cmdline;
        int code;
    };
    const std::vector<Case> cases = {
        {"refused", program("no.sh", "echo NO ROUTE"), 5},
        // Reads its input before it ends: a program that ended first would make the write
        // of the text fail (4) instead, whenever it won the race.
        {"silent", program("quiet.sh", "cat >/dev/null; exit 0"), 3},
        {"missing", d() + "/none.sh", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        open(c.cmdline, 2000);
        EXPECT_EQ(send("x"), c.code);
        EXPECT_EQ(kind(), SendFailure::failed);
    }
}

TEST_F(RobotTest, ItReceivesNothing) {
    open("/bin/true");
    EXPECT_FALSE(state_->can_receive());
    struct Sink : InboundSink {
        InboundVerdict received(SmsTransport&, InboundSms) override { return {}; }
    } sink;
    std::stop_source never;
    // Refused at once, not a receiver that waits.
    Status s = state_->receive(sink, never.get_token());
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.reason().find("receives no SMS"), std::string::npos) << s.reason();
}

TEST_F(RobotTest, TheProgramComingAndGoingIsToldAsItHappens) {
    const std::string path = (dir_ / "later.sh").string();
    open(path);
    ASSERT_TRUE(state_->tells_state());
    EXPECT_FALSE(state_->up());
    std::mutex m;
    std::condition_variable cv;
    int told = 0;
    state_->set_state_watcher([&] {
        std::lock_guard<std::mutex> g(m);
        ++told;
        cv.notify_all();
    });
    // Each step: what happens to the program, whether the robot is up after it, and
    // whether that is a change (a change is told; anything else is not).
    struct step {
        const char* name;
        std::function<void()> act;
        bool up;
        bool change;
    };
    const step steps[] = {
        {"written without execute", [&] { std::ofstream(path) << "#!/bin/sh\necho OK\n"; }, false,
         false},
        {"made executable", [&] { fs::permissions(path, fs::perms::owner_all); }, true, true},
        {"rewritten", [&] { std::ofstream(path) << "#!/bin/sh\necho OK\n"; }, true, false},
        {"execute taken away",
         [&] { fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write); }, false,
         true},
        {"executable again", [&] { fs::permissions(path, fs::perms::owner_all); }, true, true},
        {"removed", [&] { fs::remove(path); }, false, true},
    };
    int expected = 0;
    for (const auto& st : steps) {
        SCOPED_TRACE(st.name);
        st.act();
        if (st.change) ++expected;
        std::unique_lock<std::mutex> lk(m);
        if (st.change) {
            EXPECT_TRUE(
                cv.wait_for(lk, std::chrono::seconds(10), [&] { return told == expected; }));
        }
        EXPECT_EQ(state_->up(), st.up);
        EXPECT_EQ(told, expected);
    }
    // (A no-change step told late would show in the next step's count.)
    state_->set_state_watcher(nullptr);
}

TEST(XmlTransport, SendsNothingAndReportsSuccessAndReceivesUntilStopped) {
    auto st = sms_xml_init();
    ASSERT_TRUE(st);
    SendResult r = st->send({.from = "a", .to = "b", .text = "text"});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->message_id, "");
    struct Sink : InboundSink {
        std::atomic<int> n{0};
        InboundVerdict received(SmsTransport&, InboundSms) override {
            ++n;
            return {};
        }
    } sink;
    std::atomic<bool> done{false};
    std::jthread rx([&](std::stop_token stop) {
        EXPECT_TRUE(st->receive(sink, stop).ok());
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());  // it waits for its stop
    rx.request_stop();
    rx.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(sink.n.load(), 0);
}

}  // namespace
}  // namespace tolvane
