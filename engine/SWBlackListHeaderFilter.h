#pragma once
// The black list, identifier "BlackList": a matching black rule makes a message
// spam while it is parsed (the white list is asked first). Training a message
// as spam teaches it the sender when "Learn" is on.

#include "SWHeaderPluginFilter.h"

inline constexpr const char* SWBlackListIdentifier = "BlackList";

class SWBlackListHeaderFilter : public SWHeaderPluginFilter {
public:
    SWBlackListHeaderFilter();
    ~SWBlackListHeaderFilter() override;

    // Rules, then "Learn" (off when absent).
    void updatePreferences(const QVariantMap& preferences) override;
    // 3 (black-listed) for a matching rule, else 0; counts the message in the
    // filter's statistics unless the filter is off.
    int processHeaders(SADictionary* headers) override;
    int decideHeaders(SADictionary* headers) override;
    // Learns the sender (see SWHeaderPluginFilter); always true.
    bool learnMessageAsSpam(SAMIMEPart* message, const QString& messageID) override;
};
