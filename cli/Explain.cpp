#include "cli/Explain.h"

#include <QStringList>
#include <QVariantList>

namespace junkwardcli {

namespace {

QString verdictName(const QVariant& value) {
    switch (value.toLongLong()) {
    case 0:
        return QStringLiteral("spam");
    case 1:
        return QStringLiteral("good mail");
    default:
        return QStringLiteral("no opinion");
    }
}

// One line of text from the engine: line ends and other control characters
// of a hostile header become spaces.
QString oneLine(QString text) {
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    return text;
}

}  // namespace

QString formatExplanation(const QVariantMap& e) {
    QStringList lines;
    if (e.isEmpty())
        return QStringLiteral("No explanation: the message is empty.\n");
    if (e.contains("Engine On") && !e.value("Engine On").toBool())
        lines << QStringLiteral("The engine is switched off: every message is delivered as good mail.");
    const QString decidedBy = e.value("Decided By").toString();
    if (decidedBy == QLatin1String("NONE"))
        lines << QStringLiteral("Decided by: no filter (delivered as good mail)");
    else if (!decidedBy.isEmpty())
        lines << QStringLiteral("Decided by: %1 (%2)").arg(oneLine(decidedBy), verdictName(e.value("Verdict")));
    if (e.contains("From"))
        lines << QStringLiteral("From: ") + oneLine(e.value("From").toString());
    if (e.contains("Subject"))
        lines << QStringLiteral("Subject: ") + oneLine(e.value("Subject").toString());

    for (const QVariant& item : e.value("Filters").toList()) {
        const QVariantMap f = item.toMap();
        QString head = QStringLiteral("\n%1: score %2, %3")
                           .arg(oneLine(f.value("SWPluginIdentifier").toString()))
                           .arg(f.value("Score").toDouble(), 0, 'f', 4)
                           .arg(verdictName(f.value("Verdict")));
        if (f.contains("Trained") && !f.value("Trained").toBool())
            head += QStringLiteral(" (not trained enough to decide)");
        if (f.contains("Enabled") && !f.value("Enabled").toBool())
            head += QStringLiteral(" [switched off]");
        if (f.value("Malus").toLongLong() > 0)
            head += QStringLiteral(", %1 malus points").arg(f.value("Malus").toLongLong());
        lines << head;
        for (const QVariant& t : f.value("Tokens").toList()) {
            const QVariantMap token = t.toMap();
            QString line = QStringLiteral("  %1  %2")
                               .arg(token.value("Probability").toDouble(), 6, 'f', 4)
                               .arg(oneLine(token.value("Token").toString()));
            if (token.contains("Spam") || token.contains("Ham"))
                line += QStringLiteral("  (in %1 spam, %2 good)")
                            .arg(token.value("Spam").toLongLong())
                            .arg(token.value("Ham").toLongLong());
            lines << line;
        }
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

}  // namespace junkwardcli
