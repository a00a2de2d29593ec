// Allocation failure at every site: for each call that allocates, allocation
// n fails, for n = 1, 2, ... until the call completes without reaching it;
// once failing that allocation only and once failing it and every later one.
//
// Each attempt runs in a child process, which is bounded in time by an
// alarm. What the headers promise decides what may happen there:
//  - a constructor (and the copying peek) returns NULL, leaving nothing
//    allocated and every channel as it was;
//  - a channel operation, which has no failure result, aborts;
// and either kind may instead cope with the failure and complete in full.
// Whatever completes is checked: the result, what the channel holds, that
// the channel still works, and that no block stays allocated.
//
// To sweep a new call, add one line to kSweptCalls.
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "MessageLayout.h"
#include "failing_allocator.h"
#include "message_helpers.h"

using trellum_test::allowAllAllocations;
using trellum_test::assembleMessage;
using trellum_test::failAllocation;
using trellum_test::failedAllocations;
using trellum_test::liveAllocations;
using trellum_test::makeMessage;

namespace {

// ---- what one call works on --------------------------------------------------

constexpr int32_t kProbeID = 9000;  // a message the checks send through a channel
constexpr int32_t kMaxQueued = 16;

// The state a swept call starts from, built before any allocation fails,
// and what its pipe 0 should hold afterwards (IDs in the order they leave).
struct Scene {
    Channel channel = nullptr;
    bool registered = false;  // channel is the registry's, under ID 1
    Message message = nullptr;  // handed to the call, if it takes one
    int32_t expected[kMaxQueued] = {};
    int expectedCount = 0;
    long keptByLibrary = 0;  // blocks the library keeps on purpose (the registry's table)

    void queue(int32_t priority, int32_t id) {
        Channel_addToPipe(channel, 0, makeMessage(priority, id));
        expected[expectedCount++] = id;
    }
};

// Every check reports here: the child prints why and exits with status 1.
[[noreturn]] void fail(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    _exit(1);
}

int32_t idOf(Message message) { return message->header->messageID; }

// The channel holds exactly the expected messages in order, and still
// passes a message through each pipe.
void expectChannelIntact(Channel channel, const int32_t *expected, int count) {
    if (Channel_sizeOfPipe(channel, 0) != count)
        fail("pipe 0 holds %d messages, expected %d", Channel_sizeOfPipe(channel, 0), count);
    for (int i = 0; i < count; ++i) {
        Message got = Channel_removeFromPipe(channel, 0);
        if (got == nullptr || idOf(got) != expected[i])
            fail("message %d of pipe 0 is %d, expected %d", i, got ? idOf(got) : -1, expected[i]);
        Message_free(got);
    }
    for (int32_t pipe = 0; pipe < 2; ++pipe) {
        Channel_addToPipe(channel, pipe, makeMessage(0, kProbeID));
        Message probe = Channel_removeFromPipe(channel, pipe);
        if (probe == nullptr || idOf(probe) != kProbeID || Channel_sizeOfPipe(channel, pipe) != 0)
            fail("pipe %d no longer passes a message", pipe);
        Message_free(probe);
    }
}

void expectHeader(MessageHeader header) {
    if (header->type != 1 || header->priority != 2 || header->channelID != 3 || header->messageID != 4 ||
        header->attributes != 5)
        fail("header values changed");
}

void expectBody(MessageBody body) {
    if (body->length != 4 || memcmp(body->data, "body", 4) != 0) fail("body bytes changed");
}

// ---- scenes --------------------------------------------------------------------

void noScene(Scene &) {}

// A private channel whose pipe 0 holds messages of priorities 1 and 3.
void privateChannel(Scene &scene) {
    scene.channel = Channel_new(1);
    scene.queue(1, 1);
    scene.queue(3, 2);
}

// An empty private channel and a message to add, from Message_new: the
// pipe's priority index gets its first room.
void emptyChannelAndMessage(Scene &scene) {
    scene.channel = Channel_new(1);
    scene.message = makeMessage(2, 3);
}

// A message assembled from separate records, with no channel.
void assembledMessage(Scene &scene) { scene.message = assembleMessage(2, 3); }

// The same with a message assembled from separate records, which needs a
// queue node of its own.
void privateChannelAndAssembledMessage(Scene &scene) {
    privateChannel(scene);
    scene.message = assembleMessage(2, 3);
}

// A pipe 0 whose priority index is full (eight priorities), so that a ninth
// priority makes it grow.
void privateChannelWithFullIndex(Scene &scene) {
    scene.channel = Channel_new(1);
    for (int32_t p = 0; p < 8; ++p) scene.queue(p * 2, p + 1);
    scene.message = makeMessage(1, 20);
}

// A registry in use (another channel registered), before channel 1 exists.
void registryInUse(Scene &scene) {
    ChannelManager_createOrGetChannel(100);
    scene.registered = true;
    scene.keptByLibrary = 1;  // the table, made here
}

// A registry whose table is full: the next new channel makes it grow.
void registryFull(Scene &scene) {
    for (int32_t id = 100; id < 116; ++id) ChannelManager_createOrGetChannel(id);
    scene.registered = true;
    scene.keptByLibrary = 1;  // the table, made here
}

// The first channel of the process: the registry has no table yet.
void registryEmpty(Scene &scene) {
    scene.registered = true;
    scene.keptByLibrary = 1;
}

// ---- checks of what a completed call did ------------------------------------------
// Each frees the result and the scene.

void releaseScene(Scene &scene) {
    if (scene.registered) {
        for (int32_t id = 100; id < 116; ++id) ChannelManager_deleteChannel(id);
        ChannelManager_deleteChannel(1);
    } else {
        Channel_free(scene.channel);
    }
}

void checkHeader(Scene &, void *result) {
    expectHeader(static_cast<MessageHeader>(result));
    MessageHeader_free(static_cast<MessageHeader>(result));
}

void checkBody(Scene &, void *result) {
    expectBody(static_cast<MessageBody>(result));
    MessageBody_free(static_cast<MessageBody>(result));
}

void checkMessage(Scene &, void *result) {
    Message message = static_cast<Message>(result);
    expectHeader(message->header);
    expectBody(message->body);
    Message_free(message);
}

void checkNode(Scene &scene, void *result) {
    MessagePipe node = static_cast<MessagePipe>(result);
    if (node->message != scene.message || node->next != nullptr) fail("the node does not hold the message alone");
    MessagePipe_free(node);  // with the message
}

void checkNewChannel(Scene &, void *result) {
    Channel channel = static_cast<Channel>(result);
    expectChannelIntact(channel, nullptr, 0);
    Channel_free(channel);
}

// scene.message went in by its priority. Every scene that adds queues
// priorities such that the new message belongs right behind the first
// queued one, if any.
void checkAdded(Scene &scene, void *) {
    int32_t expected[kMaxQueued];
    int count = 0;
    if (scene.expectedCount > 0) expected[count++] = scene.expected[0];
    expected[count++] = idOf(scene.message);
    for (int i = 1; i < scene.expectedCount; ++i) expected[count++] = scene.expected[i];
    scene.message = nullptr;  // the pipe owns it
    expectChannelIntact(scene.channel, expected, count);
    releaseScene(scene);
}

void checkPeekedCopy(Scene &scene, void *result) {
    Message copy = static_cast<Message>(result);
    if (idOf(copy) != scene.expected[0]) fail("the copy is of message %d, expected %d", idOf(copy), scene.expected[0]);
    Message_free(copy);
    expectChannelIntact(scene.channel, scene.expected, scene.expectedCount);
    releaseScene(scene);
}

void checkRegistered(Scene &scene, void *result) {
    Channel channel = static_cast<Channel>(result);
    if (ChannelManager_createOrGetChannel(1) != channel) fail("ID 1 now names another channel");
    for (int32_t id = 100; id < 116; ++id) {
        // Channels registered before are still found, and not as channel 1.
        Channel other = ChannelManager_createOrGetChannel(id);
        if (other == channel) fail("channel %d is channel 1", id);
    }
    expectChannelIntact(channel, nullptr, 0);
    releaseScene(scene);
}

void checkPinned(Scene &scene, void *result) {
    checkRegistered(scene, result);
    ChannelManager_releaseChannel(static_cast<Channel>(result));
}

// After a call that returned NULL, the scene must be as it was.
void checkUntouched(Scene &scene) {
    if (scene.channel != nullptr) {
        expectChannelIntact(scene.channel, scene.expected, scene.expectedCount);
        releaseScene(scene);
    } else if (scene.registered) {
        releaseScene(scene);
    }
}

// ---- the swept calls --------------------------------------------------------------

enum class OnFailure { ReturnsNull, Aborts };

struct SweptCall {
    const char *name;
    OnFailure promise;              // what the header says happens when memory runs out
    void (*prepare)(Scene &);       // builds the scene; nothing fails yet
    void *(*call)(Scene &);         // the call alone: runs while allocations fail
    void (*check)(Scene &, void *); // checks and frees a non-NULL result and the scene
};

const char kBody[] = "body";

const SweptCall kSweptCalls[] = {
    {"MessageHeader_new", OnFailure::ReturnsNull, noScene,
     [](Scene &) -> void * { return MessageHeader_new(1, 2, 3, 4, 5); }, checkHeader},
    {"MessageBody_new", OnFailure::ReturnsNull, noScene,
     [](Scene &) -> void * { return MessageBody_new(4, kBody); }, checkBody},
    {"Message_new", OnFailure::ReturnsNull, noScene,
     [](Scene &) -> void * { return Message_new(1, 2, 3, 4, 5, 4, kBody); }, checkMessage},
    {"MessagePipe_new (assembled message)", OnFailure::Aborts, assembledMessage,
     [](Scene &s) -> void * { return MessagePipe_new(s.message); }, checkNode},
    {"Channel_new", OnFailure::Aborts, noScene, [](Scene &) -> void * { return Channel_new(7); },
     checkNewChannel},
    {"Channel_addToPipe (first message)", OnFailure::Aborts, emptyChannelAndMessage,
     [](Scene &s) -> void * { return Channel_addToPipe(s.channel, 0, s.message), s.channel; }, checkAdded},
    {"Channel_addToPipe (assembled message)", OnFailure::Aborts, privateChannelAndAssembledMessage,
     [](Scene &s) -> void * { return Channel_addToPipe(s.channel, 0, s.message), s.channel; }, checkAdded},
    {"Channel_addToPipe (index grows)", OnFailure::Aborts, privateChannelWithFullIndex,
     [](Scene &s) -> void * { return Channel_addToPipe(s.channel, 0, s.message), s.channel; }, checkAdded},
    {"Channel_peekCopyFromPipe", OnFailure::ReturnsNull, privateChannel,
     [](Scene &s) -> void * { return Channel_peekCopyFromPipe(s.channel, 0); }, checkPeekedCopy},
    {"Channel_checkedPeekCopyFromPipe", OnFailure::ReturnsNull, privateChannel,
     [](Scene &s) -> void * {
         Message copy = nullptr;
         const int32_t status = Channel_checkedPeekCopyFromPipe(s.channel, 0, &copy);
         // Out of memory must say so, with no copy; anything else is not a copy either.
         return status == TRELLUM_RECEIVED || status == TRELLUM_OUT_OF_MEMORY ? copy : reinterpret_cast<void *>(1);
     },
     checkPeekedCopy},
    {"ChannelManager_acquireChannel (first channel)", OnFailure::Aborts, registryEmpty,
     [](Scene &) -> void * { return ChannelManager_acquireChannel(1); }, checkPinned},
    {"ChannelManager_acquireChannel (table grows)", OnFailure::Aborts, registryFull,
     [](Scene &) -> void * { return ChannelManager_acquireChannel(1); }, checkPinned},
    {"ChannelManager_createOrGetChannel (first channel)", OnFailure::Aborts, registryEmpty,
     [](Scene &) -> void * { return ChannelManager_createOrGetChannel(1); }, checkRegistered},
    {"ChannelManager_createOrGetChannel (registry in use)", OnFailure::Aborts, registryInUse,
     [](Scene &) -> void * { return ChannelManager_createOrGetChannel(1); }, checkRegistered},
    {"ChannelManager_createOrGetChannel (table grows)", OnFailure::Aborts, registryFull,
     [](Scene &) -> void * { return ChannelManager_createOrGetChannel(1); }, checkRegistered},
};

// ---- one attempt, in a child process ------------------------------------------------

enum class Outcome { Untouched, Completed, ReturnedNull, Aborted, CheckFailed, Crashed };

constexpr int kExitUntouched = 10, kExitCompleted = 11, kExitNull = 12;

struct Attempt {
    const SweptCall *swept;
    long n;
    bool andAllAfter;
    long failed = 0;
    long kept = 0;
};

// The attempt proper. It runs on a thread of its own that then ends, so
// that what the library keeps per thread (the registry's memo of channels,
// which holds references to them) is given back before the leak check.
void *attemptOnThread(void *argument) {
    Attempt &a = *static_cast<Attempt *>(argument);
    Scene scene;
    a.swept->prepare(scene);
    failAllocation(a.n, a.andAllAfter);
    void *result = a.swept->call(scene);
    a.failed = failedAllocations();
    allowAllAllocations();
    if (result != nullptr) {
        a.swept->check(scene, result);
    } else {
        checkUntouched(scene);
        Message_free(scene.message);  // still the caller's
    }
    a.kept = result != nullptr ? scene.keptByLibrary : 0;
    return result;
}

void *nothing(void *) { return nullptr; }

[[noreturn]] void attemptInChild(const SweptCall &swept, long n, bool andAllAfter) {
    alarm(30);  // a hang ends the child, and the sweep reports it
    pthread_t thread;
    // A first thread leaves the C library's per-thread blocks in its cache
    // of thread stacks, where the attempt's thread finds them again.
    if (pthread_create(&thread, nullptr, nothing, nullptr) != 0 || pthread_join(thread, nullptr) != 0)
        fail("no thread");
    const long before = liveAllocations();
    Attempt a{&swept, n, andAllAfter};
    void *result = nullptr;
    if (pthread_create(&thread, nullptr, attemptOnThread, &a) != 0 || pthread_join(thread, &result) != 0)
        fail("no thread for the attempt");
    if (liveAllocations() != before + a.kept)
        fail("%ld blocks leaked", liveAllocations() - before - a.kept);
    if (a.failed == 0) _exit(result != nullptr ? kExitUntouched : 1);
    _exit(result != nullptr ? kExitCompleted : kExitNull);
}

Outcome attempt(const SweptCall &swept, long n, bool andAllAfter) {
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) return Outcome::Crashed;
    if (child == 0) attemptInChild(swept, n, andAllAfter);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGABRT ? Outcome::Aborted : Outcome::Crashed;
    switch (WEXITSTATUS(status)) {
    case kExitUntouched: return Outcome::Untouched;
    case kExitCompleted: return Outcome::Completed;
    case kExitNull: return Outcome::ReturnedNull;
    default: return Outcome::CheckFailed;
    }
}

const char *describe(Outcome outcome) {
    switch (outcome) {
    case Outcome::Untouched: return "completed without reaching it";
    case Outcome::Completed: return "completed in full";
    case Outcome::ReturnedNull: return "returned NULL";
    case Outcome::Aborted: return "aborted";
    case Outcome::CheckFailed: return "failed a check (see its message above)";
    case Outcome::Crashed: return "crashed or hung";
    }
    return "?";
}

bool allowed(OnFailure promise, Outcome outcome) {
    if (outcome == Outcome::Completed) return true;  // coped with the failure
    return outcome == (promise == OnFailure::ReturnsNull ? Outcome::ReturnedNull : Outcome::Aborted);
}


class AllocationSweep : public testing::TestWithParam<SweptCall> {};

TEST_P(AllocationSweep, EveryAllocationMayFail) {
    const SweptCall &swept = GetParam();
    ASSERT_EQ(attempt(swept, 1000, false), Outcome::Untouched) << "the call does not work with memory to spare";
    int sites = 0;
    for (bool andAllAfter : {false, true}) {
        long n = 1;
        for (;; ++n) {
            ASSERT_LT(n, 1000) << "the call never completes";
            Outcome outcome = attempt(swept, n, andAllAfter);
            if (outcome == Outcome::Untouched) break;
            EXPECT_TRUE(allowed(swept.promise, outcome))
                << swept.name << ": with allocation " << n << (andAllAfter ? " and all after it" : " alone")
                << " failing, it " << describe(outcome);
            printf("  %s: allocation %ld%s fails: %s\n", swept.name, n, andAllAfter ? " and all after" : "",
                   describe(outcome));
        }
        if (!andAllAfter) sites = static_cast<int>(n - 1);
    }
    EXPECT_GT(sites, 0) << "the call allocates nothing: the sweep tests nothing";
    printf("%s: %d allocation sites reached\n", swept.name, sites);
}

std::string nameOf(const testing::TestParamInfo<SweptCall> &info) {
    std::string name;
    for (const char *c = info.param.name; *c; ++c) name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Calls, AllocationSweep, testing::ValuesIn(kSweptCalls), nameOf);

} // namespace
