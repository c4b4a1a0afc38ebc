// The front end with the staged engine running on a private bus: a filter
// switched off in the list no longer judges the next message, a statistics
// reset empties the counters the engine keeps writing, an import takes effect
// in the engine, and the Bayesian panel's word maintenance reaches the store.
#include "FrontEndTestSupport.h"

#include "engine/SWNotifications.h"
#include "engine/SWPluginPreferencesManager.h"
#include "frontend/app/JKW5SettingsPackage.h"
#include "frontend/kit/SWPlugInUI.h"
#include "SWBayesUI.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

namespace {

using testsupport::waitUntil;

QByteArray message(int n) {
    return QStringLiteral(
               "Message-ID: <%1@example.net>\r\nFrom: Bulk Sender <offers@spammer.example.net>\r\n"
               "To: you@example.org\r\nSubject: Offer %1\r\nContent-Type: text/plain\r\n\r\n"
               "A plain message, number %1.\r\n")
        .arg(n)
        .toUtf8();
}

// The engine's verdict over its bus interface; nullopt when it did not answer.
std::optional<bool> isSpam(const QByteArray& bytes) {
    const auto reply =
        platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath, platform::kEngineInterface,
                                     "CheckSpamStatus", {bytes, false}, 30.0);
    if (!reply.ok || reply.values.isEmpty())
        return std::nullopt;
    return reply.values.first().toBool();
}

quint64 processed(const QString& identifier) {
    const auto stats = SWPluginPreferencesManager::loadStatisticsWithIdentifier(identifier);
    return stats ? platform::plist::unsignedValue(*stats, sw::SWMAILPROCESSED) : 0;
}

class WithEngine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        ASSERT_TRUE(box.startDaemon());
        const QVariantList rules{
            QVariantMap{{"Status", true}, {"Key", "From"}, {"Method", 1}, {"Value", "spammer.example.net"}}};
        ASSERT_TRUE(SWPluginPreferencesManager::savePreferences(
            QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"Array", rules}}}}, "BlackList"));
        ASSERT_TRUE(engine.start());
        ASSERT_TRUE(waitUntil([] { return platform::ScriptingBus::hasOwner(platform::kEngineBusName); }))
            << engine.errorOutput().toStdString();
        controller = std::make_unique<MainController>();
        controller->awakeFromNib();
        controller->applicationDidFinishLaunching();
    }

    frontendtest::FrontEndSandbox box;
    testsupport::PrivateBus bus{testsupport::PrivateBus::stagedServices()};
    testsupport::Program engine{"junkward-engine"};
    std::unique_ptr<MainController> controller;
};

TEST_F(WithEngine, aFilterSwitchedOffInTheListDoesNotJudgeTheNextMessage) {
    ASSERT_EQ(isSpam(message(1)), std::optional<bool>(true)) << engine.errorOutput().toStdString();
    FilterListModel* model = controller->filterModel();
    ASSERT_TRUE(model->setData(model->index(model->rowOf("BlackList"), FilterListModel::StatusColumn), Qt::Unchecked,
                               Qt::CheckStateRole));
    // The switch travels as a notice: the engine applies it when it arrives.
    EXPECT_TRUE(waitUntil([] { return isSpam(message(2)) == std::optional<bool>(false); }));
    ASSERT_TRUE(model->setData(model->index(model->rowOf("BlackList"), FilterListModel::StatusColumn), Qt::Checked,
                               Qt::CheckStateRole));
    EXPECT_TRUE(waitUntil([] { return isSpam(message(3)) == std::optional<bool>(true); }));
}

TEST_F(WithEngine, aStatisticsResetEmptiesTheCountersTheEngineKeepsWriting) {
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(isSpam(message(10 + i)).has_value());
    ASSERT_TRUE(waitUntil([] { return processed("General") == 3 && processed("WhiteList") == 3; }));

    frontendtest::AlertRecorder confirm(0);
    controller->resetAllStatistics();
    EXPECT_EQ(processed("General"), 0u);
    ASSERT_TRUE(isSpam(message(20)).has_value());
    ASSERT_TRUE(waitUntil([] { return processed("General") == 1; })) << processed("General");
    EXPECT_TRUE(waitUntil([] { return processed("WhiteList") == 1; })) << processed("WhiteList");
    // The window shows the fresh counts.
    EXPECT_TRUE(waitUntil([&] { return controller->plugin("BlackList")->score == 1; }));
}

TEST_F(WithEngine, anImportedPackageTakesEffectInTheRestartedEngine) {
    ASSERT_EQ(isSpam(message(30)), std::optional<bool>(true)) << engine.errorOutput().toStdString();
    const QString elsewhere = box.userLibrary() + "/Elsewhere";
    QDir().mkpath(elsewhere);
    ASSERT_TRUE(platform::plist::writeFile(
        elsewhere + "/com.quillon.junkward.BlackList.plist",
        QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"Array", QVariantList{}}}}}));
    ASSERT_TRUE(JKW5SettingsPackage::exportSettings(box.userLibrary() + "/NoRules", elsewhere).ok);
    ASSERT_TRUE(controller->importSettingsAtPath(box.userLibrary() + "/NoRules.junkward5"));
    // The engine quits; the next question starts it anew with the imported rules.
    ASSERT_TRUE(waitUntil([&] { return !engine.running(); })) << engine.errorOutput().toStdString();
    EXPECT_EQ(isSpam(message(31)), std::optional<bool>(false));
}

TEST_F(WithEngine, theBayesianPanelListsTheStoreAndItsRequestsChangeIt) {
    auto* bayes = dynamic_cast<SWBayesUI*>(controller->plugin("Bayesian")->instance);
    ASSERT_TRUE(bayes);
    const QByteArray spam =
        "Message-ID: <w1@example.net>\r\nFrom: a@example.net\r\nSubject: zanzibar pills\r\n\r\n"
        "zanzibar quixotic pills\r\n";
    ASSERT_TRUE(platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath,
                                             platform::kEngineInterface, "LearnSpam", {spam, false}, 30.0)
                    .ok);
    auto word = [&](const QString& text) -> const SWBayesWord* {
        bayes->refreshWords();
        for (const SWBayesWord& w : bayes->wordModel()->words())
            if (w.word == text)
                return &w;
        return nullptr;
    };
    ASSERT_TRUE(waitUntil([&] { return word("quixotic") != nullptr; }));
    EXPECT_EQ(word("quixotic")->spam, 1u);

    ASSERT_TRUE(bayes->requestRemoveWords({"quixotic"}));
    EXPECT_TRUE(waitUntil([&] { return word("quixotic") == nullptr; }));
    ASSERT_TRUE(bayes->requestAddWord("marmalade", 3, 1));
    ASSERT_TRUE(waitUntil([&] { return word("marmalade") != nullptr; }));
    EXPECT_EQ(word("marmalade")->spam, 3u);
    EXPECT_EQ(word("marmalade")->ham, 1u);
    ASSERT_TRUE(bayes->requestReset());
    EXPECT_TRUE(waitUntil([&] {
        bayes->refreshWords();
        return bayes->wordModel()->words().empty();
    }));

    // A key cut inside a character by the store's 20-byte limit shows without the broken end.
    EXPECT_EQ(SWBayesWordStore::wordFromKey(QByteArray("abcdefghijklmnopqr\xc3", 19) + QByteArray(1, 0)),
              "abcdefghijklmnopqr");
}

}  // namespace
