// Stand-in for the playback engine's loaded-source range until the engine exists: no
// source is ever loaded, so there is no range.
#include "api/PlaybackSeam.h"

bool GetLoadedPPGRange(int, double*, double*) { return false; }
