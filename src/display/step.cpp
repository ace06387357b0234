// Stepping: moves the cursor along the list, keeping the next image decoded ahead.
#include <cstdlib>

#include "display.h"

namespace {

// loadImage has already reported the failure and shut SDL down, so there is nothing left
// to draw on: end here rather than present an empty slot.
SDL_Surface *loadOrEnd(const ImageEntry *entry) {
    SDL_Surface *image = loadImage(entry->filePath.c_str());
    if (!image) exit(1);
    return image;
}

void showUnturnedCurrent() {
    releaseSlot(&viewerState.rotated);
    viewerState.angle = 0;
    presentSurface(viewerState.current);
}

}  // namespace

int showNext() {
    ImageEntry *cursor = viewerState.cursor;
    if (!cursor) {
        cursor = imageList.firstEntry;
    } else if (cursor == imageList.lastEntry) {
        return 0;
    } else {
        cursor = cursor->nextEntry;
    }
    viewerState.cursor = cursor;

    releaseSlot(&viewerState.current);
    if (viewerState.prefetched) {
        viewerState.current = viewerState.prefetched;
        viewerState.prefetched = nullptr;
    } else {
        viewerState.current = loadOrEnd(cursor);
    }
    showUnturnedCurrent();

    // Decoding the next image only after the flip keeps the forward step instant.
    if (cursor->nextEntry) viewerState.prefetched = loadOrEnd(cursor->nextEntry);
    return 1;
}

int showPrevious() {
    ImageEntry *cursor = viewerState.cursor;
    if (!cursor || cursor == imageList.firstEntry) return 0;
    viewerState.cursor = cursor->prevEntry;

    releaseSlot(&viewerState.prefetched);
    releaseSlot(&viewerState.rotated);
    // The image leaving the screen belongs to the entry that now follows the cursor.
    viewerState.prefetched = viewerState.current;
    viewerState.current = nullptr;
    viewerState.current = loadOrEnd(viewerState.cursor);
    showUnturnedCurrent();
    return 1;
}
