// The console log (standard error) and the system log (syslog).

#include "platform/Log.h"

#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace platform::log {

namespace {

QMutex& captureMutex() {
    static QMutex m;
    return m;
}
bool g_capture = false;
QStringList& captureStore() {
    static QStringList lines;
    return lines;
}

// The program's short name, read once from /proc (no application object needed).
const QByteArray& programName() {
    static const QByteArray name = [] {
        QByteArray n;
        char buf[4096];
        ssize_t len = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (len > 0)
            n = QFileInfo(QString::fromLocal8Bit(buf, len)).fileName().toLocal8Bit();
        if (n.isEmpty())
            n = "junkward";
        return n;
    }();
    return name;
}

}  // namespace

void console(const QString& line) {
    QByteArray bytes = line.toUtf8();
    if (!bytes.endsWith('\n'))
        bytes.append('\n');
    {
        QMutexLocker lock(&captureMutex());
        if (g_capture)
            captureStore().append(line);
    }
    // One write call, so lines of concurrent writers do not interleave.
    const char* p = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        ssize_t w = ::write(STDERR_FILENO, p, left);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        p += w;
        left -= size_t(w);
    }
}

void consolef(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) {
        va_end(args);
        return;
    }
    std::vector<char> buf(size_t(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, args);
    va_end(args);
    console(QString::fromUtf8(buf.data(), n));
}

void system(int priority, const QString& line) {
    static const bool opened = [] {
        ::openlog(programName().constData(), LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
    ::syslog(priority, "%s", line.toUtf8().constData());
}

void setCapture(bool on) {
    QMutexLocker lock(&captureMutex());
    g_capture = on;
    if (on)
        captureStore().clear();
}

QStringList captured() {
    QMutexLocker lock(&captureMutex());
    return captureStore();
}

}  // namespace platform::log
