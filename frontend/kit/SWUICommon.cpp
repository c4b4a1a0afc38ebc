#include "frontend/kit/SWUICommon.h"

#include "frontend/kit/SWUIConstants.h"
#include "ipc/JKW5FrontEndCommunicationCenter.h"
#include "platform/Bundle.h"

#include <QLocale>

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

}  // namespace swui
