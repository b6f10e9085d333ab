// Running an external program with a pipe to its standard input and one from its
// standard output, reading its answer line with a time limit, and reaping it.
//
// lib_spawn starts the program directly (no shell, no search of the path list)
// with exactly the environment given; the child gets only descriptors 0 and 1
// from us (standard error is inherited, every other descriptor of the gateway
// is closed in the child), the default action for every signal we ignore, and
// an empty signal mask. The caller owns the two returned descriptors and closes
// them with spawn_close_pipex; the child is handed to spawn_release, which reaps
// it now or at a later call, so no child is waited for and none stays a zombie
// for long. Pipe creation and reaping are serialised by the "spawn" lock; the
// child runs and is read without any lock. Each child leads a process group of its
// own, which spawn_running signals whole.
//
// Writing to a child that has died gives EPIPE, never a signal: the first
// lib_spawn makes sure SIGPIPE is ignored in the process.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// Arguments of a command line: split at blanks, tabs, CR and LF, double-quoted parts
// kept together without their quotes, at most SPAWN_MAX_ARGS arguments.
inline constexpr std::size_t SPAWN_MAX_ARGS = 96;
std::vector<std::string> spawn_split_args(std::string_view cmdline);

// Starts cmd with environment env. Returns the child's process id and stores the
// descriptor to its standard input in xin and the one from its standard output in xout;
// returns -1 (descriptors -1) when the pipes or the process cannot be created, with the
// system error text in msg.
int lib_spawn(std::string_view cmd, const std::vector<std::string>& env, int& xin, int& xout,
              std::string& msg);

// Writes all of data (retrying short writes and interrupted calls); returns the count
// written, or -1 with errno set when a write fails (EPIPE when the child is gone).
long spawn_write(int h, std::string_view data);

// Reads one line: starts from the text in excess, then waits up to timeout_ms for each
// read until an LF arrives or bfsz - 1 bytes are held. At the LF the line ends (a CR just
// before it is dropped) and what followed goes back to excess. Returns 1 with the line;
// 0 on time-out, end of file, error or a full buffer without LF. nread gets the line
// length including its LF, or the failing read's result (0 for end of file, -1 for an
// error, -2 for a time-out).
int spawn_gets_timed(int h, std::string& line, std::string& excess, std::size_t bfsz, long& nread,
                     long timeout_ms);

// Closes h (when it is open) and sets it to -1; logs "spawn_close: failed (%d) %s" with
// the caller's place when the close fails. Returns 1 on success.
int spawn_close_pipex(int& h, const char* src, int line);

// Reaps every child remembered by earlier calls, then this one if it has ended; a child
// still running is remembered for a later call.
void spawn_release(int pid);
// Children handed to spawn_release and not reaped yet.
std::size_t spawn_pending();

// The children whose answer is still awaited, so that a shutdown can end them. The
// caller adds its child once started and takes it out before spawn_release: a child in
// the set has not been reaped, so a signal cannot reach another process by its reused
// id. Each child leads a process group of its own (lib_spawn), and the signal goes to
// the whole group. Safe from any thread.
class spawn_running {
  public:
    void add(int pid);
    void remove(int pid);
    // Sends sig to every child's group; returns how many were signalled.
    int signal_all(int sig);
    std::size_t size() const;

  private:
    mutable std::mutex m_;
    std::vector<int> pids_;  // guarded by m_
};

// The current system error text, at most 99 characters.
std::string spawn_error();

// Appends "var=val" (at most 999 characters) to env; returns the new count.
std::size_t lib_spawn_addenv(std::vector<std::string>& env, std::string_view var,
                             std::string_view val);

}  // namespace tolvane
