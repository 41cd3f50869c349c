// The Progress broker's first message as both agents read it: the scan over any bytes, and the
// port rewrite, which changes bytes 8 and 9 only and scans again to the new port.
#include <string>

#include "fuzz/fuzz_support.h"
#include "protocols/progress/progress_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orv::progress;
    orv::fuzz::input_reader in(data, size);
    uint16_t port = in.u16();
    std::string bytes = in.rest();
    scan_result r = scan_first_message(bytes);
    if (bytes.size() < message_size) {
        FUZZ_CHECK(r.state == scan_state::wait);
        return 0;
    }
    FUZZ_CHECK(r.state != scan_state::wait);
    if (r.state != scan_state::announcement) return 0;
    std::string out = bytes;
    write_port(out.data(), port);
    FUZZ_CHECK(out.size() == bytes.size());
    FUZZ_CHECK(out.compare(0, port_offset, bytes, 0, port_offset) == 0);
    FUZZ_CHECK(out.compare(port_offset + 2, std::string::npos, bytes, port_offset + 2) == 0);
    scan_result again = scan_first_message(out);
    FUZZ_CHECK(again.state == scan_state::announcement && again.port == port);
    return 0;
}
