#include "common/QFUUID.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>

TEST(QFUUID, stringValueIsLowerCaseThirtySixCharacters) {
    const QRegularExpression shape("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
    QSet<QString> seen;
    for (int i = 0; i < 2000; ++i) {
        const QFUUID id = QFUUID::UUID();
        const QString text = id.stringValue();
        ASSERT_TRUE(shape.match(text).hasMatch()) << text.toStdString();
        EXPECT_EQ(text, id.stringValue());  // stable for one object
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 2000);
}
