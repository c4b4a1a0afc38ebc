#pragma once
// The date column's formatter: picks the longest date form that fits the
// column. Dates of today and yesterday are shown with a day word ("Today",
// "Yesterday") instead of the date; other dates (future ones too) in one of the
// absolute forms: the short date alone, then the short, medium, long and full
// date each followed by the short time.

#include <QDateTime>
#include <QFontMetrics>
#include <QString>
#include <QStringList>

#include <functional>

class TableColumnDateFormatter {
public:
    // Reads "DATE_TIME", "TODAY" and "YESTERDAY" from the application's
    // "TableColumnDateFormatter" string table and builds the format lists.
    TableColumnDateFormatter();

    // The clock the day words are measured against; tests set their own.
    void setClock(std::function<QDateTime()> now) { now_ = std::move(now); }

    // "TODAY" or "YESTERDAY" for a date in today's or yesterday's local
    // calendar day; empty for any other date.
    QString dayWord(const QDateTime& date) const;

    // The date in the longest format whose text is at most availableWidth wide
    // when drawn with metrics; the first format when none fits; empty for an
    // invalid date.
    QString stringForObjectValue(const QDateTime& date, double availableWidth, const QFontMetrics& metrics) const;

    const QStringList& absoluteFormats() const { return absoluteFormats_; }
    const QStringList& relativeFormats() const { return relativeFormats_; }

    // The date patterns of the current locale: short, medium, long, full.
    static QStringList datePatterns();
    static QString shortTimePattern();

private:
    QString format(const QDateTime& date, const QString& pattern) const;

    QStringList absoluteFormats_;
    QStringList relativeFormats_;  // "%1" stands for the quoted day word
    QString today_;
    QString yesterday_;
    std::function<QDateTime()> now_;
};
