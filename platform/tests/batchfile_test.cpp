#include "platform/BatchFile.h"

#include <QTemporaryFile>
#include <QtEndian>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace platform::batchfile;

namespace {

QByteArray number(quint32 value) {
    char bytes[4];
    qToLittleEndian(value, bytes);
    return QByteArray(bytes, 4);
}

QByteArray header(quint32 count) { return QByteArray(kMagic, 8) + number(count); }

}  // namespace

TEST(BatchFile, sealedMemoryFilesAndPlainFilesGiveBackTheMessages) {
    const QByteArrayList messages{"Subject: one\n\nx\n", QByteArray(), QByteArray("a\0b", 3),
                                  QByteArray(70000, 'z')};
    const QByteArray content = encode(messages);
    const int sealed = createSealed(content);
    ASSERT_GE(sealed, 0);
    EXPECT_NE(::write(sealed, "x", 1), 1) << "a sealed batch can still be written";
    EXPECT_NE(::ftruncate(sealed, 4), 0) << "a sealed batch can still be cut";
    Reader fromMemory;
    QString error;
    ASSERT_TRUE(fromMemory.open(sealed, &error)) << error.toStdString();
    ::close(sealed);  // the mapping stays
    EXPECT_EQ(fromMemory.messages(), messages);

    QTemporaryFile plain;
    ASSERT_TRUE(plain.open());
    plain.write(content);
    plain.flush();
    Reader fromFile;
    ASSERT_TRUE(fromFile.open(int(plain.handle()), &error)) << error.toStdString();
    EXPECT_EQ(fromFile.messages(), messages);
}

TEST(BatchFile, malformedFilesAndOtherDescriptorsAreRefused) {
    const QByteArray good = header(2) + number(1) + "a" + number(2) + "bc";
    ASSERT_TRUE(decode(good.constData(), good.size()));
    const QByteArray bad[] = {
        QByteArray(),
        "JKWBATC",                                          // shorter than the header
        "JKWBATCX" + number(0),                             // another magic
        header(3) + number(1) + "a" + number(2) + "bc",     // fewer messages than counted
        header(2) + number(1) + "a" + number(0xFFFFFFFFu),  // a length past the end
        header(2) + number(1) + "a" + number(3) + "bc",     // one byte short
        good + "x",                                         // bytes after the last message
        header(kMaxMessages + 1),                           // too many messages
    };
    for (const QByteArray& bytes : bad)
        EXPECT_FALSE(decode(bytes.constData(), bytes.size())) << bytes.toHex().toStdString();
    EXPECT_TRUE(encode(QByteArrayList(qsizetype(kMaxMessages) + 1)).isEmpty());

    // Only a regular file is read: a pipe could block the reader for ever.
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    ASSERT_EQ(::write(pipe[1], good.constData(), size_t(good.size())), good.size());
    Reader reader;
    QString error;
    EXPECT_FALSE(reader.open(pipe[0], &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(reader.open(-1, &error));
    ::close(pipe[0]);
    ::close(pipe[1]);
    const int damaged = createSealed(header(1) + number(100) + "short");
    ASSERT_GE(damaged, 0);
    EXPECT_FALSE(reader.open(damaged, &error));
    ::close(damaged);
}
