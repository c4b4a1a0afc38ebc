#include "frontend/app/TableColumnDateFormatter.h"

#include "frontend/app/FrontEndStrings.h"
#include "platform/Bundle.h"

#include <QLocale>
#include <QRegularExpression>

namespace {

constexpr const char* kTable = "TableColumnDateFormatter";

QString localized(const char* key, const char* fallback) {
    return swui::frontEndString(QLatin1String(key), QLatin1String(fallback), QLatin1String(kTable));
}

// A text as a quoted literal of a date pattern ('' stands for one quote).
QString quoted(const QString& text) {
    QString inner = text;
    inner.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}

// "DATE_TIME" filled with a date and a time pattern; a table entry without
// both placeholders falls back to "date time".
QString dateTime(const QString& form, const QString& date, const QString& time) {
    if (!form.contains(QLatin1String("%1")) || !form.contains(QLatin1String("%2")))
        return date + QLatin1Char(' ') + time;
    return form.arg(date, time);
}

}  // namespace

TableColumnDateFormatter::TableColumnDateFormatter()
    : today_(localized("TODAY", "Today")),
      yesterday_(localized("YESTERDAY", "Yesterday")),
      now_([] { return QDateTime::currentDateTime(); }) {
    const QString form = localized("DATE_TIME", "%1 %2");
    const QStringList dates = datePatterns();
    const QString time = shortTimePattern();
    absoluteFormats_ << dates.first();
    for (const QString& date : dates)
        absoluteFormats_ << dateTime(form, date, time);
    relativeFormats_ << QStringLiteral("%1") << dateTime(form, QStringLiteral("%1"), time);
}

QStringList TableColumnDateFormatter::datePatterns() {
    const QLocale locale;
    const QString full = locale.dateFormat(QLocale::LongFormat);
    // The long form without the weekday; the medium one also with the month
    // abbreviated.
    static const QRegularExpression weekday(QStringLiteral("\\s*d{4}[,.]?\\s*"));
    QString longForm = full;
    longForm.replace(weekday, QStringLiteral(" "));
    longForm = longForm.trimmed();
    if (longForm.isEmpty())
        longForm = full;
    QString medium = longForm;
    medium.replace(QLatin1String("MMMM"), QLatin1String("MMM"));
    return {locale.dateFormat(QLocale::ShortFormat), medium, longForm, full};
}

QString TableColumnDateFormatter::shortTimePattern() { return QLocale().timeFormat(QLocale::ShortFormat); }

QString TableColumnDateFormatter::dayWord(const QDateTime& date) const {
    if (!date.isValid())
        return {};
    const QDateTime local = date.toLocalTime();
    const QDate today = now_().toLocalTime().date();
    const QDateTime midnight(today, QTime(0, 0));
    const QDateTime next = midnight.addSecs(86400);
    const QDateTime previous = midnight.addSecs(-86400);
    if (local >= midnight && local < next)
        return today_;
    if (local >= previous && local < midnight)
        return yesterday_;
    return {};
}

QString TableColumnDateFormatter::format(const QDateTime& date, const QString& pattern) const {
    return QLocale().toString(date.toLocalTime(), pattern);
}

QString TableColumnDateFormatter::stringForObjectValue(const QDateTime& date, double availableWidth,
                                                       const QFontMetrics& metrics) const {
    if (!date.isValid())
        return {};
    const QString word = dayWord(date);
    QStringList formats;
    if (word.isEmpty()) {
        formats = absoluteFormats_;
    } else {
        for (const QString& f : relativeFormats_)
            formats << QString(f).replace(QLatin1String("%1"), quoted(word));
    }
    QString chosen = format(date, formats.first());
    for (int i = 1; i < formats.size(); ++i) {
        const QString text = format(date, formats.at(i));
        if (metrics.horizontalAdvance(text) > availableWidth)
            break;
        chosen = text;
    }
    return chosen;
}
