#pragma once
// The built-in black list of the filter chain (identifier "BlackList"). It takes its
// place in the chain, its preferences and its statistics; its rules do not
// judge messages yet, so filter() stays undecided.

#include "engine/SWPlugInFilter.h"

class SWBlackListHeaderFilter : public SWPlugInFilter {
public:
    // The identifier is the one given, the rest as for any filter.
    SWPlugInFilter* initializeWithBundle(std::shared_ptr<platform::Bundle> bundle,
                                         const QString& identifier) override;
    qint32 filter(SAMIMEPart* message) override;
};
