#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "test_plugin_api.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

using namespace platform;

namespace {

const QString kBundles = QStringLiteral(JUNKWARD_TEST_BUNDLES);
const QString kPlugin = kBundles + "/TestPlugin.bundle";

void writeText(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

// A bundle folder with the given information dictionary and executable bytes.
QString makeBundle(const QString& parent, const QString& name, const QVariantMap& info,
                   const QByteArray* executable = nullptr) {
    const QString path = parent + "/" + name;
    QDir().mkpath(path + "/Contents/MacOS");
    EXPECT_TRUE(plist::writeFile(path + "/Contents/Info.plist", info));
    if (executable)
        writeText(path + "/Contents/MacOS/" + info.value("CFBundleExecutable").toString(), *executable);
    return path;
}

}  // namespace

TEST(Bundle, opensAPluginAndCreatesItsPrincipalClass) {
    auto b = Bundle::open(kPlugin);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->path(), kPlugin);
    EXPECT_EQ(b->contentsPath(), kPlugin + "/Contents");
    EXPECT_EQ(b->resourcePath(), kPlugin + "/Contents/Resources");
    EXPECT_EQ(b->identifier(), "com.quillon.junkward.testplugin");
    EXPECT_EQ(b->version(), "1.2");  // no CFBundleVersion: the short version
    EXPECT_EQ(b->objectForInfoKey("Default Engine Status"), QVariant(true));
    EXPECT_EQ(b->executablePath(), kPlugin + "/Contents/MacOS/TestPlugin");

    EXPECT_FALSE(b->isLoaded());
    EXPECT_TRUE(b->principalClass().isEmpty());  // not before load
    EXPECT_FALSE(ClassRegistry::contains("TestGreeterImpl"));
    ASSERT_TRUE(b->load());
    EXPECT_TRUE(b->isLoaded());
    EXPECT_TRUE(b->load());  // once is enough; again is harmless
    ASSERT_EQ(b->principalClass(), "TestGreeterImpl");

    std::unique_ptr<TestGreeter> g(ClassRegistry::createAs<TestGreeter>(b->principalClass(), "TestGreeter"));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->greeting(), "hello from the bundle");
    // Another base, or an unknown name, gives nothing.
    EXPECT_EQ(ClassRegistry::create("TestGreeterImpl", "SWPlugInFilter"), nullptr);
    EXPECT_EQ(ClassRegistry::create("NoSuchClass", "TestGreeter"), nullptr);

    // Opening the same folder again shares the loaded state.
    auto again = Bundle::open(kPlugin + "/");
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isLoaded());
}

TEST(Bundle, resourcesAndStringTables) {
    auto b = Bundle::open(kPlugin);
    ASSERT_TRUE(b);
    struct Row {
        QString name, type, expected;
    };
    const Row rows[] = {
        {"sample", "txt", b->resourcePath() + "/sample.txt"},
        {"sample.txt", "", b->resourcePath() + "/sample.txt"},
        {"Help", "html", b->resourcePath() + "/English.lproj/Help.html"},
        {"missing", "txt", ""},
        {"../Info", "plist", ""},
        {"..", "", ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(b->pathForResource(r.name, r.type), r.expected) << r.name.toStdString();

    struct Str {
        QString key, table, expected;
    };
    const Str strings[] = {
        {"Name", "", "Test plug-in"},
        {"Name", "Localizable", "Test plug-in"},
        {"Multi", "", "line one\nline two\ttabbed"},
        {"Unicode", "", QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac")},
        {"Bare", "", "word"},
        {"Same", "", "Same"},
        {"Other", "Other", "from the other table"},
        {"Other", "", "default"},
        {"Missing", "", "default"},
        {"Name", "NoSuchTable", "default"},
        {"Name", "../../Info", "default"},
    };
    for (const Str& s : strings)
        EXPECT_EQ(b->localizedString(s.key, "default", s.table), s.expected) << s.key.toStdString();
}

TEST(Bundle, stringsTableSyntax) {
    struct Row {
        QByteArray text;
        QVariantMap expected;
    };
    const Row rows[] = {
        {"\"a\" = \"1\"; \"b\"=\"2\";", {{"a", "1"}, {"b", "2"}}},
        {"/* c */ \"a\" /* c */ = // c\n \"x\\\"y\\\\z\";", {{"a", "x\"y\\z"}}},
        {"\"k\" = \"\\U0041\\u00e9\\101\\n\";",
         {{"k", QString::fromUtf8("A\xc3\xa9"
                                  "A\n")}}},
        {"\xef\xbb\xbf\"bom\" = \"yes\";", {{"bom", "yes"}}},
        {"\"dup\" = \"1\"; \"dup\" = \"2\";", {{"dup", "2"}}},
        // Malformed input keeps the pairs read before the fault.
        {"\"a\" = \"1\"; \"b\" = ;", {{"a", "1"}}},
        {"\"a\" = \"1\"; \"b\" = \"unterminated", {{"a", "1"}}},
        {"\"a\" = \"1\" \"b\" = \"2\";", {}},
        {"\"a\" = \"1\"; /* open comment", {{"a", "1"}}},
        {"\"a\" = \"1\"; \"b\" = \"\\", {{"a", "1"}}},
        {"", {}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(parseStringsTable(r.text), r.expected) << r.text.toStdString();

    // Garbage never crashes and never reads past the end.
    QByteArray junk;
    for (int i = 0; i < 20000; ++i)
        junk.append(char("\"=;/*\\Ua0 \n"[i * 7919 % 12]));
    for (int n = 0; n < junk.size(); n += 97)
        (void)parseStringsTable(junk.left(n));
}

TEST(Bundle, utf16StringTablesAreReadToo) {
    QTemporaryDir tmp;
    const QString path = makeBundle(tmp.path(), "U.bundle", {{"CFBundleIdentifier", "u"}});
    const QString text = QString::fromUtf8("\"Key\" = \"caf\xc3\xa9\";");
    QByteArray bytes("\xff\xfe");
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    writeText(path + "/Contents/Resources/English.lproj/Localizable.strings", bytes);
    auto b = Bundle::open(path);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->localizedString("Key", "none"), QString::fromUtf8("caf\xc3\xa9"));
}

TEST(Bundle, badBundlesGiveNoneWithOneLogLine) {
    QTemporaryDir tmp;
    const QString root = tmp.path();
    QDir().mkpath(root + "/Empty.bundle");
    writeText(root + "/File.bundle", "x");
    QDir().mkpath(root + "/BadInfo.bundle/Contents");
    writeText(root + "/BadInfo.bundle/Contents/Info.plist", "<plist><array></plist>");
    makeBundle(root, "ArrayInfo.bundle", {});
    plist::writeFile(root + "/ArrayInfo.bundle/Contents/Info.plist", QVariantList{1});

    for (const QString& p : {root + "/Missing.bundle", root + "/Empty.bundle", root + "/File.bundle",
                             root + "/BadInfo.bundle", root + "/ArrayInfo.bundle", QString()}) {
        log::setCapture(true);
        EXPECT_FALSE(Bundle::open(p)) << p.toStdString();
        EXPECT_EQ(log::captured().size(), 1) << p.toStdString();
        log::setCapture(false);
    }

    // Bundles that open but whose code does not load.
    const QByteArray text("not an ELF object");
    struct Row {
        QString name;
        QVariantMap info;
        const QByteArray* exe;
    };
    const Row rows[] = {
        {"NoExe.bundle", {{"CFBundleIdentifier", "a"}}, nullptr},
        {"MissingExe.bundle", {{"CFBundleExecutable", "Gone"}}, nullptr},
        {"Text.bundle", {{"CFBundleExecutable", "Text"}, {"NSPrincipalClass", "TestGreeterImpl"}}, &text},
        {"Escape.bundle", {{"CFBundleExecutable", "../../../../../bin/sh"}}, nullptr},
        {"NotString.bundle", {{"CFBundleExecutable", QVariantMap{}}}, nullptr},
    };
    for (const Row& r : rows) {
        auto b = Bundle::open(makeBundle(root, r.name, r.info, r.exe));
        ASSERT_TRUE(b) << r.name.toStdString();
        log::setCapture(true);
        EXPECT_FALSE(b->load()) << r.name.toStdString();
        EXPECT_EQ(log::captured().size(), 1) << r.name.toStdString();
        log::setCapture(false);
        EXPECT_FALSE(b->isLoaded());
        EXPECT_TRUE(b->principalClass().isEmpty());
    }
}

TEST(Bundle, mainBundleOfAProgramOutsideABundle) {
    auto m = Bundle::mainBundle();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->path(), QDir::cleanPath(qEnvironmentVariable("JUNKWARD_TEST_BIN_DIR")));
    EXPECT_TRUE(m->infoDictionary().isEmpty());
    EXPECT_TRUE(m->identifier().isEmpty());
    EXPECT_TRUE(m->executablePath().endsWith("/platform_bundle_test"));
    EXPECT_TRUE(m->isLoaded());
    EXPECT_TRUE(m->load());
}

TEST(Bundle, mainBundleOfAnApplicationInsideItsBundle) {
    QTemporaryDir home;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("JUNKWARD_USER_LIBRARY", home.path());
    p.setProcessEnvironment(env);
    const QString app = kBundles + "/Test App.app";
    p.start(app + "/Contents/MacOS/test-app", {});
    ASSERT_TRUE(p.waitForFinished(30000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    const QString version = plist::readDictionary(app + "/Contents/Info.plist")->value("CFBundleVersion").toString();
    ASSERT_FALSE(version.isEmpty());
    EXPECT_EQ(lines, (QStringList{app, "com.quillon.junkward.testapp", version, app + "/Contents/MacOS/test-app",
                                  "Test \"App\"", "com.quillon.junkward.testapp", "loaded"}));
}
