#include "agent/channel_header.h"

namespace orv {

channel_header make_channel_header(bool control, bool passive, uint32_t address, uint16_t port) {
    channel_header h{};
    h[0] = control ? 1 : 0;
    h[1] = passive ? 1 : 0;
    h[2] = static_cast<unsigned char>(address >> 24);
    h[3] = static_cast<unsigned char>(address >> 16);
    h[4] = static_cast<unsigned char>(address >> 8);
    h[5] = static_cast<unsigned char>(address);
    h[6] = static_cast<unsigned char>(port >> 8);
    h[7] = static_cast<unsigned char>(port);
    return h;
}

}  // namespace orv
