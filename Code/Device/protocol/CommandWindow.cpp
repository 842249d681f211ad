// The installed entry points of the playback engine's command window.
#include "protocol/CommandWindow.h"

#include <atomic>

namespace {
std::atomic<PFN_PLAY_IS_RUNNING> s_isRunning{nullptr};
std::atomic<PFN_PLAY_WRITE_0xCC> s_write0xCC{nullptr};
}  // namespace

void SetPlaybackCommandWindow(PFN_PLAY_IS_RUNNING isRunning, PFN_PLAY_WRITE_0xCC write0xCC) {
    s_write0xCC.store(write0xCC);
    s_isRunning.store(isRunning);
}

bool PlaybackWindowOpen() {
    const PFN_PLAY_IS_RUNNING isRunning = s_isRunning.load();
    return isRunning != nullptr && s_write0xCC.load() != nullptr && isRunning() != 0;
}

bool PlaybackWrite0xCC(unsigned char id, unsigned char* data, int length) {
    const PFN_PLAY_WRITE_0xCC write = s_write0xCC.load();
    return write != nullptr && write(id, data, length);
}

void ResetCommandWindowState() { SetPlaybackCommandWindow(nullptr, nullptr); }
