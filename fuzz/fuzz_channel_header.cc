// The channel header that opens every connection of a header session at orvserver, decided
// against the announcements made so far. The input is a script: control connections open and end,
// announce and withdraw data connections, the clock moves on, and headers arrive (raw bytes, or
// built from an announcement, sometimes altered). A model of what is still grantable says which
// headers must be granted, with which announcement, and that every other one is refused.
#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/header_decision.h"

namespace {

using namespace orv;

struct client_case {
    const char* subject;
    const char* peer;
};
constexpr client_case clients[] = {
    {"/O=T/CN=alice", "10.0.0.1:1000"},
    {"/O=T/CN=bob", "10.0.0.1:1001"},
    {"", "10.0.0.9:4000"},  // no client authentication: known by its address
};
constexpr uint32_t addresses[] = {0, 0x7F000001, 0x0A000005, 0xC0000201};
constexpr uint16_t ports[] = {20, 21, 2121, 65535};
constexpr const char* service_host = "service.example";

struct model_entry {
    std::string client;
    uint64_t control;
    data_mode mode;
    uint32_t address;
    uint16_t port;
    int64_t expires_ms;
    uint64_t token;
};

std::string dotted(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xFF) + "." + std::to_string(a >> 8 & 0xFF) + "." +
           std::to_string(a & 0xFF);
}

class script {
public:
    explicit script(fuzz::input_reader& in) : in_(in) {}

    void step() {
        switch (in_.byte() % 6) {
            case 0: open_control(); break;
            case 1: close_control(); break;
            case 2: announce(); break;
            case 3: withdraw(); break;
            case 4: now_ += in_.u16(); break;
            case 5: header(); break;
        }
    }

private:
    fuzz::input_reader& in_;
    announcement_registry registry_;
    std::vector<uint64_t> controls_;
    std::map<uint64_t, std::string> owners_;
    std::set<uint64_t> live_;
    std::vector<model_entry> model_;  // announcement order
    int64_t now_ = 0;
    uint64_t next_token_ = 1;

    static std::string identity(size_t c) { return client_identity(clients[c].subject, clients[c].peer); }

    void open_control() {
        std::string client = identity(in_.byte() % 3);
        uint64_t id = registry_.open_control(client);
        FUZZ_CHECK(id != 0 && !registry_.control_live(0));
        for (uint64_t old : controls_) FUZZ_CHECK(old != id);
        controls_.push_back(id);
        owners_[id] = client;
        live_.insert(id);
        FUZZ_CHECK(registry_.control_live(id));
    }

    void close_control() {
        if (controls_.empty()) return;
        uint64_t id = controls_[in_.byte() % controls_.size()];
        registry_.close_control(id);
        live_.erase(id);
        FUZZ_CHECK(!registry_.control_live(id));
    }

    void announce() {
        uint8_t how = in_.byte();
        uint64_t control = (how & 0x80) || controls_.empty() ? 1000 + how : controls_[how % controls_.size()];
        data_mode mode = how & 1 ? data_mode::active : data_mode::passive;
        uint32_t address = addresses[in_.byte() % 4];
        uint16_t port = ports[in_.byte() % 4];
        int64_t lifetime = (how >> 1 & 7) * 1000;
        uint64_t token = mode == data_mode::active ? next_token_++ : 0;
        bool recorded = registry_.announce(control, mode, address, port, now_, lifetime, token);
        FUZZ_CHECK(recorded == (live_.count(control) != 0));
        if (!recorded) return;
        model_.push_back({owners_.at(control), control, mode, address, port, now_ + lifetime, token});
    }

    void withdraw() {
        uint64_t token = in_.byte() % (next_token_ + 1);
        registry_.withdraw(token);
        if (token == 0) return;
        std::erase_if(model_, [token](const model_entry& e) { return e.token == token; });
    }

    channel_header next_header() {
        uint8_t how = in_.byte();
        if ((how & 1) || model_.empty()) {
            channel_header h{};
            for (unsigned char& b : h) b = in_.byte();
            return h;
        }
        const model_entry& e = model_[in_.byte() % model_.size()];
        uint16_t port = how & 2 ? static_cast<uint16_t>(e.port + 1) : e.port;
        bool passive = (e.mode == data_mode::passive) != ((how & 4) != 0);
        return make_channel_header(false, passive, e.address, port);
    }

    void header() {
        channel_header h = next_header();
        size_t c = in_.byte() % 3;
        std::string client = identity(c);
        std::string who = clients[c].subject[0] ? clients[c].subject : client;
        header_decision d = decide_header(h, client, clients[c].subject, service_host, registry_, now_);
        if (h[0] == 1) {
            FUZZ_CHECK(d.action == header_action::open_control);
            return;
        }
        if (h[0] != 0 || h[1] > 1) {
            FUZZ_CHECK(d.action == header_action::refuse);
            FUZZ_CHECK(d.reason == "refused connection from " + who + ": invalid channel header");
            return;
        }
        data_mode mode = h[1] ? data_mode::passive : data_mode::active;
        uint32_t address = uint32_t{h[2]} << 24 | uint32_t{h[3]} << 16 | uint32_t{h[4]} << 8 | h[5];
        uint16_t port = static_cast<uint16_t>(h[6] << 8 | h[7]);
        auto grantable = std::find_if(model_.begin(), model_.end(), [&](const model_entry& e) {
            return e.client == client && e.mode == mode && e.address == address && e.port == port &&
                   live_.count(e.control) != 0 && e.expires_ms > now_;
        });
        if (grantable == model_.end()) {
            FUZZ_CHECK(d.action == header_action::refuse);
            std::string prefix = "refused data connection from " + who + ": " + header_target_text(h) + " ";
            FUZZ_CHECK(d.reason.starts_with(prefix) && d.reason.size() > prefix.size());
            return;
        }
        if (mode == data_mode::active) {
            FUZZ_CHECK(d.action == header_action::join_listener && d.token == grantable->token);
        } else {
            FUZZ_CHECK(d.action == header_action::connect_to && d.port == port);
            FUZZ_CHECK(d.host == (address == 0 ? std::string(service_host) : dotted(address)));
        }
        model_.erase(grantable);  // each announcement serves one connection
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::input_reader in(data, size);
    script s(in);
    while (!in.empty()) s.step();
    return 0;
}
