// Differential fuzzing of the channel C API: each input is a sequence of
// operations, run on the library and on the model of PipeModel.h, and every
// result (pointers, statuses, sizes, message contents and order) must agree.
// Runs single-threaded; the concurrent behaviour is the stress tests' part.
//
// An input leaves nothing behind: it ends by releasing its pins and deleting
// its channel IDs, so every input starts from an empty registry and leaks
// show up under LeakSanitizer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include <trellum/trellum.h>

#include "PipeModel.h"

namespace trellum {
extern bool fuzzAddsFindMutexBusy;  // the library's switch for this fuzzer
}

namespace {

namespace model = trellum_model;

// A few IDs, extremes included; 0 and 233 share a slot of the per-thread
// memo (for its sizes of 16 and 256 slots), so lookups also contend there.
const int32_t kIds[] = {0, 1, -1, 233, INT32_MIN, INT32_MAX};
const int32_t kPipes[] = {0, 1, -1, 2, INT32_MIN, INT32_MAX};
const int32_t kPriorities[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, 5, INT32_MAX - 1, INT32_MAX};
// Capacities near what the inputs queue (bodies of 0 to 40 bytes); 0 and
// less mean no limit.
const int32_t kMaxMessages[] = {0, 1, 2, 3, 8, -1, INT32_MIN, INT32_MAX};
const int64_t kMaxBytes[] = {0, 1, 16, 40, 100, -1, INT64_MIN, INT64_MAX};
// Where the model says an add finds room at once: only a library that
// disagrees ever waits this long.
const int64_t kLongWait = 5000000000;

// A channel the sequence holds: a pin, or a bare pointer from
// ChannelManager_createOrGetChannel (dropped at the delete, after which it
// must not be used).
struct Handle {
    Channel real;
    model::ChanRef chan;
    bool pinned;
};

// long long: the counters and byte limits are 64-bit on every target.
[[noreturn]] void mismatch(const char *what, long step, long long expected, long long actual) {
    std::fprintf(stderr, "model mismatch at step %ld: %s: expected %lld, got %lld\n", step, what,
                 expected, actual);
    std::abort();
}

void expectEqual(const char *what, long step, long long expected, long long actual) {
    if (expected != actual) mismatch(what, step, expected, actual);
}

void expectSame(long step, const model::Msg &want, Message got) {
    if (got == nullptr) mismatch("message present", step, 1, 0);
    expectEqual("type", step, want.type, got->header->type);
    expectEqual("priority", step, want.priority, got->header->priority);
    expectEqual("channelID", step, want.channelID, got->header->channelID);
    expectEqual("messageID", step, want.messageID, got->header->messageID);
    expectEqual("attributes", step, want.attributes, got->header->attributes);
    expectEqual("body length", step, static_cast<long>(want.body.size()), got->body->length);
    if (!want.body.empty() && std::memcmp(want.body.data(), got->body->data, want.body.size()) != 0)
        mismatch("body bytes equal", step, 1, 0);
}

class Sequence {
public:
    explicit Sequence(FuzzedDataProvider &in) : in_(in) {}

    void run() {
        for (step_ = 0; in_.remaining_bytes() > 0 && step_ < 2000; ++step_) {
            one();
            checkSizes();
        }
        finish();
    }

private:
    int32_t pickId() { return kIds[in_.ConsumeIntegralInRange<size_t>(0, std::size(kIds) - 1)]; }
    int32_t pickPipe() {
        // Mostly valid pipes, so that most operations reach a queue.
        if (in_.ConsumeIntegralInRange<int>(0, 7) != 0) return in_.ConsumeBool() ? 1 : 0;
        return kPipes[in_.ConsumeIntegralInRange<size_t>(0, std::size(kPipes) - 1)];
    }
    int32_t pickPriority() {
        if (in_.ConsumeBool()) return kPriorities[in_.ConsumeIntegralInRange<size_t>(0, std::size(kPriorities) - 1)];
        return in_.ConsumeIntegral<int32_t>();
    }
    // A held channel, or the NULL channel (index past the end).
    Handle pickHandle() {
        size_t i = in_.ConsumeIntegralInRange<size_t>(0, handles_.size());
        return i < handles_.size() ? handles_[i] : Handle{nullptr, nullptr, false};
    }

    // The registry hands out one channel per live ID: the same pointer as
    // before while the ID lives, a new channel after a delete.
    void found(int32_t id, Channel real, bool pinned) {
        if (real == nullptr) mismatch("channel not NULL", step_, 1, 0);
        bool existed = models_.find(id) != nullptr;
        model::ChanRef chan = models_.get(id);
        if (existed && liveReal_[id] != real) mismatch("same channel for a live ID", step_, 1, 0);
        for (const auto &entry : liveReal_) {
            if (entry.first != id && entry.second == real)
                mismatch("distinct channels for distinct IDs", step_, 1, 0);
        }
        liveReal_[id] = real;
        handles_.push_back(Handle{real, chan, pinned});
    }

    void one() {
        switch (in_.ConsumeIntegralInRange<int>(0, 22)) {
        case 0: {
            int32_t id = pickId();
            found(id, ChannelManager_createOrGetChannel(id), false);
            break;
        }
        case 1: {
            int32_t id = pickId();
            found(id, ChannelManager_acquireChannel(id), true);
            break;
        }
        case 2: {  // release a pin (or NULL, which does nothing)
            for (size_t i = in_.ConsumeIntegralInRange<size_t>(0, handles_.size()); i < handles_.size(); ++i) {
                if (!handles_[i].pinned) continue;
                ChannelManager_releaseChannel(handles_[i].real);
                forget(i);
                return;
            }
            ChannelManager_releaseChannel(nullptr);
            break;
        }
        case 3: {
            int32_t id = pickId();
            model::ChanRef chan = models_.find(id);
            ChannelManager_deleteChannel(id);
            models_.remove(id);
            liveReal_.erase(id);
            // Bare pointers to it are dead now; pins stay valid.
            for (size_t i = handles_.size(); i-- > 0;) {
                if (handles_[i].chan == chan && !handles_[i].pinned) forget(i);
            }
            break;
        }
        case 4:
        case 5: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            model::Msg m = newMsg();
            Message real = realOf(m);
            if (model::wouldWait(h.chan, pipe, m)) {
                // A full pipe: the plain add would wait for ever on this one thread.
                expectEqual("add to a full pipe, trying", step_, model::TimedOut,
                            Channel_timedAddToPipe(h.real, pipe, real, 0));
                Message_free(real);  // turned away: still ours
                break;
            }
            if (model::bounded(h.chan, pipe)) {
                // Room by the model's rule: should the library's differ, a
                // plain add would hang the fuzzer, a long timed one fails it.
                expectEqual("add with room", step_, model::tryAdd(h.chan, pipe, m),
                            Channel_timedAddToPipe(h.real, pipe, real, kLongWait));
                break;
            }
            Channel_addToPipe(h.real, pipe, real);
            model::add(h.chan, pipe, m);
            break;
        }
        case 6: {  // timed receive that does not wait
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            if (in_.ConsumeIntegralInRange<int>(0, 15) == 0) {
                expectEqual("timed remove into NULL", step_, model::Invalid,
                            Channel_timedRemoveFromPipe(h.real, pipe, 0, nullptr));
                break;
            }
            Message got = reinterpret_cast<Message>(&handles_);  // must be overwritten
            int32_t status = Channel_timedRemoveFromPipe(h.real, pipe, 0, &got);
            model::Msg want;
            model::Status expected = model::tryRemove(h.chan, pipe, &want);
            expectEqual("timed remove status", step_, expected, status);
            if (expected == model::Received) expectSame(step_, want, got);
            else expectEqual("timed remove leaves NULL", step_, 0, got != nullptr);
            Message_free(got);
            break;
        }
        case 7: {  // blocking receive, only where the model says it returns at once
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            model::Msg want;
            model::Status expected = model::tryRemove(h.chan, pipe, &want);
            if (expected == model::TimedOut) break;  // it would wait for ever
            Message got = Channel_removeFromPipe(h.real, pipe);
            if (expected == model::Received) expectSame(step_, want, got);
            else expectEqual("remove gives NULL", step_, 0, got != nullptr);
            Message_free(got);
            break;
        }
        case 8: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            Message got = Channel_peekCopyFromPipe(h.real, pipe);
            model::Msg want;
            if (model::peek(h.chan, pipe, &want) == model::Received) expectSame(step_, want, got);
            else expectEqual("peek copy gives NULL", step_, 0, got != nullptr);
            Message_free(got);
            break;
        }
        case 9: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            if (in_.ConsumeIntegralInRange<int>(0, 15) == 0) {
                expectEqual("checked peek into NULL", step_, model::Invalid,
                            Channel_checkedPeekCopyFromPipe(h.real, pipe, nullptr));
                break;
            }
            Message got = reinterpret_cast<Message>(&handles_);
            int32_t status = Channel_checkedPeekCopyFromPipe(h.real, pipe, &got);
            model::Msg want;
            model::Status expected = model::peek(h.chan, pipe, &want);
            expectEqual("checked peek status", step_, expected, status);
            if (expected == model::Received) expectSame(step_, want, got);
            else expectEqual("checked peek leaves NULL", step_, 0, got != nullptr);
            Message_free(got);
            break;
        }
        case 10: {  // the lending peek: compared, never freed
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            Message got = Channel_peekFromPipe(h.real, pipe);
            model::Msg want;
            if (model::peek(h.chan, pipe, &want) == model::Received) expectSame(step_, want, got);
            else expectEqual("lending peek gives NULL", step_, 0, got != nullptr);
            break;
        }
        case 11: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            expectEqual("size", step_, model::size(h.chan, pipe), Channel_sizeOfPipe(h.real, pipe));
            break;
        }
        case 12: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            Channel_clearPipe(h.real, pipe);
            model::clear(h.chan, pipe);
            break;
        }
        case 13: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            Channel_shutdown(h.real, pipe);
            model::setShutDown(h.chan, pipe, true);
            break;
        }
        case 14: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            Channel_startup(h.real, pipe);
            model::setShutDown(h.chan, pipe, false);
            break;
        }
        case 15:  // a NULL message is refused without harm
            Channel_addToPipe(pickHandle().real, pickPipe(), nullptr);
            break;
        case 16: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            const int32_t maxMessages = kMaxMessages[in_.ConsumeIntegralInRange<size_t>(0, std::size(kMaxMessages) - 1)];
            const int64_t maxBytes = kMaxBytes[in_.ConsumeIntegralInRange<size_t>(0, std::size(kMaxBytes) - 1)];
            Channel_setPipeCapacity(h.real, pipe, maxMessages, maxBytes);
            model::setCapacity(h.chan, pipe, maxMessages, maxBytes);
            break;
        }
        case 17: {  // the add that only tries
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            if (in_.ConsumeIntegralInRange<int>(0, 15) == 0) {
                expectEqual("timed add of NULL", step_, model::Invalid, Channel_timedAddToPipe(h.real, pipe, nullptr, 0));
                break;
            }
            model::Msg m = newMsg();
            Message real = realOf(m);
            const int32_t status = Channel_timedAddToPipe(h.real, pipe, real, 0);
            expectEqual("timed add status", step_, model::tryAdd(h.chan, pipe, m), status);
            if (status != TRELLUM_ADDED) {
                expectSame(step_, m, real);  // handed back untouched
                Message_free(real);
            }
            break;
        }
        case 18: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            if (in_.ConsumeIntegralInRange<int>(0, 3) != 0) {
                compareStats(h, pipe);
                break;
            }
            PipeStats stats;
            std::memset(&stats, 0x5a, sizeof stats);
            stats.structSize = sizeof stats - in_.ConsumeIntegralInRange<uint32_t>(1, sizeof stats);
            const PipeStats before = stats;
            expectEqual("stats with a short struct", step_, model::Invalid, Channel_statsOfPipe(h.real, pipe, &stats));
            expectEqual("short struct untouched", step_, 0, std::memcmp(&stats, &before, sizeof stats) != 0);
            expectEqual("stats into NULL", step_, model::Invalid, Channel_statsOfPipe(h.real, pipe, nullptr));
            break;
        }
        case 19: {  // removal of a given message: a queued one, or likely none
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            std::vector<model::Msg> queued;
            model::copy(h.chan, pipe, &queued);
            model::Msg like = newMsg();
            if (!queued.empty() && in_.ConsumeBool()) {
                like = queued[in_.ConsumeIntegralInRange<size_t>(0, queued.size() - 1)];
                if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) like.body.push_back(0);  // nearly equal
            }
            Message real = realOf(like);
            expectEqual("remove equal status", step_, model::removeEqual(h.chan, pipe, like),
                        Channel_removeEqualFromPipe(h.real, pipe, real));
            Message_free(real);
            break;
        }
        case 20: {
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            // Room for the whole model queue, or (now and then) for less: the
            // count must still tell the whole length.
            std::vector<model::Msg> want;
            const int32_t expected = model::copy(h.chan, pipe, &want);
            size_t room = want.size();
            if (room > 0 && in_.ConsumeBool()) room = in_.ConsumeIntegralInRange<size_t>(0, room - 1);
            std::vector<Message> copies(room + 1, nullptr);
            int32_t count = -1;
            const int32_t status = Channel_copyOfPipe(h.real, pipe, copies.data(), static_cast<int32_t>(room), &count);
            expectEqual("copy status", step_, expected, status);
            const long copied = status == TRELLUM_RECEIVED ? std::min<long>(count, static_cast<long>(room)) : 0;
            expectEqual("copy count", step_, status == TRELLUM_RECEIVED ? static_cast<long>(want.size()) : 0L,
                        static_cast<long>(count));
            for (long k = 0; k < copied; ++k) {
                expectSame(step_, want[static_cast<size_t>(k)], copies[static_cast<size_t>(k)]);
                Message_free(copies[static_cast<size_t>(k)]);
            }
            expectEqual("copy writes no further", step_, 0L, static_cast<long>(copies[room] != nullptr));
            break;
        }
        case 21: {  // the cancellable add, through one waiter whose cancels stay pending until a wait takes them
            Handle h = pickHandle();
            int32_t pipe = pickPipe();
            if (in_.ConsumeBool()) {
                PipeWaiter_cancel(&waiter_);
                cancelPending_ = true;
            }
            const int64_t timeout = in_.ConsumeBool() ? 0 : kLongWait;
            model::Msg m = newMsg();
            const bool full = model::wouldWait(h.chan, pipe, m);
            if (full && timeout != 0 && !cancelPending_) break;  // nothing would end the wait but the timeout
            Message real = realOf(m);
            const int32_t status = Channel_cancellableAddToPipe(h.real, pipe, real, timeout, &waiter_);
            model::Status expected;
            if (full && timeout != 0) {
                expected = model::Cancelled;
                cancelPending_ = false;
            } else {
                expected = model::tryAdd(h.chan, pipe, m);
            }
            expectEqual("cancellable add status", step_, expected, status);
            if (status != TRELLUM_ADDED) Message_free(real);
            break;
        }
        case 22:
            addsThroughTheInbox();
            break;
        }
    }

    // Adds that find the mutex busy: they wait in the inbox until the next
    // call that takes the mutex (the size check after this step, at the
    // latest) moves them into the queue, in the order they were made.
    void addsThroughTheInbox() {
        Handle h = pickHandle();
        int32_t pipe = pickPipe();
        if (model::bounded(h.chan, pipe)) return;  // a bounded pipe never pushes
        trellum::fuzzAddsFindMutexBusy = true;
        for (int n = in_.ConsumeIntegralInRange<int>(1, 4); n > 0; --n) {
            model::Msg m = newMsg();
            Channel_addToPipe(h.real, pipe, realOf(m));
            model::add(h.chan, pipe, m);
        }
        trellum::fuzzAddsFindMutexBusy = false;
    }

    model::Msg newMsg() {
        return model::Msg{in_.ConsumeIntegral<int32_t>(), pickPriority(), in_.ConsumeIntegral<int32_t>(),
                          static_cast<int32_t>(nextMessageId_++), in_.ConsumeIntegral<int32_t>(),
                          in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 40))};
    }

    Message realOf(const model::Msg &m) {
        Message real = Message_new(m.type, m.priority, m.channelID, m.messageID, m.attributes,
                                   static_cast<int32_t>(m.body.size()), m.body.data());
        if (real == nullptr) mismatch("Message_new", step_, 1, 0);
        return real;
    }

    // After every step: every held channel's sizes agree with the model.
    void checkSizes() {
        for (const Handle &h : handles_) {
            for (int32_t pipe = 0; pipe < 2; ++pipe)
                expectEqual("size after step", step_, model::size(h.chan, pipe), Channel_sizeOfPipe(h.real, pipe));
        }
    }

    // Every field against the model. Not after every step: it would make the
    // fuzzer three times slower, and the counters, once off, stay off until
    // the comparison at the end. No thread waits, so neither do the counts.
    void compareStats(const Handle &h, int32_t pipe) {
        PipeStats got;
        std::memset(&got, 0x5a, sizeof got);
        got.structSize = sizeof got;
        model::Stats want;
        expectEqual("stats status", step_, model::stats(h.chan, pipe, &want), Channel_statsOfPipe(h.real, pipe, &got));
        if (!model::validPipe(pipe) || h.real == nullptr) return;  // nothing written
        expectEqual("stats structSize", step_, sizeof got, got.structSize);
        expectEqual("stats size", step_, want.size, got.size);
        expectEqual("stats bytes", step_, want.bytes, got.bytes);
        expectEqual("stats highWaterSize", step_, want.highWaterSize, got.highWaterSize);
        expectEqual("stats maxMessages", step_, want.maxMessages, got.maxMessages);
        expectEqual("stats maxBytes", step_, want.maxBytes, got.maxBytes);
        expectEqual("stats added", step_, want.added, got.added);
        expectEqual("stats removed", step_, want.removed, got.removed);
        expectEqual("stats shutDown", step_, want.shutDown, got.shutDown);
        expectEqual("stats waitingReceivers", step_, 0, got.waitingReceivers);
        expectEqual("stats waitingSenders", step_, 0, got.waitingSenders);
    }

    void forget(size_t i) { handles_.erase(handles_.begin() + static_cast<long>(i)); }

    // Back to an empty registry: pins released, every ID deleted.
    void finish() {
        for (const Handle &h : handles_) {
            for (int32_t pipe = 0; pipe < 2; ++pipe) compareStats(h, pipe);
        }
        for (const Handle &h : handles_) {
            if (h.pinned) ChannelManager_releaseChannel(h.real);
        }
        handles_.clear();
        for (int32_t id : kIds) ChannelManager_deleteChannel(id);
    }

    FuzzedDataProvider &in_;
    model::Registry models_;
    std::map<int32_t, Channel> liveReal_;  // the library's channel of each live ID
    std::vector<Handle> handles_;
    long step_ = 0;
    uint32_t nextMessageId_ = 0;
    PipeWaiter waiter_ = makeWaiter();
    bool cancelPending_ = false;

    static PipeWaiter makeWaiter() {
        PipeWaiter waiter;
        PipeWaiter_init(&waiter);
        return waiter;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    Sequence(in).run();
    return 0;
}
