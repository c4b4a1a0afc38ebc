// The black list's panel: its rules and "Learn".

#include "frontend/kit/SWRuleListUI.h"

#include "platform/ClassRegistry.h"

class SWBlackListUI : public SWRuleListUI {
public:
    SWBlackListUI() : SWRuleListUI(false) {}
};

JUNKWARD_REGISTER_CLASS(SWBlackListUI, SWPlugInUI)
