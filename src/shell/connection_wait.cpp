// Waiting on the display's connection: the loop sleeps until the X server has something for
// it or a quit signal comes, where SDL's own wait would wake a hundred times a second to look.
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>

#include "shell.h"

int displayConnection() {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) <= 0 || info.subsystem != SDL_SYSWM_X11 || !info.info.x11.display)
        return -1;
    return ConnectionNumber(info.info.x11.display);
}

int waitOnConnection(int connection, SDL_Event *event) {
    sigset_t quitSignals;
    sigset_t previous;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    for (;;) {
        // With the quit signals held back from the pump to the wait, one that comes after the
        // queue was found empty is taken by ppoll, which ends the wait, and the next pump turns
        // it into a quit event. The pump also reads whatever Xlib holds, so nothing already
        // received waits unseen while the loop sleeps on the socket.
        sigprocmask(SIG_BLOCK, &quitSignals, &previous);
        SDL_PumpEvents();
        int got = SDL_PeepEvents(event, 1, SDL_GETEVENT, SDL_ALLEVENTS);
        if (got == 0) {
            pollfd waiting{connection, POLLIN, 0};
            // A connection the server has closed can never wake the loop again.
            if (ppoll(&waiting, 1, nullptr, &previous) > 0 && (waiting.revents & ~POLLIN)) got = -1;
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (got != 0) return got > 0 ? 1 : 0;
    }
}
