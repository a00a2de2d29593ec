// The pipe's event descriptor and the fan-out of readiness to selectors.
#include "PipeReadiness.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "PipeInbox.h"
#include "PipeSelectorEntry.h"

// Older Android headers lack the name; the kernel has had the command since 2.6.24.
#ifndef F_DUPFD_CLOEXEC
#define F_DUPFD_CLOEXEC 1030
#endif

namespace trellum {

namespace {

// The eventfd's counter is 1 while the pipe is ready and 0 otherwise, so
// that poll and level-triggered epoll see exactly the pipe's readiness.
void setDescriptor(int fd, bool ready) {
    if (ready) {
        const uint64_t one = 1;
        while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    } else {
        uint64_t count;
        while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
}

} // namespace

void tellWatchers(PipeEnd *pipe) {
    PipeExtras *extras = pipe->extras;  // a watched pipe has them
    const int32_t ready = isReady(*pipe) ? 1 : 0;
    if (ready == extras->toldReady) return;
    extras->toldReady = ready;
    if (extras->eventFd >= 0) setDescriptor(extras->eventFd, ready != 0);
    for (SelectorEntry *entry = extras->watchers; entry != nullptr; entry = entry->pipeNext) {
        noteEntryReadiness(entry, ready != 0);
    }
}

void watchersChanged(PipeEnd *pipe) {
    PipeExtras *extras = pipe->extras;
    if (extras == nullptr) return;  // never watched
    const bool wasWatched = isWatched(*pipe);
    const bool watched = extras->eventFd >= 0 || extras->watchers != nullptr;
    // A pipe that just became watched has told no one anything yet; the
    // watchers start from "not ready", which is what a new descriptor and a
    // new entry show.
    if (!wasWatched) extras->toldReady = 0;
    setAttention(pipe, kWatched, watched);  // from now on, no add is left in the inbox untold
    if (watched) tellWatchers(pipe);
}

void closePipeEvents(PipeEnd *pipe) {
    PipeExtras *extras = pipe->extras;
    if (extras == nullptr) return;
    if (extras->eventFd >= 0) close(extras->eventFd);
    extras->eventFd = -1;
}

} // namespace trellum

extern "C" int Channel_openPipeEvents(Channel channel, int32_t pipeIndex) {
    if (channel == nullptr || (pipeIndex != 0 && pipeIndex != 1)) {
        errno = EINVAL;
        return -1;
    }
    trellum::PipeEnd *pipe = &channel->pipes[pipeIndex];
    trellum::PipeLock lock(pipe);
    // A deleted pipe is ready for good: its descriptor needs no telling, so
    // the pipe keeps none (see markChannelDeleted).
    if (trellum::isDeleted(*pipe)) return eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
    trellum::PipeExtras *extras = trellum::extrasOf(pipe);
    if (extras == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    bool made = false;
    if (extras->eventFd < 0) {
        extras->eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (extras->eventFd < 0) return -1;
        made = true;
    }
    // A duplicate shares the eventfd's counter (and its non-blocking mode);
    // closing it affects no other.
    const int fd = fcntl(extras->eventFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        if (made) {
            const int error = errno;
            trellum::closePipeEvents(pipe);
            errno = error;
        }
        return -1;
    }
    if (made) {
        // The existing watchers were told the current readiness already; the
        // new descriptor starts at 0 and is told it now.
        if (trellum::isWatched(*pipe) && extras->toldReady) {
            const uint64_t one = 1;
            while (write(extras->eventFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
        trellum::watchersChanged(pipe);
    }
    return fd;
}
