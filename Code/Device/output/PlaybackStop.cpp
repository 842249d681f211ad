// The playback seam of the simulated output (see PlaybackStop.h).
#include "output/PlaybackStop.h"

namespace output {

void StopPlayback() {}

}  // namespace output
