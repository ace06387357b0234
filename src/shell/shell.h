// Program shell: settings, the command-line image list, start-up and the event loop.
#pragma once

#include <SDL.h>
#include <poll.h>
#include <time.h>

#include <cstdint>
#include <string>

/// The options of the viewer; written only before SDL starts.
struct Settings {
    int32_t width;           ///< video mode width in pixels
    int32_t height;          ///< video mode height in pixels
    uint32_t videoFlags;     ///< flags handed to SDL_SetVideoMode
    int32_t antialias;       ///< smoothing argument of the SDL_gfx scalers
    int32_t decoderMemory;   ///< most memory a decoder may use, in MB; 0 or less: half the RAM
    int32_t decoderTime;     ///< most processor time a decoder may use, in s; 0 or less: 60
    int32_t autorotate;      ///< not 0: JPEGs are turned upright by their EXIF orientation
    int32_t colourProfiles;  ///< not 0: colours converted to sRGB as the file's profile says
    int32_t skipBroken;      ///< not 0: a file that cannot be shown is passed over, not the end
    int32_t keepAspect;      ///< not 0: fitted with one factor for both axes
    int32_t slideshow;       ///< seconds between steps taken without a key; 0 or less: none
};

/// One accepted command-line path, linked in command-line order.
struct ImageEntry {
    std::string filePath;     ///< private copy of the argument
    int32_t position;         ///< 1-based count of accepted paths; informational only
    ImageEntry *nextEntry;    ///< entry accepted after this one, or null
    ImageEntry *prevEntry;    ///< entry accepted before this one, or null
    bool unshowable = false;  ///< passed over: loading it failed while broken files are skipped
};

/// The accepted paths; complete before the display starts, never changed afterwards.
struct ImageList {
    ImageEntry *firstEntry;  ///< null while the list is empty
    ImageEntry *lastEntry;   ///< null while the list is empty
    int32_t count;           ///< number of accepted paths
};

/// Built-in values of the settings, used when no settings file overrides them.
extern const Settings defaultSettings;
/// The process-wide settings.
extern Settings settings;
/// The process-wide image list.
extern ImageList imageList;

/// The length of the well-formed UTF-8 character that starts `text` (of `size` bytes), its code
/// point in `point`; 0 where the bytes there are none.
int utf8Character(const unsigned char *text, size_t size, uint32_t *point);
/// Whether a terminal shows `point` as the character it is: no control (C0, DEL, C1), nor a
/// mark that reorders text or breaks its line.
bool printableCharacter(uint32_t point);
/// `text` as one printable line: what printableCharacter refuses and bytes that are not UTF-8
/// escaped as \xNN, \n, \r, \t or \uNNNN; other text as it is.
std::string printable(const char *text);

/// Examines `count` paths in order, reports unusable ones and appends the rest.
void collectImages(int count, char **paths);
/// Appends one entry holding a copy of `filePath` to the end of the list.
void addImage(const char *filePath);

/// Overrides `settings` from $HOME/.lumoscaperc; a missing or unreadable file changes nothing.
void readSettings();

/// Handles one event; returns 1 to keep the loop going, 0 once the viewer has shut down.
int dispatchEvent(const SDL_Event *event);
/// Waits for events and dispatches them until the viewer quits; returns the exit status.
int runEventLoop();
/// The descriptor of the display's X connection, or -1 when the video driver has none.
int displayConnection();
/// Takes the next event, sleeping on `connection` (or, when it is negative, looking at SDL's
/// queue every 10 ms) while the queue is empty: 1 with an event, 0 when the connection is lost
/// or SDL fails, -1 once `due` (on the monotonic clock; null: never) has come first.
int waitForEvent(int connection, SDL_Event *event, const timespec *due);
/// Sleeps until one of `descriptors` (a negative one is passed over) can be read or has
/// ended, setting their `revents`. Meanwhile it serves the display and acts on quit requests
/// only: Escape, `q`, a window close or SIGINT or SIGTERM shut the viewer down and end the
/// process with status 0, as does a lost display. Every other event stays queued.
void waitForReadable(pollfd *descriptors, int count);
/// Whether `event` asks the viewer to quit: a quit event or a quit key.
bool isQuitEvent(const SDL_Event *event);
/// Releases the image slots, ends the decoder helper and shuts SDL down.
void shutdownViewer();

/// The whole program: arguments, settings, display start-up and the event loop.
int runLumoscape(int argc, char **argv);
/// In the decoding process: overwrites and drops what it must not hold of the viewer's, the
/// command line, the image list and the environment.
void forgetViewerData();
