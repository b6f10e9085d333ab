// The command line: the tools run instead of the server (version, usage, password,
// install, uninstall) and the -debug console.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <limits.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stop_token>
#include <system_error>
#include <thread>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/password.h"
#include "foundation/thread.h"
#include "gateway/cli.h"

#include "gateway/api_keys.h"
#include "gateway/gateway.h"
#include "gateway/store_admin.h"

namespace tolvane {

namespace {

constexpr std::size_t ANSWER_MAX = 49;

bool is_help_word(const std::string& a) {
    static constexpr const char* WORDS[] = {"-help", "-h",    "-?", "help", "h",
                                            "?",     "/help", "/h", "/?"};
    for (const char* w : WORDS) {
        if (iequals(a, w)) return true;
    }
    return false;
}

// One answer, cut at CR or LF; false at end of input. An answer longer than 49
// characters sets too_long (and keeps only its start), so that it is refused rather
// than silently cut.
bool read_answer(std::FILE* in, std::string& out, bool& too_long) {
    out.clear();
    too_long = false;
    int c = 0;
    bool any = false;
    std::string raw;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (raw.size() <= ANSWER_MAX + 1) raw.push_back(static_cast<char>(c));
    }
    if (!any) return false;
    out = std::string(strip_eol_r(raw));
    if (out.size() > ANSWER_MAX) {
        too_long = true;
        out.resize(ANSWER_MAX);
    }
    return true;
}

// The terminal's settings while echo is off, for the signal handler to put back.
struct termios saved_tty;
volatile std::sig_atomic_t tty_saved_fd = -1;

extern "C" void restore_tty_and_die(int sig) {
    if (tty_saved_fd >= 0) ::tcsetattr(tty_saved_fd, TCSANOW, &saved_tty);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Echo off on a terminal while a password is typed; a stream that is not a terminal
// is read as it is. The old settings come back at the end, also on Ctrl-C.
class NoEcho {
  public:
    explicit NoEcho(std::FILE* in) {
        const int fd = ::fileno(in);
        struct termios t {};
        if (fd < 0 || !::isatty(fd) || ::tcgetattr(fd, &t) != 0) return;
        saved_tty = t;
        tty_saved_fd = fd;
        old_int_ = ::signal(SIGINT, restore_tty_and_die);
        old_term_ = ::signal(SIGTERM, restore_tty_and_die);
        old_hup_ = ::signal(SIGHUP, restore_tty_and_die);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        t.c_lflag |= ECHONL;  // the line end still shows, so the next prompt starts a line
        if (::tcsetattr(fd, TCSANOW, &t) == 0) fd_ = fd;
    }
    ~NoEcho() {
        if (fd_ >= 0) ::tcsetattr(fd_, TCSANOW, &saved_tty);
        if (tty_saved_fd >= 0) {
            tty_saved_fd = -1;
            ::signal(SIGINT, old_int_);
            ::signal(SIGTERM, old_term_);
            ::signal(SIGHUP, old_hup_);
        }
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

  private:
    int fd_ = -1;
    void (*old_int_)(int) = SIG_DFL;
    void (*old_term_)(int) = SIG_DFL;
    void (*old_hup_)(int) = SIG_DFL;
};

// Echo goes off before the prompt shows: whatever is typed once the prompt is seen stays
// hidden.
bool read_secret(std::FILE* in, std::FILE* out, const char* prompt, std::string& answer,
                 bool& too_long) {
    NoEcho quiet(in);
    std::fputs(prompt, out);
    std::fflush(out);
    return read_answer(in, answer, too_long);
}

// The service hooks of other platforms; on this one they do nothing and report success.
int svc_install(const std::string&, std::string&) {
    return 1;
}
int svc_start(std::string&) {
    return 1;
}
int svc_stop(std::string&) {
    return 1;
}
int svc_remove(std::string&) {
    return 1;
}

int uninstall() {
    std::string why;
    if (svc_stop(why))
        std::printf("OK Tolvane stopped\n");
    else
        std::printf("ERR %s\n", why.c_str());
    if (svc_remove(why))
        std::printf("OK Uninstallation successful\n");
    else
        std::printf("ERR %s\n", why.c_str());
    return 0;
}

int install(const std::string& dir, const std::string& path) {
    uninstall();
    std::printf("[%s]\n", path.c_str());
    std::string why;
    if (svc_install(path, why))
        std::printf("OK Installation successful\n");
    else
        std::printf("ERR %s\n", why.c_str());
    if (svc_start(why))
        std::printf("OK Tolvane started\n");
    else
        std::printf("ERR %s", why.c_str());
    if (Status st = install_scripts(dir); !st) {
        std::printf("ERR %s\n", st.error().reason.c_str());
        return 1;
    }
    return 0;
}

// Replaces a whole file (see write_file_atomic); the person at the terminal is told the
// file and the system's reason.
bool write_file(const std::string& path, const std::string& text, mode_t mode, std::string& why) {
    FileWriteError err;
    if (write_file_atomic(path, text, mode, err)) return true;
    why = path + ": " + system_error(err.code);
    return false;
}

// How often the console's wait for input looks whether it is told to stop.
constexpr int CONSOLE_POLL_MS = 200;

// One line of standard input (cut to TEXT_MAX) in line; false at the end of the input,
// when it fails, or when the console is told to stop. Reads the descriptor itself (no
// stdio buffer), so that a wait for input can also watch for the stop.
bool console_line(std::stop_token st, std::string& pending, std::string& line) {
    for (;;) {
        if (std::size_t nl = pending.find('\n'); nl != std::string::npos) {
            line.assign(pending, 0, std::min<std::size_t>(nl, TEXT_MAX));
            pending.erase(0, nl + 1);
            return true;
        }
        if (st.stop_requested()) return false;
        pollfd pf{STDIN_FILENO, POLLIN, 0};
        int r = ::poll(&pf, 1, CONSOLE_POLL_MS);
        if (r < 0 && errno != EINTR) return false;
        if (r <= 0) continue;
        char buf[512];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            if (pending.empty()) return false;
            line.assign(pending, 0, std::min<std::size_t>(pending.size(), TEXT_MAX));
            pending.clear();
            return true;
        }
        pending.append(buf, static_cast<std::size_t>(n));
    }
}

// The -debug console: reads commands from standard input until "quit", the end of the
// input or a stop of its thread (at exit).
void th_debug_fn(Gateway& gw, std::stop_token st) {
    for (int i = 0; i < 1000 / CONSOLE_POLL_MS && !st.stop_requested(); ++i)
        lib_msleep(CONSOLE_POLL_MS);
    std::string line, pending;
    for (;;) {
        std::printf("\nINPUT:");
        std::fflush(stdout);
        line.clear();
        if (!console_line(st, pending, line)) return;
        std::string_view cmd = strtrm(line);
        if (cmd.size() >= 4 && s_strnicmp(cmd, "quit", 4) == 0) {
            gateway_request_stop(gw);
            return;
        }
        if (cmd.size() >= 4 && s_strnicmp(cmd, "smtp", 4) == 0 &&
            (cmd.size() == 4 || cmd[4] == ' ' || cmd[4] == '\t')) {
            std::vector<std::string> words = s_split_words(cmd.substr(4), " \t");
            std::string_view rest = strtrm(cmd.substr(4));
            std::size_t gap = rest.find_first_of(" \t");
            if (words.size() < 2 || gap == std::string_view::npos) {
                std::printf("ERROR: smtp <email> <message>\n");
                continue;
            }
            std::string to(rest.substr(0, gap));
            std::string text(strtrm(rest.substr(gap)));
            if (Status sent = console_send(gw, to, text); !sent)
                std::printf("ERROR: %s\n", sent.reason().c_str());
            continue;
        }
        std::printf("HELP\n");
        std::printf("smtp <email> <message>\n");
        std::printf("quit\n");
    }
}

// The console's thread belongs to the gateway (gw.console), which stops and joins it; the
// daemon forked off by detaching has no such thread and lets go of the handle (start-up).
void start_console(Gateway& gw) {
    if (gw.console) return;
    try {
        gw.console = std::make_unique<std::jthread>(
            [&gw](std::stop_token st) { th_debug_fn(gw, std::move(st)); });
    } catch (const std::system_error& err) {
        emsg("Cannot start the console: %s", err.what());
    }
}

}  // namespace

std::string cli_usage() {
    std::string u = strprintf("Tolvane %s\n", TOLVANE_RELEASE);
    u += "\n";
    u += "tolvane -version\n";
    u += "tolvane -install\n";
    u += "tolvane -uninstall\n";
    u += "\n";
    u += "tolvane -password       write the web administrator file admin.dat\n";
    u += "tolvane -password smtp  add or change a mail client's password in smtp_users\n";
    u += "tolvane -debug          run with a console on standard input\n";
    u += "tolvane -config FILE    read FILE instead of /etc/tolvane.ini\n";
    u += "tolvane -foreground     run the server without detaching from the terminal\n";
    u += "tolvane -queue          list the entries waiting in the message queue\n";
    u += "tolvane -queue flush    ask the running server to retry its queue now\n";
    u += "tolvane -store check    show the shared store's schema version and table sizes\n";
    u += "tolvane -records DAY [rec|log]  print a day's message records (DAY is YYYYMMDD)\n";
    u += "tolvane -apikey NAME [-revoke]  make (and print once) or revoke an HTTP API key\n";
    return u;
}

std::string program_dir(const std::string& argv0, const std::string& cwd) {
    std::string p = argv0;
    for (char& c : p) {
        if (c == '\\') c = '/';
    }
    bool absolute = !p.empty() && p[0] == '/';
    if (!absolute && p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) &&
        p[1] == ':') {
        absolute = true;
    }
    if (!absolute) {
        std::string base = cwd;
        for (char& c : base) {
            if (c == '\\') c = '/';
        }
        p = base + "/" + p;
    }
    std::vector<std::string> parts;
    for (const std::string& part : ssplit(p, "/", 100000, false)) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    if (!parts.empty()) parts.pop_back();  // the program file itself
    std::string dir;
    std::size_t first = 0;
    if (!parts.empty() && parts[0].size() == 2 && parts[0][1] == ':') {
        dir = parts[0];
        first = 1;
    }
    for (std::size_t i = first; i < parts.size(); ++i) dir += "/" + parts[i];
    return dir.empty() ? std::string("/") : dir;
}

std::string program_base(const std::string& argv0) {
    std::string p = argv0;
    for (char& c : p) {
        if (c == '\\') c = '/';
    }
    std::size_t slash = p.rfind('/');
    std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
    return last.substr(0, last.find('.'));
}

namespace {

// Asks for a user name and a password typed twice (without echo); the password's line
// "name:$y$..." in line. 1 a line was made, 0 end of input, -1 the password was refused
// (shorter than 8 characters) or could not be hashed (reported).
int ask_password(std::FILE* in, std::FILE* out, const char* who, bool need_name, std::string& user,
                 std::string& line) {
    std::string pass;
    std::string again;
    for (;;) {
        bool user_long = false;
        bool pass_long = false;
        bool again_long = false;
        std::fprintf(out, "Enter %s username: ", who);
        std::fflush(out);
        if (!read_answer(in, user, user_long)) return 0;
        if (!read_secret(in, out, strprintf("Enter %s password: ", who).c_str(), pass, pass_long))
            return 0;
        if (!read_secret(in, out, strprintf("Enter %s password(again): ", who).c_str(), again,
                         again_long))
            return 0;
        if (user_long) {
            std::fprintf(out, "The user name is longer than %d characters, please try again.\n",
                         static_cast<int>(ANSWER_MAX));
            continue;
        }
        if (pass_long || again_long) {
            std::fprintf(out, "The password is longer than %d characters, please try again.\n",
                         static_cast<int>(ANSWER_MAX));
            continue;
        }
        if (user.find(':') != std::string::npos) {
            std::fprintf(out, "The user name must not hold ':', please try again.\n");
            continue;
        }
        if (need_name && user.empty()) {
            std::fprintf(out, "The user name must not be empty, please try again.\n");
            continue;
        }
        if (pass != again) {
            std::fprintf(out, "Passwords don't match, please try again.\n");
            continue;
        }
        // A short password is refused outright, not asked for again: a script that feeds
        // one must fail, not write nothing and succeed.
        if (const std::string why = password_refusal(pass); !why.empty()) {
            std::fprintf(out, "%s Nothing was written.\n", why.c_str());
            return -1;
        }
        const Result<std::string> hash = password_hash(pass);
        if (!hash) {
            std::fprintf(out, "Failed to encrypt password (%s)\n", hash.error().reason.c_str());
            return -1;
        }
        line = strprintf("%s:%s\n", user.c_str(), hash->c_str());
        return 1;
    }
}

}  // namespace

int password_tool(std::FILE* in, std::FILE* out, const std::string& path) {
    std::string user;
    std::string line;
    int got = ask_password(in, out, "web admin", false, user, line);
    if (got < 0) return 1;
    if (got == 0) {
        std::fprintf(out, "\nNo answer given, admin.dat not written\n");
        return 1;
    }
    std::string why;
    if (!write_file(path, line, 0600, why)) {
        std::fprintf(out, "%s\n", why.c_str());
        return 1;
    }
    return 0;
}

int smtp_password_tool(std::FILE* in, std::FILE* out, const std::string& path) {
    if (path.empty()) {
        std::fprintf(out, "smtp_users is not set: name the users file in the settings first\n");
        return 1;
    }
    // The other users' lines (and comments) are kept as they are; a missing file is new.
    std::string old;
    {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f && errno != ENOENT) {
            std::fprintf(out, "%s: %s\n", path.c_str(), system_error(errno).c_str());
            return 1;
        }
        if (f) {
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) old.append(buf, n);
            std::fclose(f);
        }
    }
    std::string user;
    std::string line;
    int got = ask_password(in, out, "SMTP", true, user, line);
    if (got < 0) return 1;
    if (got == 0) {
        std::fprintf(out, "\nNo answer given, %s not written\n", path.c_str());
        return 1;
    }
    std::string text;
    bool replaced = false;
    std::size_t at = 0;
    while (at < old.size()) {
        std::size_t nl = old.find('\n', at);
        std::size_t end = nl == std::string::npos ? old.size() : nl + 1;
        std::string_view l(old.data() + at, end - at);
        if (l.starts_with(user + ":")) {
            if (!replaced) text += line;  // in its old place
            replaced = true;
        } else {
            text.append(l);
            if (nl == std::string::npos) text += '\n';
        }
        at = end;
    }
    if (!replaced) text += line;
    std::string why;
    if (!write_file(path, text, 0600, why)) {
        std::fprintf(out, "%s\n", why.c_str());
        return 1;
    }
    std::fprintf(out, "%s user %s in %s\n", replaced ? "Changed" : "Added", user.c_str(),
                 path.c_str());
    return 0;
}

Status install_scripts(const std::string& dir) {
    std::string cd = strprintf("cd \"%s\"\n", dir.c_str());
    std::string why;
    if (!write_file(attach_path(dir, "tolvane_start.sh"), cd + "./tolvane", 0755, why) ||
        !write_file(attach_path(dir, "tolvane_stop.sh"), cd + "ls > tolvane.exit\n", 0755, why))
        return Error{0, why};
    return {};
}

int cli_prescan(int argc, char** argv, CommandLine& cl) {
    cl.argv0 = argc > 0 && argv[0] ? argv[0] : "tolvane";
    cl.args.clear();
    for (int i = 1; i < argc; ++i) cl.args.emplace_back(argv[i] ? argv[i] : "");
    for (std::size_t i = 0; i < cl.args.size(); ++i) {
        if (iequals(cl.args[i], "-config")) {
            if (i + 1 >= cl.args.size()) return 0;
            cl.config = cl.args[++i];
        } else if (iequals(cl.args[i], "-foreground")) {
            cl.foreground = true;
        }
    }
    return 1;
}

// The program file's directory: from argv[0]; a bare name was found through the path
// list, so the running file itself tells where it is.
static std::string own_dir(const std::string& argv0) {
    if (argv0.find('/') == std::string::npos && argv0.find('\\') == std::string::npos) {
        std::string exe(PATH_MAX, '\0');
        ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
        if (n > 0) {
            exe.resize(static_cast<std::size_t>(n));
            return program_dir(exe, "/");
        }
    }
    return program_dir(argv0, currentdir());
}

std::optional<std::string> cli_unknown(const CommandLine& cl) {
    static constexpr const char* KNOWN[] = {"-version",   "-password", "-install",
                                            "-uninstall", "-debug",    "-foreground",
                                            "-queue",     "-store",    "-records",
                                            "-apikey"};
    for (std::size_t i = 0; i < cl.args.size(); ++i) {
        const std::string& a = cl.args[i];
        if (iequals(a, "-config")) {
            ++i;
            continue;
        }
        if (iequals(a, "-store") && i + 1 < cl.args.size() && iequals(cl.args[i + 1], "check")) {
            ++i;
            continue;
        }
        if (iequals(a, "-password") && i + 1 < cl.args.size() && iequals(cl.args[i + 1], "smtp")) {
            ++i;
            continue;
        }
        // The records tool's day and kind.
        if (iequals(a, "-records")) {
            if (i + 1 < cl.args.size() && !cl.args[i + 1].starts_with('-')) ++i;
            if (i + 1 < cl.args.size() &&
                (iequals(cl.args[i + 1], "rec") || iequals(cl.args[i + 1], "log")))
                ++i;
            continue;
        }
        // The key tool's name and its -revoke.
        if (iequals(a, "-apikey")) {
            if (i + 1 < cl.args.size() && !cl.args[i + 1].starts_with('-')) ++i;
            if (i + 1 < cl.args.size() && iequals(cl.args[i + 1], "-revoke")) ++i;
            continue;
        }
        // The queue tool's own word.
        if (iequals(a, "-queue") && i + 1 < cl.args.size() && iequals(cl.args[i + 1], "flush")) {
            ++i;
            continue;
        }
        bool known = is_help_word(a);
        for (const char* k : KNOWN) known = known || iequals(a, k);
        if (!known) return a;
    }
    return std::nullopt;
}

bool cli_tool_without_settings(const CommandLine& cl) {
    for (std::size_t i = 0; i < cl.args.size(); ++i) {
        const std::string& a = cl.args[i];
        if (iequals(a, "-config")) {
            ++i;
            continue;
        }
        if (iequals(a, "-version") || is_help_word(a) || iequals(a, "-password")) return true;
        if (iequals(a, "-install") || iequals(a, "-uninstall")) return false;
    }
    return false;
}

int cli_examine(Gateway& gw, CommandLine& cl) {
    for (std::size_t i = 0; i < cl.args.size(); ++i) {
        const std::string& a = cl.args[i];
        if (iequals(a, "-config")) {
            ++i;
            continue;
        }
        if (iequals(a, "-version")) {
            std::printf("Tolvane %s\n", TOLVANE_RELEASE);
            return 0;
        }
        if (is_help_word(a)) {
            std::fputs(cli_usage().c_str(), stdout);
            return 0;
        }
        if (iequals(a, "-password") && i + 1 < cl.args.size() && iequals(cl.args[i + 1], "smtp"))
            return smtp_password_tool(stdin, stdout, gw.setting_str(SMTP_USERS));
        if (iequals(a, "-password")) {
            return password_tool(stdin, stdout, attach_path(own_dir(cl.argv0), "admin.dat"));
        }
        if (iequals(a, "-install")) {
            std::string dir = own_dir(cl.argv0);
            return install(dir, attach_path(dir, program_base(cl.argv0)));
        }
        if (iequals(a, "-uninstall")) return uninstall();
        if (iequals(a, "-queue")) return queue_tool(gw.ini(), cl.args, i, gw.route_table.get());
        if (iequals(a, "-store")) return store_tool(gw.ini(), cl.args, i);
        if (iequals(a, "-records")) return records_tool(gw.ini(), cl.args, i);
        if (iequals(a, "-apikey")) return apikey_tool(gw.ini(), cl.args, i, stdout);
        if (iequals(a, "-debug")) {
            gw.debugtime = true;
            cl.debug = true;
            start_console(gw);
        }
    }
    return -1;
}

}  // namespace tolvane
