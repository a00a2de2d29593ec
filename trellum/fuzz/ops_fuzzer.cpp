// Differential fuzzing of the channel C API: each input is a sequence of
// operations, run on the library and on the model of PipeModel.h, and every
// result (pointers, statuses, sizes, message contents and order) must agree.
// Runs single-threaded; the concurrent behaviour is the stress tests' part.
//
// An input leaves nothing behind: it ends by releasing its pins and deleting
// its channel IDs, so every input starts from an empty registry and leaks
// show up under LeakSanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include <trellum/trellum.h>

#include "PipeModel.h"

namespace {

namespace model = trellum_model;

// A few IDs, extremes included; 0 and 233 share a slot of the per-thread
// memo (for its sizes of 16 and 256 slots), so lookups also contend there.
const int32_t kIds[] = {0, 1, -1, 233, INT32_MIN, INT32_MAX};
const int32_t kPipes[] = {0, 1, -1, 2, INT32_MIN, INT32_MAX};
const int32_t kPriorities[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, 5, INT32_MAX - 1, INT32_MAX};

// A channel the sequence holds: a pin, or a bare pointer from
// ChannelManager_createOrGetChannel (dropped at the delete, after which it
// must not be used).
struct Handle {
    Channel real;
    model::ChanRef chan;
    bool pinned;
};

[[noreturn]] void mismatch(const char *what, long step, long expected, long actual) {
    std::fprintf(stderr, "model mismatch at step %ld: %s: expected %ld, got %ld\n", step, what,
                 expected, actual);
    std::abort();
}

void expectEqual(const char *what, long step, long expected, long actual) {
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
        switch (in_.ConsumeIntegralInRange<int>(0, 15)) {
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
            model::Msg m{in_.ConsumeIntegral<int32_t>(), pickPriority(), in_.ConsumeIntegral<int32_t>(),
                         static_cast<int32_t>(nextMessageId_++), in_.ConsumeIntegral<int32_t>(),
                         in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 40))};
            Message real = Message_new(m.type, m.priority, m.channelID, m.messageID, m.attributes,
                                       static_cast<int32_t>(m.body.size()), m.body.data());
            if (real == nullptr) mismatch("Message_new", step_, 1, 0);
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
        }
    }

    // After every step: every held channel's sizes agree with the model.
    void checkSizes() {
        for (const Handle &h : handles_) {
            for (int32_t pipe = 0; pipe < 2; ++pipe)
                expectEqual("size after step", step_, model::size(h.chan, pipe), Channel_sizeOfPipe(h.real, pipe));
        }
    }

    void forget(size_t i) { handles_.erase(handles_.begin() + static_cast<long>(i)); }

    // Back to an empty registry: pins released, every ID deleted.
    void finish() {
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
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    Sequence(in).run();
    return 0;
}
