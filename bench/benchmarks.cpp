// Benchmarks: what each user action of the viewer costs, set against its floor.
#include <SDL.h>
#include <SDL_image.h>
#include <png.h>
#include <benchmark/benchmark.h>
#include <webp/decode.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <thread>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "child_process.h"
#include "display/display.h"
#include "display/readers/average.h"
#include "display/readers/colour.h"
#include "display/readers/fit.h"
#include "display/readers/readers.h"
#include "display/readers/surfaces.h"
#include "image_files.h"
#include "on_x.h"

namespace {

// A photo of the newer formats, the size of the big JPEG.
struct ModernInput {
    std::string name;
    ModernFormat format;
    ModernKind kind;
    int thumbnail;
    std::string path;
};

// The images every benchmark uses, made afresh in a temporary folder.
struct Inputs {
    std::string dir;
    std::string bigJpeg, bigP3Jpeg, bigPng, bigWebp, mediumPng, screenPng, hugeJpeg, panoramaJpeg,
        tallPng, widePng, broadPng, oddPng, lineArtPng, interlacedPng, smallPng, iconSvg;
    int bigWidth = 4000, bigHeight = 3000;
    int hugeWidth = 8000, hugeHeight = 6000;
    int panoramaWidth = 18000, panoramaHeight = 3000;
    int tallWidth = 720, tallHeight = 34323;
    int wideWidth = 30000, wideHeight = 1000;  // PNG panoramas past SDL 1.2's width limit
    int broadWidth = 20000, broadHeight = 1500;
    std::vector<ModernInput> modern = {
        {"HEIC without a thumbnail", ModernFormat::heif, ModernKind::still, 0, ""},
        {"HEIC with a 320×240 thumbnail", ModernFormat::heif, ModernKind::still, 320, ""},
        {"AVIF, 4:2:0", ModernFormat::avif, ModernKind::still, 0, ""},
        {"AVIF, 4:4:4", ModernFormat::avif, ModernKind::fullChroma, 0, ""},
        {"JPEG XL", ModernFormat::jxl, ModernKind::still, 0, ""},
        {"JPEG 2000, lossless in 64×64 tiles", ModernFormat::jp2, ModernKind::tiled, 0, ""},
        {"JPEG 2000, lossy (20:1), one tile", ModernFormat::jp2, ModernKind::lossy, 0, ""},
    };
};
Inputs inputs;
bool smoke = false;  // a quick run that only proves the benchmarks still work

// loadImage prints a line per decode; the benchmarks run with standard output muted.
int consoleFd = -1;

void muteStdout() {
    fflush(stdout);
    consoleFd = dup(STDOUT_FILENO);
    FILE *sink = freopen("/dev/null", "w", stdout);
    (void)sink;
}

void unmuteStdout() {
    fflush(stdout);
    dup2(consoleFd, STDOUT_FILENO);
    close(consoleFd);
}

void freeImageList() {
    for (ImageEntry *entry = imageList.firstEntry; entry;) {
        ImageEntry *next = entry->nextEntry;
        delete entry;
        entry = next;
    }
    imageList = ImageList{nullptr, nullptr, 0};
}

void resetViewer() {
    releaseSlot(&viewerState.current);
    releaseSlot(&viewerState.prefetched);
    releaseSlot(&viewerState.rotated);
    viewerState.angle = 0;
    viewerState.cursor = nullptr;
    freeImageList();
}

void useScreen(int width, int height) {
    viewerState.screen = SDL_SetVideoMode(width, height, 32, SDL_SWSURFACE);
    if (!viewerState.screen) {
        fprintf(stderr, "SDL_SetVideoMode: %s\n", SDL_GetError());
        exit(1);
    }
}

SDL_Event keyDown(SDLKey key) {
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.type = SDL_KEYDOWN;
    event.key.keysym.sym = key;
    return event;
}

// How close the fitted picture the viewer shows is to the exact box filter of the full-size
// picture SDL_image decodes, as PSNR over red, green and blue.
double fittedQuality(const std::string &path) {
    muteStdout();
    SDL_Surface *fitted = loadImage(path.c_str());
    unmuteStdout();
    // SDL_image's WebP reader leaks its buffer: libwebp decodes a WebP itself.
    SDL_Surface *whole = nullptr;
    if (path.size() > 5 && path.substr(path.size() - 5) == ".webp") {
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        int width = 0, height = 0;
        if (uint8_t *rgba = WebPDecodeRGBA(file.data(), file.size(), &width, &height)) {
            whole = makeRgbaSurface(width, height, false);
            for (int y = 0; whole && y < height; y++)
                memcpy(static_cast<Uint8 *>(whole->pixels) + y * whole->pitch,
                       rgba + size_t(y) * size_t(width) * 4, size_t(width) * 4);
            WebPFree(rgba);
        }
    } else {
        whole = IMG_Load(path.c_str());
    }
    if (!fitted || !whole) {
        fprintf(stderr, "cannot load %s to judge it\n", path.c_str());
        exit(1);
    }
    const auto rgbaOf = [](SDL_Surface *surface) {
        std::vector<unsigned char> rgba;
        rgba.reserve(size_t(surface->w) * size_t(surface->h) * 4);
        for (int y = 0; y < surface->h; y++) {
            for (int x = 0; x < surface->w; x++) {
                Uint32 value = 0;
                memcpy(&value,
                       static_cast<Uint8 *>(surface->pixels) + y * surface->pitch +
                           x * surface->format->BytesPerPixel,
                       surface->format->BytesPerPixel);
                Uint8 r, g, b, a;
                SDL_GetRGBA(value, surface->format, &r, &g, &b, &a);
                rgba.insert(rgba.end(), {r, g, b, 255});
            }
        }
        return rgba;
    };
    const std::vector<unsigned char> shown = rgbaOf(fitted);
    const std::vector<unsigned char> reference =
        boxFiltered(rgbaOf(whole), whole->w, whole->h, fitted->w, fitted->h);
    double squares = 0;
    for (size_t i = 0; i < shown.size(); i++) {
        if (i % 4 == 3) continue;
        const double difference = double(shown[i]) - double(reference[i]);
        squares += difference * difference;
    }
    SDL_FreeSurface(fitted);
    SDL_FreeSurface(whole);
    const double mean = squares / (double(shown.size()) * 3 / 4);
    return mean > 0 ? 10 * std::log10(255.0 * 255.0 / mean) : 99.0;
}

void decodeOnly(benchmark::State &state, const std::string &path) {
    for (auto _ : state) SDL_FreeSurface(IMG_Load(path.c_str()));
}

// libwebp's own full-size decode to 24-bit RGB, from the file already in memory.
void decodeWebpFullSize(benchmark::State &state, const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    for (auto _ : state) {
        int width = 0, height = 0;
        WebPFree(WebPDecodeRGB(file.data(), file.size(), &width, &height));
    }
}

// The decoding process readies its next worker while the viewer shows an image; a viewer
// looks at each image for longer than this before it asks for another. (The pause also lets
// caches cool as they do between a user's key presses, so the decodes it is compared with
// pause too.)
void letTheNextWorkerGetReady(benchmark::State &state) {
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    state.ResumeTiming();
}

void loadAndFit(benchmark::State &state, const std::string &path) {
    for (auto _ : state) {
        letTheNextWorkerGetReady(state);
        SDL_FreeSurface(loadImage(path.c_str()));
    }
}

// The conversion of a fitted 320x240 picture from Display P3 to sRGB, the profile read and the
// transform made each time, as each decode does.
void convertFitted(benchmark::State &state) {
    SDL_Surface *picture = makeRgbaSurface(320, 240, false);
    auto *pixels = static_cast<unsigned char *>(picture->pixels);
    for (int i = 0; i < 320 * 240 * 4; i++) pixels[i] = static_cast<unsigned char>(i * 7);
    const std::vector<unsigned char> profile = testProfile(TestProfile::displayP3);
    ColourDescription colours{};
    colours.icc = profile.data();
    colours.iccSize = profile.size();
    const DecodeOptions options{320, 240, 1, 0};
    for (auto _ : state) convertToSrgb(picture, colours, options);
    SDL_FreeSurface(picture);
}

// The same decoding and fitting as in the worker, in the benchmark's own process.
void loadInProcess(benchmark::State &state, const std::string &path) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const DecodeOptions options{viewerState.screen->w, viewerState.screen->h, settings.antialias,
                                settings.autorotate};
    for (auto _ : state) {
        letTheNextWorkerGetReady(state);
        ImageInfo info{};
        SDL_FreeSurface(decodeImage(file, nullptr, options, &info));
    }
    close(file);
}

// The averager alone: the rows of a picture of the large photos' size, as a reader gives them,
// averaged to the screen.
void averageRows(benchmark::State &state, int channels, bool opaque) {
    const int width = inputs.bigWidth, height = inputs.bigHeight;
    std::vector<unsigned char> row(size_t(width) * size_t(channels));
    for (size_t i = 0; i < row.size(); i++) row[i] = static_cast<unsigned char>(i * 37 + i / 7);
    const FitPlan plan = planFit(DecodeOptions{320, 240, 1, 0}, width, height);
    for (auto _ : state) {
        AreaAverager averager{};
        startAveraging(&averager, width, height, plan.averagedWidth, plan.averagedHeight, opaque,
                       false);
        for (int y = 0; y < height; y++) averageRow(&averager, y, row.data(), channels);
        SDL_FreeSurface(finishAveraging(&averager));
    }
}

void bareFork(benchmark::State &state) {
    for (auto _ : state) {
        letTheNextWorkerGetReady(state);
        const pid_t child = fork();
        if (child == 0) _exit(0);
        waitpid(child, nullptr, 0);
    }
}

// Two entries of the same file: stepping from the first to the second shows the image decoded
// ahead, and as the second is the last there is no look-ahead load to exclude.
void forwardStep(benchmark::State &state, const std::string &path) {
    resetViewer();
    addImage(path.c_str());
    addImage(path.c_str());
    const SDL_Event space = keyDown(SDLK_SPACE);
    for (auto _ : state) {
        state.PauseTiming();
        releaseSlot(&viewerState.current);
        releaseSlot(&viewerState.prefetched);
        viewerState.cursor = imageList.firstEntry;
        viewerState.current = loadImage(path.c_str());
        viewerState.prefetched = loadImage(path.c_str());
        state.ResumeTiming();
        dispatchEvent(&space);
    }
    resetViewer();
}

// Stepping back always decodes before it draws.
void backwardStep(benchmark::State &state, const std::string &path) {
    resetViewer();
    addImage(path.c_str());
    addImage(path.c_str());
    const SDL_Event shift = keyDown(SDLK_LSHIFT);
    for (auto _ : state) {
        state.PauseTiming();
        releaseSlot(&viewerState.current);
        releaseSlot(&viewerState.prefetched);
        viewerState.cursor = imageList.lastEntry;
        viewerState.current = loadImage(path.c_str());
        state.ResumeTiming();
        letTheNextWorkerGetReady(state);
        dispatchEvent(&shift);
    }
    resetViewer();
}

void present(benchmark::State &state, int width, int height) {
    useScreen(width, height);
    SDL_Surface *image =
        SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 24, 0xff, 0xff00, 0xff0000, 0);
    for (auto _ : state) presentSurface(image);
    SDL_FreeSurface(image);
    useScreen(320, 240);
}

void turn(benchmark::State &state, int degrees) {
    resetViewer();
    viewerState.current = loadImage(inputs.screenPng.c_str());
    for (auto _ : state) {
        viewerState.angle = degrees;
        rotateImage();
    }
    resetViewer();
}

void buildList(benchmark::State &state, int count) {
    std::vector<std::string> paths(static_cast<size_t>(count), inputs.screenPng);
    std::vector<char *> argv;
    for (std::string &path : paths) argv.push_back(path.data());
    for (auto _ : state) {
        collectImages(count, argv.data());
        state.PauseTiming();
        freeImageList();
        state.ResumeTiming();
    }
}

// Collects seconds per iteration of every run, by benchmark name.
class Collector : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.iterations > 0)
                seconds[run.run_name.function_name] =
                    run.real_accumulated_time / double(run.iterations);
        }
    }
    std::map<std::string, double> seconds;
};

// The whole viewer from exec to its first "INFO: loaded" line, the peak resident memory of the
// viewer's own process, and the largest peak of it and its decoding processes.
struct ProcessFigures {
    double seconds = 0;
    long peakKilobytes = 0;
    long decodingPeakKilobytes = 0;
};

long peakOf(pid_t process) {
    std::ifstream status("/proc/" + std::to_string(process) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

// Runs the viewer on `path` until its first line, then ends it: the seconds that took, the
// peak of the viewer's own memory, and the largest peak of it and its decoding processes.
ProcessFigures viewOnce(const std::string &path) {
    ProcessFigures figures;
    const auto start = std::chrono::steady_clock::now();
    Child viewer = startChild(LUMOSCAPE_BINARY, {path}, {"SDL_VIDEODRIVER=dummy"});
    readUntil(
        viewer, [](const std::string &output) { return countLines(output) > 0; }, 60);
    figures.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.peakKilobytes = peakOf(viewer.pid);
    kill(viewer.pid, SIGTERM);
    rusage usage{};
    waitForExit(viewer, 30, &usage);
    if (viewer.output.rfind("INFO: loaded", 0) != 0) {
        fprintf(stderr, "the viewer did not load %s: %s\n", path.c_str(), viewer.output.c_str());
        exit(1);
    }
    // The viewer reaps its decoder helper as it quits, and the helper its workers.
    figures.decodingPeakKilobytes = usage.ru_maxrss;
    return figures;
}

// A process keeps the peak of what it was before exec, and a child forked from the benchmark
// was as large as the benchmark: the peak of the decoding processes is taken by a fresh, small
// copy of this program (`--peak-of FILE`), which prints it.
long decodingPeakOf(const std::string &path) {
    Child launcher = startChild("/proc/self/exe", {"--peak-of", path});
    const int status = waitForExit(launcher, 120);
    if (status != 0) exit(1);
    return std::stol(launcher.output);
}

ProcessFigures timeToFirstImage(const std::string &path, int runs) {
    std::vector<double> times;
    ProcessFigures figures;
    for (int i = 0; i < runs; i++) {
        const ProcessFigures run = viewOnce(path);
        times.push_back(run.seconds);
        figures.peakKilobytes = std::max(figures.peakKilobytes, run.peakKilobytes);
    }
    std::sort(times.begin(), times.end());
    figures.seconds = times[times.size() / 2];
    figures.decodingPeakKilobytes = decodingPeakOf(path);
    return figures;
}

// The processor time of `work`, every thread of it: the median of `runs`.
double processorSeconds(const std::function<void()> &work, int runs) {
    std::vector<double> times;
    const auto seconds = [](const timeval &time) { return time.tv_sec + time.tv_usec / 1e6; };
    for (int i = 0; i < runs; i++) {
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        work();
        getrusage(RUSAGE_SELF, &after);
        times.push_back(seconds(after.ru_utime) + seconds(after.ru_stime) -
                        seconds(before.ru_utime) - seconds(before.ru_stime));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A HEIF, AVIF or JPEG XL photo: what the reader's decode and fit takes, in-process, against
// its library's own full decode, and the decoding processes' peak through the viewer.
struct ModernFigures {
    double readerSeconds = 0;
    double librarySeconds = 0;
    long decodingPeakKilobytes = 0;
};

ModernFigures measureModern(const std::string &path, ModernFormat format, int runs) {
    ModernFigures figures;
    const DecodeOptions screen{320, 240, 1, 0};
    figures.readerSeconds = processorSeconds(
        [&] {
            const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ImageInfo info{};
            SDL_FreeSurface(decodeImage(file, nullptr, screen, &info));
            close(file);
        },
        runs);
    figures.librarySeconds = processorSeconds(
        [&] {
            std::vector<unsigned char> rgba;
            int width = 0, height = 0;
            decodeModernFile(path, format, &rgba, &width, &height);
        },
        runs);
    figures.decodingPeakKilobytes = decodingPeakOf(path);
    return figures;
}

std::string duration(double seconds) {
    char text[64];
    if (seconds >= 1e-3) {
        snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    } else if (seconds >= 1e-6) {
        snprintf(text, sizeof text, "%.1f µs", seconds * 1e6);
    } else {
        snprintf(text, sizeof text, "%.1f ns", seconds * 1e9);
    }
    return text;
}

std::string number(double value, const char *format) {
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

std::string cpuModel() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

std::string today() {
    char text[32];
    const time_t now = time(nullptr);
    strftime(text, sizeof text, "%Y-%m-%d", gmtime(&now));
    return text;
}

struct Row {
    std::string measure, figure, against, ratio, target;
};

std::string tableOf(const std::vector<Row> &rows) {
    std::ostringstream out;
    out << "| # | Measure | Figure | Against | Ratio | Target |\n|---|---|---|---|---|---|\n";
    int index = 0;
    for (const Row &row : rows) {
        out << "| " << ++index << " | " << row.measure << " | " << row.figure << " | "
            << row.against << " | " << row.ratio << " | " << row.target << " |\n";
    }
    return out.str();
}

// Replaces the measured part of the document, keeping the reading written around it.
void writeDocument(const std::string &path, const std::string &table) {
    const std::string begin = "<!-- bench:begin -->\n", end = "<!-- bench:end -->\n";
    std::string document;
    {
        std::ifstream in(path);
        document.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::string measured = begin + "Measured on " + cpuModel() + ", " + today() +
                                 ", with `make bench`.\n\n" + table + end;
    const size_t from = document.find(begin), to = document.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from) {
        document = "# Benchmarks\n\n" + measured;
    } else {
        document.replace(from, to + end.size() - from, measured);
    }
    std::ofstream(path) << document;
}

void makeInputs() {
    char pattern[] = "/tmp/lumoscape-bench-XXXXXX";
    if (!mkdtemp(pattern)) exit(1);
    inputs.dir = pattern;
    if (smoke) {
        inputs.bigWidth = 400, inputs.bigHeight = 300;
        inputs.hugeWidth = 800, inputs.hugeHeight = 600;
        inputs.panoramaWidth = 1800, inputs.panoramaHeight = 300;
        inputs.tallWidth = 16;
        inputs.wideWidth = 3000, inputs.wideHeight = 100;
        inputs.broadWidth = 2000, inputs.broadHeight = 150;
    }
    inputs.bigJpeg = inputs.dir + "/big.jpg";
    inputs.bigP3Jpeg = inputs.dir + "/big-p3.jpg";
    inputs.bigPng = inputs.dir + "/big.png";
    inputs.bigWebp = inputs.dir + "/big.webp";
    inputs.widePng = inputs.dir + "/wide.png";
    inputs.broadPng = inputs.dir + "/broad.png";
    inputs.mediumPng = inputs.dir + "/medium.png";
    inputs.screenPng = inputs.dir + "/screen.png";
    inputs.hugeJpeg = inputs.dir + "/huge.jpg";
    inputs.panoramaJpeg = inputs.dir + "/panorama.jpg";
    inputs.tallPng = inputs.dir + "/tall.png";
    inputs.oddPng = inputs.dir + "/odd.png";
    inputs.lineArtPng = inputs.dir + "/line-art.png";
    inputs.interlacedPng = inputs.dir + "/interlaced.png";
    inputs.smallPng = inputs.dir + "/small.png";
    // An icon's shapes (a gradient, a stroked circle) over a 40x30 view box, stated at 640x480:
    // drawn at the screen's size.
    inputs.iconSvg = inputs.dir + "/icon.svg";
    std::ofstream(inputs.iconSvg) << svgDrawing(640, 480, false);
    for (size_t i = 0; i < inputs.modern.size(); i++) {
        ModernInput &input = inputs.modern[i];
        input.path = inputs.dir + "/modern-" + std::to_string(i);
        if (!writeModernFile(input.path, input.format, input.kind, inputs.bigWidth,
                             inputs.bigHeight, input.thumbnail, true)) {
            fprintf(stderr, "cannot write the benchmark's %s\n", input.name.c_str());
            exit(1);
        }
    }
    if (!writePhotoPng(inputs.oddPng, 639, 479) ||
        !writeTestPng(inputs.interlacedPng, inputs.bigWidth, inputs.bigHeight,
                      {PNG_COLOR_TYPE_RGB, 8, PngTransparency::none, true}) ||
        !writeLineArtPng(inputs.lineArtPng, smoke ? 800 : 1600, smoke ? 600 : 1200) ||
        !writePhotoJpeg(inputs.bigJpeg, inputs.bigWidth, inputs.bigHeight, 90) ||
        !writePhotoJpeg(inputs.bigP3Jpeg, inputs.bigWidth, inputs.bigHeight, 90, JpegKind::colour,
                        0, "", testProfile(TestProfile::displayP3)) ||
        !writePhotoJpeg(inputs.hugeJpeg, inputs.hugeWidth, inputs.hugeHeight, 90) ||
        !writePhotoJpeg(inputs.panoramaJpeg, inputs.panoramaWidth, inputs.panoramaHeight, 90) ||
        !writePhotoPng(inputs.tallPng, inputs.tallWidth, inputs.tallHeight) ||
        !writePhotoPng(inputs.bigPng, inputs.bigWidth, inputs.bigHeight) ||
        !writeTestWebp(inputs.bigWebp, inputs.bigWidth, inputs.bigHeight, WebpKind::lossy) ||
        !writePhotoPng(inputs.widePng, inputs.wideWidth, inputs.wideHeight) ||
        !writePhotoPng(inputs.broadPng, inputs.broadWidth, inputs.broadHeight) ||
        !writePhotoPng(inputs.mediumPng, 640, 480) || !writePhotoPng(inputs.screenPng, 320, 240) ||
        !writePhotoPng(inputs.smallPng, 200, 150)) {
        fprintf(stderr, "cannot write the benchmark images in %s\n", inputs.dir.c_str());
        exit(1);
    }
}

void removeInputs() {
    for (const std::string &path :
         {inputs.bigJpeg, inputs.bigP3Jpeg, inputs.bigPng, inputs.bigWebp, inputs.mediumPng,
          inputs.screenPng, inputs.hugeJpeg, inputs.panoramaJpeg, inputs.tallPng, inputs.widePng,
          inputs.broadPng, inputs.smallPng, inputs.iconSvg}) {
        unlink(path.c_str());
    }
    for (const ModernInput &input : inputs.modern) unlink(input.path.c_str());
    rmdir(inputs.dir.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && !strcmp(argv[1], "--peak-of")) {
        // The workers the helper has not reaped when the viewer ends it come here, and count:
        // one that ends its threads is still ending as the viewer quits.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        viewOnce(argv[2]);
        while (waitpid(-1, nullptr, 0) > 0) {
        }
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        printf("%ld\n", usage.ru_maxrss);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    std::string documentPath, compatLibrary;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--smoke"))
            smoke = true;
        else if (!strncmp(argv[i], "--docs=", 7))
            documentPath = argv[i] + 7;
        else if (!strncmp(argv[i], "--compat-lib=", 13))
            compatLibrary = argv[i] + 13;
        else {
            fprintf(stderr,
                    "usage: %s [benchmark flags] [--smoke] [--docs=FILE] [--compat-lib=DIR]\n",
                    argv[0]);
            return 2;
        }
    }
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 1;
    }
    useScreen(320, 240);
    makeInputs();

    const std::string bigSize =
        std::to_string(inputs.bigWidth) + "×" + std::to_string(inputs.bigHeight);
    const std::vector<std::pair<std::string, std::string>> images = {
        {bigSize + " JPEG", inputs.bigJpeg},
        {bigSize + " PNG", inputs.bigPng},
        {"640×480 PNG", inputs.mediumPng},
        {"320×240 PNG", inputs.screenPng}};
    const int smallList = smoke ? 100 : 10000, largeList = smoke ? 1000 : 100000;
    const std::string tallName =
        std::to_string(inputs.tallWidth) + "×" + std::to_string(inputs.tallHeight) + " PNG";
    std::vector<benchmark::internal::Benchmark *> registered;
    registered.push_back(
        benchmark::RegisterBenchmark(("decode/" + tallName).c_str(), decodeOnly, inputs.tallPng));
    registered.push_back(benchmark::RegisterBenchmark(("loadImage/" + tallName).c_str(), loadAndFit,
                                                      inputs.tallPng));
    for (const auto &[name, path] : images) {
        registered.push_back(
            benchmark::RegisterBenchmark(("decode/" + name).c_str(), decodeOnly, path));
        registered.push_back(
            benchmark::RegisterBenchmark(("loadImage/" + name).c_str(), loadAndFit, path));
        registered.push_back(
            benchmark::RegisterBenchmark(("in-process/" + name).c_str(), loadInProcess, path));
    }
    registered.push_back(benchmark::RegisterBenchmark(("decode/" + bigSize + " WebP").c_str(),
                                                      decodeWebpFullSize, inputs.bigWebp));
    registered.push_back(benchmark::RegisterBenchmark(("loadImage/" + bigSize + " WebP").c_str(),
                                                      loadAndFit, inputs.bigWebp));
    registered.push_back(benchmark::RegisterBenchmark(("in-process/" + bigSize + " WebP").c_str(),
                                                      loadInProcess, inputs.bigWebp));
    registered.push_back(benchmark::RegisterBenchmark(
        ("in-process/" + bigSize + " P3 JPEG").c_str(), loadInProcess, inputs.bigP3Jpeg));
    registered.push_back(benchmark::RegisterBenchmark("convert/320x240 P3", convertFitted));
    registered.push_back(
        benchmark::RegisterBenchmark("in-process/SVG icon", loadInProcess, inputs.iconSvg));
    registered.push_back(
        benchmark::RegisterBenchmark("in-process/200×150 PNG", loadInProcess, inputs.smallPng));
    benchmark::internal::Benchmark *bigSteps[] = {
        benchmark::RegisterBenchmark("forward/big", forwardStep, inputs.bigPng),
        benchmark::RegisterBenchmark("backward/big", backwardStep, inputs.bigPng)};
    registered.insert(registered.end(), std::begin(bigSteps), std::end(bigSteps));
    registered.push_back(
        benchmark::RegisterBenchmark("forward/screen", forwardStep, inputs.screenPng));
    registered.push_back(benchmark::RegisterBenchmark("fork", bareFork));
    registered.push_back(benchmark::RegisterBenchmark("average/RGB", averageRows, 3, true));
    registered.push_back(benchmark::RegisterBenchmark("average/RGBA", averageRows, 4, false));
    registered.push_back(benchmark::RegisterBenchmark("present/320x240", present, 320, 240));
    registered.push_back(benchmark::RegisterBenchmark("present/800x480", present, 800, 480));
    registered.push_back(benchmark::RegisterBenchmark("turn/quarter", turn, 90));
    registered.push_back(benchmark::RegisterBenchmark("turn/half", turn, 180));
    registered.push_back(benchmark::RegisterBenchmark("list/small", buildList, smallList));
    registered.push_back(benchmark::RegisterBenchmark("list/large", buildList, largeList));
    for (benchmark::internal::Benchmark *bench : registered) {
        if (smoke) bench->Iterations(2);
    }
    // These pause the clock for two large decodes per iteration, which the library's time
    // budget does not count: a fixed count keeps the run to seconds.
    if (!smoke) {
        for (benchmark::internal::Benchmark *bench : bigSteps) bench->Iterations(20);
    }

    Collector collector;
    muteStdout();
    benchmark::RunSpecifiedBenchmarks(&collector);
    unmuteStdout();
    // The quality of what is shown, before the inputs go.
    const std::pair<std::string, std::string> judged[] = {
        {"639×479 photo PNG", inputs.oddPng},
        {bigSize + " PNG", inputs.bigPng},
        {std::to_string(inputs.hugeWidth) + "×" + std::to_string(inputs.hugeHeight) + " JPEG",
         inputs.hugeJpeg},
        {bigSize + " lossy WebP", inputs.bigWebp},
        {std::string(smoke ? "800×600" : "1600×1200") + " paletted line-art PNG",
         inputs.lineArtPng}};
    std::vector<std::pair<std::string, double>> quality;
    for (const auto &[name, path] : judged) quality.emplace_back(name, fittedQuality(path));
    const int processRuns = smoke ? 1 : 5;
    const ProcessFigures screenStart = timeToFirstImage(inputs.screenPng, processRuns);
    const ProcessFigures bigStart = timeToFirstImage(inputs.bigJpeg, processRuns);
    const ProcessFigures bigPngStart = timeToFirstImage(inputs.bigPng, processRuns);
    const ProcessFigures bigWebpStart = timeToFirstImage(inputs.bigWebp, processRuns);
    const ProcessFigures wideStart = timeToFirstImage(inputs.widePng, processRuns);
    const ProcessFigures broadStart = timeToFirstImage(inputs.broadPng, processRuns);
    const ProcessFigures hugeStart = timeToFirstImage(inputs.hugeJpeg, processRuns);
    const ProcessFigures panoramaStart = timeToFirstImage(inputs.panoramaJpeg, processRuns);
    const ProcessFigures interlacedStart = timeToFirstImage(inputs.interlacedPng, processRuns);
    std::vector<ModernFigures> modern;
    for (const ModernInput &input : inputs.modern)
        modern.push_back(measureModern(input.path, input.format, smoke ? 1 : 5));
    // On a real X server, with the SDL 1.2 the build links and, when given, with sdl12-compat.
    const SDL_version *linked = SDL_Linked_Version();
    std::vector<std::pair<std::string, XFigures>> onX;
    onX.emplace_back(linked->patch >= 50 ? "sdl12-compat" : "classic SDL 1.2",
                     measureOnX(LUMOSCAPE_BINARY, LUMOSCAPE_BARE_SDL, {}, inputs.dir,
                                smoke ? 1 : 15, smoke ? 1 : 10, smoke ? 2 : 20));
    if (!compatLibrary.empty()) {
        onX.emplace_back(
            "sdl12-compat",
            measureOnX(LUMOSCAPE_BINARY, LUMOSCAPE_BARE_SDL, {"LD_LIBRARY_PATH=" + compatLibrary},
                       inputs.dir, smoke ? 1 : 15, smoke ? 1 : 10, smoke ? 2 : 20));
    }
    SDL_Quit();
    removeInputs();
    for (const auto &[name, figures] : onX) {
        if (figures.keyToPixelsMedian < 0) {
            fprintf(stderr, "the measurements on Xvfb with %s failed\n", name.c_str());
            return 1;
        }
    }

    std::map<std::string, double> &t = collector.seconds;
    std::vector<Row> rows;
    const std::map<std::string, std::string> loadTargets = {
        {inputs.bigJpeg, "≤ 0.35×"},
        {inputs.bigPng, "≤ 0.45×"},
        {inputs.mediumPng, "≤ 1.2×"},
        {inputs.screenPng, "≤ 1.26 ms, its cost through IMG_Load"}};
    for (const auto &[name, path] : images) {
        const double load = t["loadImage/" + name], decode = t["decode/" + name];
        rows.push_back({"Load and fit, " + name + " (in-process, without the decoding process: " +
                            duration(t["in-process/" + name]) + ")",
                        duration(load), "IMG_Load alone: " + duration(decode),
                        number(load / decode, "%.2f×"), loadTargets.at(path)});
    }
    const std::string bigWebpName = bigSize + " WebP";
    rows.push_back({"Load and fit, " + bigWebpName +
                        " (in-process: " + duration(t["in-process/" + bigWebpName]) + ")",
                    duration(t["loadImage/" + bigWebpName]),
                    "libwebp's full-size decode: " + duration(t["decode/" + bigWebpName]),
                    number(t["loadImage/" + bigWebpName] / t["decode/" + bigWebpName], "%.2f×"),
                    "≤ 0.5×"});
    const double boundary = t["loadImage/320×240 PNG"] - t["in-process/320×240 PNG"];
    rows.push_back(
        {"Decoding process per image, 320×240 PNG (through a ready worker, less the "
         "same decode in-process: " +
             duration(t["in-process/320×240 PNG"]) + ")",
         duration(boundary), "bare fork, _exit and waitpid: " + duration(t["fork"]),
         number(boundary / t["fork"], "%.2f×"), "≤ bare fork + 1 ms"});
    for (const auto &[kind, name] : {std::pair{"RGB", "opaque RGB"}, {"RGBA", "RGBA with alpha"}}) {
        const double averaging = t[std::string("average/") + kind];
        const double reading = t["in-process/" + bigSize + " PNG"];
        rows.push_back(
            {"Averaging the rows of a " + bigSize + " " + name + " picture to the screen",
             duration(averaging),
             "the " + bigSize + " RGB PNG's load and fit in-process: " + duration(reading),
             number(100 * averaging / reading, "%.1f%%"), "≤ 10%"});
    }
    rows.push_back({"Load and fit, " + tallName + " (shrunk, then fitted)",
                    duration(t["loadImage/" + tallName]),
                    "IMG_Load alone: " + duration(t["decode/" + tallName]),
                    number(t["loadImage/" + tallName] / t["decode/" + tallName], "%.2f×"),
                    "shown"});
    rows.push_back({"Forward step, " + bigSize + " PNG (key to flip)", duration(t["forward/big"]),
                    "backward step: " + duration(t["backward/big"]),
                    number(100 * t["forward/big"] / t["backward/big"], "%.3f%%"), "< 1%"});
    rows.push_back({"Forward step, 320×240 PNG (key to flip)", duration(t["forward/screen"]), "",
                    "", "< 2 ms"});
    rows.push_back(
        {"Present a screen-size surface, 320×240", duration(t["present/320x240"]), "", "", ""});
    rows.push_back({"Present a screen-size surface, 800×480", duration(t["present/800x480"]),
                    "320×240: " + duration(t["present/320x240"]),
                    number(t["present/800x480"] / t["present/320x240"], "%.2f×"), ""});
    rows.push_back({"Quarter turn of a 320×240 image", duration(t["turn/quarter"]), "", "", ""});
    rows.push_back({"Half turn of a 320×240 image", duration(t["turn/half"]), "", "", ""});
    const double perSmall = t["list/small"] / smallList, perLarge = t["list/large"] / largeList;
    rows.push_back({"Image list from " + std::to_string(largeList) + " arguments, per argument",
                    duration(perLarge),
                    std::to_string(smallList) + " arguments: " + duration(perSmall),
                    number(perLarge / perSmall, "%.2f×"), "about 1× (flat)"});
    const auto megabytes = [](long kilobytes) { return number(kilobytes / 1024.0, "%.1f MB"); };
    const auto decodedMegabytes = [](int width, int height) {
        return "decoded (24-bit): " + number(width * double(height) * 3 / (1024 * 1024), "%.1f MB");
    };
    const auto decoding = [&](const ProcessFigures &figures) {
        return "with its decoding processes: " + megabytes(figures.decodingPeakKilobytes);
    };
    rows.push_back(
        {"Exec to first INFO line, 320×240 PNG", duration(screenStart.seconds), "", "", ""});
    rows.push_back({"Exec to first INFO line, " + bigSize + " JPEG", duration(bigStart.seconds),
                    "320×240 PNG: " + duration(screenStart.seconds),
                    number(bigStart.seconds / screenStart.seconds, "%.1f×"), ""});
    const std::string hugeSize =
        std::to_string(inputs.hugeWidth) + "×" + std::to_string(inputs.hugeHeight);
    const std::string panoramaSize =
        std::to_string(inputs.panoramaWidth) + "×" + std::to_string(inputs.panoramaHeight);
    rows.push_back({"Exec to first INFO line, " + panoramaSize + " JPEG",
                    duration(panoramaStart.seconds),
                    bigSize + " JPEG: " + duration(bigStart.seconds),
                    number(panoramaStart.seconds / bigStart.seconds, "%.1f×"), "shown"});
    for (const auto &[width, height, start] :
         {std::tuple{inputs.wideWidth, inputs.wideHeight, wideStart},
          std::tuple{inputs.broadWidth, inputs.broadHeight, broadStart}}) {
        rows.push_back(
            {"Exec to first INFO line, " + std::to_string(width) + "×" + std::to_string(height) +
                 " PNG",
             duration(start.seconds),
             "peak of the viewer: " + megabytes(start.peakKilobytes) + ", " + decoding(start), "",
             "shown"});
    }
    rows.push_back({"Peak memory of the viewer, 320×240 PNG", megabytes(screenStart.peakKilobytes),
                    decoding(screenStart), "", "≤ 9 MB, the viewer's own"});
    rows.push_back({"Peak memory of the viewer, " + bigSize + " JPEG",
                    megabytes(bigStart.peakKilobytes),
                    decoding(bigStart) + "; " + decodedMegabytes(inputs.bigWidth, inputs.bigHeight),
                    "", "≤ 20 MB"});
    rows.push_back(
        {"Peak memory of the viewer, " + bigSize + " PNG", megabytes(bigPngStart.peakKilobytes),
         decoding(bigPngStart) + "; " + decodedMegabytes(inputs.bigWidth, inputs.bigHeight), "",
         "≤ 20 MB, with its decoding processes too"});
    rows.push_back(
        {"Peak memory of the viewer, " + bigSize + " WebP", megabytes(bigWebpStart.peakKilobytes),
         decoding(bigWebpStart) + "; " + decodedMegabytes(inputs.bigWidth, inputs.bigHeight), "",
         ""});
    rows.push_back(
        {"Peak memory of the viewer, " + hugeSize + " JPEG", megabytes(hugeStart.peakKilobytes),
         decoding(hugeStart) + "; " + decodedMegabytes(inputs.hugeWidth, inputs.hugeHeight), "",
         "≤ 25 MB"});
    rows.push_back({"Peak memory of the viewer, " + panoramaSize + " JPEG",
                    megabytes(panoramaStart.peakKilobytes),
                    decoding(panoramaStart) + "; " +
                        decodedMegabytes(inputs.panoramaWidth, inputs.panoramaHeight),
                    "", ""});

    for (const auto &[name, decibels] : quality) {
        rows.push_back({"Fitted picture against the exact box filter of the whole, " + name,
                        number(decibels, "%.1f dB PSNR"), "", "", "≥ 47 dB"});
    }
    rows.push_back({"Peak memory of the viewer, " + bigSize + " interlaced PNG",
                    megabytes(interlacedStart.peakKilobytes), decoding(interlacedStart), "",
                    "≤ 20 MB, with its decoding processes too"});
    for (const auto &[name, figures] : onX) {
        rows.push_back({"Idle wake-ups per second on Xvfb, " + name,
                        number(figures.idleWakeupsPerSecond, "%.1f"),
                        "SDL_WaitEvent's own loop: about 98", "", "≤ 1"});
    }
    for (const auto &[name, figures] : onX) {
        rows.push_back({"Key to pixels, forward step on Xvfb (median of " +
                            std::to_string(smoke ? 2 : 20) + "), " + name,
                        duration(figures.keyToPixelsMedian), "", "", "≤ 3 ms"});
    }

    for (const auto &[name, figures] : onX) {
        rows.push_back(
            {"Exec to first pixels of a 200×150 PNG on Xvfb, UTF-8 locale (median of " +
                 std::to_string(smoke ? 1 : 15) + "), " + name,
             duration(figures.execToPixelsMedian),
             "a bare SDL program's fill and flip: " + duration(figures.bareToPixelsMedian) +
                 " (in the C locale, as the viewer starts SDL: " +
                 duration(figures.bareInCToPixelsMedian) + ")",
             number(figures.execToPixelsMedian / figures.bareToPixelsMedian, "%.2f×"), "≤ 1.1×"});
        rows.push_back(
            {"Processor time of all the viewer's processes, exec to first pixels and "
             "quit, on Xvfb, " +
                 name,
             duration(figures.execProcessorMedian),
             "the bare SDL program's: " + duration(figures.bareProcessorMedian) +
                 " (in the C locale: " + duration(figures.bareInCProcessorMedian) + ")",
             number(figures.execProcessorMedian / figures.bareProcessorMedian, "%.2f×"), "≤ 1.2×"});
    }
    for (const auto &[name, figures] : onX) {
        rows.push_back({"Escape during a decode that never ends, to exit, on Xvfb (median of " +
                            std::to_string(smoke ? 1 : 15) + "), " + name,
                        duration(figures.escapeToExitMedian), "", "", "≤ 100 ms"});
    }

    // Colour conversion: a fitted picture's, and what it adds to a photo's load.
    rows.push_back(
        {"Convert a fitted 320×240 picture from Display P3 to sRGB, profile read and "
         "transform made",
         duration(t["convert/320x240 P3"]), "", "", "≤ 2 ms"});
    const std::string p3Name = "in-process/" + bigSize + " P3 JPEG";
    const std::string plainName = "in-process/" + bigSize + " JPEG";
    rows.push_back({"Load and fit, " + bigSize + " Display P3 JPEG (in-process)",
                    duration(t[p3Name]), "the same JPEG untagged: " + duration(t[plainName]),
                    number(t[p3Name] / t[plainName], "%.3f×"), "≤ 1.05×"});
    // An icon drawn at the screen's size, once librsvg is loaded and set up, beside a small PNG.
    rows.push_back({"Load and fit, SVG icon stated at 640×480, drawn at 320×240 (in-process)",
                    duration(t["in-process/SVG icon"]),
                    "a 200×150 PNG: " + duration(t["in-process/200×150 PNG"]),
                    number(t["in-process/SVG icon"] / t["in-process/200×150 PNG"], "%.2f×"),
                    "≤ 2×"});
    // The photos phones and the web send, each beside its library's full decode and the peers'
    // peaks for the same photo.
    const std::string libraries[] = {"libheif", "libheif",  "libavif", "libavif",
                                     "libjxl",  "openjpeg", "openjpeg"};
    const std::string peers[] = {"feh and nsxiv: 100–112 MB",
                                 "",
                                 "feh and nsxiv: 133–137 MB",
                                 "feh and nsxiv: 133–137 MB",
                                 "feh and nsxiv: 367–371 MB",
                                 "",
                                 ""};
    const std::string timeTargets[] = {"≤ 0.8×", "≤ 50 ms", "", "", "≤ 0.3×", "≤ 0.5×", "≤ 0.5×"};
    const std::string peakTargets[] = {"≤ 60 MB", "≤ 15 MB", "≤ 80 MB", "≤ 80 MB",
                                       "≤ 90 MB", "≤ 30 MB", "≤ 30 MB"};
    static_assert(std::size(libraries) == std::size(peakTargets));
    for (size_t i = 0; i < inputs.modern.size() && i < std::size(libraries); i++) {
        const std::string name = bigSize + " " + inputs.modern[i].name;
        const ModernFigures &figures = modern[i];
        rows.push_back(
            {"Decode and fit, " + name + " (processor time of every thread, in-process)",
             duration(figures.readerSeconds),
             libraries[i] + "'s own full decode to RGBA: " + duration(figures.librarySeconds),
             number(figures.readerSeconds / figures.librarySeconds, "%.2f×"), timeTargets[i]});
        rows.push_back({"Peak memory of the decoding process, " + name,
                        megabytes(figures.decodingPeakKilobytes), peers[i], "", peakTargets[i]});
    }

    const std::string table = tableOf(rows);
    printf("%s", table.c_str());
    if (!documentPath.empty() && !smoke) writeDocument(documentPath, table);
    return 0;
}
