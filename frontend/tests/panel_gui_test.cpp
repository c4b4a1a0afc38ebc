// The filter panel's statistics: the samples of the day, week and month
// histograms across day and month boundaries, the stacked values, labels and
// counters, the stored period, hostile statistics files, and the histogram's scale.
#include "FrontEndTestSupport.h"

#include "engine/SWNotifications.h"
#include "engine/SWPlugInFilter.h"
#include "engine/SWPluginPreferencesManager.h"
#include "frontend/kit/QAHistogramView.h"
#include "frontend/kit/SWPlugInUI.h"
#include "platform/Bundle.h"
#include "platform/PropertyList.h"

#include <QFile>

namespace {

QDateTime at(int y, int m, int d, int h, int min = 0) { return QDateTime(QDate(y, m, d), QTime(h, min)); }

class Panel : public ::testing::Test {
protected:
    // A panel of a probe filter whose bundle has the given graph keys.
    std::unique_ptr<SWPlugInUI> makePanel(const QStringList& graphKeys = {}) {
        const QString bundlePath = box.userLibrary() + QStringLiteral("/Probe%1.bundle").arg(++bundles_);
        QDir().mkpath(bundlePath + QStringLiteral("/Contents"));
        QVariantMap info{{"CFBundleIdentifier", "com.example.probe"}, {"SWPluginIdentifier", "Probe"}};
        if (!graphKeys.isEmpty())
            info.insert("GraphKey", graphKeys);
        EXPECT_TRUE(platform::plist::writeFile(bundlePath + QStringLiteral("/Contents/Info.plist"), info));
        auto panel = std::make_unique<SWPlugInUI>();
        EXPECT_TRUE(panel->loadMainView());
        EXPECT_TRUE(panel->initWithBundle(platform::Bundle::open(bundlePath), QStringLiteral("Probe")));
        return panel;
    }
    // Records in the statistics file as the engine writes them.
    void record(const QList<std::pair<QDateTime, qint32>>& records) {
        QVariantMap stats = SWPluginPreferencesManager::loadStatisticsWithIdentifier("Probe").value_or(QVariantMap());
        for (const auto& [when, r] : records)
            SWPlugInFilter::addToStatistics(stats, r, when);
        ASSERT_TRUE(SWPluginPreferencesManager::saveStatistics(stats, "Probe"));
    }
    static std::vector<std::array<qint64, 2>> samples(const SWPlugInUI& panel) {
        std::vector<std::array<qint64, 2>> out;
        for (int i = 0; i < panel.numberOfSamplesInHistogramView(nullptr); ++i)
            out.push_back(panel.histogramViewSampleAtIndex(nullptr, i));
        return out;
    }

    frontendtest::FrontEndSandbox box;
    int bundles_ = 0;
};

TEST_F(Panel, dayHistogramAtQuarterPastMidnightTakesTheLastHoursOfYesterday) {
    record({{at(2026, 5, 4, 0, 30), 0},   // 24 hours ago: outside the day
            {at(2026, 5, 4, 1, 30), 0},   // sample 0
            {at(2026, 5, 4, 23, 40), 1},  // sample 22
            {at(2026, 5, 5, 0, 10), 0},   // sample 23, the current hour
            {at(2026, 5, 5, 0, 12), 1}});
    auto panel = makePanel();
    panel->setClock([] { return at(2026, 5, 5, 0, 15); });
    panel->takePeriodFrom(0);
    const auto values = samples(*panel);
    ASSERT_EQ(values.size(), 24u);
    for (int i = 0; i < 24; ++i) {
        const std::array<qint64, 2> expected = i == 0    ? std::array<qint64, 2>{1, 0}
                                               : i == 22 ? std::array<qint64, 2>{0, 1}
                                               : i == 23 ? std::array<qint64, 2>{1, 1}
                                                         : std::array<qint64, 2>{0, 0};
        EXPECT_EQ(values[size_t(i)], expected) << "sample " << i;
    }
    EXPECT_EQ(panel->maxValue(), 2);

    // Labels every third hour, each naming its own sample's hour; midnight is 0:00.
    QStringList labels;
    for (int i = 0; i < 24; ++i)
        labels << panel->histogramViewLabelForSampleAtIndex(nullptr, i).text;
    EXPECT_EQ(labels[23], "0:00");
    EXPECT_EQ(labels[2], "3:00");  // sample 2 is 03:00 yesterday
    EXPECT_EQ(labels[20], "21:00");
    EXPECT_EQ(labels.count(QString()), 16);
}

TEST_F(Panel, weekOnTheThirdReachesIntoThePreviousMonthAndMonthHasItsDays) {
    record({{at(2026, 2, 25, 9), 0}, {at(2026, 2, 28, 9), 1}, {at(2026, 3, 1, 9), 0}, {at(2026, 3, 3, 9), 0}});
    auto panel = makePanel();
    panel->setClock([] { return at(2026, 3, 3, 12); });
    panel->takePeriodFrom(1);
    auto values = samples(*panel);
    ASSERT_EQ(values.size(), 7u);
    EXPECT_EQ(values[0], (std::array<qint64, 2>{1, 0}));  // 25 February
    EXPECT_EQ(values[3], (std::array<qint64, 2>{0, 1}));  // 28 February
    EXPECT_EQ(values[4], (std::array<qint64, 2>{1, 0}));  // 1 March
    EXPECT_EQ(values[6], (std::array<qint64, 2>{1, 0}));  // today
    EXPECT_EQ(panel->histogramViewLabelForSampleAtIndex(nullptr, 6).text,
              QLocale().dayName(QDate(2026, 3, 3).dayOfWeek(), QLocale::ShortFormat));

    panel->takePeriodFrom(2);
    values = samples(*panel);
    ASSERT_EQ(values.size(), 28u);  // February's days
    EXPECT_EQ(values[27], (std::array<qint64, 2>{1, 0}));
    EXPECT_EQ(values[21], (std::array<qint64, 2>{1, 0}));                               // 25 February
    EXPECT_TRUE(panel->histogramViewLabelForSampleAtIndex(nullptr, 27).bold == false);  // a Tuesday

    // The period is stored with the filter's preferences and comes back.
    auto again = makePanel();
    EXPECT_EQ(again->period(), 2);
}

TEST_F(Panel, stackedValuesFollowTheGraphKeys) {
    QList<std::pair<QDateTime, qint32>> hour;
    for (int i = 0; i < 4; ++i)
        hour.append({at(2026, 6, 10, 8, i), 0});
    for (int i = 0; i < 6; ++i)
        hour.append({at(2026, 6, 10, 8, 10 + i), 1});
    record(hour);
    auto clock = [] { return at(2026, 6, 10, 8, 30); };

    auto standard = makePanel();
    standard->setClock(clock);
    standard->takePeriodFrom(0);
    EXPECT_EQ(standard->numberOfValuesPerSampleInHistogramView(nullptr), 2);
    EXPECT_EQ(standard->histogramViewSampleAtIndex(nullptr, 23), (std::array<qint64, 2>{4, 6}));
    EXPECT_EQ(standard->maxValue(), 10);

    auto hamOnly = makePanel({sw::SWMAILHAMDETECTED});
    hamOnly->setClock(clock);
    hamOnly->takePeriodFrom(0);
    EXPECT_EQ(hamOnly->numberOfValuesPerSampleInHistogramView(nullptr), 2);
    EXPECT_EQ(hamOnly->histogramViewSampleAtIndex(nullptr, 23), (std::array<qint64, 2>{0, 6}));
    EXPECT_EQ(hamOnly->maxValue(), 6);

    auto spamOnly = makePanel({sw::SWMAILSPAMDETECTED});
    EXPECT_EQ(spamOnly->numberOfValuesPerSampleInHistogramView(nullptr), 1);
}

TEST_F(Panel, countersShowDashesWithoutStatisticsAndZeroForAMissingCounter) {
    auto panel = makePanel();
    for (const char* key :
         {sw::SWMAILPROCESSED, sw::SWMAILHAMDETECTED, sw::SWMAILSPAMDETECTED, sw::SWMAILFALSEPOSITIVE})
        EXPECT_EQ(panel->counterText(key), "--") << key;
    record({{QDateTime::currentDateTime(), 1}});
    panel->statisticsDidUpdate();
    EXPECT_EQ(panel->counterText(sw::SWMAILPROCESSED), "1");
    EXPECT_EQ(panel->counterText(sw::SWMAILSPAMDETECTED), "0");
    EXPECT_EQ(panel->counterText(sw::SWMAILHAMDETECTED), "1");
}

TEST_F(Panel, statisticsFilesOfTheWrongShapeShowEmptyHistograms) {
    const QDateTime now = at(2026, 7, 15, 10, 30);
    const QVariantMap hostileHour{{"SWMAILPROCESSED", "many"}, {"SWMAILSPAMDETECTED", qint64(-5)}};
    const QList<QVariant> shapes{
        QVariantList{1, 2, 3},
        QVariantMap{{"2026", "not a year"}},
        QVariantMap{{"2026", QVariantMap{{"7", QVariantList{}}}}},
        QVariantMap{{"2026", QVariantMap{{"7", QVariantMap{{"15", QVariantMap{{"10", hostileHour}}}}}}}},
        QVariantMap{{"SWMAILPROCESSED", QVariantMap{}}, {"SWMAILSTARTDATE", "yesterday"}},
    };
    const QString path = SWPluginPreferencesManager::statisticsPathWithIdentifier("Probe");
    QDir().mkpath(QFileInfo(path).absolutePath());
    auto panel = makePanel();
    panel->setClock([now] { return now; });
    for (int shape = 0; shape <= shapes.size(); ++shape) {
        if (shape < shapes.size()) {
            ASSERT_TRUE(platform::plist::writeFile(path, shapes[shape]));
        } else {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("<?xml version=\"1.0\"?><plist><dict><key>2026</key>");  // cut short
        }
        panel->statisticsDidUpdate();
        EXPECT_EQ(panel->counterText(sw::SWMAILPROCESSED), "--") << "shape " << shape;
        for (int period = 0; period < 3; ++period) {
            panel->takePeriodFrom(period);
            for (const auto& v : samples(*panel))
                EXPECT_EQ(v, (std::array<qint64, 2>{0, 0})) << "shape " << shape << " period " << period;
            EXPECT_EQ(panel->maxValue(), 0);
            panel->view()->resize(600, 400);
            panel->showStatistics();
            EXPECT_FALSE(panel->view()->grab().isNull());
        }
    }
}

TEST(HistogramScale, theTopCoversTheLargestValueInAtMostFourRoundSteps) {
    EXPECT_EQ(QAHistogramView::scaleTop(0), 4);
    EXPECT_EQ(QAHistogramView::scaleTop(4), 4);
    EXPECT_EQ(QAHistogramView::scaleTop(17), 20);
    EXPECT_EQ(QAHistogramView::scaleTop(1000), 1000);
    for (qint64 max = 0; max < 20000; max += (max < 200 ? 1 : 37)) {
        const qint64 top = QAHistogramView::scaleTop(max);
        ASSERT_GE(top, max);
        ASSERT_LE(top, std::max<qint64>(4, max * 2)) << max;
    }
}

}  // namespace
