// Tests of the decoding process: what its filter stops, quitting during a decode, and what the
// viewer takes back from it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "display/sandbox/sandbox.h"
#include "support.h"

// Runs in every worker of this test program before it decodes: a file that starts with
// "call:" makes the worker attempt that call.
extern "C" void lumoscapeWorkerTestHook(int file) {
    char call[32] = {};
    if (pread(file, call, sizeof call - 1, 0) < 5 || strncmp(call, "call:", 5) != 0) return;
    const std::string name(call + 5, strcspn(call + 5, "\n"));
    if (name == "open") open("/etc/passwd", O_RDONLY);
    if (name == "socket") socket(AF_INET, SOCK_STREAM, 0);
    if (name == "execve") execl("/bin/true", "true", static_cast<char *>(nullptr));
    if (name == "fork") fork();
    if (name == "kill") kill(getppid(), SIGKILL);
    if (name == "write") (void)!write(STDOUT_FILENO, "x", 1);
    if (name == "abort") abort();
    if (name == "mmap")
        mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

class SandboxTest : public ViewerTest {
protected:
    // The error line of a load that must fail.
    std::string failedLoad(const std::string &path) {
        testing::internal::CaptureStdout();
        SDL_Surface *image = loadImage(path.c_str());
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(image, nullptr) << path;
        SDL_FreeSurface(image);
        // A failed load shuts SDL down, as the viewer ends there.
        if (!SDL_WasInit(SDL_INIT_VIDEO)) {
            EXPECT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);
        }
        return output;
    }
};

TEST_F(SandboxTest, WorkerThatAttemptsWhatDecodersMayNotDoIsStopped) {
    ASSERT_EQ(prctl(PR_GET_SECCOMP), 0) << "this kernel takes no seccomp filter";
    const std::string stopped =
        "Error: loadImage: decoder stopped: it made a system call decoders may not make\n";
    for (const char *call : {"open", "socket", "execve", "fork", "kill", "write", "mmap"}) {
        SCOPED_TRACE(call);
        const std::string path = dir + "/" + call;
        writeFile(path, std::string("call:") + call + "\n");
        EXPECT_EQ(failedLoad(path), stopped);
    }
    // A decoder that aborts, as the C library does on a corrupted heap, may signal itself.
    writeFile(dir + "/abort", "call:abort\n");
    EXPECT_EQ(failedLoad(dir + "/abort"),
              "Error: loadImage: decoder ended by signal 6 (Aborted)\n");
    // The same hook on an image: what decoders do themselves passes the filter.
    const std::string image = saveImage(makeTestCard(400, 300, 8), dir + "/card.bmp");
    testing::internal::CaptureStdout();
    SDL_Surface *shown = loadImage(image.c_str());
    testing::internal::GetCapturedStdout();
    ASSERT_NE(shown, nullptr);
    SDL_FreeSurface(shown);
}

TEST_F(SandboxTest, QuitRequestDuringADecodeEndsTheViewerAtOnce) {
    const std::string hanging = kEndlessDecode;
    settings.decoderTime = 20;
    stopDecoderHelper();  // started again with this limit
    struct Case {
        const char *what;
        Uint8 type;
        SDLKey key;
    };
    const Case requests[] = {
        {"quit event", SDL_QUIT, SDLK_UNKNOWN},
        {"Escape", SDL_KEYDOWN, SDLK_ESCAPE},
        {"q", SDL_KEYDOWN, SDLK_q},
    };
    for (const Case &request : requests) {
        SCOPED_TRACE(request.what);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EXIT(
            {
                if (request.type == SDL_QUIT) {
                    pushEventType(SDL_QUIT);
                } else {
                    pushKey(SDLK_SPACE);  // waits its turn, and is never reached
                    pushKey(request.key);
                }
                loadImage(hanging.c_str());
            },
            testing::ExitedWithCode(0), "");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
    // Every other event waits its turn, in order.
    const std::string card = saveImage(makeTestCard(40, 30), dir + "/card.bmp");
    pushKey(SDLK_SPACE);
    pushKey(SDLK_LEFT);
    testing::internal::CaptureStdout();
    SDL_FreeSurface(loadImage(card.c_str()));
    testing::internal::GetCapturedStdout();
    SDL_Event queued[4];
    ASSERT_EQ(SDL_PeepEvents(queued, 4, SDL_GETEVENT, SDL_ALLEVENTS), 2);
    EXPECT_EQ(queued[0].key.keysym.sym, SDLK_SPACE);
    EXPECT_EQ(queued[1].key.keysym.sym, SDLK_LEFT);
}
