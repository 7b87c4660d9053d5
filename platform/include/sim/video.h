// Simulated machine: the video input devices seen through DirectShow (platform/sim/dshow.cpp).
#pragma once
#ifndef _WIN32

namespace sim {

// Registers the "video" section and the system device enumerator (kept registered across
// resets); machine loading calls it. Idempotent.
void register_video_section();

}  // namespace sim

#endif  // _WIN32
