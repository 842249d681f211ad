// Stand-in for the common stop until the simulated output exists: with no output thread
// and no playback there is nothing to stop.
#include "output/Output.h"

void ORVStopOutputWaveform() {}
