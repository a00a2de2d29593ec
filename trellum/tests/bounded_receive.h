// A receive that cannot hang a test.
#ifndef TRELLUM_TESTS_BOUNDED_RECEIVE_H
#define TRELLUM_TESTS_BOUNDED_RECEIVE_H

#include <trellum/trellum.h>

#include "bounded_threads.h"

namespace trellum_test {

// Channel_removeFromPipe where a message is expected: should a fault have
// lost it, the test fails at the deadline instead of blocking, and the pipe
// is shut down to release the receive (which then returns NULL).
inline Message receiveWithin(Channel channel, int32_t pipe) {
    Message message = nullptr;
    returnsInTime([&] { message = Channel_removeFromPipe(channel, pipe); },
                  [&] { Channel_shutdown(channel, pipe); });
    return message;
}

} // namespace trellum_test

#endif
