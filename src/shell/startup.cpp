// Start-up: checks the arguments, builds the image list, opens the display and runs the loop.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../display/display.h"
#include "shell.h"

namespace {

// The command line, for the decoding process to overwrite.
int argumentCount = 0;
char **arguments = nullptr;

void overwrite(char *text) { memset(text, 0, strlen(text)); }

}  // namespace

void forgetViewerData() {
    for (int i = 0; i < argumentCount; i++) overwrite(arguments[i]);
    for (ImageEntry *entry = imageList.firstEntry; entry;) {
        ImageEntry *next = entry->nextEntry;
        std::fill(entry->filePath.begin(), entry->filePath.end(), '\0');
        delete entry;
        entry = next;
    }
    imageList = ImageList{nullptr, nullptr, 0};
    for (char **variable = environ; variable && *variable; variable++) overwrite(*variable);
    clearenv();
}

int runLumoscape(int argc, char **argv) {
    argumentCount = argc;
    arguments = argv;
    // Each finished line reaches a pipe or log at once, and none is lost if the process is killed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A reader of our output that goes away (`lumoscape *.jpg | head -1`) must not kill the
    // viewer with the display still open: the lost lines are dropped and viewing goes on.
    signal(SIGPIPE, SIG_IGN);

    if (argc < 2) {
        printf("Usage: %s filename [filename] ...\n",
               printable(argc > 0 && argv[0] ? argv[0] : "lumoscape").c_str());
        return 1;
    }
    collectImages(argc - 1, argv + 1);
    if (!imageList.firstEntry) {
        printf("INFO: no valid images found\n");
        return 0;
    }
    readSettings();
    // Before SDL, so that the process that reads image files holds nothing of the display; it
    // sets its readers up while SDL starts.
    startDecoderHelper();

    // On X11 the classic SDL opens an input method at start, which under a UTF-8 locale parses
    // the locale's whole compose table: about half of its start-up. The viewer takes no text
    // input, only keys, which no locale changes; nothing else of it reads the locale.
    setenv("LC_ALL", "C", 1);
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        printf("ERROR: SDL_Init: %s\n", SDL_GetError());
        stopDecoderHelper();
        return 1;
    }
    viewerState.screen = SDL_SetVideoMode(settings.width, settings.height, 0, settings.videoFlags);
    if (!viewerState.screen) {
        printf("ERROR: SDL_SetVideoMode: %s\n", SDL_GetError());
        stopDecoderHelper();
        SDL_Quit();
        return 1;
    }
    SDL_ShowCursor(0);

    showNext();
    return runEventLoop();
}
