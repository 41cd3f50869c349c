#include "store/cert_time.h"

#include <memory>

namespace orv {

std::string certificate_time_text(const ASN1_TIME* t) {
    tm when{};
    if (!t || !ASN1_TIME_to_tm(t, &when)) return "unknown";
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &when) == 0) return "unknown";
    return text;
}

std::optional<days_left> days_until(const ASN1_TIME* t, time_t now) {
    int day = 0, sec = 0;
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> from(ASN1_TIME_set(nullptr, now), &ASN1_TIME_free);
    if (!t || !from || !ASN1_TIME_diff(&day, &sec, from.get(), t)) return std::nullopt;
    return days_left{day, day < 0 || sec < 0};
}

}  // namespace orv
