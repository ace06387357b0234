// The floor a viewer's start is measured against: a bare SDL 1.2 program that opens the
// 320x240 mode, fills it red and flips, then waits to be quit. Given the argument C it makes
// the viewer's own start-up choice of the C locale, which spares the classic SDL parsing a
// UTF-8 compose table.
#include <SDL.h>

#include <cstdlib>

int main(int argc, char **argv) {
    if (argc > 1 && argv[1][0] == 'C') setenv("LC_ALL", "C", 1);
    if (SDL_Init(SDL_INIT_VIDEO) < 0) return 1;
    SDL_Surface *screen = SDL_SetVideoMode(320, 240, 0, SDL_ANYFORMAT);
    if (!screen) {
        SDL_Quit();
        return 1;
    }
    SDL_ShowCursor(0);
    SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 255, 0, 0));
    SDL_Flip(screen);
    SDL_Event event;
    while (SDL_WaitEvent(&event) && event.type != SDL_QUIT) {
    }
    SDL_Quit();
    return 0;
}
