// The entry of Engine.bundle: registers the principal class when the engine
// loads the bundle.

#include "SWChiSquareFilter.h"

#include "platform/ClassRegistry.h"

JUNKWARD_REGISTER_CLASS(SWChiSquareFilter, SWPlugInFilter)
