// Atomic file replacement and the self-closing descriptor: see fileio.h.
#include "foundation/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/lib.h"

namespace tolvane {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) {
        int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

bool UniqueFd::close() noexcept {
    if (fd_ < 0) return true;
    int fd = release();
    return ::close(fd) == 0;
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

namespace {

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool fail(FileWriteError& err, const char* step, const std::string& file) {
    err.code = errno;
    err.text = strprintf("%s %s (%s)", step, file.c_str(), system_error(err.code).c_str());
    return false;
}

}  // namespace

bool write_file_atomic(const std::string& path, std::string_view bytes, mode_t mode,
                       FileWriteError& err, const std::function<void(int fd)>& before_sync) {
    const std::string tmp = path + ".tmp";
    // A leftover of a crash is not reused: a fresh file cannot have been opened by
    // anyone else, nor carry another mode.
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return fail(err, "cannot remove", tmp);
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd) return fail(err, "cannot create", tmp);
    auto give_up = [&](const char* step) {
        fail(err, step, tmp);
        fd.reset();
        ::unlink(tmp.c_str());
        return false;
    };
    // The mode given to open is cut by the umask; the file must have exactly its mode
    // before it holds anything.
    if (::fchmod(fd.get(), mode) != 0) return give_up("cannot set the mode of");
    if (!write_all(fd.get(), bytes)) return give_up("cannot write");
    if (before_sync) before_sync(fd.get());
    if (::fsync(fd.get()) != 0) return give_up("cannot write");
    if (!fd.close()) {
        fail(err, "cannot write", tmp);
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        fail(err, "cannot rename", tmp);
        err.text = strprintf("cannot rename %s to %s (%s)", tmp.c_str(), path.c_str(),
                             system_error(err.code).c_str());
        ::unlink(tmp.c_str());
        return false;
    }
    // The new name is durable only once the directory is. The file itself is in place
    // by now: a directory that cannot be synced (some file systems refuse) is not a
    // failed write.
    UniqueFd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) (void)::fsync(dir.get());
    return true;
}

Status write_file_atomic(const std::string& path, std::string_view bytes, mode_t mode) {
    FileWriteError err;
    if (write_file_atomic(path, bytes, mode, err)) return {};
    return Error{err.code, std::move(err.text)};
}

}  // namespace tolvane
