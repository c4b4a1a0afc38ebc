#include "platform/BatchFile.h"

#include "platform/FileWriting.h"

#include <QtEndian>

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::batchfile {

namespace {

void appendNumber(QByteArray& out, quint32 value) {
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

quint32 numberAt(const char* bytes) { return qFromLittleEndian<quint32>(bytes); }


}  // namespace

QByteArray encode(const QByteArrayList& messages) {
    if (messages.size() > qsizetype(kMaxMessages))
        return {};
    qsizetype size = kHeaderBytes;
    for (const QByteArray& m : messages) {
        size += 4 + m.size();
        if (size > kMaxFileBytes)
            return {};
    }
    QByteArray out;
    out.reserve(size);
    out.append(kMagic, 8);
    appendNumber(out, quint32(messages.size()));
    for (const QByteArray& m : messages) {
        appendNumber(out, quint32(m.size()));
        out.append(m);
    }
    return out;
}

std::optional<QByteArrayList> decode(const char* bytes, qsizetype size) {
    if (!bytes || size < kHeaderBytes || size > kMaxFileBytes || std::memcmp(bytes, kMagic, 8) != 0)
        return std::nullopt;
    const quint32 count = numberAt(bytes + 8);
    if (count > kMaxMessages)
        return std::nullopt;
    QByteArrayList messages;
    messages.reserve(qsizetype(count));
    qsizetype at = kHeaderBytes;
    for (quint32 i = 0; i < count; ++i) {
        if (size - at < 4)
            return std::nullopt;
        const qsizetype length = qsizetype(numberAt(bytes + at));
        at += 4;
        if (length > size - at)
            return std::nullopt;
        messages << QByteArray::fromRawData(bytes + at, length);
        at += length;
    }
    if (at != size)
        return std::nullopt;
    return messages;
}

int createSealed(const QByteArray& content) {
    const int fd = ::memfd_create("junkward-batch", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    if (!files::writeAll(fd, content.constData(), size_t(content.size())) ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Reader::~Reader() {
    if (map_)
        ::munmap(map_, mapSize_);
}

bool Reader::open(int fd, QString* error) {
    messages_.clear();
    copy_.clear();
    if (map_)
        ::munmap(map_, mapSize_);
    map_ = nullptr;
    mapSize_ = 0;
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = QStringLiteral("the batch is not a regular file");
        return false;
    }
    if (st.st_size < kHeaderBytes || st.st_size > kMaxFileBytes) {
        *error = QStringLiteral("the batch file's size (%1 bytes) is out of bounds").arg(qint64(st.st_size));
        return false;
    }
    const size_t size = size_t(st.st_size);
    const char* bytes = nullptr;
    // A file sealed against writing and shrinking stays as it is while mapped;
    // any other is read into memory (its sender could change or cut it).
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals >= 0 && (seals & F_SEAL_WRITE) && (seals & F_SEAL_SHRINK)) {
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            map_ = map;
            mapSize_ = size;
            bytes = static_cast<const char*>(map);
        }
    }
    if (!bytes) {
        copy_.resize(qsizetype(size));
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd, copy_.data() + done, size - done, off_t(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
        copy_.truncate(qsizetype(done));
        bytes = copy_.constData();
    }
    const qsizetype length = map_ ? qsizetype(mapSize_) : copy_.size();
    std::optional<QByteArrayList> messages = decode(bytes, length);
    if (!messages) {
        *error = QStringLiteral("the batch file is not in the batch format");
        return false;
    }
    messages_ = std::move(*messages);
    return true;
}

}  // namespace platform::batchfile
