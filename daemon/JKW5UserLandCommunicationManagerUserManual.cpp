// Category UserManual of the daemon's manager: message 2000 moves a downloaded
// user manual into the machine-wide documentation folder.
//
// The daemon runs as root on behalf of any local user, so every path is walked
// one folder at a time from "/" through descriptors, never following a
// symbolic link: the source must be a regular file of the requesting user in a
// folder that user may change, the destination must lie inside
// "<machine-wide Library>/Documentation/Junkward/", and only plain files
// standing where a folder of the documentation table belongs are ever removed.

#include "daemon/JKW5UserLandCommunicationManager.h"

#include "ipc/JKW5FrontEndCommunicationCenter.h"
#include "platform/Folders.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char* const JKW5_USERMANUAL_GROUP_NAME = "staff";

namespace {

constexpr char kMovePrefix[] = "[JKW5UserLandCommunicationManager JKW5COMMUNICATION_USERMANUAL_MOVE:] ";
constexpr mode_t kLibraryMode = 01775;
constexpr mode_t kFolderMode = 0775;
constexpr mode_t kManualMode = 0664;
// No manual is larger; a bigger file is refused rather than copied into root's space.
constexpr off_t kMaxManualSize = off_t(512) * 1024 * 1024;

void moveLog(const QString& text) { daemonlog::line(QString::fromLatin1(kMovePrefix) + text); }

void moveFailed() {
    moveLog(QStringLiteral("An error occured while moving the User Manual to its final destination."));
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

gid_t documentationGroup() {
    const group* g = ::getgrnam(JKW5_USERMANUAL_GROUP_NAME);
    return g ? g->gr_gid : 0;
}

// The components of an absolute path ("//" collapses); nullopt for a relative
// path, a NUL byte or a "." or ".." component, which could lead elsewhere.
std::optional<std::vector<QByteArray>> splitPath(const QString& path) {
    if (!path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)))
        return std::nullopt;
    std::vector<QByteArray> parts;
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return std::nullopt;
        parts.push_back(QFile::encodeName(part));
    }
    return parts;
}

QString joined(const std::vector<QByteArray>& parts, size_t count) {
    QString path;
    for (size_t i = 0; i < count && i < parts.size(); ++i)
        path += QLatin1Char('/') + QFile::decodeName(parts[i]);
    return path.isEmpty() ? QStringLiteral("/") : path;
}

Fd openFolderAt(int dir, const char* name) {
    return Fd(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether uid may add and remove entries of a folder (the sticky bit aside:
// the entries concerned belong to uid).
bool userMayChangeFolder(const struct stat& folder, uid_t uid) {
    if (uid == 0)
        return true;
    if (folder.st_uid == uid)
        return (folder.st_mode & (S_IWUSR | S_IXUSR)) == (S_IWUSR | S_IXUSR);
    bool member = false;
    if (const passwd* pw = ::getpwuid(uid)) {
        const QByteArray name(pw->pw_name);
        const gid_t primary = pw->pw_gid;
        int count = 64;
        std::vector<gid_t> groups(static_cast<size_t>(count));
        if (::getgrouplist(name.constData(), primary, groups.data(), &count) < 0 && count > 0) {
            groups.resize(size_t(count));
            ::getgrouplist(name.constData(), primary, groups.data(), &count);
        }
        for (int i = 0; i < count && i < int(groups.size()); ++i)
            member = member || groups[size_t(i)] == folder.st_gid;
    }
    if (member)
        return (folder.st_mode & (S_IWGRP | S_IXGRP)) == (S_IWGRP | S_IXGRP);
    return (folder.st_mode & (S_IWOTH | S_IXOTH)) == (S_IWOTH | S_IXOTH);
}

// The source, held open: its folder, its name there and the file itself.
struct Source {
    Fd folder;
    QByteArray name;
    Fd file;
    struct stat st {};
};

enum class Found { Yes, Missing, Refused };

Found openSource(const QString& path, uid_t uid, Source* source) {
    const auto parts = splitPath(path);
    if (!parts || parts->empty()) {
        moveLog(QStringLiteral("The source \"%1\" is not a plain absolute path.").arg(path));
        return Found::Refused;
    }
    Fd folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        return Found::Refused;
    for (size_t i = 0; i + 1 < parts->size(); ++i) {
        struct stat st {};
        if (::fstatat(folder.get(), (*parts)[i].constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
            if (S_ISLNK(st.st_mode)) {
                moveLog(QStringLiteral("A symbolic link stands at \"%1\".").arg(joined(*parts, i + 1)));
                return Found::Refused;
            }
            return Found::Missing;
        }
        folder = openFolderAt(folder.get(), (*parts)[i].constData());
        if (!folder.valid())
            return Found::Missing;
    }
    const QByteArray& name = parts->back();
    struct stat st {};
    if (::fstatat(folder.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Found::Missing;
    if (S_ISDIR(st.st_mode)) {
        moveLog(QStringLiteral("Moving a folder seems weird."));
        return Found::Refused;
    }
    if (S_ISLNK(st.st_mode)) {
        moveLog(QStringLiteral("A symbolic link stands at \"%1\".").arg(path));
        return Found::Refused;
    }
    Fd file(::openat(folder.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid() || ::fstat(file.get(), &source->st) != 0)
        return Found::Missing;
    if (!S_ISREG(source->st.st_mode)) {
        moveLog(QStringLiteral("The source \"%1\" is not a regular file.").arg(path));
        return Found::Refused;
    }
    if (source->st.st_uid != uid) {
        moveLog(QStringLiteral("The source \"%1\" does not belong to user %2.").arg(path).arg(uid));
        return Found::Refused;
    }
    struct stat folderStat {};
    if (::fstat(folder.get(), &folderStat) != 0 || !userMayChangeFolder(folderStat, uid)) {
        moveLog(QStringLiteral("User %1 may not move \"%2\" out of its folder.").arg(uid).arg(path));
        return Found::Refused;
    }
    if (source->st.st_size > kMaxManualSize) {
        moveLog(QStringLiteral("The source \"%1\" is too large for a manual.").arg(path));
        return Found::Refused;
    }
    source->folder = std::move(folder);
    source->name = name;
    source->file = std::move(file);
    return Found::Yes;
}

// Brings the folders of the destination into shape, from "/" down to its
// parent, and returns that parent open; invalid (after a log line) on failure.
// Above the Library nothing is changed or created. From the Library down, a
// folder of the table gets the table's mode, owner root and the documentation
// group; a missing one is created so. A plain file standing where a folder of
// the table belongs is removed from "Documentation" down, never higher.
Fd prepareDestinationFolder(const std::vector<QByteArray>& parts, size_t libraryDepth, gid_t group) {
    const QByteArray parentName = parts[parts.size() - 2];
    auto tableMode = [&](size_t index) -> std::optional<mode_t> {
        if (index + 1 < libraryDepth)
            return std::nullopt;  // above the Library
        const QByteArray& name = parts[index];
        if (name == "Library")
            return kLibraryMode;
        if (name == "Documentation" || name == "Junkward" || name == parentName)
            return kFolderMode;
        return std::nullopt;
    };

    Fd folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; folder.valid() && i + 1 < parts.size(); ++i) {
        const char* name = parts[i].constData();
        const QString here = joined(parts, i + 1);
        const std::optional<mode_t> mode = tableMode(i);
        struct stat st {};
        bool exists = ::fstatat(folder.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) {
            moveFailed();
            return {};
        }
        if (exists && S_ISLNK(st.st_mode)) {
            moveLog(QStringLiteral("A symbolic link stands at \"%1\".").arg(here));
            return {};
        }
        if (exists && !S_ISDIR(st.st_mode)) {
            const bool removable = S_ISREG(st.st_mode) && mode && i >= libraryDepth;
            if (!removable || ::unlinkat(folder.get(), name, 0) != 0) {
                daemonlog::line(QStringLiteral("Incorrect file at path \"%1\" could not be removed.").arg(here));
                return {};
            }
            exists = false;
        }
        if (!exists) {
            if (!mode) {
                moveFailed();  // only the folders of the table are made
                return {};
            }
            Fd made;
            if (::mkdirat(folder.get(), name, 0700) == 0)
                made = openFolderAt(folder.get(), name);
            if (!made.valid() || ::fchown(made.get(), 0, group) != 0 || ::fchmod(made.get(), *mode) != 0) {
                daemonlog::line(QStringLiteral("Folder at path \"%1\" could not be created.").arg(here));
                return {};
            }
            folder = std::move(made);
            continue;
        }
        Fd next = openFolderAt(folder.get(), name);
        if (!next.valid() || ::fstat(next.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            moveFailed();
            return {};
        }
        if (mode && ((st.st_mode & 07777) != *mode || st.st_uid != 0 || st.st_gid != group)) {
            if (::fchown(next.get(), 0, group) != 0 || ::fchmod(next.get(), *mode) != 0)
                daemonlog::line(QStringLiteral("Folder attributes at path \"%1\" are incorrect.").arg(here));
        }
        folder = std::move(next);
    }
    return folder;
}

QByteArray temporaryName(const QByteArray& name) {
    return "." + name + ".junkward-" + QByteArray::number(QRandomGenerator::system()->generate(), 36);
}

bool setManualAttributes(int fd, gid_t group) { return ::fchown(fd, 0, group) == 0 && ::fchmod(fd, kManualMode) == 0; }

// Within one file system: the source is renamed to a temporary name beside the
// destination, checked to be the file that was opened, given its owner and
// mode, and renamed into place. Any failure puts the source back as it was.
bool renameIntoPlace(Source& source, int destFolder, const QByteArray& destName, gid_t group, bool* crossDevice) {
    QByteArray tmp;
    int r = -1;
    for (int attempt = 0; attempt < 8 && r != 0; ++attempt) {
        tmp = temporaryName(destName);
        r = ::renameat2(source.folder.get(), source.name.constData(), destFolder, tmp.constData(), RENAME_NOREPLACE);
        if (r != 0 && errno != EEXIST)
            break;
    }
    if (r != 0) {
        *crossDevice = errno == EXDEV;
        return false;
    }
    auto putBack = [&] {
        ::renameat2(destFolder, tmp.constData(), source.folder.get(), source.name.constData(), RENAME_NOREPLACE);
    };
    struct stat moved {};
    if (::fstatat(destFolder, tmp.constData(), &moved, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(moved, source.st)) {
        putBack();  // the name was given to something else meanwhile
        return false;
    }
    if (!setManualAttributes(source.file.get(), group) ||
        ::renameat(destFolder, tmp.constData(), destFolder, destName.constData()) != 0) {
        if (::fchown(source.file.get(), source.st.st_uid, source.st.st_gid) != 0) {
        }
        ::fchmod(source.file.get(), source.st.st_mode & 07777);
        putBack();
        return false;
    }
    ::fsync(destFolder);
    return true;
}

// Across file systems: a copy under a temporary name, flushed to disk, renamed
// into place; only then is the source's name removed, and only while it still
// names the file that was copied.
bool copyIntoPlace(Source& source, int destFolder, const QByteArray& destName, gid_t group) {
    const QByteArray tmp = temporaryName(destName);
    Fd out(::openat(destFolder, tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid())
        return false;
    bool ok = ::lseek(source.file.get(), 0, SEEK_SET) == 0;
    std::vector<char> buffer(1 << 16);
    off_t total = 0;
    while (ok) {
        const ssize_t n = ::read(source.file.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        total += n;
        if (total > kMaxManualSize)
            ok = false;
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = ::write(out.get(), buffer.data() + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                ok = false;
            else
                done += w;
        }
    }
    ok = ok && setManualAttributes(out.get(), group) && ::fsync(out.get()) == 0 &&
         ::renameat(destFolder, tmp.constData(), destFolder, destName.constData()) == 0;
    if (!ok) {
        ::unlinkat(destFolder, tmp.constData(), 0);
        return false;
    }
    ::fsync(destFolder);
    struct stat still {};
    if (::fstatat(source.folder.get(), source.name.constData(), &still, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(still, source.st))
        ::unlinkat(source.folder.get(), source.name.constData(), 0);
    return true;
}

}  // namespace

QByteArray JKW5UserLandCommunicationManager::processMessage_2000_From(const QString* /*sender*/, const QVariant& object,
                                                                      uid_t senderUid) {
    // 1. A dictionary of two paths.
    const QVariantMap paths = object.toMap();
    const QVariant sourceValue = paths.value(QString::fromLatin1(JKW5_USERMANUAL_SOURCE_KEY));
    const QVariant destinationValue = paths.value(QString::fromLatin1(JKW5_USERMANUAL_DESTINATION_KEY));
    if (object.typeId() != QMetaType::QVariantMap || sourceValue.typeId() != QMetaType::QString ||
        destinationValue.typeId() != QMetaType::QString) {
        moveLog(QStringLiteral("The request is not a dictionary of two paths."));
        return {};
    }
    const QString sourcePath = sourceValue.toString();
    const QString destination = destinationValue.toString();

    // 2. The source: a regular file of the requesting user; nothing to do when missing.
    Source source;
    if (openSource(sourcePath, senderUid, &source) != Found::Yes)
        return {};

    // 3. The machine-wide Library; the destination must lie inside its
    // "Documentation/Junkward" folder.
    const auto library = splitPath(QDir::cleanPath(platform::folders::localLibrary()));
    const auto parts = splitPath(destination);
    bool inside = library && parts && parts->size() >= library->size() + 3;
    for (size_t i = 0; inside && i < library->size(); ++i)
        inside = (*parts)[i] == (*library)[i];
    inside = inside && (*parts)[library->size()] == "Documentation" && (*parts)[library->size() + 1] == "Junkward";
    if (!inside) {
        moveLog(QStringLiteral("The destination \"%1\" lies outside \"%2/Documentation/Junkward\".")
                    .arg(destination, platform::folders::localLibrary()));
        return {};
    }

    // 4. Its folders, made and fixed as the table says.
    const gid_t group = documentationGroup();
    Fd destFolder = prepareDestinationFolder(*parts, library->size(), group);
    if (!destFolder.valid())
        return {};
    const QByteArray& destName = parts->back();
    struct stat existing {};
    if (::fstatat(destFolder.get(), destName.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(existing.st_mode)) {
        moveFailed();
        return {};
    }

    // 5. The move.
    bool crossDevice = false;
    bool moved = renameIntoPlace(source, destFolder.get(), destName, group, &crossDevice);
    if (!moved && crossDevice)
        moved = copyIntoPlace(source, destFolder.get(), destName, group);
    if (!moved) {
        moveFailed();
        return {};
    }

    // 6. Announced to every session.
    postNotificationName(QString::fromLatin1(JKW5_USERMANUAL_DISTRIBUTEDNOTIFICATION_MANUAL_AVAILABLE), destination,
                         nullptr);
    return {};
}
