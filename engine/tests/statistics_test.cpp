// The statistics calendar of every filter: counters, nested periods, pruning.
#include "engine/SWNotifications.h"
#include "engine/SWPlugInFilter.h"
#include "platform/PropertyList.h"

#include <gtest/gtest.h>

namespace {

using platform::plist::unsignedValue;

QDateTime local(int y, int m, int d, int h) { return QDateTime(QDate(y, m, d), QTime(h, 0), Qt::LocalTime); }

QVariantMap at(const QVariantMap& map, const QStringList& path) {
    QVariantMap level = map;
    for (const QString& key : path)
        level = level.value(key).toMap();
    return level;
}

struct Counts {
    quint64 processed, spam, ham, falsePositive;
};

Counts countsOf(const QVariantMap& m) {
    return {unsignedValue(m, sw::SWMAILPROCESSED), unsignedValue(m, sw::SWMAILSPAMDETECTED),
            unsignedValue(m, sw::SWMAILHAMDETECTED), unsignedValue(m, sw::SWMAILFALSEPOSITIVE)};
}

TEST(StatisticsCalendar, eachRecordCountsTheSameAtEveryLevel) {
    struct Case {
        qint32 record;
        Counts expected;
        bool processedKeyPresent;
    } cases[] = {
        {SWFilterStatusSpam, {1, 1, 0, 0}, true},          {SWFilterStatusLegitimate, {1, 0, 1, 0}, true},
        {SWFilterStatusUndecided, {1, 0, 0, 0}, true},     {SWFilterStatusFalsePositive, {0, 0, 0, 1}, false},
        {SWFilterStatusNotApplicable, {1, 0, 0, 0}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        QVariantMap statistics;
        ASSERT_TRUE(SWPlugInFilter::addToStatistics(statistics, c.record, local(2008, 5, 5, 14)));
        const QStringList levels[] = {{}, {"2008"}, {"2008", "5"}, {"2008", "5", "5"}, {"2008", "5", "5", "14"}};
        for (const QStringList& path : levels) {
            SCOPED_TRACE(path.join('/').toStdString());
            const QVariantMap level = at(statistics, path);
            const Counts got = countsOf(level);
            EXPECT_EQ(got.processed, c.expected.processed);
            EXPECT_EQ(got.spam, c.expected.spam);
            EXPECT_EQ(got.ham, c.expected.ham);
            EXPECT_EQ(got.falsePositive, c.expected.falsePositive);
            // A counter is absent until its first increment.
            EXPECT_EQ(level.contains(sw::SWMAILPROCESSED), c.processedKeyPresent);
            EXPECT_EQ(level.contains(sw::SWMAILSPAMDETECTED), c.record == SWFilterStatusSpam);
        }
        EXPECT_TRUE(statistics.value(sw::SWMAILSTARTDATE).toDateTime().isValid());
    }
}

TEST(StatisticsCalendar, laterRecordsAddUpAndNewPeriodsStartAtOne) {
    QVariantMap statistics;
    SWPlugInFilter::addToStatistics(statistics, SWFilterStatusSpam, local(2008, 5, 5, 14));
    const QDateTime start = statistics.value(sw::SWMAILSTARTDATE).toDateTime();
    SWPlugInFilter::addToStatistics(statistics, SWFilterStatusSpam, local(2008, 5, 5, 14));
    SWPlugInFilter::addToStatistics(statistics, SWFilterStatusLegitimate, local(2008, 5, 5, 15));
    SWPlugInFilter::addToStatistics(statistics, SWFilterStatusFalsePositive, local(2008, 5, 6, 9));

    const Counts top = countsOf(statistics);
    EXPECT_EQ(top.processed, 3u);
    EXPECT_EQ(top.spam, 2u);
    EXPECT_EQ(top.ham, 1u);
    EXPECT_EQ(top.falsePositive, 1u);
    EXPECT_EQ(countsOf(at(statistics, {"2008", "5", "5", "14"})).spam, 2u);
    EXPECT_EQ(countsOf(at(statistics, {"2008", "5", "5"})).processed, 3u);
    EXPECT_EQ(countsOf(at(statistics, {"2008", "5", "5", "15"})).ham, 1u);
    EXPECT_EQ(countsOf(at(statistics, {"2008", "5", "6", "9"})).falsePositive, 1u);
    EXPECT_FALSE(at(statistics, {"2008", "5", "6", "9"}).contains(sw::SWMAILPROCESSED));
    // The start date is the first record's and does not move.
    EXPECT_EQ(statistics.value(sw::SWMAILSTARTDATE).toDateTime(), start);
}

TEST(StatisticsCalendar, pruningKeepsTheCurrentAndTwoPreviousMonthsAndDropsLastYearFromMarch) {
    struct Case {
        const char* name;
        QDateTime now;
        QStringList keptYears, droppedYears;
        QStringList keptMonths, droppedMonths;  // of the current year
    } cases[] = {
        {"February keeps last year", local(2009, 2, 10, 8), {"2008", "2009", "2010"}, {"2006"}, {"1", "2", "12"}, {}},
        {"March drops last year", local(2009, 3, 1, 0), {"2009", "2010"}, {"2008", "2006"}, {"1", "2", "3"}, {}},
        {"May drops January and February",
         local(2009, 5, 20, 23),
         {"2009"},
         {"2008"},
         {"3", "4", "5", "12"},
         {"1", "2"}},
        {"December keeps October on",
         local(2009, 12, 31, 23),
         {"2009", "2010"},
         {"2008"},
         {"10", "11", "12"},
         {"1", "9"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Twelve months of 2009 and three other years, as a file may hold them.
        QVariantMap months{{sw::SWMAILPROCESSED, 12}};
        for (int m = 1; m <= 12; ++m)
            months.insert(QString::number(m), QVariantMap{{sw::SWMAILPROCESSED, 1}});
        QVariantMap statistics{{sw::SWMAILSTARTDATE, local(2006, 6, 1, 1).toUTC()},
                               {sw::SWMAILPROCESSED, 13},
                               {"2006", QVariantMap{{sw::SWMAILPROCESSED, 1}}},
                               {"2008", QVariantMap{{sw::SWMAILPROCESSED, 7}}},
                               {"2009", months},
                               {"2010", QVariantMap{{sw::SWMAILPROCESSED, 1}}}};
        SWPlugInFilter::addToStatistics(statistics, SWFilterStatusLegitimate, c.now);

        for (const QString& y : c.keptYears)
            EXPECT_TRUE(statistics.contains(y)) << y.toStdString();
        for (const QString& y : c.droppedYears)
            EXPECT_FALSE(statistics.contains(y)) << y.toStdString();
        const QVariantMap year = statistics.value(QString::number(c.now.date().year())).toMap();
        for (const QString& m : c.keptMonths)
            EXPECT_TRUE(year.contains(m)) << m.toStdString();
        for (const QString& m : c.droppedMonths)
            EXPECT_FALSE(year.contains(m)) << m.toStdString();
        // Totals and the start date are never pruned.
        EXPECT_TRUE(statistics.contains(sw::SWMAILSTARTDATE));
        EXPECT_EQ(unsignedValue(statistics, sw::SWMAILPROCESSED), 14u);
        EXPECT_EQ(countsOf(year).processed, 13u);
    }
}

TEST(StatisticsCalendar, hostileStoredValuesAreRepairedNotTrusted) {
    // As read back from a file that another program wrote badly.
    QVariantMap statistics{
        {sw::SWMAILSTARTDATE, QStringLiteral("yesterday")},
        {sw::SWMAILPROCESSED, QStringLiteral("many")},
        {"2008", QStringLiteral("not a dictionary")},
        {"99999999999999999999", QVariantMap()},
        {"-7", QVariantMap()},
        {"2008junk", QVariantMap{{"5", 3}}},
    };
    SWPlugInFilter::addToStatistics(statistics, SWFilterStatusSpam, local(2008, 5, 5, 14));
    EXPECT_EQ(statistics.value(sw::SWMAILSTARTDATE).metaType().id(), QMetaType::QDateTime);
    EXPECT_EQ(unsignedValue(statistics, sw::SWMAILPROCESSED), 1u);
    EXPECT_EQ(countsOf(at(statistics, {"2008", "5", "5", "14"})).spam, 1u);
    EXPECT_EQ(countsOf(at(statistics, {"2008"})).processed, 1u);
    EXPECT_TRUE(statistics.contains("99999999999999999999"));  // a far future year stays
    EXPECT_FALSE(statistics.contains("-7"));
    // Read as year 2008 like any other: its month "5" stays, it is not a number map.
    EXPECT_TRUE(statistics.contains("2008junk"));
}

TEST(StatisticsCalendar, countersWrapAtThirtyTwoBits) {
    QVariantMap statistics{{sw::SWMAILPROCESSED, quint64(0xffffffffu)}};
    SWPlugInFilter::addToStatistics(statistics, SWFilterStatusUndecided, local(2008, 1, 1, 0));
    EXPECT_EQ(unsignedValue(statistics, sw::SWMAILPROCESSED), 0u);
}

}  // namespace
