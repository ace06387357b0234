// The command-line image list: classifying arguments and appending the usable ones.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "shell.h"

ImageList imageList = {nullptr, nullptr, 0};

void addImage(const char *filePath) {
    imageList.count++;
    ImageEntry *entry = new ImageEntry{filePath, imageList.count, nullptr, imageList.lastEntry};
    if (imageList.firstEntry) {
        imageList.lastEntry->nextEntry = entry;
        imageList.lastEntry = entry;
    } else {
        imageList.firstEntry = entry;
        imageList.lastEntry = entry;
    }
}

void collectImages(int count, char **paths) {
    for (int i = 0; i < count; i++) {
        const char *path = paths[i];
        struct stat status;
        if (stat(path, &status) != 0) {
            printf("INFO: could not open %s: %s\n", printable(path).c_str(), strerror(errno));
            continue;
        }
        switch (status.st_mode & S_IFMT) {
        case S_IFREG:
            addImage(path);
            break;
        case S_IFDIR:
            printf("INFO: %s is a dir, ignoring for now\n", printable(path).c_str());
            break;
        default:
            printf("INFO: %s is something we don't know about, ignoring\n",
                   printable(path).c_str());
            break;
        }
    }
}
