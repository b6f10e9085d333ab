// Command-line tools and the transport records built from the settings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/password.h"
#include "gateway/cli.h"
#include "gateway/gateway.h"
#include "gateway/spine_support.h"
#include "smtp/engine.h"
#include "sms/sms_robot.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using testing_support::IniFile;

TEST(ProgramDir, AbsolutePathLosesItsLastComponent) {
    EXPECT_EQ(program_dir("/usr/local/tolvane/tolvane", "/elsewhere"), "/usr/local/tolvane");
    EXPECT_EQ(program_dir("/tolvane", "/elsewhere"), "/");
}

TEST(ProgramDir, RelativePathJoinsTheCurrentDirectory) {
    EXPECT_EQ(program_dir("./tolvane", "/home/u"), "/home/u");
    EXPECT_EQ(program_dir("bin/tolvane", "/home/u"), "/home/u/bin");
}

TEST(ProgramDir, DotsAndBackslashesAreResolved) {
    EXPECT_EQ(program_dir("./bin/../sbin/./tolvane", "/opt/tv"), "/opt/tv/sbin");
    EXPECT_EQ(program_dir("bin\\tolvane.exe", "/w"), "/w/bin");
    EXPECT_EQ(program_dir("../../../../tolvane", "/a"), "/");
    EXPECT_EQ(program_dir("/a//b///tolvane", "/"), "/a/b");
}

TEST(ProgramDir, DriveLetterCountsAsAbsolute) {
    EXPECT_EQ(program_dir("C:\\tv\\tolvane.exe", "/w"), "C:/tv");
}

TEST(ProgramBase, LastComponentUpToItsFirstDot) {
    EXPECT_EQ(program_base("/usr/local/tolvane/tolvane"), "tolvane");
    EXPECT_EQ(program_base("C:\\tv\\tolvane.exe"), "tolvane");
    EXPECT_EQ(program_base("a.b.c"), "a");
}

TEST(Usage, ListsTheToolsAfterTheVersion) {
    std::string u = cli_usage();
    EXPECT_EQ(
        u.rfind("Tolvane 1.1m\n\ntolvane -version\ntolvane -install\ntolvane -uninstall\n\n", 0),
        0u);
    EXPECT_NE(u.find("-config FILE"), std::string::npos);
    EXPECT_NE(u.find("-foreground"), std::string::npos);
}

TEST(Prescan, FindsConfigAndForeground) {
    const char* argv[] = {"tolvane", "-CONFIG", "/tmp/x.ini", "-Foreground", "-debug"};
    CommandLine cl;
    ASSERT_EQ(cli_prescan(5, const_cast<char**>(argv), cl), 1);
    EXPECT_EQ(cl.config, "/tmp/x.ini");
    EXPECT_TRUE(cl.foreground);
    EXPECT_EQ(cl.args.size(), 4u);
}

TEST(Prescan, ConfigWithoutFileIsRefused) {
    const char* argv[] = {"tolvane", "-config"};
    CommandLine cl;
    EXPECT_EQ(cli_prescan(2, const_cast<char**>(argv), cl), 0);
}

TEST(Prescan, DefaultSettingsFile) {
    const char* argv[] = {"tolvane"};
    CommandLine cl;
    ASSERT_EQ(cli_prescan(1, const_cast<char**>(argv), cl), 1);
    EXPECT_EQ(cl.config, "/etc/tolvane.ini");
    EXPECT_FALSE(cl.foreground);
}

class Tool : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tv_cli_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the password tool on the given input; returns its status, output in out_.
    int password(const std::string& input, const fs::path& file, bool smtp = false) {
        std::FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
        std::FILE* out = std::tmpfile();
        int rc = smtp ? smtp_password_tool(in, out, file.string())
                      : password_tool(in, out, file.string());
        std::rewind(out);
        out_.clear();
        int c;
        while ((c = std::fgetc(out)) != EOF) out_.push_back(static_cast<char>(c));
        std::fclose(in);
        std::fclose(out);
        return rc;
    }
    std::string slurp(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    fs::path dir_;
    std::string out_;
};

// Whether password checks against a stored entry.
bool checks(const std::string& password, const std::string& stored) {
    return password_check(password, stored) != PasswordCheck::wrong;
}

TEST_F(Tool, PasswordWritesUserAndHash) {
    fs::path file = dir_ / "admin.dat";
    ASSERT_EQ(password("admin\nsecret12\nsecret12\n", file), 0);
    EXPECT_EQ(out_,
              "Enter web admin username: Enter web admin password: "
              "Enter web admin password(again): ");
    std::string line = slurp(file);
    EXPECT_EQ(line.rfind("admin:$y$", 0), 0u) << line;
    EXPECT_EQ(line.back(), '\n');
    std::string stored = line.substr(6, line.size() - 7);
    EXPECT_EQ(password_check("secret12", stored), PasswordCheck::right);
    EXPECT_FALSE(checks("Secret12", stored));
    EXPECT_FALSE(checks("", stored));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::others_read, fs::perms::none);
}

TEST_F(Tool, PasswordsShorterThan8CharactersAreRefused) {
    struct Case {
        const char* name;
        bool smtp;
        std::string input;
    };
    const Case cases[] = {
        {"web, empty", false, "admin\n\n\n"},
        {"web, 7", false, "admin\n1234567\n1234567\n"},
        {"smtp, empty", true, "ann\n\n\n"},
        {"smtp, 7 characters of 14 bytes", true,
         "ann\n\xc3\xa5\xc3\xa5\xc3\xa5\xc3\xa5\xc3\xa5\xc3\xa5\xc3\xa5\n"
         "\xc3\xa5\xc3\xa5\xc3\xa5\xc3\xa5\xc3\xa5\xc3\xa5\xc3\xa5\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path file = dir_ / (c.smtp ? "smtp_users" : "admin.dat");
        EXPECT_EQ(password(c.input, file, c.smtp), 1);
        EXPECT_NE(out_.find("The password must be at least 8 characters long. Nothing was "
                            "written.\n"),
                  std::string::npos)
            << out_;
        EXPECT_FALSE(fs::exists(file));
    }
}

TEST_F(Tool, PasswordsThatDifferAreAskedAgain) {
    fs::path file = dir_ / "admin.dat";
    ASSERT_EQ(password("ann\none-pass\ntwo-pass\nbob\npassword\npassword\n", file), 0);
    EXPECT_NE(out_.find("Passwords don't match, please try again.\n"), std::string::npos);
    std::string line = slurp(file);
    EXPECT_EQ(line.rfind("bob:$y$", 0), 0u);
    EXPECT_TRUE(checks("password", line.substr(4, line.size() - 5)));
}

TEST_F(Tool, AnswersOver49CharactersAreRefusedAndAskedAgain) {
    fs::path file = dir_ / "admin.dat";
    struct Case {
        const char* what;
        std::string first;  // the first round of answers, refused
        const char* message;
    };
    const std::string u50(50, 'u');
    const std::string p50(50, 'p');
    const std::string p49(49, 'p');
    const std::vector<Case> cases = {
        {"user name of 60", std::string(60, 'u') + "\npassword\npassword\n",
         "The user name is longer"},
        {"password of 50", "admin\n" + p50 + "\n" + p50 + "\n", "The password is longer"},
        {"only the repeat too long", "admin\n" + p49 + "\n" + p49 + "x\n",
         "The password is longer"},
        {"user name of 50", u50 + "\npassword\npassword\n", "The user name is longer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(file);
        // Line ends of either kind; 49 characters are taken whole.
        ASSERT_EQ(
            password(c.first + std::string(49, 'n') + "\r\n" + p49 + "\r\n" + p49 + "\r\n", file),
            0);
        EXPECT_NE(out_.find(std::string(c.message) + " than 49 characters, please try again.\n"),
                  std::string::npos)
            << out_;
        EXPECT_EQ(out_.find("Passwords don't match"), std::string::npos);
        std::string line = slurp(file);
        ASSERT_EQ(line.rfind(std::string(49, 'n') + ":$y$", 0), 0u) << line;
        const std::string stored = line.substr(50, line.size() - 51);
        EXPECT_TRUE(checks(p49, stored));
        EXPECT_FALSE(checks(p49.substr(0, 48), stored));
    }
}

TEST_F(Tool, PasswordFileIsMadePrivateFromTheStartAndALeftOverTemporaryIsReplaced) {
    fs::path file = dir_ / "admin.dat";
    // A temporary file left behind (or planted as a link) is not written through.
    fs::path target = dir_ / "elsewhere";
    std::ofstream(target) << "keep\n";
    fs::create_symlink(target, dir_ / "admin.dat.tmp");
    const mode_t old = ::umask(0);
    const int rc = password("a\nbbbbbbbb\nbbbbbbbb\n", file);
    ::umask(old);
    ASSERT_EQ(rc, 0) << out_;
    EXPECT_EQ(slurp(target), "keep\n");
    EXPECT_FALSE(fs::exists(dir_ / "admin.dat.tmp"));
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(Tool, PasswordFileIsReplaced) {
    fs::path file = dir_ / "admin.dat";
    std::ofstream(file) << "old:{ssha}xxxx\nsecond line\n";
    ASSERT_EQ(password("new\npppppppp\npppppppp\n", file), 0);
    std::string line = slurp(file);
    EXPECT_EQ(line.rfind("new:$y$", 0), 0u);
    EXPECT_EQ(line.find("second"), std::string::npos);
}

TEST_F(Tool, PasswordAtEndOfInputWritesNothing) {
    fs::path file = dir_ / "admin.dat";
    EXPECT_EQ(password("admin\nsecret12\n", file), 1);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(password("", file), 1);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(Tool, PasswordFileThatCannotBeWrittenNamesThePath) {
    fs::path file = dir_ / "missing" / "admin.dat";
    EXPECT_EQ(password("a\nbbbbbbbb\nbbbbbbbb\n", file), 1);
    EXPECT_NE(out_.find(file.string() + ": No such file or directory"), std::string::npos) << out_;
}

TEST_F(Tool, UserNameWithColonIsAskedAgain) {
    fs::path file = dir_ / "admin.dat";
    ASSERT_EQ(password("a:b\npppppppp\npppppppp\nab\npppppppp\npppppppp\n", file), 0);
    EXPECT_EQ(slurp(file).rfind("ab:$y$", 0), 0u);
}

// ---- the mail clients' users file ----

// The user names of a users file, in order, each with whether password checks its entry.
std::vector<std::pair<std::string, bool>> users_in(const std::string& text,
                                                   const std::string& password) {
    std::vector<std::pair<std::string, bool>> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            out.emplace_back(line, false);
            continue;
        }
        out.emplace_back(line.substr(0, colon), checks(password, line.substr(colon + 1)));
    }
    return out;
}

TEST_F(Tool, SmtpPasswordAddsChangesAndKeepsTheOthers) {
    fs::path file = dir_ / "smtp_users";
    ASSERT_EQ(password("ann\none-pass\none-pass\n", file, true), 0);
    EXPECT_EQ(out_,
              "Enter SMTP username: Enter SMTP password: Enter SMTP password(again): "
              "Added user ann in " +
                  file.string() + "\n");
    ASSERT_EQ(password("bob\ntwo-pass\ntwo-pass\n", file, true), 0);
    // A comment and a last line without its line end, written by hand.
    {
        std::ofstream f(file, std::ios::app);
        f << "# kept\ncarol:{ssha}handmade";
    }
    ASSERT_EQ(password("ann\nthree-pass\nthree-pass\n", file, true), 0);
    EXPECT_NE(out_.find("Changed user ann in "), std::string::npos) << out_;
    std::string text = slurp(file);
    std::vector<std::pair<std::string, bool>> want = {
        {"ann", true}, {"bob", false}, {"# kept", false}, {"carol", false}};
    EXPECT_EQ(users_in(text, "three-pass"), want) << text;
    EXPECT_EQ(users_in(text, "two-pass")[1], (std::pair<std::string, bool>{"bob", true}));
    EXPECT_NE(text.find("\ncarol:{ssha}handmade\n"), std::string::npos) << text;
    EXPECT_EQ(fs::status(file).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);
}

TEST_F(Tool, SmtpPasswordRefusals) {
    struct Case {
        const char* name;
        std::string input;
        bool make_dir;  // the users file's path is a directory
        std::string path;
        int rc;
        std::string said;
    };
    fs::path file = dir_ / "smtp_users";
    const std::string pw = "pppppppp\npppppppp\n";
    const Case cases[] = {
        {"no users file named", "ann\n" + pw, false, "", 1, "smtp_users is not set"},
        {"end of input", "ann\npppppppp\n", false, file.string(), 1,
         "No answer given, " + file.string() + " not written"},
        {"empty name asked again", "\n" + pw + "ann\n" + pw, false, file.string(), 0,
         "The user name must not be empty, please try again."},
        {"colon asked again", "a:n\n" + pw + "ann\n" + pw, false, file.string(), 0,
         "The user name must not hold ':', please try again."},
        {"unreadable file", "ann\n" + pw, true, (dir_ / "sub").string(), 1,
         (dir_ / "sub").string() + ": "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file);
        if (c.make_dir) fs::create_directories(c.path);
        EXPECT_EQ(password(c.input, c.path, true), c.rc);
        EXPECT_NE(out_.find(c.said), std::string::npos) << out_;
        EXPECT_EQ(fs::exists(file), c.rc == 0);
    }
}

TEST_F(Tool, InstallScriptsByteForByte) {
    Status st = install_scripts(dir_.string());
    ASSERT_TRUE(st) << st.reason();
    EXPECT_EQ(slurp(dir_ / "tolvane_start.sh"), "cd \"" + dir_.string() + "\"\n./tolvane");
    EXPECT_EQ(slurp(dir_ / "tolvane_stop.sh"), "cd \"" + dir_.string() + "\"\nls > tolvane.exit\n");
    EXPECT_EQ(::access((dir_ / "tolvane_start.sh").c_str(), X_OK), 0);
}

TEST_F(Tool, InstallScriptsIntoMissingDirectoryFails) {
    Status st = install_scripts((dir_ / "nope").string());
    ASSERT_FALSE(st);
    EXPECT_NE(st.error().reason.find("No such file or directory"), std::string::npos);
}

// ---- transport records ----

TEST(DeliveryInit, ModemRecordFromTheSettings) {
    IniFile ini(
        "gsm_com /dev/ttyUSB0\ngsm_baud 100000\ngsm_number +61400000000\nsca_number +6141\n"
        "gsm_pin 1234\ngsm_init AT+CFUN=1\ngsm_crlf false\ncpin_ok yes\ncnmi_flush on\n"
        "sms_mode pdu\nsms_extended true\nsms_dcs 16bit\ngsm_min_signal 7\n"
        "com_debug_file disabled\n");
    auto rec = delivery_init(ini.get(), SMS_GSM);
    ASSERT_TRUE(rec);
    auto* g = std::get_if<gsm_init>(&*rec);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->port, "/dev/ttyUSB0");
    EXPECT_EQ(g->baud, 115200);
    EXPECT_EQ(g->localphone, "+61400000000");
    EXPECT_EQ(g->sca, "+6141");
    EXPECT_EQ(g->pin, "1234");
    EXPECT_EQ(g->pin2, "");
    EXPECT_EQ(g->init_string, "AT+CFUN=1");
    EXPECT_EQ(g->crlf, 0);
    EXPECT_EQ(g->min_signal, 7);
    EXPECT_EQ(g->signal_timeout, 60);
    EXPECT_EQ(g->debug_file, "");
    EXPECT_EQ(g->mode, MODE_CPIN_OK | MODE_CNMI_FLUSH | MODE_PDU | MODE_EXTENDED | MODE_16BIT);
    EXPECT_EQ(g->dcs, "");
    EXPECT_EQ(g->dodebug, 0);
    EXPECT_EQ(report_originator(ini.get(), *rec), "+61400000000");
    // -debug has the modem trace its dialogue.
    auto traced = delivery_init(ini.get(), SMS_GSM, true);
    ASSERT_TRUE(traced);
    EXPECT_EQ(std::get<gsm_init>(*traced).dodebug, 1);
}

TEST(DeliveryInit, ModemDefaultsAndOtherCodings) {
    IniFile ini("sms_mode PDU\nsms_dcs ucs2\ngsm_noinit true\n");
    auto rec = delivery_init(ini.get(), SMS_GSM);
    ASSERT_TRUE(rec);
    auto* g = std::get_if<gsm_init>(&*rec);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->port, "COM1");
    EXPECT_EQ(g->baud, 9600);
    EXPECT_EQ(g->crlf, 1);
    EXPECT_EQ(g->init_string, "");
    EXPECT_EQ(g->mode, MODE_8BIT);  // "PDU" is not exactly "pdu"
    EXPECT_EQ(g->dcs, "ucs2");
    EXPECT_EQ(report_originator(ini.get(), *rec), std::nullopt);
}

// Only a modem's own number is the reports' originator; another transport gives none even
// when gsm_number is set.
TEST(DeliveryInit, ReportOriginatorIsTheModemsNumberOnly) {
    IniFile ini("gsm_number +61400000007\nsmpp_host smsc.example\nrobot_cmd true\n");
    for (int mode : {SMS_SMPP, SMS_ROBOT, SMS_XML, SMS_SMTP}) {
        auto rec = delivery_init(ini.get(), mode);
        ASSERT_TRUE(rec) << mode;
        EXPECT_EQ(report_originator(ini.get(), *rec), std::nullopt) << mode;
    }
    auto modem = delivery_init(ini.get(), SMS_GSM);
    ASSERT_TRUE(modem);
    EXPECT_EQ(report_originator(ini.get(), *modem), "+61400000007");
}

TEST(DeliveryInit, SmppRecord) {
    IniFile ini("smpp_host smsc.example\nsmpp_user u\nsmpp_pass p\n");
    auto rec = delivery_init(ini.get(), SMS_SMPP);
    ASSERT_TRUE(rec);
    auto* s = std::get_if<smpp_init>(&*rec);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->host, "smsc.example");
    EXPECT_EQ(s->port, 2775);
    EXPECT_EQ(s->id, "u");
    EXPECT_EQ(s->pass, "p");
    EXPECT_EQ(s->type, "Tolvaneway");
    EXPECT_EQ(s->addr_range, "*");
    EXPECT_EQ(s->coding, "auto");
    EXPECT_EQ(s->max_parts, 10);
}

// The SMS centre sends in the alphabet and up to the parts the settings ask for, as the
// modem and the robot do.
TEST(DeliveryInit, EveryTransportTakesTheCodingAndTheLongestText) {
    struct Case {
        const char* settings;
        sms_coding coding;
        int max_parts;
    };
    const Case cases[] = {
        {"", sms_coding::automatic, 10},
        {"sms_coding ucs2\nsms_max_parts 2\n", sms_coding::ucs2, 2},
        {"sms_coding GSM\nsms_max_parts 1\n", sms_coding::gsm, 1},
        {"sms_coding latin1\nsms_max_parts 255\n", sms_coding::latin1, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        IniFile ini(std::string("robot_cmd true\n") + c.settings);
        auto smpp = delivery_init(ini.get(), SMS_SMPP);
        ASSERT_TRUE(smpp);
        EXPECT_EQ(sms_coding_parse(std::get<smpp_init>(*smpp).coding), c.coding);
        EXPECT_EQ(std::get<smpp_init>(*smpp).max_parts, c.max_parts);
        auto gsm = delivery_init(ini.get(), SMS_GSM);
        ASSERT_TRUE(gsm);
        EXPECT_EQ(std::get<gsm_init>(*gsm).coding, c.coding);
        EXPECT_EQ(std::get<gsm_init>(*gsm).max_parts, c.max_parts);
        auto robot = delivery_init(ini.get(), SMS_ROBOT);
        ASSERT_TRUE(robot);
        EXPECT_EQ(std::get<robot_init>(*robot).coding, c.coding);
        EXPECT_EQ(std::get<robot_init>(*robot).max_parts, c.max_parts);
    }
}

TEST(DeliveryInit, SmtpAsSmsTransportHasNoListener) {
    IniFile ini("host gw\nsmtp_sms_todomain sms.example\nsmtp_outport 2525\nworkpath /w\n");
    auto rec = delivery_init(ini.get(), SMS_SMTP);
    ASSERT_TRUE(rec);
    auto* s = std::get_if<smtp_init>(&*rec);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->sendhost, "gw");
    EXPECT_EQ(s->sendport, 2525);
    EXPECT_EQ(s->todom, "sms.example");
    EXPECT_EQ(s->fromdom, "gw");
    EXPECT_EQ(s->workpath, "/w");
    EXPECT_EQ(s->listenport, 0);
    EXPECT_EQ(s->greeting, "");
    EXPECT_EQ(s->out_tls, SMTP_OUT_TLS_MAY);
    EXPECT_TRUE(s->out_tls_verify);
    // The provider is a relay like any other: its TLS settings are the relay sender's.
    IniFile strict("smtp_out_tls require\nsmtp_out_tls_verify false\n");
    auto strict_rec = delivery_init(strict.get(), SMS_SMTP);
    ASSERT_TRUE(strict_rec);
    EXPECT_EQ(std::get<smtp_init>(*strict_rec).out_tls, SMTP_OUT_TLS_REQUIRE);
    EXPECT_FALSE(std::get<smtp_init>(*strict_rec).out_tls_verify);
}

TEST(DeliveryInit, RobotAndXmlRecords) {
    IniFile ini("robot_cmd /usr/bin/sender --fast\n");
    auto rec = delivery_init(ini.get(), SMS_ROBOT);
    ASSERT_TRUE(rec);
    auto* r = std::get_if<robot_init>(&*rec);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->cmdline, "/usr/bin/sender --fast");
    auto xml = delivery_init(ini.get(), SMS_XML);
    ASSERT_TRUE(xml);
    EXPECT_EQ(transport_mode(*xml), SMS_XML);
    EXPECT_EQ(delivery_init(ini.get(), SMS_NONE), std::nullopt);
    EXPECT_EQ(delivery_init(ini.get(), 9), std::nullopt);
    EXPECT_EQ(delivery_init(ini.get(), -1), std::nullopt);
}

TEST(SmtpSideInit, MailSideRecord) {
    IniFile ini(
        "smtp_outserver relay.example\nsmtp_inport 2025\nsmtp_greeting Hi\n"
        "smtp_debug_file disabled\nworkpath /w\n");
    smtp_init rec = smtp_side_init(ini.get());
    auto* s = &rec;
    EXPECT_EQ(s->sendhost, "relay.example");
    EXPECT_EQ(s->listenport, 2025);
    EXPECT_EQ(s->sendport, 25);
    EXPECT_EQ(s->greeting, "Hi");
    EXPECT_EQ(s->smtplog, "");
    EXPECT_EQ(s->workpath, "/w");
    EXPECT_EQ(s->todom, "");
    IniFile ini2("smtp_debug_file /var/log/smtp.log\n");
    EXPECT_EQ(smtp_side_init(ini2.get()).smtplog, "/var/log/smtp.log");
}

TEST(SmtpSideInit, ChoiceWordsInAnyCaseAndWithBlanksAround) {
    // A blank after "required" must not quietly switch authentication off.
    struct Case {
        const char* lines;
        int auth, tls, out_tls;
    };
    const Case cases[] = {
        {"", SMTP_AUTH_OFF, SMTP_TLS_NONE, SMTP_OUT_TLS_MAY},
        {"smtp_auth required \nsmtp_tls starttls\nsmtp_out_tls none\n", SMTP_AUTH_REQUIRED,
         SMTP_TLS_STARTTLS, SMTP_OUT_TLS_NONE},
        {"smtp_auth  Optional\nsmtp_tls WRAPPER \nsmtp_out_tls Require\n", SMTP_AUTH_OPTIONAL,
         SMTP_TLS_WRAPPER, SMTP_OUT_TLS_REQUIRE},
        {"smtp_auth off\nsmtp_tls none\nsmtp_out_tls may\n", SMTP_AUTH_OFF, SMTP_TLS_NONE,
         SMTP_OUT_TLS_MAY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        IniFile ini(c.lines);
        ASSERT_TRUE(sini_problems(ini.get()).empty());
        smtp_init rec = smtp_side_init(ini.get());
        EXPECT_EQ(rec.auth, c.auth);
        EXPECT_EQ(rec.tls, c.tls);
        EXPECT_EQ(rec.out_tls, c.out_tls);
    }
}

TEST(SmtpSideInit, NumbersAndTruthWordsWithBlanksAround) {
    IniFile ini(
        "smtp_inport  2025 \nsmtp_max_sessions 7\nsmtp_auth_plaintext Yes \n"
        "smtp_out_tls_verify off\nsmtp_max_size 12345678\n");
    ASSERT_TRUE(sini_problems(ini.get()).empty());
    smtp_init rec = smtp_side_init(ini.get());
    EXPECT_EQ(rec.listenport, 2025);
    EXPECT_EQ(rec.max_sessions, 7);
    EXPECT_TRUE(rec.auth_plaintext);
    EXPECT_FALSE(rec.out_tls_verify);
    EXPECT_EQ(rec.max_size, 12345678);
}

}  // namespace
}  // namespace tolvane
