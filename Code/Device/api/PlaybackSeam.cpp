// The playback engine's entry points as the device API sees them.
#include "api/PlaybackSeam.h"

#include <atomic>

#include "protocol/CommandWindow.h"

namespace {
ApiCommandWindow s_window = {};
std::atomic<bool> s_installed{false};
}  // namespace

void SetApiCommandWindow(const ApiCommandWindow* window) {
    s_installed.store(false);
    if (window != nullptr) {
        s_window = *window;
        s_installed.store(true);
    }
}

const ApiCommandWindow* OpenApiCommandWindow() {
    if (!s_installed.load() || !PlaybackWindowOpen()) {
        return nullptr;
    }
    return &s_window;
}
