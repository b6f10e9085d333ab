// Files that must survive a crash, and the descriptor that closes itself.
//
// write_file_atomic is the one way this system replaces a durable file: the bytes go
// to a fresh temporary file beside the target ("<path>.tmp"), created with its final
// mode (exactly that mode, whatever the umask), written whole, fsynced, renamed over
// the target, and the directory fsynced, so that after a crash the target holds
// either the old bytes or the new ones, never a mixture or nothing. When any step
// fails the temporary file is removed and the target is left as it was. Appends
// (logs, day records) stay appends and do not come here.
//
// UniqueFd owns one descriptor and closes it when it goes; close() says whether the
// close itself failed (which can mean written data was lost).
//
// Limits: one writer per target at a time (each caller holds its own lock); a
// temporary file left by a crash is replaced by the next write.
//
//   if (Status st = write_file_atomic(path, text, 0600); !st)
//       report("cannot save %s", st.error().reason.c_str());
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "foundation/result.h"

namespace tolvane {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the one held (if any) and holds fd.
    void reset(int fd = -1) noexcept;
    // Closes now; false (errno set) when the close failed. Holds nothing afterwards.
    [[nodiscard]] bool close() noexcept;

  private:
    int fd_ = -1;
};

// Writes all of data, going on after interruptions and short writes; false (errno set)
// on a failure.
[[nodiscard]] bool write_all(int fd, std::string_view data);

// What a failed write_file_atomic left: the system error number, and a text naming the
// step and the file ("cannot create /x/y.tmp (No such file or directory)").
struct FileWriteError {
    int code = 0;
    std::string text;
};

// Replaces path with bytes, as described above. before_sync (optional) runs on the
// temporary file's descriptor after the bytes are written (to set its times, say).
// False with err filled when the file could not be replaced; the old file is intact.
[[nodiscard]] bool write_file_atomic(const std::string& path, std::string_view bytes, mode_t mode,
                                     FileWriteError& err,
                                     const std::function<void(int fd)>& before_sync = nullptr);
// The same as a Status: the error's code is the system error number, its reason the text.
Status write_file_atomic(const std::string& path, std::string_view bytes, mode_t mode);

}  // namespace tolvane
