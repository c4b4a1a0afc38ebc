#include "SWHeaderFilterManager.h"

#include "SWHeaderPluginFilter.h"

SWHeaderFilterManager* SWHeaderFilterManager::defaultManager() {
    static SWHeaderFilterManager manager;
    return &manager;
}

int SWHeaderFilterManager::investigate(SADictionary* headers, bool counting) {
    if (whiteDelegate_) {
        if (const int result =
                counting ? whiteDelegate_->processHeaders(headers) : whiteDelegate_->decideHeaders(headers))
            return result;
    }
    if (blackDelegate_) {
        if (const int result =
                counting ? blackDelegate_->processHeaders(headers) : blackDelegate_->decideHeaders(headers))
            return result;
    }
    return SWHeaderInvestigationNothing;
}
