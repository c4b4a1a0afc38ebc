#include "tools/OSVersionCheck.h"

#include "platform/Bundle.h"
#include "platform/PropertyList.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

namespace {

constexpr const char* kSystemVersionFile = "/System/Library/CoreServices/SystemVersion.plist";
constexpr const char* kOsReleaseFile = "/etc/os-release";
constexpr const char* kNotCertified =
    "This software has not been certified with the Mac OS X version installed on the target volume.";
constexpr int kNoticeTimeoutMs = 90000;

// VERSION_ID="12" of an os-release file; empty when absent.
QString osReleaseVersion(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.read(1 << 16);
    for (const QByteArray& raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith("VERSION_ID="))
            continue;
        QByteArray value = line.mid(int(sizeof "VERSION_ID=") - 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return QString::fromUtf8(value);
    }
    return {};
}

}  // namespace

int QCFStringCompareVersion(const QString& a, const QString& b) {
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    const qsizetype shared = std::min(left.size(), right.size());
    for (qsizetype i = 0; i < shared; ++i) {
        const long long x = left[i].toLongLong();
        const long long y = right[i].toLongLong();
        if (x < y)
            return -1;
        if (x > y)
            return 1;
    }
    if (left.size() == right.size())
        return 0;
    return left.size() > right.size() ? 1 : -1;
}

QString targetSystemVersion(const QString& root) {
    const QString path = QString::asprintf("%s/%s", root.toLocal8Bit().constData(), kSystemVersionFile);
    if (const auto plist = platform::plist::readDictionary(path))
        return plist->value(QStringLiteral("ProductVersion")).toString();
    return osReleaseVersion(root + QLatin1String(kOsReleaseFile));
}

void showNotice(const QString& title, const QString& message, int timeoutMs) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    if (bus.isConnected() && bus.interface()->isServiceRegistered(service).value()) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                                           service, QStringLiteral("Notify"));
        // A note: low urgency, dismissed by the server after the time-out.
        const QVariantMap hints{{QStringLiteral("urgency"), QVariant::fromValue(uchar(0))}};
        call << QStringLiteral("os-version-check") << uint(0) << QStringLiteral("dialog-information") << title
             << message << QStringList() << hints << timeoutMs;
        const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
        if (reply.type() == QDBusMessage::ReplyMessage)
            return;
    }
    std::fprintf(stderr, "%s: %s\n", title.toLocal8Bit().constData(), message.toLocal8Bit().constData());
}

void runVersionCheck(const QString& resources, const QString& root) {
    const QString product = targetSystemVersion(root);
    if (product.isEmpty())
        return;
    const auto soft = platform::plist::readDictionary(resources + QStringLiteral("/SoftVersion.plist"));
    if (!soft)
        return;
    const QString certified = soft->value(QStringLiteral("OS Version")).toString();
    const QString name = soft->value(QStringLiteral("Name")).toString();
    if (certified.isEmpty() || QCFStringCompareVersion(product, certified) != 1 || name.isEmpty())
        return;

    QString message = QLatin1String(kNotCertified);
    // The string table is optional: without it the notice is in English.
    const QString strings = resources + QStringLiteral("/CheckBundle.bundle");
    if (QFileInfo(strings + QStringLiteral("/Contents/Info.plist")).isFile()) {
        if (const auto bundle = platform::Bundle::open(strings))
            message = bundle->localizedString(message, message);
    }
    showNotice(name, message, kNoticeTimeoutMs);
}
