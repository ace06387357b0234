// The viewer's settings: built-in defaults.
#include "shell.h"

const Settings defaultSettings = {320, 240, SDL_ANYFORMAT, 1};

Settings settings = defaultSettings;
