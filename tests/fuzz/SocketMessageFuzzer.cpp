// One text frame from the chat service: a control word, a job, or nothing.

#include "FuzzSupport.h"

#include "link/SocketChannel.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const SocketMessage message = readSocketMessage(fuzz::utf8Text(data, size));
    switch (message.kind) {
    case SocketMessage::Kind::control:
        fuzz::require(message.id.isEmpty() && message.body.isEmpty(), "a control message is never a job");
        break;
    case SocketMessage::Kind::job:
        fuzz::require(!message.id.isEmpty(), "a job has an id");
        break;
    case SocketMessage::Kind::bad:
    case SocketMessage::Kind::ignored:
        fuzz::require(message.id.isEmpty() && message.body.isEmpty(), "nothing is run for it");
        break;
    }
    return 0;
}
