// Bundles: folders with an information dictionary, code and resources.

#include "platform/Bundle.h"

#include "platform/ClassRegistry.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <dlfcn.h>
#include <unistd.h>

namespace platform {

namespace {

// String tables are small; a larger file is not read.
constexpr qint64 kMaxStringsFileBytes = 16LL * 1024 * 1024;

QString cleanedAbsolute(const QString& path) { return QDir::cleanPath(QFileInfo(path).absoluteFilePath()); }

// A single path component: no separator, not "." or "..".
bool isPlainName(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
           name != QLatin1String("..") && !name.contains(QChar(0));
}

QString programPath() {
    char buf[4096];
    ssize_t len = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return len > 0 ? QFile::decodeName(QByteArray(buf, len)) : QString();
}

}  // namespace

struct Bundle::Private {
    QString path;
    QVariantMap info;
    QString executable;  // absolute path, empty when none
    bool isMain = false;
    QMutex mutex;  // guards what follows
    void* handle = nullptr;
    bool loaded = false;
    QHash<QString, QVariantMap> tables;
};

namespace {

// One shared state per bundle folder, so that code is loaded once.
QMutex& cacheMutex() {
    static QMutex m;
    return m;
}
// The states are Bundle::Private, held untyped here (the type is private to Bundle).
QHash<QString, std::weak_ptr<void>>& cache() {
    static QHash<QString, std::weak_ptr<void>> c;
    return c;
}

}  // namespace

std::shared_ptr<Bundle> Bundle::open(const QString& path) {
    if (path.isEmpty()) {
        log::console(QStringLiteral("[Bundle open] No bundle path given"));
        return nullptr;
    }
    const QString folder = cleanedAbsolute(path);
    {
        QMutexLocker lock(&cacheMutex());
        if (auto d = cache().value(folder).lock()) {
            std::shared_ptr<Bundle> b(new Bundle);
            b->d = std::static_pointer_cast<Private>(d);
            return b;
        }
    }
    if (!folders::isFolder(folder)) {
        log::console(QStringLiteral("[Bundle open] No bundle at %1").arg(folder));
        return nullptr;
    }
    auto info = plist::readDictionary(folder + QStringLiteral("/Contents/Info.plist"));
    if (!info) {
        log::console(
            QStringLiteral("[Bundle open] %1 is not a bundle (no Contents/Info.plist dictionary)").arg(folder));
        return nullptr;
    }
    auto d = std::make_shared<Private>();
    d->path = folder;
    d->info = *info;
    const QString exe = info->value(QStringLiteral("CFBundleExecutable")).toString();
    if (isPlainName(exe))
        d->executable = folder + QStringLiteral("/Contents/MacOS/") + exe;

    QMutexLocker lock(&cacheMutex());
    if (auto existing = cache().value(folder).lock())
        d = std::static_pointer_cast<Private>(existing);  // another thread was first
    else
        cache().insert(folder, d);
    std::shared_ptr<Bundle> b(new Bundle);
    b->d = d;
    return b;
}

std::shared_ptr<Bundle> Bundle::mainBundle() {
    static const std::shared_ptr<Private> main = [] {
        const QString program = programPath();
        const QFileInfo exe(program);
        const QDir macos = exe.absoluteDir();
        std::shared_ptr<Private> d;
        // <Name>.app/Contents/MacOS/<program>
        if (macos.dirName() == QLatin1String("MacOS")) {
            QDir contents = macos;
            if (contents.cdUp() && contents.dirName() == QLatin1String("Contents")) {
                QDir bundle = contents;
                bundle.cdUp();
                if (auto info = plist::readDictionary(contents.filePath(QStringLiteral("Info.plist")))) {
                    d = std::make_shared<Private>();
                    d->path = cleanedAbsolute(bundle.path());
                    d->info = *info;
                }
            }
        }
        if (!d) {
            d = std::make_shared<Private>();
            d->path = cleanedAbsolute(macos.path());
        }
        d->executable = program;
        d->isMain = true;
        d->loaded = true;  // the program's own code
        return d;
    }();
    std::shared_ptr<Bundle> b(new Bundle);
    b->d = main;
    return b;
}

QString Bundle::path() const { return d->path; }
QString Bundle::contentsPath() const { return d->path + QStringLiteral("/Contents"); }
QString Bundle::resourcePath() const { return contentsPath() + QStringLiteral("/Resources"); }
QString Bundle::executablePath() const { return d->executable; }
const QVariantMap& Bundle::infoDictionary() const { return d->info; }
QVariant Bundle::objectForInfoKey(const QString& key) const { return d->info.value(key); }

QString Bundle::identifier() const {
    const QVariant v = d->info.value(QStringLiteral("CFBundleIdentifier"));
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

QString Bundle::version() const {
    for (const char* key : {"CFBundleVersion", "CFBundleShortVersionString"}) {
        const QVariant v = d->info.value(QLatin1String(key));
        if (v.typeId() == QMetaType::QString && !v.toString().isEmpty())
            return v.toString();
    }
    return {};
}

QString Bundle::pathForResource(const QString& name, const QString& type) const {
    const QString file = type.isEmpty() ? name : name + QLatin1Char('.') + type;
    if (!isPlainName(file))
        return {};
    for (const QString& folder : {resourcePath(), resourcePath() + QStringLiteral("/English.lproj")}) {
        const QString candidate = folder + QLatin1Char('/') + file;
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return {};
}

QString Bundle::localizedString(const QString& key, const QString& fallback, const QString& table) const {
    const QString name = table.isEmpty() ? QStringLiteral("Localizable") : table;
    QMutexLocker lock(&d->mutex);
    auto it = d->tables.find(name);
    if (it == d->tables.end()) {
        QVariantMap parsed;
        const QString file = resourcePath() + QStringLiteral("/English.lproj/") + name + QStringLiteral(".strings");
        QFile f(file);
        if (isPlainName(name + QStringLiteral(".strings")) && f.open(QIODevice::ReadOnly) &&
            f.size() <= kMaxStringsFileBytes) {
            QByteArray bytes = f.read(kMaxStringsFileBytes);
            // Tables written as UTF-16 (with a byte-order mark) are read too.
            if (bytes.startsWith("\xff\xfe") || bytes.startsWith("\xfe\xff")) {
                const bool little = bytes.startsWith("\xff\xfe");
                QString text;
                text.reserve((bytes.size() - 2) / 2);
                for (qsizetype i = 2; i + 1 < bytes.size(); i += 2) {
                    const auto a = uchar(bytes[i]), b = uchar(bytes[i + 1]);
                    text.append(QChar(little ? char16_t(a | (b << 8)) : char16_t((a << 8) | b)));
                }
                bytes = text.toUtf8();
            }
            parsed = parseStringsTable(bytes);
        }
        it = d->tables.insert(name, parsed);
    }
    auto value = it->constFind(key);
    return value == it->cend() ? fallback : value->toString();
}

bool Bundle::load() {
    QMutexLocker lock(&d->mutex);
    if (d->loaded)
        return true;
    if (d->executable.isEmpty()) {
        log::console(QStringLiteral("[Bundle load] %1 has no executable (CFBundleExecutable)").arg(d->path));
        return false;
    }
    dlerror();
    void* handle = ::dlopen(QFile::encodeName(d->executable).constData(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) {
        const char* why = dlerror();
        log::console(QStringLiteral("[Bundle load] Unable to load %1: %2")
                         .arg(d->executable, why ? QString::fromLocal8Bit(why) : QStringLiteral("unknown error")));
        return false;
    }
    // Loaded code stays loaded: its classes and objects may be in use anywhere.
    d->handle = handle;
    d->loaded = true;
    return true;
}

bool Bundle::isLoaded() const {
    QMutexLocker lock(&d->mutex);
    return d->loaded;
}

QString Bundle::principalClass() const {
    const QVariant v = d->info.value(QStringLiteral("NSPrincipalClass"));
    if (v.typeId() != QMetaType::QString || !isLoaded())
        return {};
    const QString name = v.toString();
    return ClassRegistry::contains(name) ? name : QString();
}

// ---------------------------------------------------------------------------
// String tables: "key" = "value"; with /* */ and // comments. Unquoted words
// are accepted as keys and values, and "key"; alone maps the key to itself.

namespace {

class StringsParser {
public:
    explicit StringsParser(const QString& text) : s_(text) {}

    QVariantMap parse() {
        QVariantMap out;
        for (;;) {
            if (!skipSpace())
                break;
            if (atEnd())
                break;
            QString key, value;
            if (!token(key))
                break;
            if (!skipSpace() || atEnd())
                break;
            if (s_[i_] == QLatin1Char(';')) {
                ++i_;
                out.insert(key, key);
                continue;
            }
            if (s_[i_] != QLatin1Char('='))
                break;
            ++i_;
            if (!skipSpace() || atEnd() || !token(value))
                break;
            if (!skipSpace() || atEnd() || s_[i_] != QLatin1Char(';'))
                break;
            ++i_;
            out.insert(key, value);
        }
        return out;
    }

private:
    bool atEnd() const { return i_ >= s_.size(); }

    // Skips white space and comments; false on an unterminated comment.
    bool skipSpace() {
        while (!atEnd()) {
            const QChar c = s_[i_];
            if (c.isSpace() || c == QChar(0xFEFF)) {
                ++i_;
            } else if (c == QLatin1Char('/') && i_ + 1 < s_.size() && s_[i_ + 1] == QLatin1Char('/')) {
                while (!atEnd() && s_[i_] != QLatin1Char('\n'))
                    ++i_;
            } else if (c == QLatin1Char('/') && i_ + 1 < s_.size() && s_[i_ + 1] == QLatin1Char('*')) {
                const qsizetype end = s_.indexOf(QLatin1String("*/"), i_ + 2);
                if (end < 0)
                    return false;
                i_ = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    static bool isWordChar(QChar c) { return c.isLetterOrNumber() || QStringLiteral("_$+/:.-").contains(c); }

    static int hexValue(QChar c) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            return c.unicode() - '0';
        if (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
            return c.unicode() - 'a' + 10;
        if (c >= QLatin1Char('A') && c <= QLatin1Char('F'))
            return c.unicode() - 'A' + 10;
        return -1;
    }

    bool token(QString& out) {
        if (s_[i_] != QLatin1Char('"')) {
            const qsizetype start = i_;
            while (!atEnd() && isWordChar(s_[i_]))
                ++i_;
            out = s_.mid(start, i_ - start);
            return !out.isEmpty();
        }
        ++i_;
        while (!atEnd()) {
            const QChar c = s_[i_++];
            if (c == QLatin1Char('"'))
                return true;
            if (c != QLatin1Char('\\')) {
                out.append(c);
                continue;
            }
            if (atEnd())
                return false;
            const QChar e = s_[i_++];
            switch (e.unicode()) {
            case 'n':
                out.append(QLatin1Char('\n'));
                break;
            case 't':
                out.append(QLatin1Char('\t'));
                break;
            case 'r':
                out.append(QLatin1Char('\r'));
                break;
            case 'a':
                out.append(QChar(7));
                break;
            case 'b':
                out.append(QChar(8));
                break;
            case 'f':
                out.append(QChar(12));
                break;
            case 'v':
                out.append(QChar(11));
                break;
            case 'U':
            case 'u': {
                int value = 0, n = 0;
                for (; n < 4 && !atEnd() && hexValue(s_[i_]) >= 0; ++n)
                    value = value * 16 + hexValue(s_[i_++]);
                if (n == 0)
                    return false;
                out.append(QChar(char16_t(value)));
                break;
            }
            default:
                if (e >= QLatin1Char('0') && e <= QLatin1Char('7')) {
                    int value = e.unicode() - '0';
                    for (int n = 1; n < 3 && !atEnd() && s_[i_] >= QLatin1Char('0') && s_[i_] <= QLatin1Char('7'); ++n)
                        value = value * 8 + (s_[i_++].unicode() - '0');
                    out.append(QChar(char16_t(value)));
                } else {
                    out.append(e);  // \" \\ \' and any other character stand for themselves
                }
            }
        }
        return false;  // unterminated string
    }

    const QString s_;
    qsizetype i_ = 0;
};

}  // namespace

QVariantMap parseStringsTable(const QByteArray& utf8) { return StringsParser(QString::fromUtf8(utf8)).parse(); }

}  // namespace platform
