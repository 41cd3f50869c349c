#include "editor/command_line.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "editor/option_scanner.h"

namespace orv {
namespace {

// Mutable argv built from strings, as main() receives it.
class argv_builder {
public:
    explicit argv_builder(std::vector<std::string> args) : storage_(std::move(args)) {
        storage_.insert(storage_.begin(), "orvconf");
        for (std::string& s : storage_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage_.size()); }
    char** argv() { return pointers_.data(); }
    const std::string& arg(size_t i) const { return storage_[i]; }

private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

struct parsed {
    bool accepted;
    object_kind object;
    sub_command command;
    std::string diagnostic;
};

parsed parse(std::vector<std::string> args) {
    argv_builder a(std::move(args));
    command_record rec;
    std::string diagnostic;
    bool ok = parse_command_line(a.argc(), a.argv(), rec, diagnostic);
    return {ok, rec.object, rec.command, diagnostic};
}

struct word_case {
    std::vector<std::string> args;
    bool accepted;
    object_kind object;
    sub_command command;
};

TEST(command_line, word_options_and_their_conditions) {
    using o = object_kind;
    using c = sub_command;
    const word_case cases[] = {
        {{"-key", "-list"}, true, o::key, c::list},
        {{"-key", "-delete"}, true, o::key, c::remove},
        {{"-key", "-gen"}, true, o::key, c::generate},
        {{"-key", "-Req"}, true, o::key, c::request},
        {{"-key"}, true, o::key, c::none},  // accepted here; the dispatch says "illegal command"
        {{"-cert", "-insert"}, true, o::certificate, c::insert},
        {{"-cert", "-view"}, true, o::certificate, c::view},
        {{"-root", "-view"}, true, o::root, c::view},
        {{"-root", "-delete"}, true, o::root, c::remove},
        {{"-session", "-insert"}, true, o::session, c::insert},
        {{"-session", "-view"}, true, o::session, c::view},
        {{"-partner", "-insert"}, true, o::partner, c::insert},
        {{"-partner", "-list"}, true, o::partner, c::list},
        {{"-partner", "-delete"}, true, o::partner, c::remove},
        {{"-listall"}, true, o::none, c::list_all},
        {{"-viewall"}, true, o::none, c::view_all},
        {{"-y"}, true, o::password, c::replace_password},
        {{"-key", "-y"}, true, o::password, c::replace_password},
        {{"-listall", "-y"}, true, o::password, c::replace_password},
        {{"-c", "ert", "-l", "ist"}, true, o::certificate, c::list},
        {{"-c", "erts", "-list"}, false, o::none, c::none},
        {{"-cert", "-list", "-key"}, false, o::none, c::none},
        {{"-key", "-insert"}, false, o::none, c::none},
        {{"-key", "-view"}, false, o::none, c::none},
        {{"-partner", "-view"}, false, o::none, c::none},
        {{"-partner", "-gen"}, false, o::none, c::none},
        {{"-cert", "-Req"}, false, o::none, c::none},
        {{"-gen", "-key"}, false, o::none, c::none},
        {{"-list", "-key"}, false, o::none, c::none},
        {{"-key", "-list", "-delete"}, false, o::none, c::none},
        {{"-key", "-listall"}, false, o::none, c::none},
        {{"-key", "-viewall"}, false, o::none, c::none},
        {{"-key", "-list", "-y"}, false, o::none, c::none},
        {{"-y", "-y"}, false, o::none, c::none},
        {{"-y", "-key"}, false, o::none, c::none},
        {{"-y", "-list"}, false, o::none, c::none},
        {{}, false, o::none, c::none},
        {{"-N", "x"}, false, o::none, c::none},
        {{"-key", "-list", "extra"}, false, o::none, c::none},
        {{"-key", "-list", "--", "extra"}, false, o::none, c::none},
        {{"-key", "-list", "--"}, true, o::key, c::list},
    };
    for (const word_case& t : cases) {
        std::string line;
        for (const std::string& a : t.args) line += a + " ";
        parsed p = parse(t.args);
        EXPECT_EQ(p.accepted, t.accepted) << line;
        if (t.accepted && p.accepted) {
            EXPECT_EQ(p.object, t.object) << line;
            EXPECT_EQ(p.command, t.command) << line;
        }
    }
}

TEST(command_line, scanner_reports_unknown_options_and_missing_arguments) {
    parsed unknown = parse({"-key", "-list", "-Q"});
    EXPECT_FALSE(unknown.accepted);
    EXPECT_EQ(unknown.diagnostic, "orvconf: invalid option -- 'Q'\n");
    parsed missing = parse({"-key", "-list", "-N"});
    EXPECT_FALSE(missing.accepted);
    EXPECT_EQ(missing.diagnostic, "orvconf: option requires an argument -- 'N'\n");
    // A word letter with its argument missing.
    EXPECT_EQ(parse({"-k"}).diagnostic, "orvconf: option requires an argument -- 'k'\n");
    // A rejected word has no scanner message, only the usage.
    EXPECT_EQ(parse({"-kex"}).diagnostic, "");
}

TEST(command_line, scanner_groups_flags_and_takes_the_next_element_as_argument) {
    argv_builder a({"-Mmj", "-Nname", "-f", "-dash", "rest"});
    option_scanner s(a.argc(), a.argv(), editor_option_string);
    std::string letters;
    std::vector<std::string> arguments;
    for (int c; (c = s.next()) != -1;) {
        letters += static_cast<char>(c);
        if (s.argument() != nullptr) arguments.push_back(s.argument());
    }
    EXPECT_EQ(letters, "MmjNf");
    EXPECT_EQ(arguments, (std::vector<std::string>{"name", "-dash"}));
    EXPECT_EQ(s.index(), 5);  // "rest" is an operand
}

TEST(command_line, value_options_fill_the_record) {
    argv_builder a({"-session", "-insert", "-f", "conf", "-N", "s1",        "-L", "8000", "-H", "host",
                    "-P",       "443",     "-C", "HIGH", "-A", "k",         "-B", "c",    "-X", "r",
                    "-E",       "cmd",     "-o", "ftp",  "-G", "127.0.0.2", "-M", "-m",   "-a", "-e",
                    "-j",       "-x",      "-u", "30",   "-T", "12abc",     "-Z", "7",    "-I", "in.pem",
                    "-O",       "out.pem", "-S", "a:b",  "-D", "/CN=x",     "-K", "4096", "-J", "p"});
    command_record rec;
    std::string diagnostic;
    ASSERT_TRUE(parse_command_line(a.argc(), a.argv(), rec, diagnostic));
    session_record s = rec.session.record("s1");
    EXPECT_EQ(rec.config_path, "conf");
    EXPECT_EQ(rec.name, "s1");
    EXPECT_STREQ(s.port, "8000");
    EXPECT_STREQ(s.server, "host");
    EXPECT_STREQ(s.serverport, "443");
    EXPECT_STREQ(s.cipherlist, "HIGH");
    EXPECT_STREQ(s.key, "k");
    EXPECT_STREQ(s.cert, "c");
    EXPECT_STREQ(s.root, "r");
    EXPECT_STREQ(s.command, "cmd");
    EXPECT_STREQ(s.login, "ftp");
    EXPECT_STREQ(s.bindaddr, "127.0.0.2");
    EXPECT_EQ(s.multicall + s.minres + s.autoclose + s.cache + s.nodelay + s.noclientauth, 6);
    EXPECT_EQ(s.timeout, 30);
    EXPECT_EQ(s.accept_timeout, 12);
    EXPECT_EQ(s.sslmode, 7);
    EXPECT_EQ(rec.cert_file, "out.pem");  // -I and -O share one field: the later wins
    EXPECT_EQ(rec.random_files, "a:b");
    EXPECT_EQ(rec.subject, "/CN=x");
    EXPECT_EQ(rec.key_bits, 4096);
    EXPECT_EQ(rec.partner_name, "p");
}

TEST(command_line, defaults) {
    argv_builder a({"-key", "-gen"});
    command_record rec;
    std::string diagnostic;
    ASSERT_TRUE(parse_command_line(a.argc(), a.argv(), rec, diagnostic));
    EXPECT_EQ(rec.key_bits, 2048);
    EXPECT_FALSE(rec.name);
    session_record s = rec.session.record("x");
    for (const session_field& f : session_fields) {
        if (f.kind == field_kind::text) EXPECT_EQ(s.*f.text, nullptr) << f.key;
        else EXPECT_EQ(s.*f.number, 0) << f.key;
    }
    EXPECT_TRUE(rec.password.empty());
}

TEST(command_line, key_size_must_be_positive) {
    EXPECT_FALSE(parse({"-key", "-gen", "-K", "0"}).accepted);
    EXPECT_FALSE(parse({"-key", "-gen", "-K", "-512"}).accepted);
    EXPECT_FALSE(parse({"-key", "-gen", "-K", "abc"}).accepted);
    EXPECT_TRUE(parse({"-key", "-gen", "-K", "383"}).accepted);  // refused later, by generation
    EXPECT_EQ(decimal_value("99999999999999"), 2147483647);
    EXPECT_EQ(decimal_value("-99999999999999"), -2147483647 - 1);
}

TEST(command_line, file_format_option) {
    struct format_case {
        std::vector<std::string> args;
        bool accepted;
        std::optional<file_format> format;
    };
    const format_case cases[] = {
        {{"-listall"}, true, std::nullopt},
        {{"-F", "strong", "-y"}, true, file_format::strong},
        {{"-y", "-Fclassic"}, true, file_format::classic},
        {{"-F", "classic", "-F", "strong", "-key", "-gen"}, true, file_format::strong},  // the later wins
        {{"-F", "Strong", "-y"}, false, std::nullopt},
        {{"-F", "", "-y"}, false, std::nullopt},
        {{"-y", "-F"}, false, std::nullopt},
    };
    for (const format_case& t : cases) {
        argv_builder a(t.args);
        command_record rec;
        std::string diagnostic;
        std::string line;
        for (const std::string& arg : t.args) line += arg + " ";
        EXPECT_EQ(parse_command_line(a.argc(), a.argv(), rec, diagnostic), t.accepted) << line;
        if (t.accepted) {
            EXPECT_EQ(rec.format, t.format) << line;
        }
    }
}

TEST(command_line, partner_fields_fill_the_gaps_before_a_later_one) {
    struct partner_case {
        std::vector<std::string> args;
        std::optional<std::string> mapped, ip, mask;
    };
    const partner_case cases[] = {
        {{"-U", "m"}, "m", std::nullopt, std::nullopt},
        {{"-b", "1.2.3.4"}, "", "1.2.3.4", std::nullopt},
        {{"-q", "255.0.0.0"}, "", "", "255.0.0.0"},
        {{"-U", "m", "-q", "255.0.0.0"}, "m", "", "255.0.0.0"},
        {{"-q", "255.0.0.0", "-U", "m", "-b", "1.2.3.4"}, "m", "1.2.3.4", "255.0.0.0"},
    };
    for (const partner_case& t : cases) {
        std::vector<std::string> args = {"-partner", "-insert"};
        args.insert(args.end(), t.args.begin(), t.args.end());
        argv_builder a(args);
        command_record rec;
        std::string diagnostic;
        ASSERT_TRUE(parse_command_line(a.argc(), a.argv(), rec, diagnostic));
        EXPECT_EQ(rec.partner.mapped_name, t.mapped);
        EXPECT_EQ(rec.partner.ip_address, t.ip);
        EXPECT_EQ(rec.partner.netmask, t.mask);
    }
}

TEST(command_line, password_is_copied_and_overwritten_in_argv) {
    argv_builder a({"-key", "-list", "-z", "s3cret", "-zother"});
    std::vector<char*> original(a.argv(), a.argv() + a.argc());
    command_record rec;
    std::string diagnostic;
    ASSERT_TRUE(parse_command_line(a.argc(), a.argv(), rec, diagnostic));
    EXPECT_STREQ(rec.password.c_str(), "other");  // the later one wins
    EXPECT_EQ(std::string(original[4], 6), std::string(6, '\0'));
    EXPECT_STREQ(original[5], "-z");  // only the password bytes are wiped
    EXPECT_EQ(std::string(original[5] + 2, 5), std::string(5, '\0'));
}

TEST(command_line, overlong_password_is_flagged_not_cut) {
    std::string fits(255, 'a');
    std::string too_long(256, 'a');
    command_record ok_rec;
    command_record long_rec;
    std::string diagnostic;
    argv_builder a({"-listall", "-z", fits});
    argv_builder b({"-listall", "-z", too_long});
    ASSERT_TRUE(parse_command_line(a.argc(), a.argv(), ok_rec, diagnostic));
    ASSERT_TRUE(parse_command_line(b.argc(), b.argv(), long_rec, diagnostic));
    EXPECT_EQ(std::string(ok_rec.password.c_str()), fits);
    EXPECT_FALSE(ok_rec.password_too_long);
    EXPECT_TRUE(long_rec.password_too_long);
    EXPECT_TRUE(long_rec.password.empty());
}

TEST(command_line, usage_text_line_by_line) {
    const char* expected[] = {
        "Orvane configuration file editor version 1.2.5",
        "========================================================",
        "orv [-f <conffile>] -y -- replace password",
        "orv [-f <conffile>] -key (-list|-delete|-gen|-Req) ...",
        "orv [-f <conffile>] (-listall|-viewall) ...",
        "orv [-f <conffile>] (-cert|-root|-session) (-list|-delete|-insert|-view) ...",
        "orv [-f <conffile>] -partner (-insert|-delete|-list) ...",
        "",
        "Optional parameters:",
        "====================",
        "-N <session name>",
        "-I <certificate file>",
        "-O <certificate request file>",
        "-K <keysize> (for -key -gen only)",
        "-S <randomfile> (for -key -gen only)",
        "-D <distinguished name of the subject> (for -key -Req only)",
        "-L <local listen port> (for -session -insert only)",
        "-H <server host> (for -session -insert only)",
        "-P <server port> (for -session -insert only)",
        "-C <cipher> (for -session -insert only)",
        "-A <session key> (for -session -insert only)",
        "-B <session certificate> (for -session -insert only)",
        "-X <session root certificate> (for -session -insert only)",
        "-M serve multiple connections (for -session -insert only)",
        "-E <command to execute> (for -session -insert only)",
        "-o <server login type> (for -session -insert only)",
        "-e cache sessions (for -session -insert only)",
        "-u <inactivity timeout> (for -session -insert only)",
        "-J <partner name> (for -partner only)",
        "-U <mapped name> (for -partner -insert only)",
        "-b <partner IP address> (for -partner -insert only)",
        "-q <partner netmask> (for -partner -insert only)",
        "-m -- minimize on activation (for -session -insert only)",
        "-a -- autoclose on deactivation (for -session -insert only)",
        "-T <accept timeout> (for -session -insert only)",
        "-j -- no TCP delay (for -session -insert only)",
        "-x -- no client authentication (for -session -insert only)",
        "-Z <ssl mode> (for -session -insert only)",
        "-G <bindaddr> (for -session -insert only)",
        "-W <host:port,...> further far agents (for -session -insert only)",
        "-Y <prio|rr> failover among the far agents (for -session -insert only)",
        "-t <address:port> metrics endpoint, [::1]:port for IPv6 (for -session -insert only)",
        "-V <total,per source> caps on pending handshakes (for -session -insert only)",
        "-F <strong|classic> file format to write (for -y or a new file only)",
        "",
    };
    std::string want;
    for (const char* line : expected) want += std::string(line) + "\n";
    EXPECT_EQ(usage_text(), want);
}

}  // namespace
}  // namespace orv
