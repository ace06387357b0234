// Writes the load fuzzer's seeds: one small valid file of each kind of image the viewer reads.
#include <SDL.h>
#include <SDL_image.h>

#include <cstdio>
#include <string>

#include "image_files.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    int refused = 0;
    for (const SampleKind &kind : sampleKinds) {
        // Larger than the fuzzer's 64x48 screen, so that fitting runs too.
        const std::string path = std::string(argv[1]) + "/seed." + kind.name;
        if (!writeSample(kind.name, path, 80, 60)) {
            fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
            return 1;
        }
        // A seed the decoder refuses would only start the fuzzer from noise.
        SDL_Surface *image = IMG_Load(path.c_str());
        if (!image) {
            fprintf(stderr, "%s: %s does not decode: %s\n", argv[0], path.c_str(), IMG_GetError());
            refused++;
        }
        SDL_FreeSurface(image);
    }
    return refused ? 1 : 0;
}
