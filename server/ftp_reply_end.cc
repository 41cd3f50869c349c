#include "server/ftp_reply_end.h"

#include <cctype>
#include <string_view>

#include "net/inetaddr.h"
#include "protocols/ftp/ftp_text.h"
#include "server/client_end.h"
#include "server/server_context.h"

namespace orv {

ftp_reply_end::ftp_reply_end(const reporter& parent, connection_data& data, const std::string& host,
                             uint16_t port_host, std::shared_ptr<server_context> context,
                             std::shared_ptr<control_link> control)
    : reporter(parent), relaysocket(parent, data, control_channel_header(), nullptr, "ftp server"),
      context_(std::move(context)), control_(std::move(control)), lines_(parent) {
    if (ok()) start_connect(inetaddr(*this, host.c_str(), htons(port_host)), false);
}

int ftp_reply_end::handle_events(int readable, int writable, int error) {
    int result = relaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error);
}

rwbuf* ftp_reply_end::read_target() { return partner() ? &lines_ : nullptr; }

void ftp_reply_end::watch_reply(const std::string& line) {
    bool coded = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                 std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2]));
    if (!multiline_code_.empty()) {
        // Only the closing line "CODE " of a multi-line reply counts; the lines between are text.
        if (coded && line.compare(0, 3, multiline_code_) == 0 && line[3] == ' ') multiline_code_.clear();
        return;
    }
    if (!coded) return;
    if (line[3] == '-') {
        multiline_code_ = line.substr(0, 3);
        return;
    }
    if (line[3] != ' ') return;
    bool pasv = line.compare(0, 3, "227") == 0;
    bool epsv = line.compare(0, 3, "229") == 0;
    if (!pasv && !epsv) {
        // Any other final reply to PASV/EPSV (a refusal, say) answers that request too.
        if (control_->passive_requests > 0 && line[0] != '1') --control_->passive_requests;
        return;
    }
    if (control_->passive_requests <= 0) return;  // nobody asked: announces nothing
    --control_->passive_requests;
    std::string_view params(line);
    params.remove_prefix(4);
    uint32_t address = 0;
    uint16_t port = 0;
    if (pasv) {
        auto hp = ftp::decode_host_port(params);
        if (!hp) return;
        address = hp->address;
        port = hp->port;
    } else {
        auto p = ftp::decode_epsv_reply(params);
        if (!p) return;
        port = *p;
    }
    context_->registry.announce(control_->control, data_mode::passive, address, port, now_ms(), context_->lifetime_ms);
}

int ftp_reply_end::on_input() {
    relaysocket* to = partner();
    while (to && !lines_.empty()) {
        std::string_view view(lines_.bytes(), static_cast<size_t>(lines_.length()));
        size_t n = ftp::complete_line_length(view);
        if (n == 0) {
            if (lines_.length() < max_control_line && !input_done()) break;
            // An overlong reply line, or the last bytes of the stream: passed on, not read.
            n = view.size();
            to->partner_input().append(view.data(), static_cast<int>(n));
            lines_.consume(static_cast<int>(n));
            rest_of_long_line_ = !input_done();
            break;
        }
        std::string line(view.substr(0, n - 2));
        if (!rest_of_long_line_) watch_reply(line);
        rest_of_long_line_ = false;
        to->partner_input().append(view.data(), static_cast<int>(n));
        lines_.consume(static_cast<int>(n));
    }
    if (to) to->push();
    return 0;
}

}  // namespace orv
