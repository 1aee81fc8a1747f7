#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/FileDescriptor.h"

namespace bw {
namespace {

std::string describeErrno(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// The file a write to `path` really replaces: the end of a chain of links.
std::string replacedPath(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_symlink(path, error)) return path;
    std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
    return error ? path : target.string();
}

// A new, empty file beside `target`, created with the usual mode for new
// files (0666 less the process's umask).
FileDescriptor createTemporary(const std::string& target, std::string& temporaryPath, int& error) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path targetPath(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = ".";
        name.append(targetPath.filename().string())
            .append(".saving-")
            .append(std::to_string(::getpid()))
            .append("-")
            .append(std::to_string(counter.fetch_add(1)));
        temporaryPath = (targetPath.parent_path() / name).string();
        FileDescriptor fd(::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                 0666));
        if (fd.valid()) return fd;
        if (errno != EEXIST) break;
    }
    error = errno;
    return FileDescriptor();
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Flushes the folder holding `path`, so that the rename itself is on disk.
void syncFolder(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) ::fsync(fd.get());
}

}  // namespace

bool AtomicFile::write(const std::string& path, std::string_view bytes, std::string* failure) {
    auto fail = [failure](std::string reason) {
        if (failure != nullptr) *failure = std::move(reason);
        return false;
    };
    if (path.empty()) return fail("no file name");

    const std::string target = replacedPath(path);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) return fail(target + " is not a regular file");

    std::string temporary;
    int error = 0;
    FileDescriptor fd = createTemporary(target, temporary, error);
    if (!fd.valid()) {
        return fail(describeErrno("cannot create a file in the folder of " + target, error));
    }
    auto abandon = [&](const std::string& what) {
        const int writeError = errno;
        fd.reset();
        ::unlink(temporary.c_str());
        return fail(describeErrno(what, writeError));
    };

    if (exists) {
        // The owner may not be ours to give; then the new file stays ours,
        // and the save goes on. The permission bits are always ours to give.
        [[maybe_unused]] const bool ownerKept =
            ::fchown(fd.get(), existing.st_uid, existing.st_gid) == 0;
        if (::fchmod(fd.get(), existing.st_mode & 07777) != 0) {
            return abandon("cannot give the new file the permissions of " + target);
        }
    }
    if (!writeAll(fd.get(), bytes)) return abandon("cannot write " + target);
    if (::fsync(fd.get()) != 0) return abandon("cannot flush " + target + " to the disk");
    if (::close(fd.release()) != 0) {
        const int closeError = errno;
        ::unlink(temporary.c_str());
        return fail(describeErrno("cannot write " + target, closeError));
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.c_str());
        return fail(describeErrno("cannot replace " + target, renameError));
    }
    syncFolder(target);
    return true;
}

}  // namespace bw
