// The program, src/main.cpp as it is, under the scheduler: its driver runs as
// the harness's first thread, under the name TranslatersMain.
#include "relacy_shim.h"
#define main TranslatersMain
// Included whole, so that the shim's mappings reach its pthread calls.
#include "main.cpp"  // NOLINT(bugprone-suspicious-include)
