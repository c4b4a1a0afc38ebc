// Property-list throughput on a file shaped like a large training history (one
// dictionary of message IDs, each with a date, a verdict and a token count) and
// on a statistics calendar: reading and writing XML and binary, and the atomic
// file write. When plistutil is on the machine, its conversion of the same XML
// file to binary is timed in the same run as the peer figure.
//
//   propertylist_bench [entries, default 20000]

#include "platform/PropertyList.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

using namespace platform;

namespace {

QVariantMap history(int entries) {
    QVariantMap m;
    const QDateTime start(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    for (int i = 0; i < entries; ++i) {
        m.insert(QStringLiteral("<%1.%2@mail.example.org>").arg(i).arg(i * 7919 % 100003),
                 QVariantMap{{"Date", start.addSecs(i * 37)}, {"Spam", i % 3 == 0}, {"Tokens", qint64(i % 500)}});
    }
    return m;
}

QVariantMap calendar() {
    QVariantMap stats;
    for (int y = 2020; y < 2027; ++y)
        for (int mo = 1; mo <= 12; ++mo)
            for (int d = 1; d <= 28; ++d) {
                QVariantMap& day =
                    plist::childMap(plist::childMap(plist::childMap(stats, QString::number(y)), QString::number(mo)),
                                    QString::number(d));
                for (int h = 0; h < 24; ++h)
                    plist::childMap(day, QString::number(h))["SWMAILPROCESSED"] = qint64(h);
            }
    return stats;
}

template <class F>
double seconds(F f, int repeat = 1) {
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < repeat; ++i)
        f();
    return double(t.nsecsElapsed()) / 1e9 / repeat;
}

void figure(const char* what, double secs, qsizetype bytes) {
    std::printf("%-44s %9.1f ms  %8.1f MB/s\n", what, secs * 1e3, double(bytes) / 1e6 / secs);
}

long peakRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const int entries = argc > 1 ? std::atoi(argv[1]) : 20000;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    std::printf("training history of %d entries\n", entries);
    const QVariantMap h = history(entries);
    QByteArray xml, bin;
    const double xmlWrite = seconds([&] { xml = plist::toData(h, plist::Format::XML); });
    figure("write XML (toData)", xmlWrite, xml.size());
    const double binWrite = seconds([&] { bin = plist::toData(h, plist::Format::Binary); });
    figure("write binary (toData)", binWrite, bin.size());
    const long rssBefore = peakRssKb();
    std::optional<QVariant> back;
    figure("read XML (fromData, checked)", seconds([&] { back = plist::fromData(xml); }), xml.size());
    figure("read binary (fromData, checked)", seconds([&] { back = plist::fromData(bin); }), bin.size());
    std::printf("%-44s %9ld KB\n", "peak resident size growth while reading", peakRssKb() - rssBefore);
    if (!back || back->toMap().size() != entries) {
        std::printf("read back the wrong tree\n");
        return 1;
    }

    const QString xmlPath = dir.filePath("history.plist");
    figure("atomic file write, XML (writeFile)", seconds([&] { plist::writeFile(xmlPath, h, plist::Format::XML); }),
           xml.size());

    const QString plistutil = QStandardPaths::findExecutable("plistutil");
    if (!plistutil.isEmpty()) {
        const QString out = dir.filePath("history.bin");
        const double peer = seconds([&] {
            QProcess p;
            p.start(plistutil, {"-i", xmlPath, "-o", out, "-f", "bin"});
            p.waitForFinished(-1);
        });
        const double ours = seconds([&] {
            auto v = plist::readFile(xmlPath);
            plist::writeFile(out, *v, plist::Format::Binary);
        });
        figure("XML file -> binary file, ours", ours, xml.size());
        figure("XML file -> binary file, plistutil (peer)", peer, xml.size());
    } else {
        std::printf("plistutil not found: no peer figure\n");
    }

    const QVariantMap stats = calendar();
    QByteArray statsXml;
    std::printf("statistics calendar, 7 years of hours\n");
    const double statsWrite = seconds([&] { statsXml = plist::toData(stats, plist::Format::XML); }, 3);
    figure("write XML", statsWrite, statsXml.size());
    figure("read XML", seconds([&] { back = plist::fromData(statsXml); }, 3), statsXml.size());
    return 0;
}
