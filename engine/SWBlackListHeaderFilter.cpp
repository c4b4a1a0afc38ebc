#include "engine/SWBlackListHeaderFilter.h"

#include "platform/ClassRegistry.h"

JUNKWARD_REGISTER_CLASS(SWBlackListHeaderFilter, SWPlugInFilter)

SWPlugInFilter* SWBlackListHeaderFilter::initializeWithBundle(std::shared_ptr<platform::Bundle> bundle,
                                                     const QString& identifier) {
    return initializeBuiltInWithBundle(std::move(bundle), identifier);
}

qint32 SWBlackListHeaderFilter::filter(SAMIMEPart*) { return SWFilterStatusUndecided; }
