// The channel, src/ctranslater.cpp as the program has it, under the scheduler.
#include "relacy_shim.h"
// Included whole, so that the shim's mappings reach its pthread calls.
#include "ctranslater.cpp"  // NOLINT(bugprone-suspicious-include)
