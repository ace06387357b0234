// Entry point of the lumoscape image viewer.
#include "shell.h"

int main(int argc, char **argv) { return runLumoscape(argc, argv); }
