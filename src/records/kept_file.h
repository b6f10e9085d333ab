// A descriptor kept open for a file that is written again and again (a day file of
// message records, a counter file), so that each write costs one look at the name
// instead of an open and a close.
//
// Before each use the name is looked up again and compared with the kept file (device
// and inode): a file removed, renamed away (a fold, an operator's tool) or replaced by a
// rewrite is never written through the old descriptor; the name is opened again, or,
// when it is gone and may not be created, the caller is told so just as an open would.
//
// Ownership: the object owns its descriptor; callers serialise its use (the lock of the
// file it stands for). Limits: a file replaced between the look and the write that
// follows may still take that one write, as it would after an open.
//
//   KeptFile f;
//   bool existed = false;
//   int fd = f.get(path, O_WRONLY | O_APPEND | O_CREAT, 0644, existed);
#pragma once

#include <sys/types.h>

#include <string>

#include "foundation/fileio.h"

namespace tolvane {

class KeptFile {
  public:
    // The descriptor for path: the kept one when path still names the same file and it
    // was opened with the same flags (O_CREAT aside), else path opened anew with flags and
    // mode. -1 with errno when it cannot be opened. existed: path named a file before.
    int get(const std::string& path, int flags, mode_t mode, bool& existed);
    void close();
    bool is_open() const { return static_cast<bool>(fd_); }

  private:
    UniqueFd fd_;
    std::string path_;
    int flags_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace tolvane
