// The decoder sandbox: image files are read in a locked-down child process, never in the one
// that holds the display, which maps no image library at all.
//
// At start-up, before SDL, the viewer forks a helper that holds no display. The helper loads
// the decoder module (its readers and their libraries) and warms its readers up on small
// pictures of its own, so that one-time set-up, such as a library probing the processor, is
// done once and before any filter; it compiles the workers' filter. It then keeps one fresh
// worker ready at a time: a child whose standard input and output are /dev/null and whose
// standard error is a pipe to the viewer, that at once keeps no other descriptor but its
// channel, limits its own memory, processor time and file sizes, drops its capabilities and
// loads a seccomp filter. The helper sends the viewer, on their control socket (sequenced
// packets), a DecodeReport "ready" with the worker's channel and the read end of its standard
// error attached; once that worker has ended, a DecodeReport "ended" (or "overdue", when the
// helper ended it for time) with its wait status; then it readies the next. A helper that
// cannot load the decoder module says so once ("broken") and ends.
// For each image:
//  1. The viewer opens the file itself (read-only; regular files only) and makes a socket
//     pair for the result. It sends the ready worker, on its channel, one DecodeRequest with
//     the file and the result socket's far end attached, lets the channel go, and tells the
//     helper "started", which starts the worker's clock.
//  2. The worker decodes and fits the image, writes one ResultHeader and its payload to the
//     result socket, and ends. A failed C++ allocation is answered with the refusal "Out of
//     memory". A worker whose file needs a module the helper has not loaded (HEIF, AVIF, JPEG
//     XL, colour conversion) ends with kWorkerNeedsModule plus its number: the helper loads
//     it before the next worker, and the viewer asks that one.
//  3. Once the result is whole, or its header is one the viewer will not take, the viewer tells
//     the helper "end", which ends the worker without waiting for it.
// A worker whose result is not whole is reported from its wait status. The viewer takes from a
// worker only a picture of exactly the size it works out itself from the INFO fields, never
// larger than the screen, and anything else as a failure; it relays the worker's standard error
// made printable, keeps serving quit requests while it waits, and the helper ends a worker that
// has not finished within kDecodeWallSeconds of its processor-time limit.
#pragma once

#include <linux/filter.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include <poll.h>

#include "../readers/fit.h"
#include "../readers/format_modules.h"

/// Bounds on one worker.
struct DecodeLimits {
    uint64_t memoryBytes;  ///< most memory it may allocate; 0 for no limit
    int32_t cpuSeconds;    ///< most processor time it may use; 0 for no limit
};

/// The viewer's request for one decode; the file and the result socket travel beside it.
struct DecodeRequest {
    DecodeOptions options;
    char extension[16];  ///< the path's extension, for the format told by name only
};

/// What the helper and the viewer tell each other of the workers, on the control socket.
struct DecodeReport {
    int32_t kind;           ///< one of the kinds below
    int32_t waitStatus;     ///< of an ended worker, as waitpid gives it
    uint32_t worker;        ///< the worker meant: the helper counts them from 1
    char reason[244] = {};  ///< why the helper is broken, ended by a null byte
};
/// Helper to viewer: a worker is ready; its channel and standard error travel beside it.
constexpr int32_t kReportReady = 1;
/// Helper to viewer: the worker has ended by itself, or the viewer had it ended.
constexpr int32_t kReportEnded = 2;
/// Helper to viewer: the helper ended the worker, whose decode outlasted its wall-clock bound.
constexpr int32_t kReportOverdue = 3;
/// Viewer to helper: the worker has its request; its wall-clock bound starts.
constexpr int32_t kRequestStarted = 4;
/// Viewer to helper: the viewer wants nothing more of the worker; end it now.
constexpr int32_t kRequestEnd = 5;
/// Helper to viewer: the decoder module cannot be loaded, for the reason given; the helper ends.
constexpr int32_t kReportBroken = 6;
/// Wall-clock seconds a decode may last: a margin over its processor-time limit, for a busy
/// machine, and a bound for a worker that sleeps rather than computes.
int32_t decodeWallSeconds(int32_t cpuSeconds);

/// What a worker writes first. After it come, for a picture, `colours` palette entries of four
/// bytes (red, green, blue, unused) and `height` rows of `width` pixels of `bitsPerPixel`,
/// without padding; for a refusal, `reasonLength` bytes of text.
struct ResultHeader {
    uint32_t magic;     ///< kResultMagic
    int32_t decoded;    ///< 1 for a picture, 0 for a refusal
    int32_t infoKnown;  ///< 1 when the INFO fields hold, even in a refusal from fitting
    int32_t fullWidth, fullHeight, fullBitsPerPixel;  ///< the INFO fields
    int32_t width, height, bitsPerPixel;              ///< the picture
    uint32_t redMask, greenMask, blueMask, alphaMask;
    uint32_t flags;  ///< SDL_SRCCOLORKEY and SDL_SRCALPHA as the picture has them
    uint32_t colourKey;
    uint32_t alpha;
    int32_t colours;  ///< palette entries; 0 for true colour
    int32_t reasonLength;
};

/// Tells a result header from stray bytes.
constexpr uint32_t kResultMagic = 0x4c756d31;  // "Lum1"
/// The longest refusal a viewer reads.
constexpr int32_t kLongestReason = 1024;
/// The exit status the helper reports for a worker it could not start.
constexpr int kWorkerNotStarted = 126;
/// The exit status of a worker whose filter the kernel would not load.
constexpr int kWorkerNotLockedDown = 125;
/// Where the helper keeps its control socket.
constexpr int kHelperControl = 3;
/// Where a worker keeps its channel to the helper, and where the request's file and result
/// socket arrive: the lowest descriptors free after it.
constexpr int kWorkerChannel = 3;
constexpr int kWorkerFile = 4;
constexpr int kWorkerResult = 5;

/// How the viewer waits while a decode runs: it sleeps until one of `descriptors` (a negative
/// one is passed over) can be read or has ended, setting their `revents`, and serves its
/// display meanwhile.
using WaitForReadable = void (*)(pollfd *descriptors, int count);

/// Starts the helper, giving its workers `limits`, unless it runs already.
void startDecodingProcess(const DecodeLimits &limits);
/// Names what the helper runs first, whenever it is started: the clearing of what it and its
/// workers must not hold of the viewer's memory.
void forgetInDecodingProcess(void (*forget)());
/// Ends the helper, and any decode running in it.
void stopDecodingProcess();
/// The viewer's end of the control socket, or -1 when the helper is not running.
int decoderControl();
/// The limits the helper was last started with.
DecodeLimits decoderLimits();
/// Lets go of the ready worker the viewer holds, and of what the helper still owes it.
void forgetReadyWorker();
/// Decodes and fits the regular file open as `file` in a fresh worker, the helper started with
/// `limits` if it is not running, waiting meanwhile with `wait`; null on failure, with the
/// reason as SDL's error. `info` gets the INFO fields as soon as the worker knew them.
SDL_Surface *decodeInWorker(int file, const char *extension, const DecodeOptions &options,
                            const DecodeLimits &limits, WaitForReadable wait, ImageInfo *info);

/// Sends `size` bytes as one message with the first `count` (0 to 2) of `descriptors` beside
/// them; whether it went.
bool sendWithDescriptors(int socket, const void *bytes, size_t size, const int descriptors[2],
                         int count);
/// Takes one message of exactly `size` bytes and up to two descriptors beside it (-1 where
/// none came): 1, 0 when the other end has gone, -1 for anything else.
int receiveWithDescriptors(int socket, void *bytes, size_t size, int descriptors[2]);
/// What the viewer puts before each line a worker writes on standard error, which no line of
/// its own starts with.
constexpr char kRelayMark[] = "decoder: ";
/// Text from a worker made safe for a terminal: every control character, C1 control,
/// bidirectional override and byte that is not UTF-8 becomes '?', but for line ends and tabs
/// when `keepLineEnds`.
std::string printableText(const std::string &bytes, bool keepLineEnds);

/// What the decoder module offers the helper, by the name lumoscapeDecoder.
struct DecoderModule {
    /// In the helper, once: the readers warmed up and the workers' filter compiled.
    void (*prepareHelper)();
    /// In a new worker: see runWorker; never returns.
    void (*runWorker)(const DecodeLimits &limits);
    /// In the helper: loads a format's module for the workers to come.
    void (*loadFormat)(int which);
};
extern "C" const DecoderModule lumoscapeDecoder;
/// In the helper: the decoder module, loaded from beside the viewer (in its build folder) or
/// from the package's library folder; null with the reason in `reason` when it cannot be.
const DecoderModule *openDecoder(std::string *reason);

/// In the helper, before any worker: runs each reader once on a small picture of its own.
void warmUpReaders();
/// In the helper: makes a freshly loaded format module ready for workers, threads included.
void warmUpFormat(FormatModule which);
/// Whether the process runs under valgrind, as the memory-checking test run has it; there it
/// has no filter, nor a warm-up to make before one.
bool underValgrind();
/// In the helper: compiles the workers' seccomp filter, and says once on standard error when
/// the kernel takes none.
void prepareWorkerFilter();
/// The compiled filter, with kOwnProcess where a worker writes its own process number in;
/// empty where there is none.
const std::vector<sock_filter> &workerFilterProgram();
/// Stands in the compiled filter for the process number of the worker that loads it.
constexpr uint32_t kOwnProcess = 0x7eadbeef;
/// Closes every descriptor above standard error but `first` and `second`; false when it could
/// not make sure of that, and the process must not go on.
bool keepOnlyDescriptors(int first, int second);
/// In a worker: gives up every descriptor but standard input, output and error and its channel,
/// takes `limits`, drops its capabilities and loads the filter; ends the worker when its
/// descriptors cannot be made sure of.
void lockDownWorker(const DecodeLimits &limits);
/// A worker: locks itself down, takes its one request from its channel, decodes and writes the
/// result; never returns.
[[noreturn]] void runWorker(const DecodeLimits &limits);
