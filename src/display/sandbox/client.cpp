// The viewer's side of a decode: the request to the helper, the wait, and the picture rebuilt
// from a worker's result after checking it against what the viewer expects.
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "../../shell/shell.h"
#include "sandbox.h"

namespace {

// What came back from one decode. A picture goes straight into the surface it will be.
struct Outcome {
    ResultHeader header{};
    size_t headerBytes = 0;          // of the header, received so far
    bool usable = false;             // the header is one the viewer can take
    SDL_Surface *picture = nullptr;  // made as soon as a usable header announces it
    SDL_Color colours[256] = {};
    std::string reason;       // a refusal's text
    size_t payloadSize = 0;   // what the header announces after it
    size_t payloadBytes = 0;  // of the payload, received so far
    bool ended = false;       // the helper reported the worker's end
    int waitStatus = 0;
    bool complete() const { return usable && payloadBytes == payloadSize; }
};

// The viewer's side of the helper's reports: the channel of the worker it holds ready, and
// the reports still owed for workers whose results were whole before they ended.
struct Workers {
    int readyChannel = -1;
    int reportsOwed = 0;
};
Workers workers;

// Bytes a result may hold after its header; -1 for a header the viewer cannot take.
long payloadSize(const ResultHeader &header, const DecodeOptions &options) {
    if (header.magic != kResultMagic) return -1;
    if (!header.decoded)
        return header.reasonLength >= 0 && header.reasonLength <= kLongestReason
                   ? header.reasonLength
                   : -1;
    // Only a picture of the size the viewer expects for the image is taken.
    if (!header.infoKnown || header.fullWidth <= 0 || header.fullHeight <= 0) return -1;
    int width = header.fullWidth;
    int height = header.fullHeight;
    fittedSize(options, header.fullWidth, header.fullHeight, &width, &height);
    if (header.width != width || header.height != height || width >= 16384 || height >= 65536)
        return -1;
    switch (header.bitsPerPixel) {
    case 8:
        if (header.colours < 1 || header.colours > 256) return -1;
        break;
    case 15:
    case 16:
    case 24:
    case 32:
        if (header.colours != 0) return -1;
        break;
    default:
        return -1;
    }
    return long(header.colours) * long(sizeof(SDL_Color)) +
           long(width) * long(height) * long((header.bitsPerPixel + 7) / 8);
}

// Where the next bytes of the payload go, and how many of them may go there at once.
unsigned char *destination(Outcome *outcome, size_t *room) {
    size_t at = outcome->payloadBytes;
    if (!outcome->header.decoded) {
        *room = outcome->payloadSize - at;
        return reinterpret_cast<unsigned char *>(&outcome->reason[at]);
    }
    const size_t paletteBytes = size_t(outcome->header.colours) * sizeof(SDL_Color);
    if (at < paletteBytes) {
        *room = paletteBytes - at;
        return reinterpret_cast<unsigned char *>(outcome->colours) + at;
    }
    at -= paletteBytes;
    SDL_Surface *picture = outcome->picture;
    const size_t rowBytes = size_t(picture->w) * picture->format->BytesPerPixel;
    // The rest of the row the bytes fall in, or all the rest where rows have no padding.
    *room = size_t(picture->pitch) == rowBytes ? outcome->payloadSize - outcome->payloadBytes
                                               : rowBytes - at % rowBytes;
    return static_cast<unsigned char *>(picture->pixels) + at / rowBytes * size_t(picture->pitch) +
           at % rowBytes;
}

// Takes a header the viewer can take, and makes room for what follows it.
bool prepare(const DecodeOptions &options, Outcome *outcome) {
    const ResultHeader &header = outcome->header;
    const long size = payloadSize(header, options);
    if (size < 0) return false;
    outcome->payloadSize = size_t(size);
    if (!header.decoded) {
        outcome->reason.resize(outcome->payloadSize);
        return true;
    }
    outcome->picture =
        SDL_CreateRGBSurface(SDL_SWSURFACE, header.width, header.height, header.bitsPerPixel,
                             header.redMask, header.greenMask, header.blueMask, header.alphaMask);
    return outcome->picture != nullptr;
}

// Takes what the worker has written so far; false once it writes no more.
bool receiveResult(int result, const DecodeOptions &options, Outcome *outcome) {
    ssize_t got;
    if (outcome->headerBytes < sizeof outcome->header) {
        got = read(result, reinterpret_cast<char *>(&outcome->header) + outcome->headerBytes,
                   sizeof outcome->header - outcome->headerBytes);
        if (got > 0) outcome->headerBytes += size_t(got);
        if (outcome->headerBytes == sizeof outcome->header) {
            outcome->usable = prepare(options, outcome);
            // A header the viewer cannot take ends the reading.
            if (!outcome->usable) return false;
        }
    } else {
        size_t room = 0;
        unsigned char *into = destination(outcome, &room);
        got = read(result, into, room);
        if (got > 0) outcome->payloadBytes += size_t(got);
    }
    return got > 0 || (got < 0 && errno == EINTR);
}

// Takes the helper's next report, sleeping until it comes; false when the helper has gone, which
// then counts as a worker that could not be started.
bool receiveReport(DecodeReport *report) {
    pollfd waiting{decoderControl(), POLLIN, 0};
    waitForReadable(&waiting, 1);
    int channel[2];
    if (receiveWithDescriptors(decoderControl(), report, sizeof *report, channel) == 1 &&
        (report->kind == kReportEnded || channel[0] >= 0)) {
        if (report->kind == kReportReady) {
            if (workers.readyChannel >= 0) close(workers.readyChannel);
            workers.readyChannel = channel[0];
        } else if (channel[0] >= 0) {
            close(channel[0]);
        }
        return true;
    }
    stopDecoderHelper();
    *report = DecodeReport{kReportEnded, W_EXITCODE(kWorkerNotStarted, 0)};
    return false;
}

// Hands the request to a ready worker, started if need be; false when none could take it.
bool hand(const DecodeRequest &request, const int descriptors[2]) {
    // A worker that ended while it waited is reported, and the next one taken, twice at most.
    for (int attempt = 0; attempt < 3; attempt++) {
        startDecoderHelper();
        if (decoderControl() < 0) return false;
        DecodeReport report{};
        while (workers.reportsOwed > 0 && receiveReport(&report)) {
            if (report.kind == kReportEnded) workers.reportsOwed--;
        }
        while (workers.readyChannel < 0 && decoderControl() >= 0 && receiveReport(&report)) {
            // An end with no worker held is one the helper could not start.
            if (report.kind == kReportEnded && workers.readyChannel < 0) return false;
        }
        if (workers.readyChannel < 0) continue;  // the helper has gone: it is started again
        const bool sent =
            sendWithDescriptors(workers.readyChannel, &request, sizeof request, descriptors, 2);
        close(workers.readyChannel);
        workers.readyChannel = -1;
        workers.reportsOwed = 1;
        if (sent) return true;
    }
    return false;
}

// Reads the worker's result until it is whole, or until the worker has ended; quit requests
// that come meanwhile end the viewer. A whole result is taken without waiting for its worker
// to end: the helper's report of it is taken before the next request.
Outcome collect(int result, const DecodeOptions &options) {
    Outcome outcome;
    bool resultEnded = false;
    while (!outcome.complete() && !(resultEnded && outcome.ended)) {
        if (resultEnded) {
            DecodeReport report{};
            receiveReport(&report);
            outcome.ended = true;
            outcome.waitStatus = report.waitStatus;
            workers.reportsOwed = 0;
            continue;
        }
        pollfd waiting{result, POLLIN, 0};
        waitForReadable(&waiting, 1);
        if (!receiveResult(result, options, &outcome)) resultEnded = true;
    }
    return outcome;
}

// Printable text from a worker's reason: control characters would reach the terminal.
std::string printable(std::string line) {
    for (char &c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return line;
}

bool failedWorker(int status) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGXCPU) {
            SDL_SetError("decoder stopped after %d s of processor time, its limit",
                         int(decoderLimits().cpuSeconds));
        } else if (signal == SIGSYS) {
            SDL_SetError("decoder stopped: it made a system call decoders may not make");
        } else {
            SDL_SetError("decoder ended by signal %d (%s)", signal, strsignal(signal));
        }
        return true;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kWorkerNotStarted) {
        SDL_SetError("decoder could not be started");
        return true;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        SDL_SetError("decoder ended with status %d", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return true;
    }
    return false;
}

// The picture with the palette and the transparency the worker gave it.
SDL_Surface *finish(Outcome *outcome) {
    const ResultHeader &header = outcome->header;
    SDL_Surface *picture = outcome->picture;
    outcome->picture = nullptr;
    // All 256 entries stay: a pixel of an entry past the worker's would have a blit look past
    // the palette, and shows black instead.
    if (header.colours) SDL_SetColors(picture, outcome->colours, 0, 256);
    SDL_SetColorKey(picture, header.flags & SDL_SRCCOLORKEY, header.colourKey);
    SDL_SetAlpha(picture, header.flags & SDL_SRCALPHA, Uint8(header.alpha));
    return picture;
}

// The picture of a whole result; null, with the reason as SDL's error, for anything else.
SDL_Surface *interpret(Outcome *outcome, ImageInfo *info) {
    if (!outcome->complete() && failedWorker(outcome->waitStatus)) return nullptr;
    const ResultHeader &header = outcome->header;
    if (outcome->headerBytes < sizeof header || header.magic != kResultMagic) {
        SDL_SetError("decoder ended without a result");
        return nullptr;
    }
    if (header.infoKnown)
        *info = ImageInfo{true, header.fullWidth, header.fullHeight, header.fullBitsPerPixel};
    if (!outcome->complete()) {
        SDL_SetError("decoder sent a result the viewer cannot take");
        return nullptr;
    }
    if (!header.decoded) {
        const std::string reason = printable(outcome->reason);
        SDL_SetError("%s",
                     reason.empty() ? "decoder refused the file without a reason" : reason.c_str());
        return nullptr;
    }
    return finish(outcome);
}

}  // namespace

void forgetReadyWorker() {
    if (workers.readyChannel >= 0) close(workers.readyChannel);
    workers = Workers{};
}

SDL_Surface *decodeInWorker(int file, const char *extension, const DecodeOptions &options,
                            ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    DecodeRequest request{};
    request.options = options;
    if (extension && strlen(extension) < sizeof request.extension)
        strcpy(request.extension, extension);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        SDL_SetError("cannot reach the decoder: %s", strerror(errno));
        return nullptr;
    }
    // As much of the picture as the system lets a socket hold goes at once.
    const int bufferBytes = 1 << 20;
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
    const int descriptors[2] = {file, ends[1]};
    const bool handed = hand(request, descriptors);
    close(ends[1]);
    if (!handed) {
        close(ends[0]);
        SDL_SetError("decoder could not be started");
        return nullptr;
    }
    Outcome outcome = collect(ends[0], options);
    close(ends[0]);
    SDL_Surface *picture = interpret(&outcome, info);
    if (outcome.picture) SDL_FreeSurface(outcome.picture);
    return picture;
}
