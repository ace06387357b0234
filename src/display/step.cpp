// Stepping: moves the cursor along the list, keeping the next image decoded ahead, and passes
// over files that cannot be shown when the settings ask for it.
#include <cstdlib>

#include "display.h"

namespace {

// The entry after or before `entry` that has not failed to load.
ImageEntry *neighbour(ImageEntry *entry, bool forward) {
    do {
        entry = forward ? entry->nextEntry : entry->prevEntry;
    } while (entry && entry->unshowable);
    return entry;
}

// Loads the image of the first entry from `entry` on that loads, going the way given; null
// when none does. Without skipping a failure ends here: loadImage has already reported it and
// shut SDL down, so there is nothing left to draw on. With it, the entry is passed over from
// then on.
ImageEntry *loadShowable(ImageEntry *entry, bool forward, SDL_Surface **image) {
    for (; entry; entry = neighbour(entry, forward)) {
        *image = loadImage(entry->filePath.c_str());
        if (*image) return entry;
        if (!settings.skipBroken) exit(1);
        entry->unshowable = true;
    }
    return nullptr;
}

void showUnturnedCurrent() {
    releaseSlot(&viewerState.rotated);
    viewerState.angle = 0;
    presentSurface(viewerState.current);
}

}  // namespace

int showNext() {
    ImageEntry *cursor = viewerState.cursor;
    ImageEntry *next = cursor ? neighbour(cursor, true) : imageList.firstEntry;
    if (!next) return 0;

    // The image ahead, when there is one, is that of the next entry that loaded.
    SDL_Surface *image = viewerState.prefetched;
    viewerState.prefetched = nullptr;
    if (!image) next = loadShowable(next, true, &image);
    if (!next) {
        if (cursor) return 0;
        // Not one file of the list can be shown: the viewer ends after the last line.
        shutdownViewer();
        exit(1);
    }
    viewerState.cursor = next;
    releaseSlot(&viewerState.current);
    viewerState.current = image;
    showUnturnedCurrent();

    // Decoding the next image only after the flip keeps the forward step instant.
    if (ImageEntry *ahead = neighbour(next, true))
        loadShowable(ahead, true, &viewerState.prefetched);
    return 1;
}

int showPrevious() {
    ImageEntry *cursor = viewerState.cursor;
    ImageEntry *previous = cursor ? neighbour(cursor, false) : nullptr;
    if (!previous) return 0;

    releaseSlot(&viewerState.prefetched);
    SDL_Surface *image = nullptr;
    previous = loadShowable(previous, false, &image);
    // Every file before this one failed: the view stays as it is, and the next one is decoded
    // again when asked for.
    if (!previous) return 0;
    viewerState.cursor = previous;
    // The image leaving the screen belongs to the entry that now follows the cursor.
    viewerState.prefetched = viewerState.current;
    viewerState.current = image;
    showUnturnedCurrent();
    return 1;
}
