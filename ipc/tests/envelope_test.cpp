#include "ipc/QMessagePortData.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

QByteArray words(std::initializer_list<quint32> list) {
    QByteArray out;
    for (quint32 w : list)
        out.append(reinterpret_cast<const char*>(&w), sizeof w);
    return out;
}

}  // namespace

TEST(Envelope, encapsulatesHeaderWordsInHostOrderThenThePayload) {
    QMessagePortData env;
    env.senderSignature = QMessagePortFourCharCode("JKWF");
    env.receiverSignature = QMessagePortFourCharCode("JKWD");
    env.messageCode = 2000;
    env.dataLength = 3;
    env.payload = static_cast<char*>(std::malloc(3));
    std::memcpy(env.payload, "abc", 3);

    QByteArray data;
    EXPECT_EQ(QMessagePortDataEncapsulate(&env, &data), 0);
    QMessagePortDataClean(&env);
    EXPECT_EQ(env.payload, nullptr);
    EXPECT_EQ(data, words({0x4A4B5746u, 0x4A4B5744u, 2000u, 3u}) + "abc");

    QMessagePortData got;
    EXPECT_EQ(QMessagePortDataDecapsulate(&got, &data), 0);
    EXPECT_EQ(got.senderSignature, 0x4A4B5746u);
    EXPECT_EQ(got.receiverSignature, 0x4A4B5744u);
    EXPECT_EQ(got.messageCode, 2000u);
    ASSERT_EQ(got.dataLength, 3u);
    EXPECT_EQ(got.payload, data.constData() + 16);  // a view, not a copy
}

TEST(Envelope, emptyAndBufferlessPayloadsGiveBareHeaders) {
    QMessagePortData env;
    env.messageCode = 7;
    QByteArray data;
    QMessagePortDataEncapsulate(&env, &data);
    ASSERT_EQ(data.size(), 16);
    QMessagePortData got;
    EXPECT_EQ(QMessagePortDataDecapsulate(&got, &data), 0);
    EXPECT_EQ(got.dataLength, 0u);
    EXPECT_EQ(got.payload, nullptr);

    // A length without a buffer: nothing is appended and the header says so,
    // so the receiver accepts it as empty.
    env.dataLength = 4;
    QMessagePortDataEncapsulate(&env, &data);
    ASSERT_EQ(data.size(), 16);
    EXPECT_EQ(QMessagePortDataDecapsulate(&got, &data), 0);
    EXPECT_EQ(got.dataLength, 0u);
    EXPECT_EQ(got.payload, nullptr);

    EXPECT_EQ(QMessagePortDataEncapsulate(nullptr, &data), 0);
    EXPECT_EQ(QMessagePortDataEncapsulate(&env, nullptr), 0);
    EXPECT_EQ(QMessagePortDataDecapsulate(&got, nullptr), 0);
    QMessagePortDataClean(nullptr);
}

TEST(Envelope, receivedLengthDecidesAndMalformedDataIsRefused) {
    struct Case {
        const char* what;
        QByteArray data;
        int result;
        quint32 length;
    };
    const Case cases[] = {
        {"20 bytes announcing 4", words({1, 2, 3, 4, 0x11223344}), 0, 4},
        {"20 bytes announcing less", words({1, 2, 3, 0, 0x11223344}), 0, 4},
        {"empty", QByteArray(), kQMessagePortDataMalformed, 0},
        {"15 bytes", QByteArray(15, 'x'), kQMessagePortDataMalformed, 0},
        {"16 bytes announcing 4", words({1, 2, 3, 4}), kQMessagePortDataMalformed, 0},
        {"header announcing 4 GiB", words({1, 2, 3, 0xFFFFFFFFu, 0}), kQMessagePortDataMalformed, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Exactly the bytes of the case on the heap, so a read past them shows under ASan.
        const QByteArray exact(c.data.constData(), c.data.size());
        QMessagePortData got;
        got.messageCode = 99;
        EXPECT_EQ(QMessagePortDataDecapsulate(&got, &exact), c.result);
        EXPECT_EQ(got.dataLength, c.length);
        if (c.result != 0) {
            EXPECT_EQ(got.payload, nullptr);
            EXPECT_EQ(got.messageCode, 0u);
        } else {
            EXPECT_EQ(got.payload, exact.constData() + 16);
            EXPECT_EQ(got.messageCode, 3u);
        }
    }
}
