// Simulated waveform output: the output functions, their threads and the common stop.
#pragma once

// Ends the output thread, stops any playback, turns dynamic LED strength off, restores
// the default transmission rates and re-enables the photodiode inputs if sampling runs.
void ORVStopOutputWaveform();
