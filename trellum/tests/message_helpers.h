// Small conveniences for building and owning messages in tests.
#ifndef TRELLUM_TESTS_MESSAGE_HELPERS_H
#define TRELLUM_TESTS_MESSAGE_HELPERS_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include <trellum/trellum.h>

namespace trellum_test {

struct MessageDeleter {
    void operator()(Message message) const { Message_free(message); }
};
using OwnedMessage = std::unique_ptr<_Message, MessageDeleter>;

// A message whose priority and ID identify it; the ID is also its body.
inline Message makeMessage(int32_t priority, int32_t id) {
    return Message_new(0, priority, 0, id, 0, sizeof id, &id);
}

// A message built the long way, from separate allocations, as code written
// against the records alone would build one.
inline Message assembleMessage(int32_t priority, int32_t id) {
    Message message = static_cast<Message>(std::malloc(sizeof(_Message)));
    if (message == nullptr) return nullptr;
    message->header = MessageHeader_new(0, priority, 0, id, 0);
    message->body = MessageBody_new(sizeof id, &id);
    return message;
}

inline std::string bodyText(Message message) {
    return std::string(reinterpret_cast<const char *>(message->body->data),
                       static_cast<size_t>(message->body->length));
}

// A channel not in the registry, freed with the owner.
struct ChannelDeleter {
    void operator()(Channel channel) const { Channel_free(channel); }
};
using OwnedChannel = std::unique_ptr<std::remove_pointer_t<Channel>, ChannelDeleter>;

} // namespace trellum_test

#endif
