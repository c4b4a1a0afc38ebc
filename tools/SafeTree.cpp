#include "tools/SafeTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <vector>

namespace safetree {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

namespace {

bool validName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('\0') == std::string_view::npos;
}

int openFolderAt(int dirfd, const std::string& name) {
    return ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

Fd openRoot(const std::string& path) {
    if (path.empty() || path.front() != '/')
        return Fd();
    return Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

Fd openFolder(int dirfd, std::string_view relative) {
    if (relative.empty() || relative.front() == '/')
        return Fd();
    Fd current(::fcntl(dirfd, F_DUPFD_CLOEXEC, 0));
    std::size_t start = 0;
    while (current && start <= relative.size()) {
        const std::size_t slash = relative.find('/', start);
        const std::string_view name =
            relative.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!validName(name))
            return Fd();
        current = Fd(openFolderAt(current.get(), std::string(name)));
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    return current;
}

mode_t entryType(int dirfd, const std::string& name) {
    struct stat st {};
    if (!validName(name) || ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    return st.st_mode & S_IFMT;
}

bool removeFile(int dirfd, const std::string& name) {
    const mode_t type = entryType(dirfd, name);
    if (type == 0 || type == S_IFDIR)
        return false;
    // unlinkat never follows the name; a folder swapped in since fails with EISDIR.
    return ::unlinkat(dirfd, name.c_str(), 0) == 0;
}

bool removeTree(int dirfd, const std::string& name, int maxDepth) {
    const mode_t type = entryType(dirfd, name);
    if (type == 0)
        return false;
    if (type != S_IFDIR)
        return ::unlinkat(dirfd, name.c_str(), 0) == 0;
    if (maxDepth <= 0)
        return false;
    {
        Fd folder(openFolderAt(dirfd, name));
        if (!folder)
            return false;
        DIR* listing = ::fdopendir(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0));
        if (!listing)
            return false;
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(listing)) {
            const std::string_view n(entry->d_name);
            if (n != "." && n != "..")
                names.emplace_back(n);
        }
        ::closedir(listing);
        for (const std::string& n : names)
            removeTree(folder.get(), n, maxDepth - 1);
    }
    return ::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) == 0;
}

std::optional<std::string> readFile(int dirfd, const std::string& name, struct stat* status, std::size_t maxBytes) {
    if (!validName(name))
        return std::nullopt;
    // O_NONBLOCK: a FIFO planted under the name must not stall the tool.
    Fd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    if (static_cast<std::size_t>(st.st_size) > maxBytes)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes)
            return std::nullopt;
    }
    if (status)
        *status = st;
    return bytes;
}

bool replaceFile(int dirfd, const std::string& name, std::string_view bytes, const struct stat& like) {
    if (!validName(name))
        return false;
    std::random_device random;
    std::string temporary;
    Fd fd;
    for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
        temporary = "." + name.substr(0, 200) + ".junkward-" + std::to_string(random());
        fd = Fd(::openat(dirfd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    }
    if (!fd)
        return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    // The owner is kept when this process may set it (root); otherwise the file
    // belongs to the caller already.
    if (ok && ::geteuid() == 0)
        ok = ::fchown(fd.get(), like.st_uid, like.st_gid) == 0;
    ok = ok && ::fchmod(fd.get(), like.st_mode & 07777) == 0;
    ok = ok && ::fsync(fd.get()) == 0;
    fd.reset();
    ok = ok && ::renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) == 0;
    if (!ok)
        ::unlinkat(dirfd, temporary.c_str(), 0);
    return ok;
}

std::optional<std::pair<std::string, std::string>> splitParent(std::string_view relative) {
    if (relative.empty() || relative.front() == '/' || relative.back() == '/')
        return std::nullopt;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', start);
        const std::string_view name =
            relative.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!validName(name))
            return std::nullopt;
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    const std::size_t last = relative.rfind('/');
    if (last == std::string_view::npos)
        return std::make_pair(std::string(), std::string(relative));
    return std::make_pair(std::string(relative.substr(0, last)), std::string(relative.substr(last + 1)));
}

}  // namespace safetree
