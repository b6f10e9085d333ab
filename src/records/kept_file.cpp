// A descriptor kept open for a file written often (see kept_file.h).
#include "records/kept_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace tolvane {

int KeptFile::get(const std::string& path, int flags, mode_t mode, bool& existed) {
    struct stat st {};
    existed = ::stat(path.c_str(), &st) == 0;
    if (!existed && errno != ENOENT) {
        int e = errno;
        close();
        errno = e;
        return -1;
    }
    if (existed && fd_ && path == path_ && (flags & ~O_CREAT) == (flags_ & ~O_CREAT) &&
        st.st_dev == dev_ && st.st_ino == ino_)
        return fd_.get();
    close();
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
    if (!fd) return -1;
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) return -1;
    fd_ = std::move(fd);
    path_ = path;
    flags_ = flags;
    dev_ = opened.st_dev;
    ino_ = opened.st_ino;
    return fd_.get();
}

void KeptFile::close() {
    fd_.reset();
    path_.clear();
}

}  // namespace tolvane
