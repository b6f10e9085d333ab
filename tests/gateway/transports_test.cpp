// The transport factory: each settings alternative starts its own kind of transport,
// start failures come back with the transport and its code, and the built table.
#include "gateway/transports.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "smtp/engine.h"
#include "smtp/server.h"
#include "peers/fake_smtp_server.h"
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
        Result<std::unique_ptr<SmsTransport>> s = transport_open(o);
        ASSERT_TRUE(s.ok()) << s.reason();
        EXPECT_EQ(sms_mode(s->get()), transport_mode(o));
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

TEST(TransportOpen, SmppWithNobodyListeningStartsDownAndKeepsTrying) {
    // A centre that is away at start-up is waited for: the gateway starts, the
    // transport says it is down, and only refused credentials would stop the start.
    smpp_init o;
    o.host = "127.0.0.1";
    o.port = closed_port();
    o.response_ms = 200;
    o.send_wait_ms = 100;
    Result<std::unique_ptr<SmsTransport>> r = transport_open(o);
    ASSERT_TRUE(r.ok()) << r.reason();
    std::unique_ptr<SmsTransport> s = std::move(*r);
    EXPECT_EQ(sms_mode(s.get()), SMS_SMPP);
    EXPECT_FALSE(s->up());
    EXPECT_EQ(s->state_text(), "transmitter not bound, receiver not bound");
    // Down for the whole send wait: temporary, not a failure of the SMS.
    SendResult sent = s->send({.from = "gw", .to = "+61400000001", .text = "hi"});
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().kind, SendFailure::temporary) << sent.reason();
}

TEST(TransportOpen, AModemThatCannotBeOpenedComesBackWithItsCode) {
    gsm_init o;
    o.port = "/nonexistent/tty";
    o.reply_ms = 100;
    o.pause_ms = 0;
    Result<std::unique_ptr<SmsTransport>> s = transport_open(o);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().code, 517);  // cannot open
    EXPECT_TRUE(s.reason().starts_with("Error opening")) << s.reason();
}

// The e-mail-to-SMS provider: only sent to (it receives nothing and listens nowhere), the
// labels travel as the mail's header, a refusal is a failed send with the server's reply.
TEST(TransportOpen, TheSmtpSendModeMailsTheSmsWithItsLabelsAndReportsARefusal) {
    test::fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    smtp_init o;
    o.listenport = -1;
    o.bind = "127.0.0.1";
    o.workpath = temp_dir();
    o.sendhost = "127.0.0.1";
    o.sendport = srv.port();
    o.relay_timeout = 5000;
    Result<std::unique_ptr<SmsTransport>> r = transport_open(o);
    ASSERT_TRUE(r.ok()) << r.reason();
    std::unique_ptr<SmsTransport> t = std::move(*r);
    EXPECT_EQ(t->mode(), SMS_SMTP);
    EXPECT_FALSE(t->can_receive());
    const std::vector<std::pair<std::string, std::string>> labels = {{"X-Sms-Label", "blue"}};
    SendResult sent = t->send(
        {.from = "a@b.example", .to = "0412345678@sms.example", .text = "hello", .labels = &labels});
    ASSERT_TRUE(sent.ok()) << sent.reason();
    std::vector<std::string> data = srv.data();
    EXPECT_NE(std::find(data.begin(), data.end(), "X-Sms-Label: blue"), data.end());
    srv.fail_at = test::fake_smtp_server::step::rcpt;
    srv.fail_reply = "550 no such user";
    SendResult refused =
        t->send({.from = "a@b.example", .to = "0412345678@sms.example", .text = "again"});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, SendFailure::failed);
    EXPECT_NE(refused.reason().find("550"), std::string::npos) << refused.reason();
    t.reset();
    srv.stop();
    std::filesystem::remove_all(o.workpath);
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

TEST(SmtpPort, NoTransportHasNone) {
    EXPECT_EQ(smtp_engine_port(nullptr), 0);
}

}  // namespace
}  // namespace tolvane
