// "tolvane -records DAY [rec|log]": the message records of one day on standard output, in
// the day file's exact line format, from the local files or from the shared database as
// `store` says.
//
// Reads only: no limit is loaded (loading one may remove an expired counter file) and no
// schema is changed. Limits: a day is eight digits, YYYYMMDD, in the gateway's local time.
#include <cstdio>

#include "foundation/lib.h"
#include "gateway/gateway.h"
#include "gateway/store_admin.h"
#include "records/msgrec.h"
#include "store/pg_state.h"

namespace tolvane {

Result<records_request> records_tool_args(const std::vector<std::string>& args, std::size_t at) {
    if (at + 1 >= args.size() || args[at + 1].empty() || args[at + 1][0] == '-')
        return Error{0, "-records needs a day: -records YYYYMMDD [rec|log]"};
    records_request r;
    r.day = args[at + 1];
    if (at + 2 < args.size() && (iequals(args[at + 2], "rec") || iequals(args[at + 2], "log")))
        r.kind = iequals(args[at + 2], "log") ? "log" : "rec";
    return r;
}

namespace {

// The day's records from whichever store keeps them.
Result<std::string> day_lines(const SIni* ini, StoreKind store, char delim, const std::string& day,
                              const std::string& kind) {
    if (store != StoreKind::POSTGRESQL)
        return msgrec_day_records_in(sini_text(ini, WORKPATH), delim, day, kind);
    LimitRegistry no_limits;  // a day is read without any limit
    StateStores s = pg_state_stores(sini_text(ini, STORE_DSN), delim, phone_range{}, no_limits,
                                    nullptr);
    return s.records->day(day, kind);
}

}  // namespace

int records_tool(const SIni* ini, const std::vector<std::string>& args, std::size_t at) {
    Result<records_request> asked = records_tool_args(args, at);
    if (!asked) {
        std::printf("ERROR: %s\n", asked.reason().c_str());
        return 1;
    }
    Result<StoreKind> store = store_kind(ini);
    if (!store) {
        std::printf("ERROR: %s\n", store.reason().c_str());
        return 1;
    }
    const char delim = record_delimiter(sini_getx(ini, LOG_DELIMITER, nullptr, nullptr, 0));
    Result<std::string> out = day_lines(ini, *store, delim, asked->day, asked->kind);
    if (!out) {
        std::printf("ERROR: %s\n", out.reason().c_str());
        return 1;
    }
    std::fwrite(out->data(), 1, out->size(), stdout);
    return 0;
}

}  // namespace tolvane
