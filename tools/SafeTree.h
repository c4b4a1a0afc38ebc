#pragma once
// File operations below a folder descriptor that never follow a symbolic link.
//
// The clean-up tool runs as root inside every user's home folder, where any
// name may be a link planted to send a removal or a rewrite elsewhere. Every
// path here is relative to an open folder and is walked one name at a time
// with O_NOFOLLOW; removals and renames use the *at() calls on the folder that
// was reached, so nothing outside it is ever touched. Names are raw bytes (any
// byte but '/' and NUL, new lines included).

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

namespace safetree {

// An owned file descriptor (-1 = none).
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Opens the folder at path (absolute), following links: used for a home folder
// named by the account database only. Invalid Fd on failure.
Fd openRoot(const std::string& path);

// Opens the folder at relative ("a/b/c") below dirfd, refusing any component that
// is a link, not a folder, empty, "." or "..". Invalid Fd on failure.
Fd openFolder(int dirfd, std::string_view relative);

// Type of the entry name in dirfd without following it: S_IFREG, S_IFDIR, S_IFLNK...;
// 0 when it does not exist or cannot be examined.
mode_t entryType(int dirfd, const std::string& name);

// Removes the entry name of dirfd when it is not a folder (a link is removed, not
// its target). False when it is missing, a folder or the removal failed.
bool removeFile(int dirfd, const std::string& name);

// Removes the entry name of dirfd whatever it is; a folder with everything inside
// it, walked without following links. Gives up below maxDepth levels (what lies
// deeper stays, and so do the folders above it). True when the entry is gone.
bool removeTree(int dirfd, const std::string& name, int maxDepth = 64);

// Reads the regular file name of dirfd (not through a link, nor a FIFO or
// device) when it is at most maxBytes long. stat receives its status.
std::optional<std::string> readFile(int dirfd, const std::string& name, struct stat* status,
                                    std::size_t maxBytes = 16u << 20);

// Replaces name in dirfd atomically with bytes: a new file beside it, written and
// synced, given owner and mode of like, then renamed over name. The previous file
// stays on any failure.
bool replaceFile(int dirfd, const std::string& name, std::string_view bytes, const struct stat& like);

// Splits a relative path into its names; nullopt for an absolute path, an empty
// one, or one with an empty, "." or ".." name.
std::optional<std::pair<std::string, std::string>> splitParent(std::string_view relative);

}  // namespace safetree
