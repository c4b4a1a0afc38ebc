#pragma once
// Writing files whole.
//
//   writeAll()     every byte to a descriptor, through short writes and EINTR
//   replaceFile()  a file's new contents through a temporary file beside it and
//                  a rename, so a reader sees the old file or the new one

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <optional>
#include <sys/types.h>

namespace platform::files {

bool writeAll(int fd, const char* data, std::size_t size);

// mode: the new file's mode; without one, the mode of the file replaced, or
// 0666 less the umask for a new file. sync: the data and the folder entry reach
// the disk before it returns.
bool replaceFile(const QString& path, const QByteArray& bytes, std::optional<mode_t> mode, bool sync);

}  // namespace platform::files
