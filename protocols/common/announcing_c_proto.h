// announcing_c_proto: the plain end of a control connection on the client agent whose far agent
// side may announce a second connection in its first response: a Progress broker's port message
// or an Oracle listener's redirect. What the client program sends passes unchanged. What comes
// from the far agent is held until the kind can judge the first response (examine), which it
// may rewrite once to name a rendezvous of this agent; everything after it passes unchanged
// and unexamined, straight from the buffer it arrived in.
#pragma once

#include <string>
#include <string_view>

#include "agent/relaysocket.h"

namespace orv {

class announcing_c_proto : public relaysocket {
public:
    // Over the client program's accepted connection. `kind` names the socket in messages,
    // `read_kind` in the read failure message.
    announcing_c_proto(const reporter& parent, connection_data& data, int handle, const channel_header& header,
                       const char* kind, const char* read_kind);

    int handle_events(int readable, int writable, int error) override;

protected:
    enum class examination {
        wait,       // the first response is not complete: hold everything
        pass,       // it goes to the client unchanged
        rewritten,  // `rewritten` replaces everything held
        failed      // the connection ends (after its message)
    };
    // Judges the first response from everything held so far (`held` starts with the first byte
    // the far agent sent).
    virtual examination examine(std::string_view held, std::string& rewritten) = 0;

    int on_output() override;
    rwbuf& output() override;
    bool output_pending() override;

private:
    enum class first_response {
        pending,  // not judged yet
        judged    // passes unchanged from now on
    };

    int judge_first_response();

    first_response first_ = first_response::pending;
    // The first response, taken out of the partner-input buffer while it is judged so that the
    // far agent's end keeps reading however long the response is.
    rwbuf held_;
    rwbuf first_out_;  // the judged first response (rewritten or not), until the client has it
};

}  // namespace orv
