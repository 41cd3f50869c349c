#include <cstdlib>

#include <gtest/gtest.h>

#include "store/config_text.h"
#include "store/config_tree.h"

namespace orv {
namespace {

std::vector<std::string> values_of(const config_tree& t, const char* section) {
    std::vector<std::string> out;
    for (const std::string& n : t.section_names(section)) out.push_back(n + "=" + t.get_text(section, n.c_str()));
    return out;
}

TEST(ConfigTree, LookupFallsBackToDefaultAndEnvironment) {
    config_tree t;
    t.put_text(nullptr, "cipherlist", "HIGH");
    t.put_text("s", "port", "99");
    EXPECT_STREQ(t.get_text("s", "port"), "99");
    EXPECT_STREQ(t.get_text("s", "cipherlist"), "HIGH");
    EXPECT_STREQ(t.get_text("nosuch", "cipherlist"), "HIGH");
    EXPECT_EQ(t.get_text("s", "missing"), nullptr);
    EXPECT_EQ(t.get_text("s", nullptr), nullptr);
    ::setenv("ORV_TREE_TEST", "from env", 1);
    EXPECT_STREQ(t.get_text("ENV", "ORV_TREE_TEST"), "from env");
    EXPECT_EQ(t.get_text("s", "ORV_TREE_TEST"), nullptr);
}

TEST(ConfigTree, Numbers) {
    config_tree t;
    const std::pair<const char*, int> cases[] = {{"12abc", 12}, {"-5", 0},  {"", 0},   {"x1", 0},
                                                 {"0", 0},      {"007", 7}, {" 3", 0}, {"99999999999", 0x7fffffff}};
    for (auto [text, expected] : cases) {
        t.put_text("n", "v", text);
        EXPECT_EQ(t.get_number("n", "v"), expected) << text;
    }
    EXPECT_EQ(t.get_number("n", "missing"), 0);
}

TEST(ConfigTree, ReplaceMovesToTheEndAndDeleteEmptiesSections) {
    config_tree t;
    t.put_text("s", "a", "1");
    t.put_text("s", "b", "2");
    t.put_text("s", "a", "3");
    EXPECT_EQ(values_of(t, "s"), (std::vector<std::string>{"b=2", "a=3"}));
    EXPECT_NE(t.put_text("s", nullptr, "x"), 0);
    EXPECT_NE(t.put_text("s", "x", nullptr), 0);
    EXPECT_NE(t.remove("s", "zz"), 0);
    EXPECT_NE(t.remove("ENV", "a"), 0);
    EXPECT_NE(t.remove("nosuch", nullptr), 0);
    EXPECT_EQ(t.remove("s", "b"), 0);
    EXPECT_NE(t.find_section("s"), nullptr);
    EXPECT_EQ(t.remove("s", "a"), 0);
    EXPECT_EQ(t.find_section("s"), nullptr) << "a section left empty is removed";
    t.put_text("k", "a", "1");
    t.put_text("k", "b", "1");
    EXPECT_EQ(t.remove("k", nullptr), 0);
    EXPECT_EQ(t.find_section("k"), nullptr);
}

TEST(ConfigText, WriterFormat) {
    config_tree t;
    t.put_text(nullptr, "sessions", "a");
    t.put_text("a", "command", "c:\\x $y \"q\"\t");
    EXPECT_EQ(write_config_text(t), "[ default ]\nsessions=a\n\n[ a ]\ncommand=c:\\\\x \\$y \\\"q\\\"\\t\n\n");
}

TEST(ConfigText, HandWrittenTexts) {
    const char* text =
        "top=before any header\n"
        "  # a comment line\n"
        "[  zeta  ]\n"
        "x   =   spaced value   \n"
        "ref = $top and ${zeta::x} and $(top) # trailing comment\n"
        "quoted = \"a # b\" 'c' `d`\n"
        "[alpha]\n"
        "cont = one\\\n"
        "two\n"
        "zeta::later = into zeta\n"
        "x = local\n"
        "x = replaced\n"
        "esc = a\\nb\\tc\\\\d\\$e\n";
    auto t = parse_config_text(text);
    ASSERT_TRUE(t);
    EXPECT_STREQ(t->get_text("default", "top"), "before any header");
    EXPECT_STREQ(t->get_text("zeta", "x"), "spaced value");
    EXPECT_STREQ(t->get_text("zeta", "ref"), "before any header and spaced value and before any header");
    EXPECT_STREQ(t->get_text("zeta", "quoted"), "a # b c d");
    EXPECT_STREQ(t->get_text("alpha", "cont"), "onetwo");
    EXPECT_STREQ(t->get_text("zeta", "later"), "into zeta");
    EXPECT_STREQ(t->get_text("alpha", "esc"), "a\nb\tc\\d$e");
    EXPECT_EQ(t->section_names("alpha"), (std::vector<std::string>{"cont", "x", "esc"}));
    EXPECT_STREQ(t->get_text("alpha", "x"), "replaced");
    EXPECT_EQ(t->sections()[0]->name(), "default");
}

TEST(ConfigText, EnvironmentReference) {
    ::setenv("ORV_TEXT_TEST", "envvalue", 1);
    auto t = parse_config_text("v=$ENV::ORV_TEXT_TEST\n");
    ASSERT_TRUE(t);
    EXPECT_STREQ(t->get_text("default", "v"), "envvalue");
}

TEST(ConfigText, BadTexts) {
    for (const char* text : {"[ nobracket\n", "novalue\n", "v=${unclosed\n", "v=$missing\n"}) {
        EXPECT_FALSE(parse_config_text(text)) << text;
    }
}

TEST(ConfigText, EscapedValuesReadBack) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    config_tree t;
    t.put_text("s", "all", all.c_str());
    auto back = parse_config_text(write_config_text(t));
    ASSERT_TRUE(back);
    EXPECT_EQ(std::string(back->get_text("s", "all")), all);
}

}  // namespace
}  // namespace orv
