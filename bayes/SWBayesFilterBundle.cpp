// The entry of Engine.bundle: registers the principal class when the engine
// loads the bundle.

#include "SWBayesFilter.h"

#include "platform/ClassRegistry.h"

JUNKWARD_REGISTER_CLASS(SWBayesFilter, SWPlugInFilter)
