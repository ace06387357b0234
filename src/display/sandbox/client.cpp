// The viewer's side of a decode: the request to the helper, the wait, and the picture rebuilt
// from a worker's result after checking it against what the viewer expects.
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
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
    bool overdue = false;     // the helper ended it for time
    bool helperLost = false;  // the helper went away before it reported the end
    int waitStatus = 0;
    bool refused() const { return headerBytes == sizeof header && !usable; }
    bool complete() const { return usable && payloadBytes == payloadSize; }
};

// What of a worker's standard error reaches the viewer's: whole lines, made printable, up to
// a budget a decode, so that a flood is drained but not passed on.
struct ErrorRelay {
    int pipe = -1;
    std::string line;
    size_t relayed = 0;
};
constexpr size_t kRelayedErrorBytes = 64 << 10;
constexpr size_t kLongestErrorLine = 1024;

// The viewer's side of the helper's reports: the channel of the worker it holds ready, and
// the reports still owed for workers whose results were whole before they ended.
struct Workers {
    int readyChannel = -1;
    int readyErrors = -1;      // the read end of its standard error
    uint32_t readyNumber = 0;  // its number in the helper's reports
    int reportsOwed = 0;
};
Workers workers;
// Why the helper could not load the decoder, once it has said so.
std::string brokenReason;
// How the viewer waits, as the decode in progress was given it.
WaitForReadable waitOnDecoder = nullptr;

void closeReadyWorker() {
    if (workers.readyChannel >= 0) close(workers.readyChannel);
    if (workers.readyErrors >= 0) close(workers.readyErrors);
    workers.readyChannel = workers.readyErrors = -1;
}

// Whether a picture of width x height fits the screen, or the screen turned.
bool withinScreen(const DecodeOptions &options, int64_t width, int64_t height) {
    const int64_t screenWidth = options.screenWidth;
    const int64_t screenHeight = options.screenHeight;
    return (width <= screenWidth && height <= screenHeight) ||
           (width <= screenHeight && height <= screenWidth);
}

// Bytes a result may hold after its header; false for a header the viewer cannot take. Sizes
// are reckoned in 64 bits, which no claim of 32-bit fields can overflow.
bool payloadSize(const ResultHeader &header, const DecodeOptions &options, size_t *size) {
    if (header.magic != kResultMagic) return false;
    if (!header.decoded) {
        *size = size_t(header.reasonLength);
        return header.reasonLength >= 0 && header.reasonLength <= kLongestReason;
    }
    // Only a picture of the size the viewer expects for the image is taken, and never one
    // larger than the screen, whatever the INFO fields claim.
    if (!header.infoKnown || header.fullWidth <= 0 || header.fullHeight <= 0) return false;
    int width = header.fullWidth;
    int height = header.fullHeight;
    fittedSize(options, header.fullWidth, header.fullHeight, &width, &height);
    if (header.width != width || header.height != height || width <= 0 || height <= 0 ||
        !withinScreen(options, width, height))
        return false;
    switch (header.bitsPerPixel) {
    case 8:
        if (header.colours < 1 || header.colours > 256) return false;
        break;
    case 15:
    case 16:
    case 24:
    case 32:
        if (header.colours != 0) return false;
        break;
    default:
        return false;
    }
    const uint64_t bytes =
        uint64_t(header.colours) * sizeof(SDL_Color) +
        uint64_t(width) * uint64_t(height) * uint64_t((header.bitsPerPixel + 7) / 8);
    if (bytes > SIZE_MAX) return false;
    *size = size_t(bytes);
    return true;
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
    if (!payloadSize(header, options, &outcome->payloadSize)) return false;
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

// Tells the helper something of the worker numbered `worker`; a helper that has gone is found
// out by the next report.
void tellHelper(int32_t kind, uint32_t worker) {
    const DecodeReport request{kind, 0, worker};
    sendWithDescriptors(decoderControl(), &request, sizeof request, nullptr, 0);
}

// Takes the helper's next report, sleeping until it comes; false when the helper has gone, which
// then counts as a worker that could not be started.
bool receiveReport(DecodeReport *report) {
    pollfd waiting{decoderControl(), POLLIN, 0};
    waitOnDecoder(&waiting, 1);
    int attached[2];
    const int got = receiveWithDescriptors(decoderControl(), report, sizeof *report, attached);
    if (got == 1 && report->kind == kReportBroken) {
        report->reason[sizeof report->reason - 1] = '\0';
        brokenReason = printableText(report->reason, false);
        if (brokenReason.empty()) brokenReason = "no reason given";
    } else if (got == 1 &&
               (report->kind != kReportReady || (attached[0] >= 0 && attached[1] >= 0))) {
        if (report->kind == kReportReady) {
            closeReadyWorker();
            workers.readyChannel = attached[0];
            workers.readyErrors = attached[1];
            workers.readyNumber = report->worker;
        } else {
            for (const int stray : attached) {
                if (stray >= 0) close(stray);
            }
        }
        return true;
    }
    for (const int stray : attached) {
        if (stray >= 0) close(stray);
    }
    stopDecodingProcess();
    *report = DecodeReport{kReportEnded, W_EXITCODE(kWorkerNotStarted, 0), 0};
    return false;
}

// Hands the request to a ready worker, started if need be; false when none could take it. The
// worker's standard error and number go to `errors` and `number`.
bool hand(const DecodeRequest &request, const int descriptors[2], const DecodeLimits &limits,
          int *errors, uint32_t *number) {
    // A worker that ended while it waited is reported, and the next one taken, twice at most.
    for (int attempt = 0; attempt < 3 && brokenReason.empty(); attempt++) {
        startDecodingProcess(limits);
        if (decoderControl() < 0) return false;
        DecodeReport report{};
        while (workers.reportsOwed > 0 && receiveReport(&report)) {
            if (report.kind != kReportReady) workers.reportsOwed--;
        }
        while (workers.readyChannel < 0 && decoderControl() >= 0 && receiveReport(&report)) {
            // An end with no worker held is one the helper could not start.
            if (report.kind != kReportReady && workers.readyChannel < 0) return false;
        }
        if (workers.readyChannel < 0) continue;  // the helper has gone: it is started again
        const bool sent =
            sendWithDescriptors(workers.readyChannel, &request, sizeof request, descriptors, 2);
        close(workers.readyChannel);
        *errors = workers.readyErrors;
        *number = workers.readyNumber;
        workers.readyChannel = workers.readyErrors = -1;
        workers.reportsOwed = 1;
        if (sent) {
            tellHelper(kRequestStarted, *number);
            return true;
        }
        close(*errors);
        *errors = -1;
    }
    return false;
}

// Passes on the whole lines the worker has written, and, once it can write no more (`ended`),
// the rest as a line too.
void passOnLines(ErrorRelay *relay, bool ended) {
    for (;;) {
        const size_t end = relay->line.find('\n');
        if (end == std::string::npos && relay->line.size() < kLongestErrorLine && !ended) break;
        const size_t length =
            std::min(end == std::string::npos ? relay->line.size() : end + 1, kLongestErrorLine);
        if (length == 0) break;
        // Marked as the decoder's, so that no line of it passes for one of the viewer's own.
        std::string text = kRelayMark + printableText(relay->line.substr(0, length), true);
        if (text.back() != '\n') text.push_back('\n');
        if (relay->relayed + text.size() <= kRelayedErrorBytes) {
            relay->relayed += text.size();
            fputs(text.c_str(), stderr);
        } else {
            relay->relayed = kRelayedErrorBytes;  // a flood: nothing more of it
        }
        relay->line.erase(0, length);
    }
}

// Passes on what the worker wrote to its standard error, a line at a time; false once the
// worker can write no more.
bool relayErrors(ErrorRelay *relay) {
    char bytes[4096];
    ssize_t got;
    do {
        got = read(relay->pipe, bytes, sizeof bytes);
    } while (got < 0 && errno == EINTR);
    const bool open = got > 0;
    for (ssize_t i = 0; i < got; i++) relay->line.push_back(bytes[i]);
    passOnLines(relay, !open);
    return open;
}

// Reads the worker's result until it is whole, or until the worker has ended; quit requests
// that come meanwhile end the viewer. A whole result, or a header the viewer will not take,
// ends the worker at once: the helper's report of its end is taken before the next request.
Outcome collect(int result, ErrorRelay *relay, uint32_t worker, const DecodeOptions &options) {
    Outcome outcome;
    bool resultEnded = false;
    bool endAsked = false;
    while (!outcome.complete() && !(resultEnded && outcome.ended)) {
        if (resultEnded && relay->pipe < 0) {
            DecodeReport report{};
            outcome.helperLost = !receiveReport(&report);
            if (report.kind == kReportReady) continue;
            // Only this worker's end ends the wait: it is known by its number, not its turn.
            if (!outcome.helperLost && report.worker != worker) continue;
            outcome.ended = true;
            outcome.overdue = report.kind == kReportOverdue;
            outcome.waitStatus = report.waitStatus;
            workers.reportsOwed = 0;
            continue;
        }
        pollfd waiting[2] = {{resultEnded ? -1 : result, POLLIN, 0}, {relay->pipe, POLLIN, 0}};
        waitOnDecoder(waiting, 2);
        if (waiting[1].revents && !relayErrors(relay)) relay->pipe = -1;
        if (waiting[0].revents && !receiveResult(result, options, &outcome)) resultEnded = true;
        if (outcome.refused() && !endAsked) {
            tellHelper(kRequestEnd, worker);
            endAsked = true;
        }
    }
    if (outcome.complete()) tellHelper(kRequestEnd, worker);
    return outcome;
}

bool failedWorker(const Outcome &outcome) {
    const int status = outcome.waitStatus;
    if (outcome.helperLost) {
        SDL_SetError("decoding process ended during the decode");
        return true;
    }
    if (outcome.overdue) {
        SDL_SetError("decoder stopped: no result after %d s",
                     int(decodeWallSeconds(decoderLimits().cpuSeconds)));
        return true;
    }
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
    if (WIFEXITED(status) && WEXITSTATUS(status) == kWorkerNotLockedDown) {
        SDL_SetError("decoder could not lock itself down: the kernel refused its filter");
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
    const ResultHeader &header = outcome->header;
    // Its own header is what the viewer judges a worker by first: the viewer had it ended.
    if (outcome->refused()) {
        SDL_SetError("decoder sent a result the viewer cannot take");
        return nullptr;
    }
    if (!outcome->complete() && failedWorker(*outcome)) return nullptr;
    if (outcome->headerBytes < sizeof header) {
        SDL_SetError("decoder ended without a result");
        return nullptr;
    }
    if (header.infoKnown)
        *info = ImageInfo{true, header.fullWidth, header.fullHeight, header.fullBitsPerPixel};
    if (!outcome->complete()) {
        SDL_SetError("decoder ended before its result was whole");
        return nullptr;
    }
    if (!header.decoded) {
        const std::string reason = printableText(outcome->reason, false);
        SDL_SetError("%s",
                     reason.empty() ? "decoder refused the file without a reason" : reason.c_str());
        return nullptr;
    }
    return finish(outcome);
}

}  // namespace

void forgetReadyWorker() {
    closeReadyWorker();
    workers.reportsOwed = 0;
}

std::string printableText(const std::string &bytes, bool keepLineEnds) {
    std::string text;
    text.reserve(bytes.size());
    const auto *at = reinterpret_cast<const unsigned char *>(bytes.data());
    size_t left = bytes.size();
    while (left > 0) {
        uint32_t point = 0;
        const int length = utf8Character(at, left, &point);
        const bool lineEnd = keepLineEnds && length == 1 && (point == '\n' || point == '\t');
        if (length && (printableCharacter(point) || lineEnd)) {
            text.append(reinterpret_cast<const char *>(at), size_t(length));
        } else {
            text.push_back('?');
        }
        const size_t taken = length ? size_t(length) : 1;
        at += taken;
        left -= taken;
    }
    return text;
}

namespace {

// One decode in the ready worker; `wantsModule` tells a worker that ended for want of a module
// the helper loads before the next.
SDL_Surface *decodeOnce(int file, const DecodeRequest &request, const DecodeLimits &limits,
                        ImageInfo *info, bool *wantsModule) {
    *wantsModule = false;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        SDL_SetError("cannot reach the decoder: %s", strerror(errno));
        return nullptr;
    }
    // As much of the picture as the system lets a socket hold goes at once.
    const int bufferBytes = 1 << 20;
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
    const int descriptors[2] = {file, ends[1]};
    ErrorRelay relay;
    uint32_t worker = 0;
    const bool handed = hand(request, descriptors, limits, &relay.pipe, &worker);
    close(ends[1]);
    if (!handed) {
        close(ends[0]);
        if (brokenReason.empty()) {
            SDL_SetError("decoder could not be started");
        } else {
            SDL_SetError("decoder cannot be loaded: %s", brokenReason.c_str());
        }
        return nullptr;
    }
    const int errors = relay.pipe;
    Outcome outcome = collect(ends[0], &relay, worker, request.options);
    close(ends[0]);
    // What the worker had written before it ended is passed on, however the result went.
    for (pollfd waiting{relay.pipe, POLLIN, 0};
         relay.pipe >= 0 && poll(&waiting, 1, 0) > 0 && relayErrors(&relay);) {
        if (relay.relayed >= kRelayedErrorBytes) break;
    }
    passOnLines(&relay, true);
    close(errors);
    const int status = outcome.waitStatus;
    *wantsModule = outcome.ended && !outcome.overdue && !outcome.helperLost &&
                   outcome.headerBytes == 0 && WIFEXITED(status) &&
                   WEXITSTATUS(status) >= kWorkerNeedsModule &&
                   WEXITSTATUS(status) < kWorkerNeedsModule + kFormatModuleCount;
    SDL_Surface *picture = interpret(&outcome, info);
    if (outcome.picture) SDL_FreeSurface(outcome.picture);
    return picture;
}

}  // namespace

SDL_Surface *decodeInWorker(int file, const char *extension, const DecodeOptions &options,
                            const DecodeLimits &limits, WaitForReadable wait, ImageInfo *info) {
    *info = ImageInfo{false, 0, 0, 0};
    waitOnDecoder = wait;
    DecodeRequest request{};
    request.options = options;
    if (extension && strlen(extension) < sizeof request.extension)
        strcpy(request.extension, extension);
    // A file may need every module in turn; each is loaded once for the rest of the run.
    SDL_Surface *picture = nullptr;
    bool wantsModule = true;
    for (int attempt = 0; wantsModule && attempt <= kFormatModuleCount; attempt++)
        picture = decodeOnce(file, request, limits, info, &wantsModule);
    return picture;
}
