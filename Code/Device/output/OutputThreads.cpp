// The output threads: switch the instrument's outputs on, pace the host-side simulation
// (OutputSimulation.h) with a 20 ms timer of their own, hand its samples to the host's
// callbacks, and at the stop switch the outputs off and send the end markers.
//
// The tick loop takes no lock: it reads the output state, which no writer touches while
// the thread lives. The callbacks run on this thread with no lock held.
#include <functional>
#include <vector>

#include "output/LockedExchange.h"
#include "output/OutputGate.h"
#include "output/Output.h"
#include "output/OutputEnable.h"
#include "output/OutputSimulation.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/Protocol.h"

using output::LockedRun;
using output::Sample;
using output::Simulation;

namespace {

// The callbacks of the running output, by sample channel (0 ECG, 1..3 PPG).
struct Callbacks {
    PFN_SAMPLE_CALLBACK of[output::kChannels];
};

Callbacks TakeCallbacks() {
    return Callbacks{{g_OutputECGCallback, g_OutputPPGChannelCallback[0], g_OutputPPGChannelCallback[1],
                      g_OutputPPGChannelCallback[2]}};
}

// No callback starts once a stop has given up waiting for this thread.
void Deliver(const Callbacks& callbacks, const Sample* samples, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        PFN_SAMPLE_CALLBACK cb = callbacks.of[samples[i].channel];
        if (cb != nullptr && !output::OutputMuted()) {
            cb(samples[i].t, samples[i].ac, samples[i].dc);
        }
    }
}

// The control block a thread switches on with: filled from a record, and the mask.
struct SwitchOn {
    std::function<void(_DEVICE_CONTROL_SETTING&)> fill;
    std::function<uint8_t()> mask;  // evaluated under the lock (it may read the pulse group)
};

// The mask bits of the PPG slots in use below count.
uint8_t SlotBits(const Simulation& s) {
    uint8_t bits = 0;
    for (int i = 0; i < s.count; ++i) {
        if (s.channel[1 + i].inUse) {
            bits |= output::PPGOutputBit(i);
        }
    }
    return bits;
}

// Sends one apnea switch under the lock, unless the stop comes first. False on the stop.
bool SwitchRespiration(output::ApneaSwitch what) {
    const bool apnea = what == output::ApneaSwitch::RespirationOff;
    // Without an instrument the request fails at once, without effect.
    return output::RunLockedUnlessStopped(&g_hStopOutputEvent, [apnea] { DeviceEnableRespiration(true, apnea); }) !=
           LockedRun::Stopped;
}

// The common frame of every body, from the switch-on to the end steps.
void Run(Simulation& sim, const SwitchOn& on) {
    const int tickMs = g_iSamplingTime > 0 ? g_iSamplingTime : 20;
    const Callbacks callbacks = TakeCallbacks();
    std::vector<Sample> samples(output::MaxSamplesPerTick(tickMs) + output::kChannels);

    // Switch-on, under the pause and the lock. g_LastOutputEnable is 0 when no block was read.
    const LockedRun switched = output::RunLockedUnlessStopped(&g_hStopOutputEvent, [&on] {
        _DEVICE_CONTROL_SETTING block = {};
        if (DeviceIsConnected() && ReadDeviceControlSetting(&block)) {
            on.fill(block);
            block.ucOutputEnable = on.mask();
            WriteDeviceControlSetting(&block, 1);
        }
        g_LastOutputEnable = block.ucOutputEnable;
    });
    bool stopped = switched == LockedRun::Stopped;

    // A timer and event of this thread's own: a timer event shared with another paced
    // thread would hand each of them only part of the ticks. The event holds one mark.
    CAutoResetEvent tick;
    TIMER_HANDLE timer = stopped ? nullptr : CreateTimerForEvent(static_cast<unsigned int>(tickMs), &tick);
    CEvent* events[2] = {&g_hStopOutputEvent, &tick};
    while (!stopped) {
        const unsigned int r = WaitForMultipleObjects(2, events, 0, NVS_INFINITE);
        if (r == 0) {
            break;  // the stop wins when both are set
        }
        if (r == NVS_WAIT_TIMEOUT) {
            continue;
        }
        if (r != 1) {
            break;  // a failed wait (WAIT_FAILED): waiting again would spin for ever
        }
        Deliver(callbacks, samples.data(), output::Tick(sim, tickMs, samples.data()));
        if (output::OutputMuted()) {
            break;  // the stop left this thread running: nothing more goes out
        }
        if (sim.kind == output::Kind::ECG) {
            const output::ApneaSwitch what = output::ApneaStep(sim, tickMs);
            if (what != output::ApneaSwitch::None && !SwitchRespiration(what)) {
                stopped = true;
            }
        }
    }

    // End steps: the stopper holds g_CriticalSection for the whole join, so these
    // exchanges need no lock of their own. A stop that gave up on this thread has let
    // go of the lock: then neither they nor the end markers happen.
    if (output::EnterEndSteps()) {
        if (DeviceIsConnected()) {
            NotifyDeviceStopOutputWaveform();
        }
        if (sim.kind != output::Kind::PPG) {
            SetOutputPacing(0);
            SetOutputRespiration(0);
        }
        output::LeaveEndSteps();
        Deliver(callbacks, samples.data(), output::EndMarkers(sim, samples.data()));
    }
    sim = Simulation();  // the periods go
    DeleteTimerForEvent(timer);
}

}  // namespace

// The thread leaves its handle set: the stop that joins it clears it. A thread that
// cleared its own handle could wipe out a newer thread's, and a thread that ended after
// a callback stopped its own output would never be joined.
void* OutputThread(void* body) {
    output::RegisterOutputThread();
    reinterpret_cast<PFN_OUTPUT_BODY>(body)();
    output::UnregisterOutputThread();
    return nullptr;
}

uint8_t GetOutputEnableForPPGModule() {
    if (g_DeviceFeature.nPPGChannelNumber == 1) {
        return 0x0E;
    }
    PPG_LED_PULSE_GROUP_SETTING group = {};
    if (!ORVReadLEDPulseGroupSetting(&group)) {
        group = PPG_LED_PULSE_GROUP_SETTING{};
    }
    return output::OutputEnableForPulseGroup(group, g_DeviceFeature.nPPGChannelNumber);
}

void OutputWaveformECGThread() {
    Simulation sim = output::BuildECG(g_ECGWaveform, g_OutputECGCallback != nullptr);
    SwitchOn on;
    on.fill = [](_DEVICE_CONTROL_SETTING& block) {
        ECG_WAVEFORM ecg = g_ECGWaveform;
        ToDeviceControlSetting(&ecg, block);
    };
    on.mask = [] { return output::kECGOutputBit; };
    Run(sim, on);
}

void DoOutputWaveformECGAndPPG3Thread(int count) {
    const bool ppgCallbacks[3] = {g_OutputPPGChannelCallback[0] != nullptr, g_OutputPPGChannelCallback[1] != nullptr,
                                  g_OutputPPGChannelCallback[2] != nullptr};
    Simulation sim = output::BuildECGAndPPG(g_ECGWaveform, g_OutputECGCallback != nullptr, g_PPGChannelWaveform,
                                            ppgCallbacks, count, g_iTimeDiffPPTPeak);
    const uint8_t slots = SlotBits(sim);
    SwitchOn on;
    on.fill = [](_DEVICE_CONTROL_SETTING& block) {
        ECG_WAVEFORM ecg = g_ECGWaveform;
        ToDeviceControlSetting(&ecg, block);
    };
    on.mask = [slots] {
        const uint8_t ppg = IsPPGChannel3Simulated() ? GetOutputEnableForPPGModule() : slots;
        return static_cast<uint8_t>(output::kECGOutputBit | ppg);
    };
    Run(sim, on);
}

void DoOutputWaveformPPGThread(int count) {
    const bool ppgCallbacks[3] = {g_OutputPPGChannelCallback[0] != nullptr, g_OutputPPGChannelCallback[1] != nullptr,
                                  g_OutputPPGChannelCallback[2] != nullptr};
    int last = -1;
    Simulation sim = output::BuildPPG(g_PPGChannelWaveform, ppgCallbacks, count, &last);
    const uint8_t slots = SlotBits(sim);
    SwitchOn on;
    on.fill = [last](_DEVICE_CONTROL_SETTING& block) {
        // The block carries the rate of the last slot in use; with none in use it keeps
        // what the instrument holds.
        if (last >= 0) {
            PPG_WAVEFORM ppg = g_PPGChannelWaveform[last];
            ToDeviceControlSetting(&ppg, block);
        }
    };
    on.mask = [slots] { return IsPPGChannel3Simulated() ? GetOutputEnableForPPGModule() : slots; };
    Run(sim, on);
}

void OutputWaveformECGAndPPGThread() { DoOutputWaveformECGAndPPG3Thread(1); }
void OutputWaveformECGAndPPGExThread() { DoOutputWaveformECGAndPPG3Thread(2); }
void OutputWaveformECGAndPPG3Thread() { DoOutputWaveformECGAndPPG3Thread(3); }
void OutputWaveformPPGThread() { DoOutputWaveformPPGThread(3); }
void OutputWaveformPPGExThread() { DoOutputWaveformPPGThread(2); }
void OutputWaveformPPG3Thread() { DoOutputWaveformPPGThread(3); }
