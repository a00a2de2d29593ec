// Waiting on many pipes at once.
//
// Each registered pipe lists its selectors' entries, and tells them under its
// own mutex whenever it becomes ready or stops being ready (PipeReadiness.h).
// A selector keeps the entries of its ready pipes in a ring, so a wait looks
// only at pipes that are ready: its cost does not depend on how many idle
// pipes are registered, and no descriptor is spent per pipe.
#include <errno.h>
#include <stdlib.h>

#include <trellum/trellum.h>

#include "MonotonicWait.h"
#include "PipeInbox.h"
#include "PipeReadiness.h"
#include "PipeSelectorEntry.h"
#include "PipeWaiter.h"
#include "PosixSync.h"

using trellum::SelectorEntry;

struct _PipeSelector {
    pthread_mutex_t mutex;
    pthread_cond_t condition;   // a pipe became ready, or a wakeup came
    SelectorEntry ready;        // sentinel of the ready ring
    int32_t waiters;
    int32_t wakeupPending;
};

namespace {

void unlinkReady(SelectorEntry *entry) {
    entry->readyPrev->readyNext = entry->readyNext;
    entry->readyNext->readyPrev = entry->readyPrev;
    entry->inReady = false;
}

void appendReady(PipeSelector selector, SelectorEntry *entry) {
    SelectorEntry *tail = selector->ready.readyPrev;
    entry->readyPrev = tail;
    entry->readyNext = &selector->ready;
    tail->readyNext = entry;
    selector->ready.readyPrev = entry;
    entry->inReady = true;
}

bool hasReady(PipeSelector selector) { return selector->ready.readyNext != &selector->ready; }

// Copies up to `max` tokens of ready pipes, first ready first, and moves the
// reported entries to the back so that busy pipes cannot hide the others.
int32_t collectReady(PipeSelector selector, int64_t *tokens, int32_t max) {
    int32_t count = 0;
    SelectorEntry *stop = selector->ready.readyPrev;  // the last entry before rotating
    while (count < max && hasReady(selector)) {
        SelectorEntry *entry = selector->ready.readyNext;
        tokens[count++] = entry->token;
        unlinkReady(entry);
        appendReady(selector, entry);
        if (entry == stop) break;
    }
    return count;
}

} // namespace

namespace trellum {

void noteEntryReadiness(SelectorEntry *entry, bool ready) {
    PipeSelector selector = entry->selector;
    ScopedLock lock(&selector->mutex);
    if (ready == entry->inReady) return;
    if (ready) {
        appendReady(selector, entry);
        if (selector->waiters > 0) pthread_cond_broadcast(&selector->condition);
    } else {
        unlinkReady(entry);
    }
}

} // namespace trellum

extern "C" {

PipeSelector PipeSelector_new(void) {
    PipeSelector selector = static_cast<PipeSelector>(calloc(1, sizeof(_PipeSelector)));
    if (selector == nullptr) return nullptr;
    pthread_mutex_init(&selector->mutex, nullptr);
    trellum::initMonotonicCondition(&selector->condition);
    selector->ready.readyNext = selector->ready.readyPrev = &selector->ready;
    return selector;
}

void PipeSelector_free(PipeSelector selector) {
    if (selector == nullptr) return;
    pthread_mutex_destroy(&selector->mutex);
    pthread_cond_destroy(&selector->condition);
    free(selector);
}

PipeSelectorKey PipeSelector_add(PipeSelector selector, Channel channel, int32_t pipeIndex, int64_t token) {
    if (selector == nullptr || channel == nullptr || (pipeIndex != 0 && pipeIndex != 1)) {
        errno = EINVAL;
        return nullptr;
    }
    auto entry = static_cast<SelectorEntry *>(calloc(1, sizeof(SelectorEntry)));
    if (entry == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    trellum::PipeEnd *pipe = &channel->pipes[pipeIndex];
    {
        trellum::PipeLock lock(pipe);
        trellum::PipeExtras *extras = trellum::extrasOf(pipe);
        if (extras != nullptr) {
            trellum::retainChannel(channel);
            entry->selector = selector;
            entry->channel = channel;
            entry->pipe = pipe;
            entry->token = token;
            entry->pipeNext = extras->watchers;
            if (extras->watchers != nullptr) extras->watchers->pipePrev = entry;
            extras->watchers = entry;
            if (trellum::isWatched(*pipe)) {
                // The others were told already; tell the newcomer alone.
                if (extras->toldReady) trellum::noteEntryReadiness(entry, true);
            } else {
                trellum::watchersChanged(pipe);
            }
            return reinterpret_cast<PipeSelectorKey>(entry);
        }
    }
    free(entry);
    errno = ENOMEM;
    return nullptr;
}

void PipeSelector_remove(PipeSelectorKey key) {
    if (key == nullptr) return;
    auto entry = reinterpret_cast<SelectorEntry *>(key);
    trellum::PipeEnd *pipe = entry->pipe;
    {
        trellum::PipeLock lock(pipe);
        if (entry->pipePrev != nullptr) entry->pipePrev->pipeNext = entry->pipeNext;
        else pipe->extras->watchers = entry->pipeNext;
        if (entry->pipeNext != nullptr) entry->pipeNext->pipePrev = entry->pipePrev;
        trellum::noteEntryReadiness(entry, false);
        trellum::watchersChanged(pipe);
    }
    trellum::releaseChannel(entry->channel);
    free(entry);
}

int32_t PipeSelector_keyDeleted(PipeSelectorKey key) {
    if (key == nullptr) return 0;
    return __atomic_load_n(&reinterpret_cast<SelectorEntry *>(key)->channel->deleted, __ATOMIC_ACQUIRE) != 0;
}

int32_t PipeSelector_wait(PipeSelector selector, int64_t timeoutNanos, PipeWaiter *waiter, int64_t *tokens,
                          int32_t maxTokens, int32_t *count) {
    if (count != nullptr) *count = 0;
    if (selector == nullptr || tokens == nullptr || count == nullptr || maxTokens <= 0) {
        return TRELLUM_INVALID_ARGUMENT;
    }
    trellum::WaitingScope waiting(waiter != nullptr ? trellum::stateOf(waiter) : nullptr);
    trellum::ScopedLock lock(&selector->mutex);
    struct timespec deadline;
    const bool bounded = timeoutNanos > 0 && trellum::monotonicDeadlineAfter(timeoutNanos, &deadline);
    for (;;) {
        if (hasReady(selector)) {
            // A wakeup is for the next wait to return, whatever it returns
            // for: left pending, it would cut a later, unrelated wait short.
            selector->wakeupPending = 0;
            *count = collectReady(selector, tokens, maxTokens);
            return TRELLUM_OK;
        }
        if (selector->wakeupPending) {
            selector->wakeupPending = 0;
            return TRELLUM_WOKEN;
        }
        if (timeoutNanos == 0) return TRELLUM_TIMED_OUT;
        if (waiting.enterOrCancelled(&selector->mutex, &selector->condition)) return TRELLUM_CANCELLED;
        ++selector->waiters;
        const int waited = bounded ? trellum::waitUntil(&selector->condition, &selector->mutex, deadline)
                                   : pthread_cond_wait(&selector->condition, &selector->mutex);
        --selector->waiters;
        if (waited == ETIMEDOUT && !hasReady(selector) && !selector->wakeupPending) return TRELLUM_TIMED_OUT;
    }
}

void PipeSelector_wakeup(PipeSelector selector) {
    if (selector == nullptr) return;
    trellum::ScopedLock lock(&selector->mutex);
    selector->wakeupPending = 1;
    if (selector->waiters > 0) pthread_cond_broadcast(&selector->condition);
}

} // extern "C"
