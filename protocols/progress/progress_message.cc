#include "protocols/progress/progress_message.h"

namespace orv::progress {

namespace {

constexpr unsigned char signature[4] = {0x00, 0x19, 0x00, 0x14};

}  // namespace

scan_result scan_first_message(std::string_view bytes) {
    scan_result r;
    if (bytes.size() < message_size) return r;
    for (size_t i = 0; i < sizeof signature; ++i) {
        if (static_cast<unsigned char>(bytes[4 + i]) != signature[i]) {
            r.state = scan_state::no_announcement;
            return r;
        }
    }
    r.state = scan_state::announcement;
    r.port = static_cast<uint16_t>(static_cast<unsigned char>(bytes[port_offset]) << 8 |
                                   static_cast<unsigned char>(bytes[port_offset + 1]));
    return r;
}

void write_port(char* message, uint16_t port) {
    message[port_offset] = static_cast<char>(port >> 8);
    message[port_offset + 1] = static_cast<char>(port & 0xFF);
}

}  // namespace orv::progress
