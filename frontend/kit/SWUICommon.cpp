#include "frontend/kit/SWUICommon.h"

#include "frontend/kit/SWUIConstants.h"
#include "ipc/JKW5FrontEndCommunicationCenter.h"
#include "platform/Bundle.h"

#include <QLocale>
#include <QRegularExpression>

namespace swui {

QString communicationIdentifier() {
    return JKW5FrontEndCommunicationCenter::defaultCommunicationCenter()->identifier();
}

QString localizedHistogramString(const QString& key) {
    // Built-in names, used when the table lacks the key: the locale's names of
    // the days, Monday first.
    QString fallback = key;
    bool ok = false;
    if (key.startsWith(QLatin1String("Day "))) {
        const int n = key.mid(4).toInt(&ok);
        if (ok && n >= 1 && n <= 7)
            fallback = QLocale().dayName(n, QLocale::ShortFormat);
    } else if (key.startsWith(QLatin1Char('D'))) {
        const int n = key.mid(1).toInt(&ok);
        if (ok && n >= 1 && n <= 7)
            fallback = QLocale().dayName(n, QLocale::ShortFormat).left(1);
    }
    return platform::Bundle::mainBundle()->localizedString(key, fallback, QStringLiteral("Histogram"));
}

QString localizedString(const QString& key, const QString& fallback) {
    return platform::Bundle::mainBundle()->localizedString(key, fallback, QStringLiteral("Localizable"));
}

QString frameString(const QRect& r) {
    return QStringLiteral("{{%1, %2}, {%3, %4}}").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

std::optional<QRect> frameFromString(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("^\\{\\{\\s*(-?\\d+)\\s*,\\s*(-?\\d+)\\s*\\}\\s*,\\s*\\{\\s*(\\d+)\\s*,\\s*(\\d+)\\s*\\}\\}$"));
    const auto m = form.match(text.trimmed());
    if (!m.hasMatch())
        return std::nullopt;
    const QRect r(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(), m.captured(4).toInt());
    if (r.width() < 200 || r.height() < 150 || r.width() > 20000 || r.height() > 20000)
        return std::nullopt;
    return r;
}

}  // namespace swui
