// A second quit signal: ends the viewer at once when the first one's quit event is still waiting.
#include <unistd.h>

#include <csignal>

#include "shell.h"

namespace {

volatile sig_atomic_t quitSignalsSeen = 0;
struct sigaction sdlOnInterrupt {};
struct sigaction sdlOnTerminate {};
struct sigaction ours {};

// SDL turns the first signal into a quit event, which waits until the current action (such
// as a long decode) ends. A user who asks again gets the process ended there and then.
void onQuitSignal(int signalNumber) {
    if (quitSignalsSeen) _exit(128 + signalNumber);
    quitSignalsSeen = 1;
    const struct sigaction &sdl = signalNumber == SIGINT ? sdlOnInterrupt : sdlOnTerminate;
    sdl.sa_handler(signalNumber);
    // SDL's handler puts itself back in place; put ours back over it.
    sigaction(signalNumber, &ours, nullptr);
}

bool isFunction(const struct sigaction &action) {
    return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN &&
           !(action.sa_flags & SA_SIGINFO);
}

}  // namespace

void armSecondQuitSignal() {
    sigaction(SIGINT, nullptr, &sdlOnInterrupt);
    sigaction(SIGTERM, nullptr, &sdlOnTerminate);
    ours.sa_handler = onQuitSignal;
    sigemptyset(&ours.sa_mask);
    // Only where SDL took the signal over: an ignored one stays ignored, a default one kills.
    if (isFunction(sdlOnInterrupt)) sigaction(SIGINT, &ours, nullptr);
    if (isFunction(sdlOnTerminate)) sigaction(SIGTERM, &ours, nullptr);
}
