// The fixture both message-path tests stand on: a temporary home, the gateway's key
// table, the message log, an unsynchronised file queue and the day's record file read
// back. Each path's fixture derives from it, calls PathFixture::SetUp first and
// PathFixture::TearDown last, and adds its transports and path record.
//
// Ownership: the fixture owns the directory (removed at the end), the table, the queue,
// and what a Gateway owns of the records: the limits' registry, the message log, the
// phone pool and the file stores over them (`state`, which the paths are given); the
// process-wide lock list is set up and released around each test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/lib.h"
#include "foundation/sini.h"
#include "gateway/keys.h"
#include "queue/queue.h"
#include "records/msglog.h"
#include "records/msgrec.h"
#include "records/mutexlist.h"
#include "records/phones.h"
#include "records/stores.h"
#include "support/status_check.h"

namespace tolvane::test {

// The lines of a text, a carriage return before each line feed dropped.
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return out;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class PathFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tvpathXXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        ini = sini_init(_settings);
        set("phone_country", "+61");
        Status loaded = msglog.load(dir + "/msglog.dat", '|');
        ASSERT_TRUE(loaded) << loaded.reason();
        state = file_state_stores(registry, msglog, pool);
        queue_file_options qo;
        qo.sync = false;  // durability is the store's own test; here only what is queued
        Result<std::unique_ptr<QueueStore>> opened = queue_file_open(dir + "/queue", qo);
        ASSERT_TRUE(succeeded(opened));
        queue = std::move(*opened);
    }

    void TearDown() override {
        queue.reset();
        msglog.clear();
        pool.clear();
        sini_free(ini);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    void set(const char* key, const char* value) {
        ASSERT_EQ(sini_set_l(ini.get(), key, nullptr, value), 1) << key;
    }

    // Lines of the record files of the given kind ("rec": mail to SMS, "log": SMS to
    // mail), every day's in turn (a test may run across midnight), the time field blanked.
    std::vector<std::string> day_records(const char* kind) {
        std::vector<std::string> days, out;
        const std::string suffix = std::string(".") + kind;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
            const std::string name = e.path().filename().string();
            if (name.size() == 8 + suffix.size() && name.ends_with(suffix) &&
                name.find_first_not_of("0123456789") == 8)
                days.push_back(name);
        }
        std::sort(days.begin(), days.end());
        std::string text;
        for (const std::string& d : days) text += read_file(dir + "/" + d);
        for (const std::string& l : lines_of(text)) {
            std::vector<std::string> f = ssplit(l, "|", 10, false);
            if (f.size() > 4) f[4] = "T";
            std::string joined;
            for (const std::string& x : f) joined += x + "|";
            joined.pop_back();
            out.push_back(joined);
        }
        return out;
    }

    std::string dir;
    LimitRegistry registry;  // outlives the limits the derived fixtures make
    MessageLog msglog;
    PhonePool pool;
    StateStores state;
    std::unique_ptr<SIni> ini;
    std::unique_ptr<QueueStore> queue;
};

}  // namespace tolvane::test
