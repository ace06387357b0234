// Waiting on the display's connection: the loop sleeps until the X server has something for
// it or a quit signal comes, where SDL's own wait would wake a hundred times a second to look;
// while a decode runs the viewer sleeps on the decoder too and acts on quit requests at once.
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>

#include <cstdlib>

#include "shell.h"

namespace {

sigset_t quitSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Whether SDL's queue holds a request to quit, leaving every event where it is.
bool quitRequested() {
    SDL_Event queued[128];
    const int count = SDL_PeepEvents(queued, 128, SDL_PEEKEVENT, SDL_ALLEVENTS);
    for (int i = 0; i < count; i++) {
        if (isQuitEvent(&queued[i])) return true;
    }
    return false;
}

// The time from now until `due` on the monotonic clock in `left`; false once it has come.
bool timeLeft(const timespec &due, timespec *left) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t nanoseconds =
        (int64_t(due.tv_sec) - now.tv_sec) * 1000000000 + due.tv_nsec - now.tv_nsec;
    if (nanoseconds <= 0) return false;
    left->tv_sec = time_t(nanoseconds / 1000000000);
    left->tv_nsec = long(nanoseconds % 1000000000);
    return true;
}

// Without a connection to sleep on (a console or the dummy driver), SDL's queue is looked at
// every 10 ms, as SDL's own wait does, until an event or `due` comes.
int waitPolling(SDL_Event *event, const timespec *due) {
    if (!due) return SDL_WaitEvent(event);
    timespec left{};
    for (;;) {
        SDL_PumpEvents();
        const int got = SDL_PeepEvents(event, 1, SDL_GETEVENT, SDL_ALLEVENTS);
        if (got != 0) return got > 0 ? 1 : 0;
        if (!timeLeft(*due, &left)) return -1;
        SDL_Delay(10);
    }
}

[[noreturn]] void endViewer() {
    shutdownViewer();
    exit(0);
}

}  // namespace

int displayConnection() {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) <= 0 || info.subsystem != SDL_SYSWM_X11 || !info.info.x11.display)
        return -1;
    return ConnectionNumber(info.info.x11.display);
}

int waitForEvent(int connection, SDL_Event *event, const timespec *due) {
    if (connection < 0) return waitPolling(event, due);
    const sigset_t quit = quitSignals();
    sigset_t previous;
    for (;;) {
        // With the quit signals held back from the pump to the wait, one that comes after the
        // queue was found empty is taken by ppoll, which ends the wait, and the next pump turns
        // it into a quit event. The pump also reads whatever Xlib holds, so nothing already
        // received waits unseen while the loop sleeps on the socket.
        sigprocmask(SIG_BLOCK, &quit, &previous);
        SDL_PumpEvents();
        int got = SDL_PeepEvents(event, 1, SDL_GETEVENT, SDL_ALLEVENTS);
        timespec left{};
        const bool timed = due != nullptr;
        if (got == 0 && timed && !timeLeft(*due, &left)) {
            sigprocmask(SIG_SETMASK, &previous, nullptr);
            return -1;
        }
        if (got == 0) {
            pollfd waiting{connection, POLLIN, 0};
            // A connection the server has closed can never wake the loop again.
            if (ppoll(&waiting, 1, timed ? &left : nullptr, &previous) > 0 &&
                (waiting.revents & ~POLLIN))
                got = -1;
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (got != 0) return got > 0 ? 1 : 0;
    }
}

void waitForReadable(pollfd *descriptors, int count) {
    const int connection = displayConnection();
    pollfd waiting[8];
    if (count > 7) count = 7;
    const sigset_t quit = quitSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &quit, &previous);
    for (;;) {
        // As in waitOnConnection, a quit signal that comes after the look at the queue ends the
        // sleep, and the next pump turns it into a quit event.
        SDL_PumpEvents();
        if (quitRequested()) endViewer();
        for (int i = 0; i < count; i++) waiting[i] = pollfd{descriptors[i].fd, POLLIN, 0};
        waiting[count] = pollfd{connection, POLLIN, 0};
        // Without a connection to sleep on, SDL's queue is looked at every 10 ms, as SDL's own
        // wait does; the wait lasts only as long as the decode.
        const timespec tenMilliseconds{0, 10000000};
        const int ready = ppoll(waiting, nfds_t(count) + 1,
                                connection >= 0 ? nullptr : &tenMilliseconds, &previous);
        if (ready <= 0) continue;
        // A display that has gone can show nothing more: the viewer ends as on a failed wait.
        if (waiting[count].revents & ~POLLIN) endViewer();
        bool any = false;
        for (int i = 0; i < count; i++) {
            descriptors[i].revents = waiting[i].revents;
            any = any || waiting[i].revents;
        }
        if (any) break;
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}
