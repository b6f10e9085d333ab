// Fuzz target for the settings loader: any bytes as a settings file, then lookups of every
// key in every section, attribute lookups and reader walks over what was loaded.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/log.h"
#include "foundation/sini.h"

using namespace tolvane;

namespace {

// Rows shaped like the gateway's: plain keys, defaults, fallback chains (one looping),
// multi-valued keys and attribute templates with defaults.
const sini_table kKeys[] = {
    {0, "host", SM_NONE, nullptr, -1, nullptr},
    {1, "smtp_greeting", SM_NONE, "TOLVANE", -1, nullptr},
    {2, "smtp_outserver", SM_NONE, nullptr, 0, nullptr},
    {3, "home", SM_NONE, "/usr/local/tolvane", -1, nullptr},
    {4, "workpath", SM_NONE, nullptr, 3, nullptr},
    {5, "logpath", SM_NONE, nullptr, 4, nullptr},
    {6, "accept_ip", SM_MULTI, "*", -1, nullptr},
    {7, "phone_range", SM_NONE, nullptr, -1, "min=\"VALUE\" max=\"VALUE\""},
    {8, "report", SM_MULTI, "message=\"Tolvane is alive\" days=\"*\"", -1,
     "time=VALUE to=VALUE message=VALUE days=VALUE"},
    {9, "sms_to", SM_MULTI, "keyword=\"to\" phone=\"*\" prefix=\"\" domain=\"\"", -1,
     "keyword=VALUE phone=VALUE prefix=VALUE domain=VALUE"},
    {10, "alias_file", SM_NONE, "delimiter=\"*\" order=\"phone,email\"", -1,
     "file=VALUE delimiter=VALUE order=VALUE required=VALUE"},
    {11, "limit", SM_MULTI, "name=\"msgrec\" period=\"24\"", -1,
     "name=VALUE ip=VALUE to=VALUE from=VALUE period=VALUE"},
    {12, "wide", SM_MULTI, "a=\\\"q\\\" b=\"x\\\\y\"", -1,
     "a=VALUE b=VALUE c=VALUE d=VALUE e=VALUE f=VALUE g=VALUE h=VALUE i=VALUE j=VALUE"},
    {13, "loop_a", SM_NONE, nullptr, 14, nullptr},
    {14, "loop_b", SM_NONE, nullptr, 13, nullptr},
    {15, "sms_ignore", SM_MULTI, nullptr, -1, nullptr},
    {-1, nullptr, SM_NONE, nullptr, -1, nullptr},
};

const char* const kParts[] = {nullptr, "time", "message", "keyword", "MAX", "b", "nosuch"};

std::string temp_path() {
    return "/tmp/sini_fuzz." + std::to_string(getpid()) + ".ini";
}

volatile std::size_t g_sink;

void touch(const char* v) {
    if (v) g_sink = g_sink + std::char_traits<char>::length(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One scratch file per process, removed when the fuzzer exits.
    static const struct Scratch {
        std::string path = temp_path();
        ~Scratch() { std::remove(path.c_str()); }
    } scratch;
    const std::string& path = scratch.path;
    // A current log without a file: the loader's messages are formatted and dropped
    // instead of piling up as held errors from run to run.
    static std::unique_ptr<Log> log = [] {
        auto l = log_init(LOG_ERROR);
        log_set(l.get());
        return l;
    }();
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return 0;
        if (size) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    auto ini = sini_init(kKeys);
    // Odd-sized inputs use a section keyword of their own, so both spellings get fuzzed.
    sini_load(ini.get(), path, (size & 1) ? "site" : nullptr);

    const int domains = sini_domains(ini.get());
    for (int d = -1; d < domains && d < 3; ++d) {
        const char* sec = d < 0 ? nullptr : sini_domain_name(ini.get(), d);
        for (const sini_table* k = kKeys; k->Name; ++k) {
            for (const char* part : kParts) {
                for (int n = 0; n < 2; ++n) touch(sini_getx(ini.get(), k->Id, sec, part, n));
            }
            auto attrs = sini_attributes(ini.get(), k->Id, sec, 0);
            g_sink = g_sink + attrs.size();
        }
    }

    auto r = rini_init(ini.get());
    for (int id : {6, 8, 9, 11, 12, 15}) {
        int steps = 0;
        for (const char* v = rini_get_first(r.get(), id, nullptr, "time"); v && steps < 64;
             v = rini_get_next(r.get(), nullptr), ++steps) {
            touch(rini_get_cur(r.get(), "to"));
        }
    }
    // Stores over what was loaded follow the same rules as the loader's.
    sini_set(ini.get(), 8, sini_domain_name(ini.get(), 0), "time=\"1\" to=\"2\"");
    sini_set(ini.get(), 1, nullptr, "again");
    touch(rini_get(r.get(), 8, sini_domain_name(ini.get(), 0), "days"));
    rini_free(r);
    sini_free(ini);
    return 0;
}
