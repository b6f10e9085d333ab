// Folding: the day files of earlier days appended to their month files and removed.
//
// Only names of day files (eight digits, ".", kind) are folded, oldest first, so a
// month file stays in date order; a fold cut short by a crash leaves "<day file>.tmp",
// which the next fold appends first. Called with the day-file lock held.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "records/msgrec_internal.h"

namespace tolvane {

using namespace msgrec_detail;

namespace {

bool is_day_file(std::string_view name, std::string_view kind) {
    return name.size() == 9 + kind.size() && all_digits(name.substr(0, 8)) && name[8] == '.' &&
           name.substr(9) == kind;
}

// Appends a folded file to its month file and removes it; leaves it when either fails.
void compile_file(const std::string& dir, const std::string& tmp_name, std::string_view kind) {
    std::string tmp = attach_path(dir, tmp_name);
    std::string month = attach_path(dir, tmp_name.substr(0, 6) + "." + std::string(kind));
    imsg("MsgRec compile file [%s]", tmp.c_str());
    std::string data;
    if (!read_whole(tmp, data)) {
        emsg("MsgRec compile file, failed to read file (%s)", tmp.c_str());
        return;
    }
    if (!data.empty() && data.back() != '\n') data += '\n';
    UniqueFd out(::open(month.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!out || !write_all(out.get(), data)) {
        emsg("MsgRec compile file, failed to append (%s)", month.c_str());
        return;
    }
    ::unlink(tmp.c_str());
}

}  // namespace

void msgrec_compile(const std::string& dir, std::string_view day_kind, std::string_view exclude) {
    std::string kind(day_kind);
    imsg("MsgRec compile [*.%s], exclude [%.*s]", kind.c_str(), static_cast<int>(exclude.size()),
         exclude.data());
    std::vector<std::string> days, leftovers;
    if (DIR* d = ::opendir(dir.empty() ? "." : dir.c_str())) {
        while (dirent* de = ::readdir(d)) {
            std::string_view n(de->d_name);
            if (n == exclude) continue;
            if (is_day_file(n, kind))
                days.emplace_back(n);
            else if (n.size() > 4 && n.substr(n.size() - 4) == ".tmp" &&
                     is_day_file(n.substr(0, n.size() - 4), kind))
                leftovers.emplace_back(n);
        }
        ::closedir(d);
    } else {
        emsg("MsgRec compile, cannot list (%s): %s", dir.c_str(), std::strerror(errno));
        return;
    }
    // Oldest first, so that a month file stays in date order; a fold that a crash cut
    // short goes in before the day file of the same name could take its .tmp name.
    std::sort(days.begin(), days.end());
    std::sort(leftovers.begin(), leftovers.end());
    for (const auto& t : leftovers) compile_file(dir, t, kind);
    for (const auto& n : days) {
        std::string from = attach_path(dir, n);
        std::string tmp_name = n + ".tmp";
        if (::rename(from.c_str(), attach_path(dir, tmp_name).c_str()) != 0) continue;
        compile_file(dir, tmp_name, kind);
    }
}

}  // namespace tolvane
