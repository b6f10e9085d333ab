// The modem's device going away and coming back, and the reset of a modem that failed
// too often: the port named by a link (as /dev/serial/by-id/... names are) followed at
// every open, the transport down while the device is gone (sends wait, the state watcher
// is told), the modem set up again when the device returns under a new name, and
// reset_after_failures' reset command followed by the whole set-up dialogue.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/lib.h"
#include "sms/gsm_modem_support.h"
#include "support/temp_files.h"

namespace tolvane {
namespace {

using test::GsmDriver;
using test_support::TempDir;
namespace fs = std::filesystem;

// The whole start-up of the fixture's text-mode modem (init string "AT").
const std::vector<std::string> kStartup = {
    "AT",        "ATE0",          "ATS3?",     "ATS4?",           "AT+CMEE=?", "AT+CMEE=1",
    "AT+CBST=?", "AT+CBST=0,0,0", "AT+CPIN?",  "AT+CSMS=?",       "AT+CSMS=0", "AT+CSCS=?",
    "AT+CSCA?",  "AT+CMGF=?",     "AT+CMGF=1", "AT+CSCS=\"GSM\"", "AT+CNMI=?", "AT+CNMI=2,1,0,0,0",
    "AT+CSQ=?",  "AT+CSQ",        "AT+CREG?",  "AT+CSDH=?",       "AT+CSDH=1"};

// Waits (up to ten seconds) until cond holds.
template <class Cond>
bool eventually(Cond cond) {
    for (int i = 0; i < 1000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// Points link at target, as udev does when the device is plugged in again.
void point(const std::string& link, const std::string& target) {
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link);
}

// "AT" probes at the front, then exactly the start-up: the modem was set up again.
void expect_probes_then_startup(const std::vector<std::string>& cs) {
    std::size_t probes = 0;
    while (probes < cs.size() && cs[probes] == "AT") ++probes;
    ASSERT_GE(probes, 2u) << "no probe before the start-up";
    std::vector<std::string> rest(cs.begin() + static_cast<long>(probes) - 1, cs.end());
    EXPECT_EQ(rest, kStartup);
}

class GsmDevice : public GsmDriver {
  protected:
    void SetUp() override {
        GsmDriver::SetUp();
        link = dir.file("usb-Fake_Modem_0123-if00-port0");
        point(link, plugged());
        rec.port = link;
        rec.reopen_ms = 50;
        rec.reset_settle_ms = 50;
        rec.reset_wait_ms = 10000;
    }
    // The modem's pty reached through a name of this test's own, as a device node that
    // appears when the modem is plugged in. Linked straight to the pty, a link left on an
    // unplugged modem would lead to whichever pty another test, running beside this one,
    // is given under the freed name; the driver would then talk to that test's modem.
    std::string plugged() {
        node = dir.file("dev-" + std::to_string(++nodes));
        point(node, modem.path());
        return node;
    }
    // The modem unplugged: its node goes with it.
    void unplug() {
        std::error_code ec;
        fs::remove(node, ec);
        modem.hang_up();
    }
    // Counts the calls of the state watcher, and what up() was at each.
    void watch(sms_data_gsm* g) {
        g->set_state_watcher([this, g] {
            std::lock_guard<std::mutex> l(told_lock);
            told.push_back(g->up());
        });
    }
    std::vector<bool> told_states() {
        std::lock_guard<std::mutex> l(told_lock);
        return told;
    }
    void TearDown() override {
        if (auto* g = dynamic_cast<sms_data_gsm*>(state.get())) g->set_state_watcher(nullptr);
        GsmDriver::TearDown();
    }

    TempDir dir{"tv_gsmdev"};
    std::string link;
    std::string node;
    int nodes = 0;
    std::mutex told_lock;
    std::vector<bool> told;
};

TEST_F(GsmDevice, ThePortIsFollowedThroughLinksAtTheOpen) {
    std::string chain = dir.file("by-path-link");
    point(chain, link);
    struct row {
        const char* name;
        std::string port;
        int err;
        const char* why;  // a piece of the start-up error's text
    } rows[] = {
        {"the device itself", modem.path(), 0, ""},
        {"a link to it", link, 0, ""},
        {"a link to a link to it", chain, 0, ""},
        {"a link to nothing", dir.file("dangling"), GSM_ERR_OPEN,
         "No such file or directory (a link to /dev/ttyUSB77)"},
        {"no such path", dir.file("absent"), GSM_ERR_OPEN, "No such file or directory)"},
    };
    fs::create_symlink("/dev/ttyUSB77", dir.file("dangling"));
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        rec.port = r.port;
        sms_data_gsm* g = start();
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(err, r.err);
        EXPECT_NE(why.find(r.why), std::string::npos) << why;
        if (r.err == 0) {
            std::lock_guard<std::mutex> l(g->device_lock);
            EXPECT_EQ(g->device_path, modem.path());
            EXPECT_EQ(g->port, r.port);  // the logs name the path as it was given
        }
        state.reset();
    }
}

TEST_F(GsmDevice, AGoneDeviceIsDownUntilItComesBackUnderANewNameAndIsSetUpAgain) {
    sms_data_gsm* g = ready();
    ASSERT_TRUE(g->up());
    watch(g);
    const std::string first = modem.path();

    unplug();
    ASSERT_TRUE(eventually([&] { return g->device == GSM_DEVICE_LOST; }));
    ASSERT_TRUE(eventually([&] { return !told_states().empty(); }));
    EXPECT_EQ(told_states(), std::vector<bool>{false});
    EXPECT_FALSE(g->up());
    EXPECT_EQ(g->state_text(), "down: device gone: " + link);
    // A send while it is away waits for it: not this SMS's fault, nothing written.
    SendResult r = g->send({.from = "", .to = "+15551234", .text = "while away"});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, SendFailure::temporary);
    EXPECT_EQ(r.error().code, GSM_ERR_AWAY);
    EXPECT_EQ(r.error().reason, "The modem is away: device gone: " + link);

    // Plugged in again, but the link still leads to the old name: still gone.
    modem.store(test::text_sms("+447700900123", "stored while away"));
    std::size_t before = modem.commands().size();
    modem.replug();
    ASSERT_NE(modem.path(), first);
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * rec.reopen_ms));
    EXPECT_EQ(g->device, GSM_DEVICE_LOST);
    EXPECT_EQ(modem.commands().size(), before);

    point(link, plugged());
    ASSERT_TRUE(eventually([&] { return g->up(); })) << g->state_text();
    {
        std::lock_guard<std::mutex> l(g->device_lock);
        EXPECT_EQ(g->device_path, modem.path());
    }
    auto cs = modem.commands();
    expect_probes_then_startup(
        std::vector<std::string>(cs.begin() + static_cast<long>(before), cs.end()));
    EXPECT_EQ(g->state_text(), "up, registered (home), signal 20 of 31");
    ASSERT_TRUE(eventually([&] { return told_states().size() == 2; }));
    EXPECT_EQ(told_states(), (std::vector<bool>{false, true}));

    // It sends again, and what the modem stored while away is listed and handed out.
    EXPECT_EQ(g->send_text("", "+15551234", "after the return"), 0);
    EXPECT_EQ(modem.bodies(), std::vector<std::string>{"after the return"});
    int code = 0;
    std::unique_ptr<sms_message> m = test::next_message(g, code);
    ASSERT_NE(m, nullptr) << code;
    EXPECT_STREQ(g->msg_body(m.get()), "stored while away");
    g->msg_free(m);
}

TEST_F(GsmDevice, ADeviceLostDuringTheListingIsNoErrorOfTheReceiverAndIsListedAgain) {
    rec.reply_ms = 20000;
    sms_data_gsm* g = ready();
    modem.store(test::text_sms("+447700900123", "kept through the loss"));
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c.starts_with("AT+CMGL=")) return "";  // it goes before it answers
        return std::nullopt;
    });
    std::thread unplugging([this] {
        modem.wait_command("AT+CMGL=");
        unplug();
    });
    int code = -1;
    std::unique_ptr<sms_message> m = g->wait(300, code);
    unplugging.join();
    // A receiver stops on an error of its wait: the loss is none.
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(g->device, GSM_DEVICE_LOST);

    modem.on(nullptr);
    modem.replug();
    point(link, plugged());
    ASSERT_TRUE(eventually([&] { return g->up(); })) << g->state_text();
    m = test::next_message(g, code);
    ASSERT_NE(m, nullptr) << code;
    EXPECT_STREQ(g->msg_body(m.get()), "kept through the loss");
    EXPECT_EQ(modem.count("AT+CMGL=\"ALL\""), 2);
    g->msg_free(m);
}

TEST_F(GsmDevice, ADeviceBackWhoseModemDoesNotAnswerYetStaysDownUntilItDoes) {
    rec.reply_ms = 200;
    sms_data_gsm* g = ready();
    std::atomic<bool> silent{true};
    unplug();
    ASSERT_TRUE(eventually([&] { return g->device == GSM_DEVICE_LOST; }));
    modem.on([&silent](const std::string&) -> std::optional<std::string> {
        if (silent) return "";
        return std::nullopt;
    });
    modem.replug();
    point(link, plugged());
    ASSERT_TRUE(eventually([&] { return g->device == GSM_DEVICE_RESTART; }));
    // Asked again and again, never set up while it is silent.
    ASSERT_TRUE(eventually([&] { return modem.count("AT") >= 3; }));
    EXPECT_FALSE(g->up());
    EXPECT_EQ(g->state_text(), "down: starting the modem again on " + modem.path());
    EXPECT_EQ(modem.count("ATE0"), 1);  // the first start-up's only
    EXPECT_EQ(g->send_text("", "+15551234", "not yet"), GSM_ERR_AWAY);

    silent = false;
    ASSERT_TRUE(eventually([&] { return g->up(); })) << g->state_text();
    EXPECT_TRUE(modem.seen("AT+CNMI=2,1,0,0,0"));
    modem.on(nullptr);
}

TEST_F(GsmDevice, AModemThatFailsItsSetUpAfterItCameBackIsTriedAgain) {
    rec.reply_ms = 300;
    sms_data_gsm* g = ready();
    unplug();
    ASSERT_TRUE(eventually([&] { return g->device == GSM_DEVICE_LOST; }));
    std::atomic<int> refusals{2};  // the SIM is still busy twice
    modem.on([&refusals](const std::string& c) -> std::optional<std::string> {
        if (c == "AT+CPIN?" && refusals > 0) {
            --refusals;
            return "\r\n+CME ERROR: 14\r\n";
        }
        return std::nullopt;
    });
    modem.replug();
    point(link, plugged());
    ASSERT_TRUE(eventually([&] { return g->up(); })) << g->state_text();
    EXPECT_EQ(refusals, 0);
    EXPECT_EQ(modem.count("AT+CPIN?"), 1 + 3);  // the start, two refused, the good one
    modem.on(nullptr);
}

TEST_F(GsmDevice, AResetSendsTheCommandAndSetsTheModemUpAgain) {
    struct row {
        const char* name;
        std::string command;  // gsm_reset
        int silence_ms;       // the modem answers nothing for this long after the reset
        const char* answer;   // the modem's answer to the reset (null: its own)
        int resets;           // restarts the modem made
    } rows[] = {
        {"restarts at once", "AT+CFUN=1,1", 0, nullptr, 1},
        {"silent while it restarts", "AT+CFUN=1,1", 400, nullptr, 1},
        {"refuses the reset", "AT+CFUN=1,1", 0, "\r\nERROR\r\n", 0},
        {"gives no answer to the reset", "AT+CFUN=1,1", 0, "", 0},
        {"no reset command: set up again only", "", 0, nullptr, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        rec.reset = r.command;
        rec.reply_ms = 300;
        sms_data_gsm* g = ready();
        ASSERT_TRUE(g->up());
        std::vector<bool> seen;
        std::mutex m;
        g->set_state_watcher([&] {
            std::lock_guard<std::mutex> l(m);
            seen.push_back(g->up());
        });
        modem.set_reset_silence_ms(r.silence_ms);
        int resets_before = modem.resets();
        int commands_before = modem.count("AT+CFUN=1,1");
        const char* answer = r.answer;
        modem.on([answer](const std::string& c) -> std::optional<std::string> {
            if (answer != nullptr && c.starts_with("AT+CFUN=")) return std::string(answer);
            return std::nullopt;
        });

        g->reset_after_failures();

        EXPECT_TRUE(g->up()) << g->state_text();
        EXPECT_EQ(g->device, GSM_DEVICE_OK);
        EXPECT_EQ(modem.resets() - resets_before, r.resets);
        std::vector<std::string> after = later();
        if (r.command.empty()) {
            EXPECT_EQ(modem.count("AT+CFUN=1,1"), commands_before);
        } else {
            ASSERT_FALSE(after.empty());
            EXPECT_EQ(after.front(), r.command);
            after.erase(after.begin());
        }
        expect_probes_then_startup(after);
        {
            std::lock_guard<std::mutex> l(m);
            EXPECT_EQ(seen, (std::vector<bool>{false, true}));
        }
        EXPECT_EQ(g->send_text("", "+15551234", r.name), 0);
        g->set_state_watcher(nullptr);
        modem.on(nullptr);
        state.reset();
    }
}

TEST_F(GsmDevice, AModemThatDoesNotComeBackFromTheResetStaysDownAndIsSetUpWhenItDoes) {
    rec.reply_ms = 200;
    rec.reset_wait_ms = 600;
    sms_data_gsm* g = ready();
    std::atomic<bool> dead{false};
    modem.on([&dead](const std::string& c) -> std::optional<std::string> {
        if (c == "AT+CFUN=1,1") {
            dead = true;
            return "\r\nOK\r\n";
        }
        if (dead) return "";
        return std::nullopt;
    });
    auto began = std::chrono::steady_clock::now();
    g->reset_after_failures();
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(600));
    EXPECT_FALSE(g->up());
    EXPECT_EQ(g->state_text(), "down: resetting the modem (AT+CFUN=1,1)");
    SendResult r = g->send({.from = "", .to = "+15551234", .text = "during the reset"});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, SendFailure::temporary);
    EXPECT_TRUE(modem.bodies().empty());
    // A second reset while the first is still at work sends nothing more.
    int written = modem.count("AT+CFUN=1,1");
    g->reset_after_failures();
    EXPECT_EQ(modem.count("AT+CFUN=1,1"), written);

    dead = false;
    ASSERT_TRUE(eventually([&] { return g->up(); })) << g->state_text();
    EXPECT_TRUE(modem.seen("AT+CNMI=2,1,0,0,0"));
    EXPECT_EQ(g->send_text("", "+15551234", "back"), 0);
    modem.on(nullptr);
}

TEST_F(GsmDevice, NoResetIsSentWhileTheDeviceIsGone) {
    sms_data_gsm* g = ready();
    unplug();
    ASSERT_TRUE(eventually([&] { return g->device == GSM_DEVICE_LOST; }));
    auto began = std::chrono::steady_clock::now();
    g->reset_after_failures();
    EXPECT_LT(std::chrono::steady_clock::now() - began,
              std::chrono::milliseconds(rec.reset_wait_ms));
    EXPECT_FALSE(modem.seen("AT+CFUN"));
    EXPECT_EQ(g->device, GSM_DEVICE_LOST);
}

}  // namespace
}  // namespace tolvane
