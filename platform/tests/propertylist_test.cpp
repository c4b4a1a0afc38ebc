#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform::plist;

namespace {

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

// A tree holding every kind of value, including the integer extremes.
QVariantMap sampleTree() {
    QVariantMap day{{"SWMAILPROCESSED", qint64(12)}, {"SWMAILSPAMDETECTED", qint64(3)}};
    QVariantMap month{{"8", day}};
    QVariantMap year{{"12", month}};
    QVariantMap calendar{{"2026", year}};
    return QVariantMap{
        {"string", QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac <&> \"q\"")},
        {"empty string", QString()},
        {"zero", qint64(0)},
        {"negative", qint64(-5)},
        {"minus one", qint64(-1)},
        {"int64 min", std::numeric_limits<qint64>::min()},
        {"int64 max", std::numeric_limits<qint64>::max()},
        {"two to the 63", quint64(9223372036854775808ULL)},
        {"uint64 max", std::numeric_limits<quint64>::max()},
        {"real", 3.25},
        {"negative real", -1e-7},
        {"yes", true},
        {"no", false},
        {"date", utc(2008, 2, 29, 23, 59, 58)},
        {"before epoch", utc(1999, 7, 1, 12, 0, 0)},
        {"data", QByteArray("\x00\x01\xff binary", 10)},
        {"empty data", QByteArray("")},
        {"empty array", QVariantList()},
        {"empty dict", QVariantMap()},
        {"array", QVariantList{qint64(1), QString("two"), QVariantList{QVariantMap{{"k", true}}}}},
        {"calendar", calendar},
    };
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

[[maybe_unused]] void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// Builds a binary property list from raw objects, for hostile layouts.
struct BinaryBuilder {
    QList<QByteArray> objects;
    int refSize = 1;
    int offsetSize = 1;
    quint64 top = 0;
    std::optional<quint64> countOverride, tableOverride;
    QList<quint64> offsetOverride;

    static QByteArray be(quint64 v, int width) {
        QByteArray out(width, '\0');
        for (int i = width - 1; i >= 0; --i, v >>= 8)
            out[i] = char(v & 0xff);
        return out;
    }
    QByteArray build() const {
        QByteArray out("bplist00");
        QList<quint64> offsets;
        for (const QByteArray& o : objects) {
            offsets.append(quint64(out.size()));
            out += o;
        }
        quint64 table = quint64(out.size());
        for (int i = 0; i < offsets.size(); ++i)
            out += be(i < offsetOverride.size() ? offsetOverride[i] : offsets[i], offsetSize);
        out += QByteArray(6, '\0');
        out += char(offsetSize);
        out += char(refSize);
        out += be(countOverride.value_or(quint64(objects.size())), 8);
        out += be(top, 8);
        out += be(tableOverride.value_or(table), 8);
        return out;
    }
};

QByteArray arrayOf(std::initializer_list<int> refs) {
    QByteArray o(1, char(0xA0 | int(refs.size())));
    for (int r : refs)
        o += char(r);
    return o;
}

}  // namespace

TEST(PropertyList, everyKindOfValueRoundTripsInBothFormats) {
    const QVariantMap tree = sampleTree();
    for (Format format : {Format::XML, Format::Binary}) {
        SCOPED_TRACE(format == Format::XML ? "xml" : "binary");
        const QByteArray bytes = toData(tree, format);
        ASSERT_FALSE(bytes.isEmpty());
        EXPECT_EQ(bytes.startsWith("bplist00"), format == Format::Binary);
        auto back = fromData(bytes);
        ASSERT_TRUE(back.has_value());
        const QVariantMap m = back->toMap();
        ASSERT_EQ(m.keys(), tree.keys());
        for (auto it = tree.cbegin(); it != tree.cend(); ++it)
            EXPECT_EQ(m.value(it.key()), it.value()) << it.key().toStdString();
        // Integers come back in the two documented types only.
        EXPECT_EQ(m.value("uint64 max").typeId(), QMetaType::ULongLong);
        EXPECT_EQ(m.value("two to the 63").typeId(), QMetaType::ULongLong);
        EXPECT_EQ(m.value("minus one").typeId(), QMetaType::LongLong);
        EXPECT_EQ(m.value("int64 max").typeId(), QMetaType::LongLong);
        EXPECT_EQ(m.value("date").toDateTime().timeSpec(), Qt::UTC);
    }
}

TEST(PropertyList, smallerIntegralTypesAreWrittenAsIntegers) {
    const QVariantList in{QVariant(int(-7)), QVariant(uint(4000000000u)), QVariant(short(3)), QVariant(qulonglong(5)),
                          QVariant(float(0.5f))};
    auto back = fromData(toData(in, Format::Binary));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->toList(), (QVariantList{qint64(-7), qint64(4000000000LL), qint64(3), qint64(5), 0.5}));
}

TEST(PropertyList, valuesWithoutAPropertyListFormAreRefused) {
    const QList<QVariant> bad{
        QVariant(),
        QVariantList{qint64(1), QVariant()},
        QVariantMap{{"a", QVariantMap{{"b", QVariant::fromValue(QDir())}}}},
        QDateTime(),
        utc(1900, 1, 1, 0, 0, 0),  // outside the 32-bit seconds libplist stores
    };
    for (const QVariant& v : bad) {
        EXPECT_TRUE(toData(v, Format::XML).isEmpty());
        EXPECT_TRUE(toData(v, Format::Binary).isEmpty());
    }
}

TEST(PropertyList, binaryDatesKeepMilliseconds) {
    const QDateTime d = utc(2030, 12, 31, 1, 2, 3, 456);
    auto back = fromData(toData(QVariantList{d}, Format::Binary));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->toList().value(0).toDateTime(), d);
}

TEST(PropertyList, readsXmlWrittenByOtherTools) {
    const QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<!-- written by hand -->
<plist version="1.0">
<dict>
    <!-- a comment between entries -->
    <key>Status</key>
    <true/>
    <key>Off</key><false/>
    <key>Blob</key>
    <data>
    AAEC
    /w==
    </data>
    <key>When</key>
    <date>2007-10-26T08:00:00Z</date>
    <key>Nothing</key>
    <dict/>
    <key>None</key>
    <array></array>
    <key>Blank</key>
    <string></string>
    <key>Escaped &amp; key</key>
    <string>a &lt;b&gt; &amp; c</string>
    <key>Count</key>
    <integer>42</integer>
    <key>Ratio</key>
    <real>0.9</real>
</dict>
</plist>
)";
    auto v = fromData(xml);
    ASSERT_TRUE(v.has_value());
    const QVariantMap m = v->toMap();
    EXPECT_EQ(m.value("Status"), QVariant(true));
    EXPECT_EQ(m.value("Off"), QVariant(false));
    EXPECT_EQ(m.value("Blob").toByteArray(), QByteArray("\x00\x01\x02\xff", 4));
    EXPECT_EQ(m.value("When").toDateTime(), utc(2007, 10, 26, 8, 0, 0));
    EXPECT_EQ(m.value("Nothing"), QVariant(QVariantMap()));
    EXPECT_EQ(m.value("None"), QVariant(QVariantList()));
    EXPECT_EQ(m.value("Blank"), QVariant(QString("")));
    EXPECT_EQ(m.value("Escaped & key"), QVariant(QString("a <b> & c")));
    EXPECT_EQ(m.value("Count"), QVariant(qint64(42)));
    EXPECT_DOUBLE_EQ(m.value("Ratio").toDouble(), 0.9);
    EXPECT_EQ(m.size(), 10);

    // The same with a UTF-8 byte-order mark in front.
    auto withMark = fromData("\xef\xbb\xbf" + xml);
    ASSERT_TRUE(withMark.has_value());
    EXPECT_EQ(*withMark, *v);
}

TEST(PropertyList, plistutilReadsOurFilesIntoTheSameValues) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QVariantMap tree = sampleTree();
    for (Format format : {Format::XML, Format::Binary}) {
        const QString ours = dir.filePath(format == Format::XML ? "ours.plist" : "ours.bplist");
        ASSERT_TRUE(writeFile(ours, tree, format));
        // Convert to the other format with the reference tool, then read its output.
        const QString theirs = dir.filePath("theirs");
        QProcess p;
        p.start("plistutil", {"-i", ours, "-o", theirs, "-f", format == Format::XML ? "bin" : "xml"});
        ASSERT_TRUE(p.waitForFinished(30000));
        ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        const QByteArray converted = readAll(theirs);
        EXPECT_EQ(converted.startsWith("bplist00"), format == Format::XML);
        auto back = fromData(converted);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->toMap(), tree);
        if (format == Format::Binary) {
            EXPECT_TRUE(converted.contains("<integer>18446744073709551615</integer>"));
        }
    }
}

TEST(PropertyList, hostileBinaryInputIsRefused) {
    struct Case {
        const char* name;
        BinaryBuilder b;
    };
    QList<Case> cases;
    {
        BinaryBuilder b;  // an array that contains itself
        b.objects = {arrayOf({0})};
        cases.append({"cycle", b});
    }
    {
        BinaryBuilder b;  // a chain of 3000 nested arrays
        b.refSize = 2;
        b.offsetSize = 2;
        for (int i = 0; i < 3000; ++i) {
            QByteArray o(1, char(0xA1));
            o += BinaryBuilder::be(quint64(i + 1), 2);
            b.objects.append(o);
        }
        b.objects.append(QByteArray(1, char(0x09)));
        cases.append({"deep nesting", b});
    }
    {
        BinaryBuilder b;  // each level refers twice to the next: 2^60 expanded nodes
        for (int i = 0; i < 60; ++i)
            b.objects.append(arrayOf({i + 1, i + 1}));
        b.objects.append(QByteArray(1, char(0x08)));
        cases.append({"exponential sharing", b});
    }
    {
        BinaryBuilder b;  // data claiming 1 GB
        QByteArray o("\x4f\x12", 2);
        o += BinaryBuilder::be(1u << 30, 4);
        o += "abc";
        b.objects = {o};
        cases.append({"1 GB data", b});
    }
    {
        BinaryBuilder b;  // array claiming 2^60 entries
        QByteArray o("\xaf\x13", 2);
        o += BinaryBuilder::be(1ull << 60, 8);
        o += QByteArray(8, '\0');
        b.objects = {o};
        cases.append({"huge count", b});
    }
    {
        BinaryBuilder b;  // a UTF-16 string whose byte length overflows
        QByteArray o("\x6f\x13", 2);
        o += BinaryBuilder::be(0x8000000000000001ull, 8);
        b.objects = {o};
        cases.append({"overflowing string", b});
    }
    {
        BinaryBuilder b;  // reference past the object table
        b.objects = {arrayOf({7})};
        cases.append({"bad reference", b});
    }
    {
        BinaryBuilder b;  // offset pointing into the trailer
        b.objects = {QByteArray(1, char(0x09))};
        b.offsetOverride = {250};
        cases.append({"bad offset", b});
    }
    {
        BinaryBuilder b;
        b.objects = {QByteArray(1, char(0x09))};
        b.top = 5;
        cases.append({"top out of range", b});
    }
    {
        BinaryBuilder b;
        b.objects = {QByteArray(1, char(0x09))};
        b.countOverride = 1ull << 62;
        cases.append({"object count beyond the file", b});
    }
    {
        BinaryBuilder b;
        b.objects = {QByteArray(1, char(0x09))};
        b.tableOverride = 0xffffffffffffff00ull;
        cases.append({"table offset beyond the file", b});
    }
    {
        BinaryBuilder b;
        b.objects = {QByteArray(1, char(0x09))};
        b.offsetSize = 0;
        cases.append({"zero offset size", b});
    }
    {
        BinaryBuilder b;  // dictionary whose key is a number
        b.objects = {QByteArray("\xd1\x01\x02", 3), QByteArray("\x10\x05", 2), QByteArray(1, char(0x09))};
        cases.append({"non-string key", b});
    }
    {
        BinaryBuilder b;  // a 16-byte real marker
        b.objects = {QByteArray("\x24", 1) + QByteArray(16, '\0')};
        cases.append({"bad real size", b});
    }
    for (double seconds : {std::numeric_limits<double>::quiet_NaN(), 1e300, -3e9}) {
        BinaryBuilder b;  // dates libplist cannot hold in its 32-bit seconds
        quint64 bits;
        std::memcpy(&bits, &seconds, sizeof bits);
        b.objects = {QByteArray("\x33", 1) + BinaryBuilder::be(bits, 8)};
        cases.append({"date out of range", b});
    }
    for (const Case& c : cases)
        EXPECT_FALSE(fromData(c.b.build()).has_value()) << c.name;

    // The builder itself makes valid lists when nothing is wrong.
    BinaryBuilder ok;
    ok.objects = {arrayOf({1, 1}), QByteArray(1, char(0x09))};
    auto v = fromData(ok.build());
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->toList(), (QVariantList{true, true}));
}

TEST(PropertyList, hostileXmlInputIsRefused) {
    QByteArray deep = "<plist>";
    for (int i = 0; i < 100000; ++i)
        deep += "<array>";
    QByteArray deepClosed = deep;
    for (int i = 0; i < 100000; ++i)
        deepClosed += "</array>";
    const QList<QByteArray> cases{
        "",
        "<plist>",
        "<plist><dict><key>a</key></dict></plist>",
        "<plist><integer>12x</integer></plist>",
        "<plist><date>yesterday</date></plist>",
        "<plist><date>1850-01-01T00:00:00Z</date></plist>",
        "<plist><integer>99999999999999999999</integer></plist>",
        "<plist><integer>-9223372036854775809</integer></plist>",
        "<plist><real>1.5.2</real></plist>",
        "<plist><data>not*base64</data></plist>",
        "<plist><true>x</true></plist>",
        "<plist><string>a</string><string>b</string></plist>",
        "<plist><dict><string>k</string><true/></dict></plist>",
        "<plist><array><key>k</key></array></plist>",
        "<plist><array></dict></plist>",
        "<plist><unknown/></plist>",
        "<plist><key>k&#0;</key></plist>",
        "<plist><dict><key>k&#x00;</key><true/></dict></plist>",
        "<plist><dict><key>a</key><string>b</string></plist>",
        "not a property list at all",
        deep,
        deepClosed + "</plist>",
    };
    for (const QByteArray& c : cases)
        EXPECT_FALSE(fromData(c).has_value()) << c.left(60).toStdString();
}

TEST(PropertyList, everyTruncationOfAValidListIsRefused) {
    const QVariantMap tree = sampleTree();
    for (Format format : {Format::XML, Format::Binary}) {
        const QByteArray bytes = toData(tree, format);
        // XML stays open until its closing </plist> tag.
        const qsizetype complete = format == Format::XML ? bytes.lastIndexOf("</plist>") : bytes.size();
        for (qsizetype n = 0; n < complete; ++n)
            EXPECT_FALSE(fromData(bytes.left(n)).has_value()) << "length " << n;
    }
}

TEST(PropertyList, randomAndMutatedBytesNeverYieldAnUnwritableTree) {
    QRandomGenerator rng(20261208);
    const QByteArray valid[] = {toData(sampleTree(), Format::Binary), toData(sampleTree(), Format::XML)};
    int parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        QByteArray bytes;
        if (round % 3 == 0) {
            bytes.resize(qsizetype(rng.bounded(1, 400)));
            for (char& c : bytes)
                c = char(rng.bounded(256));
            if (round % 2)
                bytes.replace(0, 8, "bplist00");
        } else {
            bytes = valid[round % 2];
            int flips = int(rng.bounded(1, 6));
            for (int i = 0; i < flips; ++i)
                bytes[qsizetype(rng.bounded(quint32(bytes.size())))] = char(rng.bounded(256));
        }
        auto v = fromData(bytes);
        if (v) {
            ++parsed;
            // Whatever is accepted is a real property-list tree.
            EXPECT_FALSE(toData(*v, Format::Binary).isEmpty()) << v->toString().toStdString() << v->typeName();
        }
    }
    EXPECT_GT(parsed, 0);  // some mutations (inside strings or data) stay valid
}

TEST(PropertyList, hugeFilesAreRefusedWithoutBeingRead) {
    QTemporaryDir dir;
    const QString path = dir.filePath("huge.plist");
    int fd = ::open(QFile::encodeName(path).constData(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "bplist00", 8), 8);
    ASSERT_EQ(::ftruncate(fd, 1LL << 30), 0);  // sparse: 1 GB claimed, nothing stored
    ::close(fd);
    EXPECT_FALSE(readFile(path).has_value());
}

TEST(PropertyList, readFileAndReadDictionary) {
    QTemporaryDir dir;
    const QString dict = dir.filePath("d.plist"), array = dir.filePath("a.plist");
    ASSERT_TRUE(writeFile(dict, QVariantMap{{"a", qint64(1)}}));
    ASSERT_TRUE(writeFile(array, QVariantList{qint64(1)}, Format::Binary));
    EXPECT_EQ(readDictionary(dict), (QVariantMap{{"a", qint64(1)}}));
    EXPECT_FALSE(readDictionary(array).has_value());
    EXPECT_TRUE(readFile(array).has_value());
    EXPECT_FALSE(readFile(dir.filePath("missing.plist")).has_value());
    EXPECT_FALSE(readFile(dir.path()).has_value());
}

TEST(PropertyList, writesReplaceWholeFilesAndFailuresKeepTheOldOne) {
    QTemporaryDir dir;
    const QString path = dir.filePath("prefs.plist");
    ASSERT_TRUE(writeFile(path, QVariantMap{{"v", qint64(1)}}));
    const QByteArray first = readAll(path);
    ASSERT_TRUE(::chmod(QFile::encodeName(path).constData(), 0640) == 0);

    // A value that cannot be written leaves the old content.
    EXPECT_FALSE(writeFile(path, QVariantMap{{"bad", QVariant()}}));
    EXPECT_EQ(readAll(path), first);

    // A new content replaces it and keeps the file's mode.
    ASSERT_TRUE(writeFile(path, QVariantMap{{"v", qint64(2)}}, Format::Binary));
    EXPECT_EQ(readDictionary(path), (QVariantMap{{"v", qint64(2)}}));
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // A folder in the way or a missing folder: false, nothing left behind.
    ASSERT_TRUE(QDir(dir.path()).mkdir("taken"));
    EXPECT_FALSE(writeFile(dir.filePath("taken"), QVariantMap{{"v", qint64(3)}}));
    EXPECT_TRUE(QFileInfo(dir.filePath("taken")).isDir());
    EXPECT_FALSE(writeFile(dir.filePath("no/such/folder/x.plist"), QVariantMap{}));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{"prefs.plist", "taken"}));
}

TEST(PropertyList, childMapGivesMutableAccessFourLevelsDown) {
    QVariantMap stats{{"2026", QString("not a dictionary")}};
    for (int i = 0; i < 3; ++i) {
        QVariantMap& hour = childMap(childMap(childMap(childMap(stats, "2026"), "12"), "8"), "5");
        hour["SWMAILPROCESSED"] = unsignedValue(hour, "SWMAILPROCESSED") + 1;
    }
    const QVariantMap hour = stats["2026"].toMap()["12"].toMap()["8"].toMap()["5"].toMap();
    EXPECT_EQ(unsignedValue(hour, "SWMAILPROCESSED"), 3u);
    // The counter survives a write and a read.
    auto back = fromData(toData(stats, Format::XML));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, QVariant(stats));
}

TEST(PropertyList, lenientNumberAndBooleanReaders) {
    const QVariantMap m{
        {"u", std::numeric_limits<quint64>::max()},
        {"i", qint64(7)},
        {"neg", qint64(-7)},
        {"real", 2.9},
        {"str", QString("12")},
        {"yes", QString("YES")},
        {"True", QString("true")},
        {"one", QString("1")},
        {"no", QString("NO")},
        {"zero", qint64(0)},
        {"b", true},
        {"list", QVariantList{}},
    };
    struct Row {
        const char* key;
        quint64 number;
        bool flag;
    };
    const Row rows[] = {
        {"u", std::numeric_limits<quint64>::max(), true},
        {"i", 7, true},
        {"neg", 0, true},
        {"real", 2, true},
        {"str", 0, false},
        {"yes", 0, true},
        {"True", 0, true},
        {"one", 0, true},
        {"no", 0, false},
        {"zero", 0, false},
        {"b", 0, true},
        {"missing", 0, true},
        {"list", 0, true},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(unsignedValue(m, r.key), r.number) << r.key;
        EXPECT_EQ(boolValue(m, r.key, true), r.flag) << r.key;
    }
    EXPECT_FALSE(boolValue(m, "missing", false));
    EXPECT_FALSE(boolValue(m, "list", false));
}

TEST(PropertyList, stringsWithANulAreRefusedRatherThanCut) {
    const QString withNul = QString("ab") + QChar(0) + QString("cd");
    EXPECT_TRUE(toData(QVariantList{withNul}, Format::XML).isEmpty());
    EXPECT_TRUE(toData(QVariantMap{{withNul, true}}, Format::Binary).isEmpty());
    BinaryBuilder b;
    b.objects = {
        QByteArray("\x53"
                   "a\0b",
                   4)};
    EXPECT_FALSE(fromData(b.build()).has_value());
    b.objects = {
        QByteArray("\x53"
                   "abc",
                   4)};
    EXPECT_EQ(fromData(b.build()), QVariant(QString("abc")));
}

TEST(PropertyList, aFlatListOverTheNodeBudgetIsRefused) {
    // Five million references to one object: small file, too many nodes.
    BinaryBuilder b;
    b.offsetSize = 4;
    QByteArray array("\xaf\x13", 2);
    array += BinaryBuilder::be(5'000'000, 8);
    array += QByteArray(5'000'000, '\x01');
    b.objects = {array, QByteArray(1, char(0x09))};
    EXPECT_FALSE(fromData(b.build()).has_value());
    // A million is fine.
    b.objects[0] = QByteArray("\xaf\x13", 2) + BinaryBuilder::be(1'000'000, 8) + QByteArray(1'000'000, '\x01');
    auto v = fromData(b.build());
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->toList().size(), 1'000'000);
}
