#include "engine/SWWhiteListHeaderFilter.h"

#include "platform/ClassRegistry.h"

JUNKWARD_REGISTER_CLASS(SWWhiteListHeaderFilter, SWPlugInFilter)

SWPlugInFilter* SWWhiteListHeaderFilter::initializeWithBundle(std::shared_ptr<platform::Bundle> bundle,
                                                     const QString& identifier) {
    return initializeBuiltInWithBundle(std::move(bundle), identifier);
}

qint32 SWWhiteListHeaderFilter::filter(SAMIMEPart*) { return SWFilterStatusUndecided; }
