#include "SWBlackListHeaderFilter.h"

#include "SWNotifications.h"
#include "platform/ClassRegistry.h"
#include "platform/PropertyList.h"

JUNKWARD_REGISTER_CLASS(SWBlackListHeaderFilter, SWPlugInFilter)

SWBlackListHeaderFilter::SWBlackListHeaderFilter() = default;
SWBlackListHeaderFilter::~SWBlackListHeaderFilter() = default;

void SWBlackListHeaderFilter::updatePreferences(const QVariantMap& preferences) {
    SWHeaderPluginFilter::updatePreferences(preferences);
    const QVariantMap settings = preferences.value(sw::SWPreferencesSettingsKey).toMap();
    learnSender_ = platform::plist::boolValue(settings, SWHeaderSettingsLearnKey, false);
}

int SWBlackListHeaderFilter::decideHeaders(SADictionary* headers) {
    if (!status_)
        return SWHeaderInvestigationNothing;
    if (!array_.isEmpty()) {
        const auto prepared = copyPreProcessedHeaders(headers);
        if (prepared && headersMatchArray(*prepared, array_))
            return SWHeaderInvestigationBlackListed;
    }
    return SWHeaderInvestigationNothing;
}

int SWBlackListHeaderFilter::processHeaders(SADictionary* headers) {
    if (!status_)
        return SWHeaderInvestigationNothing;
    const int result = decideHeaders(headers);
    addToStatisticsSpam(result == SWHeaderInvestigationBlackListed ? SWFilterStatusSpam : SWFilterStatusUndecided);
    return result;
}

bool SWBlackListHeaderFilter::learnMessageAsSpam(SAMIMEPart* message, const QString&) {
    learnSenderOfMessage(message, QVariantMap());
    return true;
}
