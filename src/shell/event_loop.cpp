// The event loop: waits for events and maps window events and keys to viewer actions.
#include <signal.h>
#include <time.h>

#include <algorithm>

#include "../display/display.h"
#include "shell.h"

namespace {

// What a key does; returns 1 to keep the loop going, 0 once the viewer has shut down.
using KeyAction = int (*)();

struct KeyBinding {
    SDLKey key;
    KeyAction action;
};

int quitViewer() {
    shutdownViewer();
    return 0;
}

// Stepping at either end of the list is refused silently, so the results are not consulted.
int stepForward() {
    showNext();
    return 1;
}

int stepBack() {
    showPrevious();
    return 1;
}

// Turns accumulate unreduced; rotateImage works from the unturned image every time.
int turnBy(int32_t degrees) {
    viewerState.angle += degrees;
    rotateImage();
    return 1;
}

int turnHalf() { return turnBy(180); }
int turnCounterClockwise() { return turnBy(90); }
int turnClockwise() { return turnBy(-90); }

// One binding a line, as the table it is.
// clang-format off
const KeyBinding keyTable[] = {
    {SDLK_ESCAPE, quitViewer},
    {SDLK_q, quitViewer},
    {SDLK_SPACE, stepForward},
    {SDLK_LSHIFT, stepBack},
    {SDLK_UP, turnHalf},
    {SDLK_DOWN, turnHalf},
    {SDLK_RIGHT, turnClockwise},
    {SDLK_LEFT, turnCounterClockwise},
};
// clang-format on

// When the slideshow's next step is due: its interval from now, at most a year.
timespec slideshowStep() {
    timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    due.tv_sec += std::min(settings.slideshow, 365 * 24 * 3600);
    return due;
}

int handleKey(SDLKey key) {
    for (const KeyBinding &binding : keyTable) {
        if (binding.key == key) return binding.action();
    }
    return 1;
}

}  // namespace

void shutdownViewer() {
    // The viewer is ending already: a second quit signal (timeout sends one to the viewer and
    // another to its process group) must not end it by that signal once SDL_Quit has given the
    // signals their default actions back. Held back, it dies with the process.
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGINT);
    sigaddset(&quit, SIGTERM);
    sigprocmask(SIG_BLOCK, &quit, nullptr);
    releaseSlot(&viewerState.current);
    releaseSlot(&viewerState.prefetched);
    // The turned copy would otherwise outlive SDL for no purpose.
    releaseSlot(&viewerState.rotated);
    viewerState.screen = nullptr;
    stopDecoderHelper();
    SDL_Quit();
}

bool isQuitEvent(const SDL_Event *event) {
    if (event->type == SDL_QUIT) return true;
    if (event->type != SDL_KEYDOWN) return false;
    for (const KeyBinding &binding : keyTable) {
        if (binding.key == event->key.keysym.sym) return binding.action == quitViewer;
    }
    return false;
}

int dispatchEvent(const SDL_Event *event) {
    switch (event->type) {
    case SDL_QUIT:
        return quitViewer();
    case SDL_VIDEOEXPOSE:
        redraw();
        return 1;
    case SDL_KEYDOWN:
        return handleKey(event->key.keysym.sym);
    default:
        return 1;
    }
}

int runEventLoop() {
    // SDL's own wait looks at the queue and sleeps 10 ms, over and over: on a display whose
    // connection can be waited on, sleep on that instead, using no processor while idle.
    const int connection = displayConnection();
    SDL_Event event;
    timespec due{};
    bool slideshow = settings.slideshow > 0;
    if (slideshow) due = slideshowStep();
    for (;;) {
        const int got = waitForEvent(connection, &event, slideshow ? &due : nullptr);
        if (got < 0) {
            // As Space does; at the last picture the slideshow is over until a key comes.
            slideshow = showNext() && viewerState.cursor != imageList.lastEntry;
            due = slideshowStep();
            continue;
        }
        if (!got) {
            shutdownViewer();
            return 0;
        }
        if (!dispatchEvent(&event)) return 0;
        // A key press starts the count again, once what it asked for is done.
        if (event.type == SDL_KEYDOWN && settings.slideshow > 0) {
            slideshow = true;
            due = slideshowStep();
        }
    }
}
