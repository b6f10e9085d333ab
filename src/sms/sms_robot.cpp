// The robot transport: one run of the robot_cmd program per SMS.
//
// The state holds the command line and a copy of the gateway's environment made
// at start-up; each send works on a private copy of both, so concurrent sends
// never share a child, a pipe or an environment. Only the text of the last
// failure is shared (under a lock), since the error operation reads it by code.
#include "sms/sms_robot.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "foundation/kind.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/utf8.h"
#include "sms/lib_spawn.h"

extern char** environ;

namespace tolvane {

namespace {

constexpr std::size_t ROBOT_ENV_MAX = 90;

enum RobotCode : int {
    ROBOT_OK = 0,
    ROBOT_UNSUPPORTED = 1,
    ROBOT_SPAWN = 2,
    ROBOT_READ = 3,
    ROBOT_WRITE = 4,
    ROBOT_ANSWER = 5
};

// Watches the folder of the robot's program, so that the program appearing, going or
// changing its mode is told at once instead of being looked for again and again while
// it is missing. One thread, blocked in poll() on the inotify descriptor and a wake
// descriptor that the destructor signals.
class program_watch {
  public:
    program_watch() = default;
    program_watch(const program_watch&) = delete;
    program_watch& operator=(const program_watch&) = delete;
    ~program_watch() { stop(); }

    // False (with the reason) when the folder cannot be watched.
    [[nodiscard]] bool start(const std::string& program, std::function<void()> on_change,
                             std::string& why) {
        std::string dir = std::filesystem::path(program).parent_path().string();
        if (dir.empty()) dir = ".";
        ino_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (ino_ < 0 || wake_ < 0 ||
            ::inotify_add_watch(ino_, dir.c_str(),
                                IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
            why = dir + ": " + system_error(errno);
            stop();
            return false;
        }
        on_change_ = std::move(on_change);
        thread_ = std::jthread([this](std::stop_token st) { run(st); });
        return true;
    }

  private:
    void run(std::stop_token st) {
        // A stop request wakes the poll below through the eventfd.
        std::stop_callback wake(st, [this] {
            std::uint64_t one = 1;
            (void)!::write(wake_, &one, sizeof one);
        });
        alignas(inotify_event) char buf[4096];
        for (;;) {
            pollfd p[2] = {{ino_, POLLIN, 0}, {wake_, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (p[1].revents != 0) return;
            while (::read(ino_, buf, sizeof buf) > 0) {
            }
            on_change_();
        }
    }
    void stop() {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
        if (ino_ >= 0) ::close(ino_);
        if (wake_ >= 0) ::close(wake_);
        ino_ = wake_ = -1;
    }

    int ino_ = -1;
    int wake_ = -1;
    std::function<void()> on_change_;
    std::jthread thread_;
};

class sms_robot : public SmsTransport {
  public:
    sms_robot() : SmsTransport(SMS_ROBOT, "robot") {}

    // A program stopped by cut_sends is cut; every other failure is failed.
    SendResult send(const SmsOut& sms) override;
    // The programs still running get SIGTERM (SIGKILL when hard); their sends, and every
    // later one, end cut unless the program had already answered SUCCESS.
    void cut_sends(bool hard) override;
    // Up while the program can be run: a robot whose program is missing or not executable
    // would fail every send, so its messages are better held until it is back.
    bool up() const override { return program_runs(); }
    // While the program's folder is watched (see program_watch).
    bool tells_state() const override { return watched; }
    // From the watch: tells the state watcher when up() has changed.
    void program_changed() {
        const bool now = program_runs();
        if (now == was_up.exchange(now)) return;
        imsg("ROBOT %s", state_text().c_str());
        state_changed();
    }
    std::string state_text() const override {
        return program_runs() ? "command " + program() : "command " + program() + " cannot be run";
    }
    std::string program() const {
        std::vector<std::string> args = spawn_split_args(cmdline);
        return args.empty() ? std::string() : args.front();
    }
    bool program_runs() const {
        const std::string p = program();
        return !p.empty() && ::access(p.c_str(), X_OK) == 0;
    }

    std::vector<std::string> env;
    std::string cmdline;
    long answer_ms = ROBOT_ANSWER_MS;
    sms_coding coding = sms_coding::automatic;
    int max_parts = SMS_MAX_PARTS_DEFAULT;

    spawn_running running;           // the programs of sends in progress
    std::atomic<int> cut_signal{0};  // 0, or the signal the last cut_sends sent

    std::atomic<bool> was_up{false};  // up() when the watch last looked
    bool watched = false;             // set at start-up only
    program_watch watch;              // last: stopped before the fields above go
};

// The variables we set for the program replace any of the same name we inherited.
bool is_ours(std::string_view entry) {
    return entry.starts_with("SMS_LENGTH=") || entry.starts_with("SMS_FROM=") ||
           entry.starts_with("SMS_TO=") || entry.starts_with("SMS_CODING=") ||
           entry.starts_with("SMS_PARTS=");
}

int ilen(std::string_view s) {
    return static_cast<int>(s.size());
}

// The text the program gets on its input, coded and split as the modem and the SMS
// centre would; its length, the numbers, coding and parts go into env.
std::string robot_input(std::vector<std::string>& env, sms_coding coding, int max_parts,
                        std::string_view from, std::string_view to, std::string_view text) {
    sms_split split = sms_text_split(text, coding, max_parts, 0);
    std::string sent;
    if (split.alphabet == sms_alphabet::latin1) {
        sent = split.parts.front().data;
    } else {
        sent.assign(text.substr(0, utf8_prefix_bytes(text, split.characters)));
    }
    if (split.cut)
        imsg("ROBOT text cut to %zu of %zu characters (sms_max_parts %d)", split.characters,
             utf8_length(text), max_parts);
    if (split.substituted > 0)
        imsg("ROBOT %zu characters outside the %s alphabet sent as \"?\"", split.substituted,
             sms_alphabet_name(split.alphabet));
    std::string length = std::to_string(sent.size());
    std::string parts = std::to_string(split.parts.size());
    lib_spawn_addenv(env, "SMS_LENGTH", length);
    lib_spawn_addenv(env, "SMS_FROM", from);
    lib_spawn_addenv(env, "SMS_TO", to);
    lib_spawn_addenv(env, "SMS_CODING", sms_alphabet_name(split.alphabet));
    lib_spawn_addenv(env, "SMS_PARTS", parts);
    imsg("ROBOT length=(%s) from=(%.*s) to=(%.*s)", length.c_str(), ilen(cut(from)), from.data(),
         ilen(cut(to)), to.data());
    return sent;
}

// The program's answer line: ROBOT_OK for SUCCESS, else the failure with its text in err.
// hung when it did not answer in time.
int read_answer(int out, long answer_ms, const std::string& write_err, std::string& err,
                bool& hung) {
    imsg("ROBOT read...");
    std::string line;
    std::string excess;
    long nread = 0;
    if (spawn_gets_timed(out, line, excess, TEXT_MAX + 1, nread, answer_ms) == 1) {
        imsg("ROBOT result(%s)", line.c_str());
        if (istarts_with(line, "SUCCESS")) return ROBOT_OK;
        err = line;
        return ROBOT_ANSWER;
    }
    hung = nread == -2;
    if (!write_err.empty()) {
        err = write_err;
        return ROBOT_WRITE;
    }
    if (nread == -2)
        err = strprintf("no answer within %ld ms", answer_ms);
    else if (nread == 0)
        err = "the program ended without an answer";
    else if (nread > 0)
        err = "answer line too long";
    else
        err = spawn_error();
    return ROBOT_READ;
}

// Runs the program once; the failure text goes to err. Its child is in `running` while
// it is awaited; `cut` (the signal of a shutdown's cut) ends it.
int robot_run(const std::string& cmdline, std::vector<std::string> env, long answer_ms,
              sms_coding coding, int max_parts, std::string_view from, std::string_view to,
              std::string_view text, spawn_running& running, const std::atomic<int>& cut_by,
              std::string& err) {
    if (cut_by.load() != 0) return SMS_SEND_CUT;
    imsg("ROBOT (%s)", cmdline.c_str());
    imsg("ROBOT: %d env vars", static_cast<int>(env.size()));
    const std::string message = robot_input(env, coding, max_parts, from, to, text);

    int in = -1;
    int out = -1;
    int pid = lib_spawn(cmdline, env, in, out, err);
    if (pid < 0) return ROBOT_SPAWN;

    imsg("ROBOT pid=(%d)", pid);
    running.add(pid);
    // A cut that came while it was being started did not see it.
    if (int sig = cut_by.load(); sig != 0) ::kill(-pid, sig);
    std::string write_err;
    if (!message.empty() && spawn_write(in, message) != static_cast<long>(message.size())) {
        // A program may answer without reading its input and be gone before we write:
        // its answer, when there is one, still decides.
        write_err = spawn_error();
    }
    // The whole text is there: closing our end lets a program that reads to the end
    // of its input (text=$(cat)) go on to answer.
    spawn_close_pipex(in, __FILE__, __LINE__);
    bool hung = false;
    int code = read_answer(out, answer_ms, write_err, err, hung);
    imsg("ROBOT close...");
    spawn_close_pipex(out, __FILE__, __LINE__);
    spawn_close_pipex(in, __FILE__, __LINE__);
    // A program that has not answered in time is ended, so that it neither sends late
    // (its caller retries) nor lingers for ever.
    if (hung) ::kill(pid, SIGTERM);
    running.remove(pid);
    spawn_release(pid);
    if (code != ROBOT_OK && cut_by.load() != 0) {
        // Ended by the shutdown: whether it sent is unknown, and it is no failure of the SMS.
        imsg("ROBOT pid=(%d) cut short by the shutdown", pid);
        return SMS_SEND_CUT;
    }
    return code;
}

// The text of a failed run: the code's kind with what the run said.
std::string robot_error_text(int code, const std::string& said) {
    switch (code) {
        case ROBOT_UNSUPPORTED:
            return "This operation is not supported";
        case ROBOT_SPAWN:
            return strprintf("Failed to spawn process (%s)", cut(said, 99).c_str());
        case ROBOT_READ:
            return strprintf("Failed to read from process (%s)", cut(said, 99).c_str());
        case ROBOT_WRITE:
            return strprintf("Failed to write to process (%s)", cut(said, 99).c_str());
        case ROBOT_ANSWER:
            return cut(said);
        default:
            return strprintf("robot error %d", code);
    }
}

}  // namespace

std::unique_ptr<SmsTransport> sms_robot_init(const robot_init& rec) {
    auto st = std::make_unique<sms_robot>();
    st->cmdline = cut(strtrm(rec.cmdline));
    if (rec.answer_ms > 0) st->answer_ms = rec.answer_ms;
    st->coding = rec.coding;
    st->max_parts = rec.max_parts > 0 ? rec.max_parts : SMS_MAX_PARTS_DEFAULT;
    imsg("sms_robot: %s", st->cmdline.c_str());
    for (char** e = environ; e != nullptr && *e != nullptr && st->env.size() < ROBOT_ENV_MAX; ++e) {
        if (!is_ours(*e)) st->env.push_back(cut(*e));
    }
    imsg("sms_robot: %d system env vars", static_cast<int>(st->env.size()));
    st->was_up = st->program_runs();
    std::string why;
    const std::string prog = st->program();
    sms_robot* raw = st.get();
    if (!prog.empty() && st->watch.start(
                             prog, [raw] { raw->program_changed(); }, why))
        st->watched = true;
    else if (!prog.empty())
        wmsg("sms_robot: cannot watch the program's folder (%s); its state is asked for instead",
             why.c_str());
    return st;
}

SendResult sms_robot::send(const SmsOut& sms) {
    std::string err;
    int code = robot_run(cmdline, env, answer_ms, coding, max_parts, sms.from, sms.to, sms.text,
                         running, cut_signal, err);
    imsg("ROBOT done");
    if (code == 0) return Sent{};
    if (code == SMS_SEND_CUT)
        return SendError{SendFailure::cut, code, "Send cut short by the shutdown"};
    return SendError{SendFailure::failed, code, robot_error_text(code, err)};
}

void sms_robot::cut_sends(bool hard) {
    const int sig = hard ? SIGKILL : SIGTERM;
    cut_signal.store(sig);
    int n = running.signal_all(sig);
    if (n > 0) imsg("ROBOT: %d programs still running sent %s", n, hard ? "SIGKILL" : "SIGTERM");
}

long sms_robot_answer_ms(const SmsTransport* s) {
    const auto* st = kind_cast<const sms_robot>(s);
    return st ? st->answer_ms : 0;
}

}  // namespace tolvane
