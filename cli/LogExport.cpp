#include "cli/LogExport.h"

#include <QDateTime>
#include <QLocale>

namespace junkwardcli {

bool isLegitimateReason(const QString& filterID) {
    return filterID == QLatin1String("NONE") || filterID == QLatin1String("LEARN_HAM") ||
           filterID == QLatin1String("WHITELIST") || filterID == QLatin1String("INT_SIGNED");
}

QString displayStringForSender(const QString& from, bool addressOnly) {
    const qsizetype close = from.lastIndexOf('>');
    if (close < 0)
        return from;
    const qsizetype open = from.lastIndexOf('<', close);
    if (open < 0)
        return from;
    QString part = addressOnly ? from.mid(open + 1, close - open - 1) : from.left(open);
    auto trimmable = [](QChar c) { return c.isSpace() || c == '"' || c == '\''; };
    qsizetype b = 0, e = part.size();
    while (b < e && trimmable(part[b]))
        ++b;
    while (e > b && trimmable(part[e - 1]))
        --e;
    return part.mid(b, e - b);
}

QString exportLogText(const QVariantList& records, const std::function<QString(const QString&)>& localise) {
    const QLocale locale = QLocale::system();
    QString text;
    for (const QVariant& value : records) {
        const QVariantMap record = value.toMap();
        const bool hasFilter = record.contains("Filt-ID");
        const QString filterID = record.value("Filt-ID").toString();
        const bool legitimate =
            (hasFilter && isLegitimateReason(filterID)) ||
            (record.value("Legitimate").typeId() == QMetaType::Bool && record.value("Legitimate").toBool());
        text += legitimate ? QStringLiteral("[L] ") : QStringLiteral("[S] ");
        const QDateTime date = record.value("Date").toDateTime();
        if (date.isValid()) {
            const QDateTime local = date.toLocalTime();
            text += locale.toString(local.date(), QLocale::ShortFormat) + QStringLiteral(", ") +
                    locale.toString(local.time(), QLocale::ShortFormat);
        }
        text += '\t';
        if (record.contains("From"))
            text += displayStringForSender(record.value("From").toString(), false);
        text += '\t';
        text += record.value("Subject").toString();
        text += '\t';
        if (hasFilter)
            text += localise(filterID);
        text += '\n';
    }
    return text;
}

}  // namespace junkwardcli
