#include "platform/LoginItems.h"

#include "platform/Launching.h"
#include "platform/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace platform::loginitems {

namespace {

constexpr qint64 kMaxEntrySize = 64 * 1024;
constexpr char kPathKey[] = "X-Junkward-Path";
constexpr char kHideKey[] = "X-Junkward-Hide";

QString absoluteEnvFolder(const char* variable) {
    const QString value = QString::fromLocal8Bit(qgetenv(variable));
    return value.startsWith(QLatin1Char('/')) ? value : QString();
}

// "\s" "\n" "\t" "\r" "\\" of desktop-entry string values.
QString unescapeValue(const QString& value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 >= value.size()) {
            out += value[i];
            continue;
        }
        const QChar c = value[++i];
        if (c == QLatin1Char('s'))
            out += QLatin1Char(' ');
        else if (c == QLatin1Char('n'))
            out += QLatin1Char('\n');
        else if (c == QLatin1Char('t'))
            out += QLatin1Char('\t');
        else if (c == QLatin1Char('r'))
            out += QLatin1Char('\r');
        else if (c == QLatin1Char('\\'))
            out += c;
        else
            out += QLatin1Char('\\') + QString(c);  // not a string escape: left to the Exec quoting
    }
    return out;
}

QString escapeValue(const QString& value) {
    QString out;
    for (QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else
            out += c;
    }
    return out;
}

// The program of an Exec value: its first argument, with the quoting rules of
// desktop entries ("..." with \" \` \$ \\ inside; "%%" for a percent sign).
QString programOfExec(const QString& exec) {
    QString arg;
    qsizetype i = 0;
    while (i < exec.size() && exec[i] == QLatin1Char(' '))
        ++i;
    if (i < exec.size() && exec[i] == QLatin1Char('"')) {
        for (++i; i < exec.size() && exec[i] != QLatin1Char('"'); ++i) {
            if (exec[i] == QLatin1Char('\\') && i + 1 < exec.size())
                ++i;
            arg += exec[i];
        }
    } else {
        for (; i < exec.size() && exec[i] != QLatin1Char(' '); ++i)
            arg += exec[i];
    }
    arg.replace(QLatin1String("%%"), QLatin1String("%"));
    return arg;
}

QString quoteExecArgument(const QString& arg) {
    QString out = QStringLiteral("\"");
    for (QChar c : arg) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            out += QLatin1Char('%');
        out += c;
    }
    return out + QLatin1Char('"');
}

// The keys of the "[Desktop Entry]" group; nullopt for a file that is not one.
std::optional<QMap<QString, QString>> readEntry(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxEntrySize)
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(f.read(kMaxEntrySize)).split(QLatin1Char('\n'));
    QMap<QString, QString> keys;
    bool inGroup = false;
    bool sawGroup = false;
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == QLatin1String("[Desktop Entry]");
            sawGroup = sawGroup || inGroup;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        if (!keys.contains(key))
            keys.insert(key, unescapeValue(line.mid(eq + 1).trimmed()));
    }
    if (!sawGroup)
        return std::nullopt;
    return keys;
}

bool acceptedDomain(LoginItemDomain domain) {
    return domain == LoginItemDomain::CurrentUser || domain == LoginItemDomain::AnyUser;
}

// A file name for path that is not taken yet in folder.
QString freshEntryName(const QString& folder, const QString& path) {
    QString base;
    for (QChar c : QFileInfo(path).fileName().toLower())
        base += (c.isLetterOrNumber() && c.unicode() < 128) ? c : QLatin1Char('-');
    if (base.isEmpty())
        base = QStringLiteral("item");
    base = QStringLiteral("junkward-") + base.left(64);
    QString name = base + QStringLiteral(".desktop");
    for (int n = 2; QFileInfo::exists(folder + QLatin1Char('/') + name); ++n)
        name = base + QStringLiteral("-%1.desktop").arg(n);
    return name;
}

// The program that starts path at login: a bundle's executable, else path itself.
QString programForPath(const QString& path) {
    const QString exe = launching::executableForPath(path);
    if (!exe.isEmpty())
        return exe;
    if (path.endsWith(QLatin1String(".app"))) {
        // Not installed yet: the bundle's usual layout.
        const QString stem = QFileInfo(path).completeBaseName();
        return path + QStringLiteral("/Contents/MacOS/") + stem;
    }
    return path;
}

}  // namespace

QString autostartFolder(LoginItemDomain domain) {
    switch (domain) {
    case LoginItemDomain::CurrentUser: {
        QString config = absoluteEnvFolder("XDG_CONFIG_HOME");
        if (config.isEmpty()) {
            const QString home = absoluteEnvFolder("HOME");
            if (home.isEmpty())
                return {};
            config = home + QStringLiteral("/.config");
        }
        return config + QStringLiteral("/autostart");
    }
    case LoginItemDomain::AnyUser: {
        QString first = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_DIRS")).section(QLatin1Char(':'), 0, 0);
        if (!first.startsWith(QLatin1Char('/')))
            first = QStringLiteral("/etc/xdg");
        return first + QStringLiteral("/autostart");
    }
    case LoginItemDomain::System:
        break;
    }
    return {};
}

QList<LoginItem> ListLoginItems(LoginItemDomain domain) {
    QList<LoginItem> items;
    const QString folder = autostartFolder(domain);
    if (folder.isEmpty())
        return items;
    const QFileInfoList files = QDir(folder).entryInfoList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
    for (const QFileInfo& info : files) {
        const auto keys = readEntry(info.absoluteFilePath());
        // Hidden=true marks an entry as deleted for autostart.
        if (!keys || keys->value(QStringLiteral("Hidden")) == QLatin1String("true"))
            continue;
        LoginItem item;
        item.file = info.absoluteFilePath();
        item.name = keys->value(QStringLiteral("Name"));
        item.path = keys->value(QLatin1String(kPathKey));
        if (item.path.isEmpty())
            item.path = programOfExec(keys->value(QStringLiteral("Exec")));
        item.hide = keys->value(QLatin1String(kHideKey)) == QLatin1String("true");
        if (item.path.isEmpty())
            continue;
        items.append(item);
    }
    return items;
}

int CountLoginItems(LoginItemDomain domain) { return int(ListLoginItems(domain).size()); }

QString PrintLoginItems(LoginItemDomain domain) {
    QString text;
    const QList<LoginItem> items = ListLoginItems(domain);
    for (qsizetype i = 0; i < items.size(); ++i) {
        QString line = QStringLiteral("%1: %2").arg(i).arg(items[i].path);
        if (items[i].hide)
            line += QStringLiteral(" (hidden)");
        log::console(line);
        text += line + QLatin1Char('\n');
    }
    return text;
}

bool AddLoginItemWithPropertiesToUser(LoginItemDomain domain, const QString& path, bool hide) {
    if (!acceptedDomain(domain) || path.isEmpty())
        return false;
    for (QChar c : path)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;  // no line may be broken into
    for (const LoginItem& item : ListLoginItems(domain))
        if (item.path.compare(path, Qt::CaseInsensitive) == 0)
            return true;

    const QString folder = autostartFolder(domain);
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return false;
    const QString program = programForPath(path);
    QString name = QFileInfo(path).completeBaseName();
    if (name.isEmpty())
        name = QFileInfo(path).fileName();

    QString text = QStringLiteral("[Desktop Entry]\nType=Application\n");
    text += QStringLiteral("Name=%1\n").arg(escapeValue(name));
    text += QStringLiteral("Exec=%1\n").arg(escapeValue(quoteExecArgument(program)));
    text += QStringLiteral("%1=%2\n").arg(QLatin1String(kPathKey), escapeValue(path));
    text +=
        QStringLiteral("%1=%2\n").arg(QLatin1String(kHideKey), hide ? QStringLiteral("true") : QStringLiteral("false"));
    text += QStringLiteral("X-GNOME-Autostart-enabled=true\n");

    QSaveFile file(folder + QLatin1Char('/') + freshEntryName(folder, path));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool RemoveLoginItemAtIndex(LoginItemDomain domain, int index) {
    if (!acceptedDomain(domain))
        return false;
    const QList<LoginItem> items = ListLoginItems(domain);
    if (index < 0 || index >= items.size())
        return false;
    return QFile::remove(items[index].file);
}

}  // namespace platform::loginitems
