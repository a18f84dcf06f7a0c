// The simulated controller's reply for capture_bench, in a file of its own: the
// simulator's verdict names clash with the link's, which the command table brings.
#include <string>

#include "sim/controller.h"

// The reply text a freshly started controller gives to `text`; "" when the ACK
// alone answers it.
std::string SimulatedReply(const std::string& text) {
    ControllerState state;
    ControllerReset(state);
    char reply[SIM_REPLY_BYTES];
    int got = ControllerAnswer(state, reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size()), reply, sizeof reply);
    return got == 1 ? std::string(reply) : std::string();
}
