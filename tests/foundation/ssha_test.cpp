// Salted SHA-1 digests and Base64 decoding.
#include "foundation/ssha.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

// A digest worked out independently: SHA-1 of "secret" + salt 01 02 03 04, then salt.
std::string known_body() {
    const std::string salt("\x01\x02\x03\x04", 4);
    const std::string in = "secret" + salt;
    unsigned char md[20];
    unsigned int n = 0;
    EVP_Digest(in.data(), in.size(), md, &n, EVP_sha1(), nullptr);
    std::string raw(reinterpret_cast<char*>(md), 20);
    return encode_base64(raw + salt);
}

TEST(Ssha, BodyIs32CharactersWithoutPadding) {
    for (const char* pw : {"", "a", "password", "\xff\xfe binary \x01"}) {
        std::string body;
        ASSERT_EQ(create_ssha_base64_digest(pw, body), 1);
        EXPECT_EQ(body.size(), SSHA_BODY_LEN);
        EXPECT_EQ(body.find('='), std::string::npos);
        EXPECT_EQ(get_sha_error().find("error:(No Errors)"), get_sha_error().size() - 17)
            << get_sha_error();
    }
}

TEST(Ssha, TwoDigestsDifferButBothTestRight) {
    std::string a = ssha_encode("hunter2");
    std::string b = ssha_encode("hunter2");
    ASSERT_EQ(a.size(), SSHA_PREFIX.size() + SSHA_BODY_LEN);
    EXPECT_EQ(a.substr(0, 6), "{ssha}");
    EXPECT_NE(a, b);
    EXPECT_TRUE(ssha_check("hunter2", a));
    EXPECT_TRUE(ssha_check("hunter2", b));
    EXPECT_FALSE(ssha_check("hunter3", a));
    EXPECT_FALSE(ssha_check("", a));
}

TEST(Ssha, KnownDigestTestsRight) {
    const std::string stored = "{ssha}" + known_body();
    EXPECT_TRUE(ssha_check("secret", stored));
    EXPECT_FALSE(ssha_check("Secret", stored));
    std::string made;
    ASSERT_EQ(raw_create_ssha("secret", made, 100, known_body().c_str()), 1);
    EXPECT_EQ(made, known_body());
    EXPECT_TRUE(ssha_check("secret", "{SSHA}" + known_body()));  // prefix in any case
}

TEST(Ssha, AnyChangedBodyCharacterTestsWrong) {
    const std::string stored = ssha_encode("correct horse");
    ASSERT_TRUE(ssha_check("correct horse", stored));
    for (std::size_t i = SSHA_PREFIX.size(); i < stored.size(); ++i) {
        std::string bad = stored;
        bad[i] = bad[i] == 'A' ? 'B' : 'A';
        SCOPED_TRACE("position " + std::to_string(i));
        EXPECT_FALSE(ssha_check("correct horse", bad));
    }
    EXPECT_FALSE(ssha_check("correct horse", stored + "A"));
    EXPECT_FALSE(ssha_check("correct horse", stored.substr(0, stored.size() - 1)));
}

TEST(Ssha, ShortOrBrokenStoredValuesMatchNothing) {
    EXPECT_FALSE(ssha_check("x", ""));
    EXPECT_FALSE(ssha_check("x", "{ssha}"));
    EXPECT_FALSE(ssha_check("x", "{ssha}QUJD"));  // decodes to 3 bytes
    EXPECT_FALSE(ssha_check("x", "{sha}" + known_body()));
    EXPECT_FALSE(ssha_check("secret", "{ssha}" + known_body().substr(0, 20) + "!!!!!!!!!!!!"));
    std::string made = "stale";
    EXPECT_EQ(raw_create_ssha("x", made, 100, "QUJD"), 0);
    EXPECT_EQ(made, "");
    EXPECT_NE(get_sha_error().find("details:("), std::string::npos);
}

TEST(Ssha, OnlyFirst1023PasswordBytesCount) {
    const std::string base(SSHA_PASSWORD_MAX, 'p');
    const std::string stored = ssha_encode(base + "tail one");
    EXPECT_TRUE(ssha_check(base, stored));
    EXPECT_TRUE(ssha_check(base + "another tail", stored));
    EXPECT_FALSE(ssha_check(base.substr(1), stored));  // 1022 bytes is a different password
    std::string changed = base;
    changed[1022] = 'q';
    EXPECT_FALSE(ssha_check(changed, stored));
}

TEST(Ssha, OutputCutToSize) {
    std::string body;
    ASSERT_EQ(create_ssha_base64_digest("pw", body, 11), 1);
    EXPECT_EQ(body.size(), 10u);
}

TEST(Ssha, SaltsAreFreshAndOfTheAskedLength) {
    auto a = make_salt(4);
    auto b = make_salt(4);
    ASSERT_EQ(a.size(), 4u);
    ASSERT_EQ(make_salt(16).size(), 16u);
    // Four random bytes agree by chance once in four thousand million draws.
    EXPECT_NE(a, b);
}

TEST(Ssha, ErrorTextIsPerThread) {
    std::string body;
    create_ssha_base64_digest("pw", body);
    std::string other = "unset";
    std::thread t([&] { other = get_sha_error(); });
    t.join();
    EXPECT_EQ(other, "");  // nothing made on that thread yet
    EXPECT_NE(get_sha_error(), "");
}

TEST(Ssha, ParallelDigestsAllCheck) {
    std::vector<std::thread> ts;
    std::vector<int> ok(4, 0);
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&, i] {
            for (int k = 0; k < 50; ++k) {
                std::string pw = "user" + std::to_string(i) + "-" + std::to_string(k);
                if (ssha_check(pw, ssha_encode(pw))) ++ok[static_cast<std::size_t>(i)];
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(ok, (std::vector<int>{50, 50, 50, 50}));
}

// ---------------------------------------------------------------- Base64

TEST(Base64, DecodesStandardText) {
    std::string out;
    EXPECT_EQ(decode_base64("YWRtaW46c2VjcmV0", out, 100), 12);
    EXPECT_EQ(out, "admin:secret");
    EXPECT_EQ(decode_base64("YQ==", out, 100), 1);
    EXPECT_EQ(out, "a");
    EXPECT_EQ(decode_base64("YWI=", out, 100), 2);
    EXPECT_EQ(out, "ab");
    EXPECT_EQ(decode_base64("", out, 100), 0);
    EXPECT_EQ(decode_base64("YWI", out, 100), 2);  // padding left off
    EXPECT_EQ(out, "ab");
}

TEST(Base64, CharacterOutsideAlphabetGivesMinusOne) {
    std::string out = "x";
    EXPECT_EQ(decode_base64("YW!u", out, 100), -1);
    EXPECT_EQ(decode_base64("YW u", out, 100), -1);
    EXPECT_EQ(decode_base64("YQ=a", out, 100), -1);  // "=" only at the end
    EXPECT_EQ(decode_base64("Y===", out, 100), -1);
    EXPECT_EQ(decode_base64("YWJjZ", out, 100), -1);  // a lone trailing sextet
    EXPECT_EQ(decode_base64("YWJj\xc3", out, 100), -1);
}

TEST(Base64, OutputCutToSizeMinusOne) {
    std::string out;
    EXPECT_EQ(decode_base64("YWRtaW46c2VjcmV0", out, 6), 5);
    EXPECT_EQ(out, "admin");
    EXPECT_EQ(decode_base64("YWRtaW46c2VjcmV0", out, 0), 0);
}

TEST(Base64, BinaryRoundTrip) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    std::string out;
    EXPECT_EQ(decode_base64(encode_base64(bytes), out, 1000), 256);
    EXPECT_EQ(out, bytes);
}

}  // namespace
}  // namespace tolvane
