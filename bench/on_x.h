// Benchmarks on a real X server: wake-ups of an idle viewer and the time from a key to pixels.
#pragma once

#include <string>
#include <vector>

/// What the built viewer does on an Xvfb server of its own.
struct XFigures {
    double idleWakeupsPerSecond = -1;    ///< voluntary context switches of all its threads
    double keyToPixelsMedian = -1;       ///< seconds from a Space press to the next image's pixels
    double execToPixelsMedian = -1;      ///< seconds from starting the viewer to its first pixels
    double execProcessorMedian = -1;     ///< processor seconds of all its processes until then
    double bareToPixelsMedian = -1;      ///< the same for a bare SDL program's first pixels
    double bareProcessorMedian = -1;     ///< and the processor seconds it takes
    double bareInCToPixelsMedian = -1;   ///< the same in the C locale, as the viewer starts SDL
    double bareInCProcessorMedian = -1;  ///< and the processor seconds it takes
    double escapeToExitMedian = -1;  ///< seconds from Escape during a decode to the viewer's end
};

/// Runs `binary` with the extra `NAME=value` entries of `environment` on a private Xvfb, in a
/// UTF-8 locale as a desktop's: `starts` times from exec to the first pixels of a 200x150
/// PNG (and as many of `bare`, a bare SDL program) and from an Escape during a decode that
/// never ends to the viewer's end, then once idle for `idleSeconds` and for `steps` forward
/// steps; the images go into `folder`.
XFigures measureOnX(const std::string &binary, const std::string &bare,
                    const std::vector<std::string> &environment, const std::string &folder,
                    int starts, int idleSeconds, int steps);
