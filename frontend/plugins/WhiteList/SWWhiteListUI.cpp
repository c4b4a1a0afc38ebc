// The white list's panel: its rules, "Learn" and "Use AddressBook".

#include "frontend/kit/SWRuleListUI.h"

#include "platform/ClassRegistry.h"

class SWWhiteListUI : public SWRuleListUI {
public:
    SWWhiteListUI() : SWRuleListUI(true) {}
};

JUNKWARD_REGISTER_CLASS(SWWhiteListUI, SWPlugInUI)
