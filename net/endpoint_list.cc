#include "net/endpoint_list.h"

#include "net/inetaddr.h"

namespace orv {

namespace {

std::string trimmed(const std::string& s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return {};
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

std::optional<endpoint> parse_entry(const std::string& entry) {
    endpoint e;
    std::string port;
    if (!entry.empty() && entry.front() == '[') {
        size_t close = entry.find(']');
        if (close == std::string::npos || close + 1 >= entry.size() || entry[close + 1] != ':') return std::nullopt;
        e.host = entry.substr(1, close - 1);
        port = entry.substr(close + 2);
        if (e.host.find(':') == std::string::npos) return std::nullopt;
    } else {
        size_t colon = entry.rfind(':');
        if (colon == std::string::npos || entry.find(':') != colon) return std::nullopt;
        e.host = entry.substr(0, colon);
        port = entry.substr(colon + 1);
    }
    if (e.host.empty() || e.host.find_first_of(" \t[]") != std::string::npos) return std::nullopt;
    std::optional<uint16_t> number = inetaddr::port_number(port.c_str());
    if (!number) return std::nullopt;
    e.port = *number;
    return e;
}

}  // namespace

std::string endpoint::text() const {
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return h + ":" + std::to_string(port);
}

std::optional<std::vector<endpoint>> parse_endpoint_list(const char* list, std::string* bad) {
    std::vector<endpoint> out;
    if (!list) return out;
    std::string text = list;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string entry = trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!entry.empty() || comma != std::string::npos) {
            std::optional<endpoint> e = parse_entry(entry);
            if (!e) {
                if (bad) *bad = entry;
                return std::nullopt;
            }
            out.push_back(*e);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

std::optional<endpoint> parse_endpoint(const char* text) {
    if (!text) return std::nullopt;
    return parse_entry(trimmed(text));
}

}  // namespace orv
