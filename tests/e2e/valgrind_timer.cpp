// Preloaded into the viewer under valgrind only. libhwy, which libjxl loads, measures its timer
// as it is loaded with rdtscp, an instruction valgrind 3.19 does not emulate; this is the
// answer it would get from a nanosecond timer, and the viewer never asks it for more.
namespace hwy {
namespace platform {
double TimerResolution();
double TimerResolution() { return 1e-9; }
}  // namespace platform
}  // namespace hwy
