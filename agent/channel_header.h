// The 8 bytes that open every SSL connection of "ftp", "progress" and "oracle" sessions:
//   control (1) | passive (1) | IPv4 address (4, MSB first) | port (2, high byte first)
// The far agent reads them before any relayed byte; nothing on this side reads one back.
#pragma once

#include <array>
#include <cstdint>

namespace orv {

using channel_header = std::array<unsigned char, 8>;

// Address and port in host byte order.
channel_header make_channel_header(bool control, bool passive, uint32_t address, uint16_t port);

// 1 followed by seven zero bytes: the control connection of a client session.
inline channel_header control_channel_header() { return make_channel_header(true, false, 0, 0); }

}  // namespace orv
