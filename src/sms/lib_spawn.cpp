// Spawning external programs with two pipes; timed line reads; reaping children.
#include "sms/lib_spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/thread.h"

namespace tolvane {

namespace {

constexpr long SPAWN_LOCK_MS = 600000;

MUTEX* spawn_lock() {
    static const std::unique_ptr<MUTEX> lock = th_mutex_new("spawn");
    return lock.get();
}

// Children handed to spawn_release that had not ended yet. Reaping runs under the spawn
// lock; the list has a plain lock of its own so that it stays sound even when the spawn
// lock could not be had.
std::mutex pending_lock;
std::vector<int>& pending_children() {
    static std::vector<int> pending;
    return pending;
}

void ignore_sigpipe_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        if (sigaction(SIGPIPE, nullptr, &sa) == 0 && sa.sa_handler == SIG_DFL) {
            std::signal(SIGPIPE, SIG_IGN);
        }
    });
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Closes a descriptor, keeping errno of the failure that made us close it.
void close_quietly(int& fd) {
    if (fd < 0) return;
    int saved = errno;
    ::close(fd);
    errno = saved;
    fd = -1;
}

// Owners of the posix_spawn attribute objects, so every return path destroys them.
struct SpawnActions {
    posix_spawn_file_actions_t fa{};
    bool ok = posix_spawn_file_actions_init(&fa) == 0;
    ~SpawnActions() {
        if (ok) posix_spawn_file_actions_destroy(&fa);
    }
};
struct SpawnAttr {
    posix_spawnattr_t at{};
    bool ok = posix_spawnattr_init(&at) == 0;
    ~SpawnAttr() {
        if (ok) posix_spawnattr_destroy(&at);
    }
};

// The child's input and output on 0 and 1. dup2 clears close-on-exec there; everything
// else of ours is closed, so the program never holds our listening sockets or another
// child's pipes.
int set_child_ends(SpawnActions& actions, int child_in, int child_out) {
    int rc = posix_spawn_file_actions_adddup2(&actions.fa, child_in, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions.fa, child_out, 1);
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions.fa, 3);
    return rc;
}

// No signal blocked, the usual ones back to their defaults, and a group of its own, so
// that a signal to the group reaches what the program started too (a script's sleep
// holding the answer pipe open).
int set_child_signals(SpawnAttr& attr) {
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    int rc = posix_spawnattr_setsigmask(&attr.at, &none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr.at, &defaults);
    if (rc == 0) rc = posix_spawnattr_setpgroup(&attr.at, 0);
    if (rc == 0) {
        rc = posix_spawnattr_setflags(
            &attr.at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    return rc;
}

// The two pipes to and from the child; false with the reason in msg, and none left open.
bool open_pipes(int to_child[2], int from_child[2], std::string& msg) {
    if (pipe2(to_child, O_CLOEXEC) != 0) {
        msg = spawn_error();
        return false;
    }
    if (pipe2(from_child, O_CLOEXEC) != 0) {
        msg = spawn_error();
        close_quietly(to_child[0]);
        close_quietly(to_child[1]);
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> spawn_split_args(std::string_view cmdline) {
    std::vector<std::string> args;
    std::size_t i = 0;
    while (i < cmdline.size() && args.size() < SPAWN_MAX_ARGS) {
        while (i < cmdline.size() && is_blank(cmdline[i])) ++i;
        if (i >= cmdline.size()) break;
        std::string word;
        bool quoted = false;
        for (; i < cmdline.size(); ++i) {
            char c = cmdline[i];
            if (c == '"') {
                quoted = !quoted;
                continue;
            }
            if (!quoted && is_blank(c)) break;
            word += c;
        }
        args.push_back(std::move(word));
    }
    return args;
}

int lib_spawn(std::string_view cmd, const std::vector<std::string>& env, int& xin, int& xout,
              std::string& msg) {
    xin = -1;
    xout = -1;
    ignore_sigpipe_once();
    imsg("lib_spawn: lib_spawn(%.*s)", static_cast<int>(cut(cmd).size()), cmd.data());
    // The environment is never logged, at any level: it is mostly the gateway's own, and
    // a password or key kept there would end up in the log.

    std::vector<std::string> args = spawn_split_args(cmd);
    if (args.empty()) {
        msg = cut(system_error(ENOENT), 99);
        return -1;
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envcopy = env;
    std::vector<char*> envp;
    for (std::string& e : envcopy) envp.push_back(e.data());
    envp.push_back(nullptr);

    MutexHold hold(spawn_lock(), SPAWN_LOCK_MS);
    if (!hold) {
        msg = "spawn lock not obtained";
        return -1;
    }
    // to_child: the child reads [0], we write [1]; from_child: the child writes [1], we read [0].
    int to_child[2] = {-1, -1};
    int from_child[2] = {-1, -1};
    if (!open_pipes(to_child, from_child, msg)) return -1;
    auto close_all = [&] {
        close_quietly(to_child[0]);
        close_quietly(to_child[1]);
        close_quietly(from_child[0]);
        close_quietly(from_child[1]);
    };

    SpawnActions actions;
    SpawnAttr attr;
    int rc = (actions.ok && attr.ok) ? 0 : ENOMEM;
    if (rc == 0) rc = set_child_ends(actions, to_child[0], from_child[1]);
    if (rc == 0) rc = set_child_signals(attr);
    pid_t pid = -1;
    if (rc == 0) rc = posix_spawn(&pid, argv[0], &actions.fa, &attr.at, argv.data(), envp.data());
    if (rc != 0) {
        msg = cut(system_error(rc), 99);
        if (rc == EAGAIN || rc == ENOMEM) {
            emsg("lib_spawn: Fork failed (%s)", msg.c_str());
        } else {
            emsg("lib_spawn: cannot run (%s), %s", argv[0], msg.c_str());
        }
        close_all();
        return -1;
    }
    close_quietly(to_child[0]);
    close_quietly(from_child[1]);
    xin = to_child[1];
    xout = from_child[0];
    return static_cast<int>(pid);
}

long spawn_write(int h, std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(h, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

int spawn_gets_timed(int h, std::string& line, std::string& excess, std::size_t bfsz, long& nread,
                     long timeout_ms) {
    line = std::move(excess);
    excess.clear();
    nread = 0;
    const std::size_t room = bfsz > 0 ? bfsz - 1 : 0;
    std::string buf(512, '\0');
    for (;;) {
        std::size_t lf = line.find('\n');
        if (lf != std::string::npos && lf < room) {
            excess = line.substr(lf + 1);
            nread = static_cast<long>(lf + 1);
            line.resize(lf);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return 1;
        }
        if (line.size() >= room) {
            nread = static_cast<long>(line.size());
            return 0;
        }
        struct pollfd p {
            h, POLLIN, 0
        };
        int pr = ::poll(&p, 1, static_cast<int>(timeout_ms));
        if (pr < 0 && errno == EINTR) continue;
        if (pr == 0) {
            nread = -2;
            return 0;
        }
        if (pr < 0) {
            nread = -1;
            return 0;
        }
        std::size_t want = std::min(buf.size(), room - line.size());
        ssize_t n = ::read(h, buf.data(), want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            nread = static_cast<long>(n);
            return 0;
        }
        line.append(buf.data(), static_cast<std::size_t>(n));
    }
}

int spawn_close_pipex(int& h, const char* src, int line) {
    if (h < 0) return 1;
    int rc = ::close(h);
    h = -1;
    if (rc != 0) {
        std::string err = spawn_error();
        emsg("spawn_close: failed (%d) %s [%s:%d]", rc, err.c_str(), src ? src : "", line);
        return 0;
    }
    return 1;
}

void spawn_release(int pid) {
    MutexHold hold(spawn_lock(), SPAWN_LOCK_MS);
    std::lock_guard<std::mutex> list(pending_lock);
    std::vector<int>& pending = pending_children();
    if (!hold) {
        // Not reaped now; the child is not lost, the next call tries again.
        if (pid > 0) pending.push_back(pid);
        return;
    }
    for (std::size_t i = 0; i < pending.size();) {
        pid_t r = ::waitpid(pending[i], nullptr, WNOHANG);
        if (r == 0) {
            ++i;
            continue;
        }
        // Reaped, or no longer our child (ECHILD): either way forget it.
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (pid <= 0) return;
    if (::waitpid(pid, nullptr, WNOHANG) == 0) pending.push_back(pid);
}

void spawn_running::add(int pid) {
    if (pid <= 0) return;
    std::lock_guard<std::mutex> g(m_);
    pids_.push_back(pid);
}

void spawn_running::remove(int pid) {
    std::lock_guard<std::mutex> g(m_);
    std::erase(pids_, pid);
}

int spawn_running::signal_all(int sig) {
    std::lock_guard<std::mutex> g(m_);
    int n = 0;
    // Under the lock: a child is taken out before it is reaped, so its group id still
    // names it and nothing else.
    for (int pid : pids_)
        if (::kill(-pid, sig) == 0 || ::kill(pid, sig) == 0) ++n;
    return n;
}

std::size_t spawn_running::size() const {
    std::lock_guard<std::mutex> g(m_);
    return pids_.size();
}

std::size_t spawn_pending() {
    std::lock_guard<std::mutex> list(pending_lock);
    return pending_children().size();
}

std::string spawn_error() {
    return cut(system_error(errno), 99);
}

std::size_t lib_spawn_addenv(std::vector<std::string>& env, std::string_view var,
                             std::string_view val) {
    std::string entry;
    entry.reserve(var.size() + 1 + val.size());
    entry.append(var).append("=").append(val);
    env.push_back(cut(entry, TEXT_MAX));
    return env.size();
}

}  // namespace tolvane
