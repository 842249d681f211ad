// The seam through which the common stop will stop a playback once the playback
// engine exists.
#pragma once

namespace output {

// SEAM for PlayRawStop(1) (the playback engine): stops raw playback with the
// respiration mode cleared and joins its threads. Nothing plays yet, so nothing happens.
void StopPlayback();

}  // namespace output
