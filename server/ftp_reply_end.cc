#include "server/ftp_reply_end.h"

#include "net/inetaddr.h"
#include "protocols/ftp/ftp_text.h"
#include "server/server_context.h"

namespace orv {

ftp_reply_end::ftp_reply_end(const reporter& parent, connection_data& data, const std::string& host,
                             uint16_t port_host, std::shared_ptr<server_context> context,
                             std::shared_ptr<control_link> control)
    : reporter(parent), relaysocket(parent, data, control_channel_header(), nullptr, "ftp server"),
      context_(std::move(context)), control_(std::move(control)), lines_(parent) {
    if (ok()) start_connect_to(host, port_host, false);
}

int ftp_reply_end::handle_events(int readable, int writable, int error) {
    int result = relaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error);
}

rwbuf* ftp_reply_end::read_target() { return partner() ? &lines_ : nullptr; }

void ftp_reply_end::watch_reply(std::string_view line) {
    ftp::reply_line r = ftp::parse_reply(line);
    if (multiline_code_ >= 0) {
        // Only the closing line "CODE " of a multi-line reply counts; the lines between are text.
        if (r.code == multiline_code_ && r.separator == ' ') multiline_code_ = -1;
        return;
    }
    if (r.code < 0) return;
    if (r.separator == '-') {
        multiline_code_ = r.code;
        return;
    }
    if (r.separator != ' ') return;
    if (r.code != 227 && r.code != 229) {
        // Any other final reply to PASV/EPSV (a refusal, say) answers that request too.
        if (control_->passive_requests > 0 && r.code / 100 != 1) --control_->passive_requests;
        return;
    }
    if (control_->passive_requests <= 0) return;  // nobody asked: announces nothing
    --control_->passive_requests;
    if (!r.passive) return;
    if (context_->registry.announce(control_->control, data_mode::passive, r.passive->address, r.passive->port,
                                    now_ms(), context_->lifetime_ms))
        count_announcement(login_protocol::ftp, metrics::announcement_outcome::made);
}

int ftp_reply_end::on_input() {
    relaysocket* to = partner();
    while (to && !lines_.empty()) {
        std::string_view held(lines_.bytes(), static_cast<size_t>(lines_.length()));
        ftp::line_take t = ftp::next_line(held, input_done());
        if (t.status == ftp::line_status::need_more) break;
        std::string_view bytes = held.substr(0, t.length);
        if (t.status == ftp::line_status::line) {
            if (!rest_of_long_line_) watch_reply(bytes);
            rest_of_long_line_ = false;
        } else {
            // An overlong reply line, or the last bytes of the stream: passed on, not read. The
            // rest of a long line that has not ended yet is not read either.
            rest_of_long_line_ =
                t.status == ftp::line_status::too_long && ftp::complete_line_length(bytes) != bytes.size();
        }
        to->partner_input().append(bytes.data(), static_cast<int>(bytes.size()));
        lines_.consume(static_cast<int>(t.length));
    }
    if (to) to->push();
    return 0;
}

}  // namespace orv
