// Writes the load fuzzer's seeds: one small valid file of each kind of image the viewer reads,
// and of the forms its own readers take.
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "display/readers/readers.h"
#include "image_files.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    // Larger than the fuzzer's 64x48 screen, so that fitting and the reduced decodes run too.
    std::vector<std::pair<std::string, std::function<bool(const std::string &)>>> seeds;
    for (const SampleKind &kind : sampleKinds)
        seeds.push_back(
            {kind.name, [&](const std::string &p) { return writeSample(kind.name, p, 80, 60); }});
    seeds.push_back({"oriented.jpg", [](const std::string &p) {
                         return writePhotoJpeg(p, 80, 60, 80, JpegKind::colour, 6);
                     }});
    seeds.push_back({"lossless.webp", [](const std::string &p) {
                         return writeTestWebp(p, 80, 60, WebpKind::lossless);
                     }});
    seeds.push_back({"alpha.webp", [](const std::string &p) {
                         return writeTestWebp(p, 80, 60, WebpKind::alpha);
                     }});
    seeds.push_back({"animated.webp", [](const std::string &p) {
                         return writeTestWebp(p, 80, 60, WebpKind::animated);
                     }});
    seeds.push_back({"interlaced.gif",
                     [](const std::string &p) { return writeTestGif(p, 80, 60, true, true); }});
    seeds.push_back({"levels.png", [](const std::string &p) {
                         return writeTestPng(
                             p, 80, 60,
                             {PNG_COLOR_TYPE_PALETTE, 4, PngTransparency::levels, false});
                     }});
    seeds.push_back({"grey16.png", [](const std::string &p) {
                         return writeTestPng(
                             p, 80, 60,
                             {PNG_COLOR_TYPE_GRAY, 16, PngTransparency::oneColour, true});
                     }});
    int refused = 0;
    for (const auto &[name, write] : seeds) {
        const std::string path = folder + "/seed." + name;
        if (!write(path)) {
            fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
            return 1;
        }
        // A seed the readers refuse would only start the fuzzer from noise.
        const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ImageInfo info{};
        const std::string extension = name.substr(name.rfind('.') + 1);
        SDL_Surface *image =
            decodeImage(file, extension.c_str(), DecodeOptions{64, 48, 1, 1}, &info);
        close(file);
        if (!image) {
            fprintf(stderr, "%s: %s does not decode: %s\n", argv[0], path.c_str(), SDL_GetError());
            refused++;
        }
        SDL_FreeSurface(image);
    }
    return refused ? 1 : 0;
}
