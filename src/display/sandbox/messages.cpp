// Messages with descriptors beside them, as the viewer, the helper and the workers send them.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sandbox.h"

bool sendWithDescriptors(int socket, const void *bytes, size_t size, const int descriptors[2],
                         int count) {
    alignas(cmsghdr) char space[CMSG_SPACE(2 * sizeof(int))] = {};
    iovec part{const_cast<void *>(bytes), size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (count > 0) {
        message.msg_control = space;
        message.msg_controllen = CMSG_SPACE(size_t(count) * sizeof(int));
        cmsghdr *attached = CMSG_FIRSTHDR(&message);
        attached->cmsg_level = SOL_SOCKET;
        attached->cmsg_type = SCM_RIGHTS;
        attached->cmsg_len = CMSG_LEN(size_t(count) * sizeof(int));
        memcpy(CMSG_DATA(attached), descriptors, size_t(count) * sizeof(int));
    }
    ssize_t sent;
    do {
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == ssize_t(size);
}

int receiveWithDescriptors(int socket, void *bytes, size_t size, int descriptors[2]) {
    alignas(cmsghdr) char space[CMSG_SPACE(2 * sizeof(int))];
    iovec part{bytes, size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    ssize_t got;
    do {
        got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    descriptors[0] = descriptors[1] = -1;
    const cmsghdr *attached = got > 0 ? CMSG_FIRSTHDR(&message) : nullptr;
    if (attached && attached->cmsg_level == SOL_SOCKET && attached->cmsg_type == SCM_RIGHTS &&
        attached->cmsg_len <= CMSG_LEN(2 * sizeof(int)))
        memcpy(descriptors, CMSG_DATA(attached), attached->cmsg_len - CMSG_LEN(0));
    // A message cut short, or with descriptors past those asked for, is none.
    if (got != ssize_t(size) || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
        for (int i = 0; i < 2; i++) {
            if (descriptors[i] >= 0) close(descriptors[i]);
            descriptors[i] = -1;
        }
        return got == 0 ? 0 : -1;
    }
    return 1;
}
