#pragma once
// A batch of messages handed to another process as a file descriptor instead of
// as bus message bytes: the bus daemon then copies nothing. The file holds
//
//   "JKWBATCH" | count (u32 little-endian) | count × (length (u32 LE) | bytes)
//
// and nothing after the last message. The sender writes it into a sealed memfd
// (it cannot change or shrink under the reader); the reader takes any regular
// file, maps it when it is so sealed and reads a copy otherwise, and checks
// every length against what is there.

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <cstddef>
#include <optional>

namespace platform::batchfile {

inline constexpr char kMagic[] = "JKWBATCH";
inline constexpr qsizetype kHeaderBytes = 12;
// A file larger than this, or with more messages, is refused.
inline constexpr qsizetype kMaxFileBytes = 128ll * 1024 * 1024;
inline constexpr quint32 kMaxMessages = 100000;

// The file's bytes for messages; empty when they do not fit the limits.
QByteArray encode(const QByteArrayList& messages);

// The messages of a file's bytes as views into them (QByteArray::fromRawData:
// valid while bytes live); nothing when the bytes are not such a file.
std::optional<QByteArrayList> decode(const char* bytes, qsizetype size);

// A sealed memfd holding content, its offset at 0; -1 when it cannot be made.
int createSealed(const QByteArray& content);

// A batch file opened for reading; the messages stay valid while it lives.
class Reader {
public:
    Reader() = default;
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Reads the file open as fd (not taken over). False with a sentence in
    // error for what is not a regular file, too large, or not a batch file.
    bool open(int fd, QString* error);
    const QByteArrayList& messages() const { return messages_; }

private:
    void* map_ = nullptr;
    size_t mapSize_ = 0;
    QByteArray copy_;
    QByteArrayList messages_;
};

}  // namespace platform::batchfile
