// The status-menu bundle's entry: registers its principal class with the host.
#include "platform/ClassRegistry.h"
#include "statusmenu/JKW5_MenuController.h"

JUNKWARD_REGISTER_CLASS(JKW5_MenuController, QStatusItemPlugin)
