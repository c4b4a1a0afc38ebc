// Judging a message. The engine answers every message "not judged" for now:
// the header decision, the built-in checks and the plug-in chain are not built
// yet, so the port replies 0 (not spam) to every message.
#include "engine/SievraController.h"

qint32 SievraController::filterMailData(SAData*) { return 2; }

void SievraController::installHeaderFilterDelegates(SWPlugInFilter*, SWPlugInFilter*) {
    // The header filter manager takes the lists once they match rules.
}
