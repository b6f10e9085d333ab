// The transport factory: each settings alternative starts its own kind of transport,
// start failures come back with the transport and its code, and the built table.
#include "gateway/transports.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "smtp/engine.h"
#include "smtp/server.h"
#include "sms/sms_robot.h"

namespace tolvane {
namespace {

// A loopback port nobody listens on (bound, then released).
int closed_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    ::close(fd);
    return ntohs(a.sin_port);
}

std::string temp_dir() {
    auto d =
        std::filesystem::temp_directory_path() / ("transports_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    return d.string();
}

TEST(TransportOpen, EachAlternativeStartsItsOwnMode) {
    robot_init robot;
    robot.cmdline = "/bin/true";
    smtp_init smtp;
    smtp.listenport = -1;  // a free port
    smtp.bind = "127.0.0.1";
    smtp.workpath = temp_dir();
    const transport_options rows[] = {xml_init{}, robot, smtp};
    for (const transport_options& o : rows) {
        SCOPED_TRACE(transport_mode(o));
        int err = 77;
        auto s = transport_open(o, err);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(err, 0);  // cleared first
        EXPECT_EQ(sms_mode(s.get()), transport_mode(o));
        sms_free(s);
    }
    std::filesystem::remove_all(smtp.workpath);
}

TEST(TransportOpen, SmtpListenerOnABusyPortComesBackWithItsCode) {
    smtp_init first;
    first.listenport = -1;
    first.bind = "127.0.0.1";
    first.workpath = temp_dir();
    auto a = SmtpServer::open(first, nullptr);
    ASSERT_TRUE(a) << a.reason();
    smtp_init second = first;
    second.listenport = (*a)->port();
    ASSERT_GT(second.listenport, 0);
    auto b = SmtpServer::open(second, nullptr);
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error().code, SMTP_ELISTEN);
    EXPECT_TRUE(b.reason().starts_with("Error while listening for connections (")) << b.reason();
    std::filesystem::remove_all(first.workpath);
}

TEST(TransportOpen, SmtpSendModeIsARelaySenderThatNeverListens) {
    // The provider reached by mail is only sent to: a listen port in its settings opens
    // nothing.
    smtp_init o;
    o.listenport = -1;
    o.bind = "127.0.0.1";
    o.workpath = temp_dir();
    int err = 77;
    auto s = transport_open(o, err);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(sms_smtp_port(s.get()), 0);
    EXPECT_EQ(sms_mode(s.get()), SMS_SMTP);
    sms_free(s);
    std::filesystem::remove_all(o.workpath);
}

TEST(TransportOpen, SmppWithNobodyListeningStartsDownAndKeepsTrying) {
    // A centre that is away at start-up is waited for: the gateway starts, the
    // transport says it is down, and only refused credentials would stop the start.
    smpp_init o;
    o.host = "127.0.0.1";
    o.port = closed_port();
    o.response_ms = 200;
    int err = -1;
    auto s = transport_open(o, err);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sms_mode(s.get()), SMS_SMPP);
    EXPECT_EQ(err, 0);
    EXPECT_FALSE(s->up());
    EXPECT_EQ(s->state_text(), "transmitter not bound, receiver not bound");
    sms_free(s);
    EXPECT_EQ(s, nullptr);
}

TEST(TransportOpen, AModemThatCannotBeOpenedComesBackWithItsCode) {
    gsm_init o;
    o.port = "/nonexistent/tty";
    o.reply_ms = 100;
    o.pause_ms = 0;
    int err = 0;
    auto s = transport_open(o, err);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sms_mode(s.get()), SMS_GSM);
    EXPECT_NE(err, 0);
    sms_free(s);
}

TEST(TransportBuilt, EveryModeOfThisBuildAndNothingBeyond) {
    const std::pair<int, bool> rows[] = {{SMS_GSM, true},  {SMS_SMPP, true},  {SMS_XML, true},
                                         {SMS_SMTP, true}, {SMS_ROBOT, true}, {SMS_NONE, false},
                                         {-1, false},      {6, false}};
    for (const auto& [mode, built] : rows) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(transport_built(mode), built);
    }
}

TEST(SmtpPort, OnlyAnSmtpTransportHasOne) {
    robot_init r;
    int err = 0;
    auto robot = transport_open(r, err);
    ASSERT_NE(robot, nullptr);
    EXPECT_EQ(sms_smtp_port(robot.get()), 0);
    EXPECT_EQ(sms_smtp_port(nullptr), 0);
    sms_free(robot);
}

}  // namespace
}  // namespace tolvane
