// Stored passwords: yescrypt made and checked through libcrypt, old {ssha} entries still
// checked and marked for a new hash, anything else refused; the refusal of short new
// passwords; one user's line of a password file replaced in place.
#include "foundation/password.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "foundation/ssha.h"

namespace tolvane {
namespace {

TEST(Password, StoredFormsAgainstOfferedPasswords) {
    const Result<std::string> made = password_hash("correct horse");
    ASSERT_TRUE(made) << made.reason();
    const std::string y = *made;
    ASSERT_EQ(y.rfind("$y$", 0), 0u) << y;
    const std::string old = ssha_encode("correct horse");
    const std::string old_empty = ssha_encode("");
    // A hash of another crypt scheme (SHA-512, as older shadow files hold) is checked too.
    const std::string sha512 =
        "$6$saltsalt$hRM5XZ86KXEw9UOmjigeVqFgULtFB2sgpC9lXQDfMib3Zgw7mEiUvBJI2EplzfAqxL5Vvwp2scFtv/"
        "uamSo5z0";
    struct Case {
        const char* name;
        std::string stored;
        std::string offered;
        PasswordCheck want;
    };
    const Case cases[] = {
        {"yescrypt, right", y, "correct horse", PasswordCheck::right},
        {"yescrypt, wrong", y, "correct horsE", PasswordCheck::wrong},
        {"yescrypt, prefix", y, "correct", PasswordCheck::wrong},
        {"yescrypt, empty offered", y, "", PasswordCheck::wrong},
        {"yescrypt cut short", y.substr(0, y.size() - 2), "correct horse", PasswordCheck::wrong},
        {"sha-512 crypt, right", sha512, "correct horse", PasswordCheck::right},
        {"sha-512 crypt, wrong", sha512, "correct horsE", PasswordCheck::wrong},
        {"ssha, right: due for a new hash", old, "correct horse", PasswordCheck::right_old},
        {"ssha, upper-case prefix", "{SSHA}" + old.substr(6), "correct horse",
         PasswordCheck::right_old},
        {"ssha, wrong", old, "correct horsE", PasswordCheck::wrong},
        {"ssha of the empty password, empty offered", old_empty, "", PasswordCheck::wrong},
        {"garbage", "not a hash", "not a hash", PasswordCheck::wrong},
        {"unknown crypt scheme", "$zz$abc$def", "x", PasswordCheck::wrong},
        {"dollar only", "$", "$", PasswordCheck::wrong},
        {"empty stored", "", "", PasswordCheck::wrong},
        {"empty stored, any offered", "", "anything", PasswordCheck::wrong},
        {"NUL in offered", y, std::string("correct horse\0x", 15), PasswordCheck::wrong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(password_check(c.offered, c.stored), c.want);
    }
}

TEST(Password, TwoHashesOfOnePasswordDifferAndBothCheck) {
    const Result<std::string> a = password_hash("s3cret-enough");
    const Result<std::string> b = password_hash("s3cret-enough");
    ASSERT_TRUE(a && b) << a.reason() << b.reason();
    EXPECT_NE(*a, *b);
    EXPECT_EQ(password_check("s3cret-enough", *a), PasswordCheck::right);
    EXPECT_EQ(password_check("s3cret-enough", *b), PasswordCheck::right);
}

TEST(Password, APasswordThatCannotBeHashedIsRefusedWithTheReason) {
    for (const std::string& p : {std::string(4096, 'x'), std::string("nul\0inside", 10)}) {
        const Result<std::string> made = password_hash(p);
        ASSERT_FALSE(made);
        EXPECT_EQ(made.error().reason, "the password is too long or holds a NUL byte");
    }
}

TEST(Password, ShortPasswordsAreRefused) {
    const std::pair<std::string, bool> cases[] = {
        {"", false},
        {"1234567", false},
        {"12345678", true},
        {"\xc3\xa5\xc3\xa5\xc3\xa5\xc3\xa5", false},  // 4 characters
        {std::string(1023, 'p'), true},
        {std::string(1024, 'p'), false},
    };
    for (const auto& [pw, ok] : cases) {
        SCOPED_TRACE(pw.size());
        const std::string why = password_refusal(pw);
        EXPECT_EQ(why.empty(), ok) << why;
        if (pw.size() < 8) {
            EXPECT_EQ(why, "The password must be at least 8 characters long.");
        }
    }
}

class PasswordFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string t = (std::filesystem::temp_directory_path() / "tv_pw_XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(t.data()));
        dir = t;
        path = dir + "/users";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void write(const std::string& text, mode_t mode) {
        std::ofstream(path, std::ios::binary) << text;
        ::chmod(path.c_str(), mode);
    }
    std::string read() {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir, path;
};

TEST_F(PasswordFile, OneLineIsReplacedAndEverythingElseKept) {
    write("# users\nann:{ssha}A\r\nannie:{ssha}A\nbob:{ssha}B\nann:{ssha}C\nlast:x", 0640);
    Status done = password_file_update(path, "ann", "{ssha}A", "$y$new");
    ASSERT_TRUE(done) << done.reason();
    EXPECT_EQ(read(), "# users\nann:$y$new\r\nannie:{ssha}A\nbob:{ssha}B\nann:{ssha}C\nlast:x");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    done = password_file_update(path, "last", "x", "$y$z");
    ASSERT_TRUE(done) << done.reason();
    EXPECT_TRUE(read().ends_with("\nlast:$y$z")) << read();
}

TEST_F(PasswordFile, AChangedOrMissingEntryIsLeftAlone) {
    write("ann:{ssha}A\n", 0600);
    EXPECT_EQ(password_file_update(path, "ann", "{ssha}OTHER", "$y$new").reason(),
              path + " holds no line for ann with that entry");
    EXPECT_FALSE(password_file_update(path, "nobody", "{ssha}A", "$y$new"));
    EXPECT_EQ(read(), "ann:{ssha}A\n");
    Status st = password_file_update(dir + "/missing", "ann", "{ssha}A", "$y$new");
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().code, ENOENT);
    EXPECT_NE(st.error().reason.find("No such file or directory"), std::string::npos)
        << st.error().reason;
}

}  // namespace
}  // namespace tolvane
