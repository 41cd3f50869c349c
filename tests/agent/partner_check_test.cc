#include "agent/partner_check.h"

#include <gtest/gtest.h>

namespace orv {
namespace {

struct partner_case {
    const char* what;
    std::vector<std::string> list;
    const char* subject;
    int verdict;
    const char* mapped;
};

const partner_case cases[] = {
    {"empty list accepts anybody", {}, "/O=Any", 0, ""},
    {"longer prefix wins over a refusing one", {"!/O=Acme*", "/O=Acme/CN=gw*"}, "/O=Acme/CN=gw1", 0, ""},
    {"longer prefix wins, other order", {"/O=Acme/CN=gw*", "!/O=Acme*"}, "/O=Acme/CN=gw1", 0, ""},
    {"shorter refusing prefix applies", {"!/O=Acme*", "/O=Acme/CN=gw*"}, "/O=Acme/CN=x", -1, ""},
    {"exact match decides after a prefix", {"/O=A*", "!/O=A/CN=b"}, "/O=A/CN=b", -1, ""},
    {"exact match stops the scan", {"/O=A/CN=b\tfirst", "!/O=A/CN=b"}, "/O=A/CN=b", 0, "first"},
    {"lone asterisk matches nobody", {"*"}, "/O=A", -1, ""},
    {"refusing lone asterisk refuses nobody by itself", {"!*", "/O=A"}, "/O=A", 0, ""},
    {"no entry names the subject", {"!*"}, "/O=A", -1, ""},
    {"case matters", {"/o=acme*"}, "/O=Acme/CN=gw", -1, ""},
    {"first of equally long prefixes", {"/O=A*\tone", "!/O=A*\ttwo"}, "/O=A/CN=z", 0, "one"},
    {"empty and lone-bang entries are skipped", {"", "!", "\tx", "/O=B"}, "/O=B", 0, ""},
    {"mapped name of the chosen entry", {"/O=A/CN=b\tmapped\t10.0.0.1\t255.0.0.0"}, "/O=A/CN=b", 0, "mapped"},
    {"prefix longer than the subject", {"/O=Acme/CN=gw*"}, "/O=Acme", -1, ""},
    {"empty subject refused by a non-empty list", {"/O=A*"}, "", -1, ""},
    {"exact pattern is not a prefix", {"/O=A"}, "/O=A/CN=b", -1, ""},
};

TEST(partner_check, decides_by_the_table) {
    for (const partner_case& c : cases) {
        std::string mapped = "stale";
        EXPECT_EQ(check_partner(c.list, c.subject, mapped), c.verdict) << c.what;
        EXPECT_EQ(mapped, c.mapped) << c.what;
    }
}

}  // namespace
}  // namespace orv
