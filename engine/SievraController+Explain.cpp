// Why the engine would judge a message as it does, without judging it: the
// same steps as filtering (lists, built-in checks, plug-in chain) with nothing
// counted, logged, learned or shown. Every plug-in is asked for its own
// explanation, and the first that decides is named, as the log would name it.

#include "SievraController.h"

#include "JKW_LogManager.h"
#include "SWHeaderFilterManager.h"
#include "SWHeaderPluginFilter.h"
#include "SWPlugInFilter.h"
#include "SievraFilteringChecks_p.h"

#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"

#include <QVariantList>

namespace {

// The lists' answer without touching their statistics.
int explainCallBack(SADictionary* headers, void*) {
    return SWHeaderFilterManager::defaultManager()->investigate(headers, false);
}

}  // namespace

QVariantMap SievraController::explainMailData(SAData* data) {
    QVariantMap result;
    if (!data || data->length() == 0)
        return result;
    const SARef<SAData> lineFeedData = SARef<SAData>::adopt(copyDataWithLineFeeds(data));
    const auto message = SARef<SAMIMEPart>::adopt(
        new (std::nothrow) SAMIMEPart(lineFeedData ? lineFeedData.get() : data, true, explainCallBack, this));
    if (!message)
        return result;
    const int investigation = message->process(true, false);
    result.insert(QLatin1String(SievraExplainEngineOnKey), status_);
    if (investigation == SAMIMEProcessFailure) {
        result.insert(QLatin1String(SievraExplainDecidedByKey), QStringLiteral("PARSE_ERROR"));
        result.insert(QLatin1String(SievraExplainVerdictKey), qint64(SWFilterStatusSpam));
        return result;
    }
    std::optional<QString> subject;
    const QVariantMap record = createLogRecord(message.get(), &subject);
    for (const char* key : {JKW_LOG_FROM_KEY, JKW_LOG_SUBJECT_KEY})
        if (record.contains(QLatin1String(key)))
            result.insert(QLatin1String(key), record.value(QLatin1String(key)));

    // The deciding step, as filtering would name it in the log.
    QString decidedBy;
    qint32 verdict = SWFilterStatusUndecided;
    if (investigation == SWHeaderInvestigationWhiteListed || investigation == SWHeaderInvestigationBlackListed) {
        const bool white = investigation == SWHeaderInvestigationWhiteListed;
        decidedBy = QString::fromLatin1(white ? JKW_LOG_FILTER_KEY_WHITELIST : JKW_LOG_FILTER_KEY_BLACKLIST);
        verdict = white ? SWFilterStatusLegitimate : SWFilterStatusSpam;
    } else {
        const sievra::BuiltInCheckResult check =
            sievra::runBuiltInChecks(message.get(), builtInCheckSwitches(), subject,
                                     [this](const QString& text) { return advertisementSubjectMatches(text); });
        if (check.code) {
            decidedBy = QString::fromLatin1(check.code);
            verdict = check.verdict;
        }
    }

    // Every plug-in's own explanation, in chain order; the first enabled one
    // that decides is the deciding filter when nothing decided before.
    QVariantList filters;
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance || !entry.identifier)
            continue;
        QVariantMap explanation = entry.instance->explain(message.get());
        if (explanation.isEmpty())
            continue;
        const bool enabled = entry.status && *entry.status;
        explanation.insert(QLatin1String(SievraExplainIdentifierKey), *entry.identifier);
        explanation.insert(QLatin1String(SievraExplainEnabledKey), enabled);
        const qint32 own = qint32(explanation.value(QLatin1String(SievraExplainVerdictKey), 2).toLongLong());
        if (decidedBy.isEmpty() && enabled && (own == SWFilterStatusSpam || own == SWFilterStatusLegitimate)) {
            decidedBy = *entry.identifier;
            verdict = own;
        }
        filters << explanation;
    }
    if (decidedBy.isEmpty())
        decidedBy = QString::fromLatin1(JKW_LOG_FILTER_KEY_NONE);
    result.insert(QLatin1String(SievraExplainDecidedByKey), decidedBy);
    result.insert(QLatin1String(SievraExplainVerdictKey), qint64(verdict));
    result.insert(QLatin1String(SievraExplainFiltersKey), filters);
    return result;
}
