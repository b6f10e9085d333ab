// A private PostgreSQL server for tests (see pg_cluster.h).
#include "support/pg_cluster.h"

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "store/pg.h"

namespace tolvane {

namespace {

namespace fs = std::filesystem;

// The newest installed server's programs; Debian keeps them off PATH.
std::string find_bin() {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& d : fs::directory_iterator("/usr/lib/postgresql", ec))
        if (fs::exists(d.path() / "bin" / "initdb")) found.push_back(d.path() / "bin");
    if (found.empty()) return std::string();
    std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
        return std::atoi(a.parent_path().filename().c_str()) <
               std::atoi(b.parent_path().filename().c_str());
    });
    return found.back().string();
}

int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

std::mutex shared_m;
std::unique_ptr<PgCluster> shared_cluster;
std::string shared_why;
bool shared_tried = false;

}  // namespace

std::unique_ptr<PgCluster> PgCluster::start(std::string& why) {
    auto c = std::make_unique<PgCluster>();
    if (!c->init(why)) return nullptr;
    return c;
}

PgCluster* PgCluster::shared() {
    std::lock_guard<std::mutex> lock(shared_m);
    if (!shared_tried) {
        shared_tried = true;
        shared_cluster = start(shared_why);
        // Stopped at exit even when a test forgets: static destruction runs the destructor.
    }
    return shared_cluster.get();
}

const std::string& PgCluster::shared_error() {
    return shared_why;
}

bool PgCluster::run(const std::string& command, std::string& why) const {
    std::string full = user_.empty() ? command : "runuser -u " + user_ + " -- " + command;
    full += " >>" + dir_ + "/commands.log 2>&1";
    int rc = std::system(full.c_str());
    if (rc == 0) return true;
    why = "'" + command + "' failed (status " + std::to_string(rc) + "), see " + dir_ +
          "/commands.log";
    return false;
}

bool PgCluster::init(std::string& why) {
    bin_ = find_bin();
    if (bin_.empty()) {
        why = "no PostgreSQL server under /usr/lib/postgresql (scripts/install-deps installs it)";
        return false;
    }
    std::string tmpl = (fs::temp_directory_path() / "tvpgXXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        why = "cannot make a temporary directory";
        return false;
    }
    dir_ = tmpl;
    if (::geteuid() == 0) {
        // The server refuses to run as root: hand it the directory and run it as postgres.
        struct passwd* pw = ::getpwnam("postgres");
        if (pw == nullptr) {
            why = "running as root and there is no postgres user to run the server";
            destroy();
            return false;
        }
        user_ = "postgres";
        if (::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            why = "cannot hand " + dir_ + " to the postgres user";
            destroy();
            return false;
        }
    }
    // The watchdog removes the cluster once our end of the pipe closes: at destruction,
    // or when this process dies in any way.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        why = "cannot make a pipe";
        destroy();
        return false;
    }
    std::string pre = user_.empty() ? std::string() : "runuser -u " + user_ + " -- ";
    std::string cleanup = pre + bin_ + "/pg_ctl stop -m immediate -D " + dir_ +
                          "/data >/dev/null 2>&1; rm -rf " + dir_;
    pid_t pid = ::fork();
    if (pid == 0) {
        // A session of its own: a signal to the test's process group (a test runner's
        // time-out, ^C) must not end the watchdog along with the test, or the server,
        // which pg_ctl detaches from the group, would be left running.
        (void)::setsid();
        ::close(fds[1]);
        char b;
        while (::read(fds[0], &b, 1) != 0) {
        }
        ::execl("/bin/sh", "sh", "-c", cleanup.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[0]);
    if (pid < 0) {
        ::close(fds[1]);
        why = "cannot start the watchdog";
        destroy();
        return false;
    }
    watchdog_ = pid;
    watchdog_pipe_ = fds[1];
    if (!make_data(why)) {
        destroy();
        return false;
    }
    for (int i = 0; i < 5; ++i) {
        port_ = free_port();
        if (port_ != 0 && launch(why)) return true;
    }
    destroy();
    return false;
}

bool PgCluster::make_data(std::string& why) {
    // initdb takes seconds and every test process needs a cluster: one made once per
    // machine and server version is copied instead (a copy takes a fraction of that).
    std::string version = fs::path(bin_).parent_path().filename().string();
    std::string tmpl = (fs::temp_directory_path() /
                        ("tolvane-pgtemplate-" + std::to_string(::geteuid()) + "-" + version))
                           .string();
    std::error_code ec;
    if (!fs::exists(tmpl + "/data/PG_VERSION", ec)) {
        // Made beside it and renamed into place, so a half-made one is never used.
        std::string fresh = tmpl + ".XXXXXX";
        if (::mkdtemp(fresh.data()) == nullptr) {
            why = "cannot make a temporary directory for the cluster template";
            return false;
        }
        struct passwd* pw = user_.empty() ? nullptr : ::getpwnam(user_.c_str());
        if (pw != nullptr && ::chown(fresh.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            why = "cannot hand " + fresh + " to the postgres user";
            return false;
        }
        ::chmod(fresh.c_str(), 0755);
        if (!run(bin_ + "/initdb -D " + fresh +
                     "/data -A trust -U postgres -E UTF8 --locale=C --no-sync",
                 why)) {
            fs::remove_all(fresh, ec);
            return false;
        }
        if (::rename(fresh.c_str(), tmpl.c_str()) != 0) fs::remove_all(fresh, ec);  // lost a race
    }
    return run("cp -a " + tmpl + "/data " + dir_ + "/data", why);
}

bool PgCluster::launch(std::string& why) {
    std::string opts = "-p " + std::to_string(port_) + " -k " + dir_ +
                       " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200";
    if (!run(bin_ + "/pg_ctl start -w -t 60 -D " + dir_ + "/data -l " + dir_ + "/server.log -o '" +
                 opts + "'",
             why))
        return false;
    running_ = true;
    return true;
}

bool PgCluster::stop_now(std::string& why) {
    if (!run(bin_ + "/pg_ctl stop -w -m immediate -D " + dir_ + "/data", why)) return false;
    running_ = false;
    return true;
}

bool PgCluster::start_again(std::string& why) {
    return launch(why);
}

void PgCluster::destroy() {
    if (watchdog_pipe_ >= 0) {
        ::close(watchdog_pipe_);
        watchdog_pipe_ = -1;
        int status = 0;
        while (::waitpid(watchdog_, &status, 0) < 0 && errno == EINTR) {
        }
        watchdog_ = -1;
    } else if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    running_ = false;
}

PgCluster::~PgCluster() {
    destroy();
}

std::string PgCluster::dsn(const std::string& database) const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=" + database +
           " connect_timeout=5";
}

std::string PgCluster::fresh_database() {
    std::string name = "tv" + std::to_string(::getpid()) + "_" + std::to_string(next_db_++);
    Result<std::unique_ptr<PgConn>> c = PgConn::open(dsn());
    if (!c || !(*c)->script("CREATE DATABASE " + name)) return std::string();
    return name;
}

std::string pg_unreachable_dsn() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) ::close(fd);
    return "host=127.0.0.1 port=" + std::to_string(port) +
           " user=postgres dbname=none connect_timeout=2";
}

}  // namespace tolvane
