// The standalone-mode functions: one reader and one writer per slot type, and the type
// reader. Each stops every output first, then holds g_CriticalSection to its end (no
// sampling pause: the lock already keeps the sampling thread's reads out).
//
// The writers copy the host's records whole into the output state (g_ECGWaveform and
// g_PPGChannelWaveform[c - 1]), where the slot writer normalises them before it sends
// them; a null record is not copied and goes on as null, so the slot writer answers it
// (1 without an instrument, else 3) and host memory is never read through it. The readers
// pass the host's own pointers on.
#include "api/nvs300.h"
#include "output/Output.h"
#include "platform/SimpleCriticalSection.h"
#include "platform/StaticObjects.h"
#include "protocol/StandaloneMode.h"

namespace {

// Stop, lock, and make sure no output runs: another host thread may have started one
// between the stop and the lock, and its thread reads the records a writer overwrites.
// The inner stop holds the lock while it joins.
struct StopFirst {
    StopFirst() { ORVStopOutputWaveform(); }
};

class StandaloneFrame : StopFirst {
public:
    StandaloneFrame() : lock_(g_CriticalSection) { StopOutputWaveform(); }

private:
    CAutoCriticalSection lock_;
};

ECG_WAVEFORM* TakeECG(ECG_WAVEFORM* ecg) {
    if (ecg == nullptr) {
        return nullptr;
    }
    g_ECGWaveform = *ecg;
    return &g_ECGWaveform;
}

// PPG channel c (1..3) goes to slot c - 1.
PPG_WAVEFORM* TakePPG(int channel, PPG_WAVEFORM* ppg) {
    if (ppg == nullptr) {
        return nullptr;
    }
    g_PPGChannelWaveform[channel - 1] = *ppg;
    return &g_PPGChannelWaveform[channel - 1];
}

}  // namespace

int ORVReadStandaloneModeType(int slot) {
    StandaloneFrame frame;
    return ReadStandaloneModeType(slot);
}

// ---- Readers ---------------------------------------------------------------------------

int ORVReadECGModeFromStandaloneMode(int slot, ECG_WAVEFORM* ecg) {
    StandaloneFrame frame;
    return ReadWaveformFromStandaloneMode(slot, 1, nullptr, ecg, nullptr, nullptr, nullptr);
}

int ORVReadPWVModeFromStandaloneMode(int slot, int* timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg) {
    StandaloneFrame frame;
    return ReadWaveformFromStandaloneMode(slot, 2, timeDifference, ecg, ppg, nullptr, nullptr);
}

int ORVReadPWVModeExFromStandaloneMode(int slot, int* timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                       PPG_WAVEFORM* ppg2) {
    StandaloneFrame frame;
    return ReadWaveformFromStandaloneMode(slot, 6, timeDifference, ecg, ppg1, ppg2, nullptr);
}

int ORVReadPWVModePPG3FromStandaloneMode(int slot, int* timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                         PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    StandaloneFrame frame;
    return ReadWaveformFromStandaloneMode(slot, 7, timeDifference, ecg, ppg1, ppg2, ppg3);
}

int ORVReadSPO2ModeFromStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2) {
    StandaloneFrame frame;
    return ReadWaveformFromStandaloneMode(slot, 3, nullptr, nullptr, ppg1, ppg2, nullptr);
}

int ORVReadSPO2ModePPG3FromStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    StandaloneFrame frame;
    return ReadWaveformFromStandaloneMode(slot, 8, nullptr, nullptr, ppg1, ppg2, ppg3);
}

int ORVReadPPGModeFromStandaloneMode(int slot, PPG_WAVEFORM* ppg) {
    StandaloneFrame frame;
    return ReadWaveformFromStandaloneMode(slot, 4, nullptr, nullptr, ppg, nullptr, nullptr);
}

int ORVReadPPGModeExFromStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2) {
    StandaloneFrame frame;
    return ReadWaveformFromStandaloneMode(slot, 5, nullptr, nullptr, ppg1, ppg2, nullptr);
}

int ORVReadPPGModePPG3FromStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    StandaloneFrame frame;
    return ReadWaveformFromStandaloneMode(slot, 9, nullptr, nullptr, ppg1, ppg2, ppg3);
}

// ---- Writers ---------------------------------------------------------------------------

int ORVWriteECGModeToStandaloneMode(int slot, ECG_WAVEFORM* ecg) {
    StandaloneFrame frame;
    return WriteWaveformToStandaloneMode(slot, 1, 0, TakeECG(ecg), nullptr, nullptr, nullptr);
}

int ORVWritePWVModeToStandaloneMode(int slot, int timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg) {
    StandaloneFrame frame;
    return WriteWaveformToStandaloneMode(slot, 2, timeDifference, TakeECG(ecg), TakePPG(1, ppg), nullptr, nullptr);
}

int ORVWritePWVModeExToStandaloneMode(int slot, int timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                      PPG_WAVEFORM* ppg2) {
    StandaloneFrame frame;
    return WriteWaveformToStandaloneMode(slot, 6, timeDifference, TakeECG(ecg), TakePPG(1, ppg1), TakePPG(2, ppg2),
                                         nullptr);
}

int ORVWritePWVModePPG3ToStandaloneMode(int slot, int timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                        PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    StandaloneFrame frame;
    return WriteWaveformToStandaloneMode(slot, 7, timeDifference, TakeECG(ecg), TakePPG(1, ppg1), TakePPG(2, ppg2),
                                         TakePPG(3, ppg3));
}

int ORVWriteSPO2ModeToStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2) {
    StandaloneFrame frame;
    return WriteWaveformToStandaloneMode(slot, 3, 0, nullptr, TakePPG(1, ppg1), TakePPG(2, ppg2), nullptr);
}

int ORVWriteSPO2ModePPG3ToStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    StandaloneFrame frame;
    return WriteWaveformToStandaloneMode(slot, 8, 0, nullptr, TakePPG(1, ppg1), TakePPG(2, ppg2), TakePPG(3, ppg3));
}

int ORVWritePPGModeToStandaloneMode(int slot, PPG_WAVEFORM* ppg) {
    StandaloneFrame frame;
    return WriteWaveformToStandaloneMode(slot, 4, 0, nullptr, TakePPG(1, ppg), nullptr, nullptr);
}

int ORVWritePPGModeExToStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2) {
    StandaloneFrame frame;
    return WriteWaveformToStandaloneMode(slot, 5, 0, nullptr, TakePPG(1, ppg1), TakePPG(2, ppg2), nullptr);
}

int ORVWritePPGModePPG3ToStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    StandaloneFrame frame;
    return WriteWaveformToStandaloneMode(slot, 9, 0, nullptr, TakePPG(1, ppg1), TakePPG(2, ppg2), TakePPG(3, ppg3));
}
