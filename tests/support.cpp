// Test helpers: a swapped-in screen, generated images, captured output and child processes.
#include "support.h"

#include <dirent.h>
#include <png.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

int openDescriptorCount() {
    int count = 0;
    DIR *listing = opendir("/proc/self/fd");
    while (listing && readdir(listing)) count++;
    if (listing) closedir(listing);
    return count;
}

void PrintTo(const Rgb &colour, std::ostream *out) {
    *out << "rgb(" << int(colour.r) << ", " << int(colour.g) << ", " << int(colour.b) << ")";
}

Rgb pixelAt(SDL_Surface *surface, int x, int y) {
    SDL_LockSurface(surface);
    const int bytes = surface->format->BytesPerPixel;
    const Uint8 *at = static_cast<Uint8 *>(surface->pixels) + y * surface->pitch + x * bytes;
    Uint32 value = 0;
    switch (bytes) {
    case 1:
        value = *at;
        break;
    case 2:
        value = *reinterpret_cast<const Uint16 *>(at);
        break;
    case 3:
        value = at[0] | (at[1] << 8) | (at[2] << 16);
        break;
    default:
        value = *reinterpret_cast<const Uint32 *>(at);
        break;
    }
    SDL_UnlockSurface(surface);
    Rgb colour{};
    SDL_GetRGB(value, surface->format, &colour.r, &colour.g, &colour.b);
    return colour;
}

static SDL_Surface *makeBlank(int width, int height, int bitsPerPixel,
                              const std::vector<Rgb> &palette) {
    SDL_Surface *surface;
    if (bitsPerPixel == 8) {
        surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 8, 0, 0, 0, 0);
        std::vector<SDL_Color> colours;
        for (const Rgb &c : palette) colours.push_back(SDL_Color{c.r, c.g, c.b, 0});
        SDL_SetColors(surface, colours.data(), 0, static_cast<int>(colours.size()));
    } else {
        surface = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x00ff0000, 0x0000ff00,
                                       0x000000ff, 0);
    }
    return surface;
}

static void fill(SDL_Surface *surface, int x, int y, int w, int h, Rgb colour) {
    SDL_Rect area{static_cast<Sint16>(x), static_cast<Sint16>(y), static_cast<Uint16>(w),
                  static_cast<Uint16>(h)};
    SDL_FillRect(surface, &area, SDL_MapRGB(surface->format, colour.r, colour.g, colour.b));
}

SDL_Surface *makeSolid(int width, int height, Rgb colour, int bitsPerPixel) {
    SDL_Surface *surface = makeBlank(width, height, bitsPerPixel, {colour, kBlack});
    fill(surface, 0, 0, width, height, colour);
    return surface;
}

SDL_Surface *makeTestCard(int width, int height, int bitsPerPixel) {
    SDL_Surface *surface = makeBlank(width, height, bitsPerPixel, {kRed, kGreen, kBlue, kWhite});
    const int halfW = width / 2, halfH = height / 2;
    fill(surface, 0, 0, halfW, halfH, kRed);
    fill(surface, halfW, 0, width - halfW, halfH, kGreen);
    fill(surface, 0, halfH, halfW, height - halfH, kBlue);
    fill(surface, halfW, halfH, width - halfW, height - halfH, kWhite);
    return surface;
}

std::string saveImage(SDL_Surface *surface, const std::string &path) {
    EXPECT_EQ(SDL_SaveBMP(surface, path.c_str()), 0) << SDL_GetError();
    SDL_FreeSurface(surface);
    return path;
}

std::string savePng(SDL_Surface *surface, const std::string &path) {
    std::vector<Uint8> rgb(static_cast<size_t>(surface->w) * surface->h * 3);
    SDL_LockSurface(surface);
    size_t at = 0;
    for (int y = 0; y < surface->h; y++) {
        const auto *row = reinterpret_cast<const Uint32 *>(static_cast<Uint8 *>(surface->pixels) +
                                                           y * surface->pitch);
        for (int x = 0; x < surface->w; x++) {
            SDL_GetRGB(row[x], surface->format, &rgb[at], &rgb[at + 1], &rgb[at + 2]);
            at += 3;
        }
    }
    SDL_UnlockSurface(surface);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(surface->w);
    image.height = static_cast<png_uint_32>(surface->h);
    image.format = PNG_FORMAT_RGB;
    EXPECT_NE(png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr), 0) << path;
    png_image_free(&image);
    SDL_FreeSurface(surface);
    return path;
}

std::string makeTempDir() {
    char pattern[] = "/tmp/lumoscape-test-XXXXXX";
    const char *made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    return made ? made : "/tmp";
}

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readWhole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

ProcessResult runProgram(const std::string &program, const std::vector<std::string> &args,
                         const std::vector<std::string> &environment, double seconds) {
    Child child = startChild(program, args, environment, true);
    EXPECT_GT(child.pid, 0) << "cannot start " << program;
    const int status = waitForExit(child, seconds);
    EXPECT_NE(status, -2) << program << " did not end within " << seconds << " s";
    return {status, child.output};
}

std::string viewerBinary() {
    const char *binary = getenv("LUMOSCAPE_BINARY");
    return binary && *binary ? binary : LUMOSCAPE_BINARY;
}

std::vector<std::string> viewerCommand() {
    std::vector<std::string> command;
    if (const char *runner = getenv("LUMOSCAPE_RUNNER")) {
        std::istringstream words(runner);
        for (std::string word; words >> word;) command.push_back(word);
    }
    command.push_back(viewerBinary());
    return command;
}

bool viewerEmulated() {
    const char *runner = getenv("LUMOSCAPE_RUNNER");
    return runner && *runner;
}

Child startViewerChild(const std::vector<std::string> &args,
                       const std::vector<std::string> &environment, bool mergeErrors,
                       const std::function<void()> &inChild) {
    std::vector<std::string> command = viewerCommand();
    const std::string program = command.front();
    command.erase(command.begin());
    command.insert(command.end(), args.begin(), args.end());
    Child child = startChild(program, command, environment, mergeErrors, inChild);
    EXPECT_GT(child.pid, 0) << "cannot start " << program;
    return child;
}

ProcessResult runViewer(const std::vector<std::string> &args,
                        const std::vector<std::string> &environment, int stopAfterLines,
                        int timeoutSeconds) {
    Child child = startViewerChild(args, environment);
    if (stopAfterLines > 0) {
        const bool printed = readUntil(
            child,
            [&](const std::string &output) {
                return countLines(output) >= static_cast<size_t>(stopAfterLines);
            },
            timeoutSeconds);
        EXPECT_TRUE(printed) << "the viewer printed only: " << child.output;
        // After a decoding error the viewer ends by itself; a signal would only race its end.
        if (child.output.find("Error: ") == std::string::npos) kill(child.pid, SIGTERM);
    }
    const int status = waitForExit(child, timeoutSeconds);
    EXPECT_NE(status, -2) << "the viewer did not end within " << timeoutSeconds << " s";
    return {status, child.output};
}

void freeImageList() {
    for (ImageEntry *entry = imageList.firstEntry; entry;) {
        ImageEntry *next = entry->nextEntry;
        delete entry;
        entry = next;
    }
    imageList = ImageList{nullptr, nullptr, 0};
}

void ViewerTest::SetUp() {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    freeImageList();
    settings = defaultSettings;
    viewerState = ViewerState{nullptr, nullptr, nullptr, nullptr, 0, nullptr};
    useScreen(320, 240);
    dir = makeTempDir();
}

void ViewerTest::TearDown() {
    releaseSlot(&viewerState.current);
    releaseSlot(&viewerState.prefetched);
    releaseSlot(&viewerState.rotated);
    viewerState.screen = nullptr;
    SDL_FreeSurface(screen);
    screen = nullptr;
    freeImageList();
    SDL_Quit();
    std::string removal = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(removal.c_str()), 0);
}

void ViewerTest::listImages(const std::vector<std::string> &paths) {
    for (const std::string &path : paths) addImage(path.c_str());
}

void ViewerTest::useScreen(int width, int height) {
    if (screen) SDL_FreeSurface(screen);
    screen = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x00ff0000, 0x0000ff00,
                                  0x000000ff, 0);
    viewerState.screen = screen;
}

int ViewerTest::heldSurfaces() const {
    std::set<SDL_Surface *> held{viewerState.current, viewerState.prefetched, viewerState.rotated};
    held.erase(nullptr);
    return static_cast<int>(held.size());
}

void ViewerTest::pushKey(SDLKey key, Uint8 type) {
    SDL_Event event{};
    event.type = type;
    event.key.type = type;
    event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    event.key.keysym.sym = key;
    EXPECT_EQ(SDL_PushEvent(&event), 0);
}

void ViewerTest::pushEventType(Uint8 type) {
    SDL_Event event{};
    event.type = type;
    EXPECT_EQ(SDL_PushEvent(&event), 0);
}

std::string ViewerTest::press(std::initializer_list<SDLKey> keys) {
    for (SDLKey key : keys) pushKey(key);
    testing::internal::CaptureStdout();
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        EXPECT_EQ(dispatchEvent(&event), 1);
        EXPECT_LE(heldSurfaces(), 3);
    }
    return testing::internal::GetCapturedStdout();
}

void ViewerTest::markScreen() {
    SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, kMark.r, kMark.g, kMark.b));
}
