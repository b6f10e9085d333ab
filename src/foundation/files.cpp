// Directories, the working directory, detaching from the terminal, sleeping
// and the re-entrant time conversions.
//
// Directory entries come back in the order the system lists them; callers
// that need an order sort. Every directory and descriptor is closed by its
// owner object, also on the error paths.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

std::string system_error(int err) {
    char buf[256];
    // GNU strerror_r may return a static text instead of filling buf.
    const char* s = strerror_r(err, buf, sizeof buf);
    return s ? s : "";
}

std::string currentdir() {
    std::error_code ec;
    auto p = std::filesystem::current_path(ec);
    return ec ? std::string() : p.string();
}

namespace {
bool is_dir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_one(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0755) == 0) return true;
    const int err = errno;
    if (err == EEXIST && is_dir(dir)) return true;
    errno = err;
    return false;
}
}  // namespace

int file_mkdir(const std::string& dir_in, bool make_all) {
    std::string dir = cut(dir_in, 255);
    if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
    if (dir.empty()) {
        emsg("Error creating directory '%s', %s", dir.c_str(), system_error(ENOENT).c_str());
        return 0;
    }
    if (make_all) {
        // Each missing parent first, from the top down.
        for (std::size_t i = 1; i < dir.size(); ++i) {
            if (dir[i] != '/' && dir[i] != '\\') continue;
            std::string parent = dir.substr(0, i);
            if (!is_dir(parent) && !make_one(parent)) {
                emsg("Error creating directory '%s', %s", parent.c_str(),
                     system_error(errno).c_str());
                return 0;
            }
        }
    }
    if (!make_one(dir)) {
        emsg("Error creating directory '%s', %s", dir.c_str(), system_error(errno).c_str());
        return 0;
    }
    return 1;
}

std::vector<std::string> file_list(const std::string& dir, const char* wild) {
    std::vector<std::string> out;
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) {
        emsg("Error opening dir '%s', %s", dir.c_str(), system_error(errno).c_str());
        return out;
    }
    if (!wild) wild = "*";
    while (struct dirent* e = ::readdir(d.get())) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (!wild_match(name, wild)) continue;
        // Full paths are not cut: a cut path would name some other file.
        std::string full = attach_path(dir, name, dir.size() + std::strlen(name) + 2);
        struct stat st {};
        if (::stat(full.c_str(), &st) != 0) continue;
        out.push_back(std::move(full));
    }
    return out;
}

int lib_detach() {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid > 0) ::_exit(0);
    if (::setsid() < 0) return -1;
    int fd = ::open("/dev/null", O_RDWR);
    if (fd >= 0) {
        ::dup2(fd, 0);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        if (fd > 2) ::close(fd);
    }
    return 0;
}

void lib_msleep(long ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool safe_localtime(std::time_t t, std::tm& out) {
    return ::localtime_r(&t, &out) != nullptr;
}

bool safe_gmtime(std::time_t t, std::tm& out) {
    return ::gmtime_r(&t, &out) != nullptr;
}

}  // namespace tolvane
