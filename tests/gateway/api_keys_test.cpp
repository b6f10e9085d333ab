// The API's keys: made and revoked by the tool, kept only as hashes in a 0600 file, found
// by the key alone or by name and key, and seen at once by a running table when the file
// changes; idempotency keys: one request goes on while its twins wait for its answer.
#include "gateway/api_keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "gateway/api_idempotency.h"
#include "gateway/keys.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path dir;
    TempDir() {
        char tmpl[] = "/tmp/tv_apikeys_XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(dir); }
};

// Runs the tool; its output.
std::string tool(const SIni* ini, std::vector<std::string> args, int& status) {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* out = open_memstream(&buf, &len);
    status = apikey_tool(ini, args, 0, out);
    std::fclose(out);
    std::string text(buf, len);
    std::free(buf);
    return text;
}

// The line after `title` in the tool's output.
std::string line_after(const std::string& text, const std::string& title) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(title) != std::string::npos && std::getline(in, line)) return line;
    return "";
}

TEST(ApiKeys, MadeShownOnceKeptAsHashFoundAndRevoked) {
    TempDir t;
    const std::string path = (t.dir / "keys.dat").string();
    auto ini = sini_init(_settings);
    ASSERT_TRUE(ini);
    ASSERT_TRUE(sini_set(ini.get(), API_KEY_FILE, nullptr, path.c_str()));
    int status = 0;
    const std::string made = tool(ini.get(), {"-apikey", "shop"}, status);
    ASSERT_EQ(status, 0) << made;
    const std::string key = line_after(made, "API key shop");
    const std::string secret = line_after(made, "signing secret");
    ASSERT_EQ(key.size(), 3u + 64u);
    ASSERT_EQ(key.rfind("tv_", 0), 0u);
    ASSERT_EQ(secret.rfind("whsec_", 0), 0u);

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream in(path);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(file.find(key), std::string::npos);  // the key itself is never stored
    EXPECT_NE(file.find(api_key_hash(key)), std::string::npos);

    ApiKeyTable table(path);
    ASSERT_TRUE(table.find(key));
    EXPECT_EQ(table.find(key)->name, "shop");
    EXPECT_EQ(table.find(key)->secret, secret);
    EXPECT_FALSE(table.find(key + "x"));
    EXPECT_FALSE(table.find(""));
    EXPECT_TRUE(table.find("shop", key));
    EXPECT_FALSE(table.find("other", key));
    EXPECT_FALSE(table.find("shop", "tv_wrong"));

    // A second key of the same name is refused; a second name gets its own key.
    tool(ini.get(), {"-apikey", "shop"}, status);
    EXPECT_NE(status, 0);
    const std::string other =
        line_after(tool(ini.get(), {"-apikey", "crm"}, status), "API key crm");
    ASSERT_EQ(status, 0);
    EXPECT_NE(other, key);
    EXPECT_EQ(table.find(other)->name, "crm");  // the running table sees the new file

    tool(ini.get(), {"-apikey", "shop", "-revoke"}, status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(table.find(key));
    EXPECT_TRUE(table.find(other));
    tool(ini.get(), {"-apikey", "shop", "-revoke"}, status);
    EXPECT_NE(status, 0);  // nothing left to revoke
    tool(ini.get(), {"-apikey", "bad name"}, status);
    EXPECT_NE(status, 0);
}

// A key file that cannot be read or written is the tool's error, with the file's reason;
// a missing file is no keys, and a name it does not hold is not an error of the file.
TEST(ApiKeys, ToolTellsAFileItCannotUseFromANameItDoesNotHold) {
    TempDir t;
    std::ofstream(t.dir / "plain") << "not a directory\n";
    const std::string missing_dir = (t.dir / "none" / "keys.dat").string();
    const std::string under_file = (t.dir / "plain" / "keys.dat").string();
    struct Case {
        std::string path;
        std::vector<std::string> args;
        std::string want;
    };
    const Case cases[] = {
        {missing_dir,
         {"-apikey", "shop"},
         "ERROR: cannot store the key: cannot create " + missing_dir +
             ".tmp (No such file or directory)\n"},
        {under_file,
         {"-apikey", "shop"},
         "ERROR: cannot store the key: cannot read " + under_file + ": Not a directory\n"},
        {under_file,
         {"-apikey", "shop", "-revoke"},
         "ERROR: cannot revoke the key: cannot read " + under_file + ": Not a directory\n"},
        {missing_dir, {"-apikey", "shop", "-revoke"}, "No API key named shop\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + c.args.back());
        auto ini = sini_init(_settings);
        ASSERT_TRUE(sini_set(ini.get(), API_KEY_FILE, nullptr, c.path.c_str()));
        int status = 0;
        EXPECT_EQ(tool(ini.get(), c.args, status), c.want);
        EXPECT_EQ(status, 1);
    }
    Result<std::vector<ApiKey>> read = api_keys_read(under_file);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().code, ENOTDIR);
}

TEST(ApiIdempotency, TwinsWaitForTheFirstAnswerAndADifferentBodyConflicts) {
    TempDir t;
    const std::string path = (t.dir / "idem.log").string();
    std::atomic<int> goes{0}, replays{0};
    {
        ApiIdempotency idem(path);
        ASSERT_TRUE(succeeded(idem.open()));
        std::vector<std::thread> twins;
        for (int i = 0; i < 20; ++i) {
            twins.emplace_back([&] {
                ApiIdempotency::Answer a;
                auto slot = idem.begin("shop", "k1", "h1", a);
                if (slot == ApiIdempotency::Slot::go) {
                    ++goes;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    idem.finish("shop", "k1", {202, "{\"first\":1}"});
                } else if (slot == ApiIdempotency::Slot::replay && a.body == "{\"first\":1}") {
                    ++replays;
                }
            });
        }
        for (auto& th : twins) th.join();
        EXPECT_EQ(goes.load(), 1);
        EXPECT_EQ(replays.load(), 19);
        ApiIdempotency::Answer a;
        EXPECT_EQ(idem.begin("shop", "k1", "h2", a), ApiIdempotency::Slot::conflict);
        // Keys belong to their API key; a refused first request frees its key.
        EXPECT_EQ(idem.begin("crm", "k1", "h2", a), ApiIdempotency::Slot::go);
        idem.finish("crm", "k1", {429, "{}"});
        EXPECT_EQ(idem.begin("crm", "k1", "h2", a), ApiIdempotency::Slot::go);
        idem.finish("crm", "k1", {202, "{\"second\":1}"});
    }
    // The kept answers outlive the process.
    ApiIdempotency again(path);
    ASSERT_TRUE(succeeded(again.open()));
    ApiIdempotency::Answer a;
    EXPECT_EQ(again.begin("shop", "k1", "h1", a), ApiIdempotency::Slot::replay);
    EXPECT_EQ(a.status, 202);
    EXPECT_EQ(a.body, "{\"first\":1}");
    EXPECT_EQ(again.begin("crm", "k1", "h2", a), ApiIdempotency::Slot::replay);
    EXPECT_EQ(a.body, "{\"second\":1}");
}

}  // namespace
}  // namespace tolvane
