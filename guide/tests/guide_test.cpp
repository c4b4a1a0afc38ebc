// The guide's two pages and its one announcement, on a private bus.

#include "guide/MainController.h"

#include "platform/NotificationCenter.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

TEST(EntourageGuide, goesBackAndForthAndAnnouncesTheEndOnce) {
    testsupport::PrivateBus bus;
    ASSERT_TRUE(bus.ready());
    static int argc = 1;
    static char name[] = "guide-test";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    int done = 0, terminated = 0;
    platform::DistributedNotificationCenter::defaultCenter().addObserver(
        JKWEntourageManualConfDone, std::nullopt, [&](const platform::Notification&) { ++done; });

    MainController guide;
    guide.setTerminate([&] { ++terminated; });
    guide.awakeFromNib();
    QPushButton* back = guide.goBackButton();
    QPushButton* next = guide.continueButton();

    // The go-back button is never enabled on page 1.
    EXPECT_EQ(guide.currentView(), guide.step1View());
    EXPECT_FALSE(back->isEnabled());
    EXPECT_EQ(guide.currentView()->pos(), QPoint(1, 1));
    next->click();
    EXPECT_EQ(guide.currentView(), guide.step2View());
    EXPECT_TRUE(back->isEnabled());
    EXPECT_EQ(next->text(), "Done");
    EXPECT_FALSE(guide.step1View()->isVisible());
    back->click();
    EXPECT_EQ(guide.currentView(), guide.step1View());
    EXPECT_FALSE(back->isEnabled());
    EXPECT_EQ(next->text(), "Continue");

    // Done on page 2, clicked twice before the program ends: one announcement.
    next->click();
    next->click();
    next->click();
    EXPECT_TRUE(testsupport::waitUntil([&] { return done > 0; }));
    testsupport::spinFor(300);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(terminated, 1);
}

}  // namespace
