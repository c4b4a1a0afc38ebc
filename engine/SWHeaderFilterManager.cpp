#include "SWHeaderFilterManager.h"

#include "SWHeaderPluginFilter.h"

SWHeaderFilterManager* SWHeaderFilterManager::defaultManager()
{
    static SWHeaderFilterManager manager;
    return &manager;
}

int SWHeaderFilterManager::investigate(SADictionary* headers)
{
    if (whiteDelegate_) {
        if (const int result = whiteDelegate_->processHeaders(headers))
            return result;
    }
    if (blackDelegate_) {
        if (const int result = blackDelegate_->processHeaders(headers))
            return result;
    }
    return SWHeaderInvestigationNothing;
}
