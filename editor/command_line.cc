#include "editor/command_line.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "editor/option_scanner.h"

namespace orv {

namespace {

// A word option is a letter whose argument must be the rest of the word (-cert = -c ert).
struct word_option {
    char letter;
    const char* rest;
    bool (*allowed)(const command_record&);
    object_kind object;  // none: the word chooses a sub-command
    sub_command command;
};

bool no_object(const command_record& r) { return r.object == object_kind::none; }
bool object_without_command(const command_record& r) {
    return r.object != object_kind::none && r.command == sub_command::none;
}
bool nothing_chosen(const command_record& r) { return r.object == object_kind::none && r.command == sub_command::none; }
bool viewable_without_command(const command_record& r) {
    return (r.object == object_kind::certificate || r.object == object_kind::root ||
            r.object == object_kind::session) &&
           r.command == sub_command::none;
}
bool insertable_without_command(const command_record& r) {
    return r.object != object_kind::none && r.object != object_kind::key && r.command == sub_command::none;
}
bool key_without_command(const command_record& r) {
    return r.object == object_kind::key && r.command == sub_command::none;
}

constexpr word_option word_options[] = {
    {'k', "ey", no_object, object_kind::key, sub_command::none},
    {'c', "ert", no_object, object_kind::certificate, sub_command::none},
    {'r', "oot", no_object, object_kind::root, sub_command::none},
    {'s', "ession", no_object, object_kind::session, sub_command::none},
    {'p', "artner", no_object, object_kind::partner, sub_command::none},
    {'l', "ist", object_without_command, object_kind::none, sub_command::list},
    {'l', "istall", nothing_chosen, object_kind::none, sub_command::list_all},
    {'v', "iew", viewable_without_command, object_kind::none, sub_command::view},
    {'v', "iewall", nothing_chosen, object_kind::none, sub_command::view_all},
    {'d', "elete", object_without_command, object_kind::none, sub_command::remove},
    {'i', "nsert", insertable_without_command, object_kind::none, sub_command::insert},
    {'g', "en", key_without_command, object_kind::none, sub_command::generate},
    {'R', "eq", key_without_command, object_kind::none, sub_command::request},
};

bool is_word_letter(int letter) {
    for (const word_option& w : word_options) {
        if (w.letter == letter) return true;
    }
    return false;
}

bool apply_word(int letter, const char* argument, command_record& rec) {
    for (const word_option& w : word_options) {
        if (w.letter != letter || std::strcmp(w.rest, argument) != 0) continue;
        if (!w.allowed(rec)) return false;
        if (w.object != object_kind::none) rec.object = w.object;
        if (w.command != sub_command::none) rec.command = w.command;
        return true;
    }
    return false;
}

// -y chooses both the object and the sub-command at once.
bool apply_replace_password(command_record& rec) {
    if (rec.object != object_kind::none && rec.command != sub_command::none) return false;
    rec.object = object_kind::password;
    rec.command = sub_command::replace_password;
    return true;
}

// A session option sets its field: a flag without argument, a number in decimal, a text as given.
bool apply_session_value(int letter, const char* arg, session_options& s) {
    for (size_t i = 0; i < session_field_count; ++i) {
        const session_field& f = session_fields[i];
        if (f.option != letter) continue;
        switch (f.kind) {
            case field_kind::text: s.texts[i] = arg; break;
            case field_kind::flag: s.numbers[i] = 1; break;
            case field_kind::number: s.numbers[i] = decimal_value(arg); break;
        }
        return true;
    }
    return false;
}

bool apply_value(int letter, char* arg, command_record& rec) {
    if (apply_session_value(letter, arg, rec.session)) return true;
    switch (letter) {
        case 'f': rec.config_path = arg; break;
        case 'N': rec.name = arg; break;
        case 'I':
        case 'O': rec.cert_file = arg; break;
        case 'S': rec.random_files = arg; break;
        case 'K':
            rec.key_bits = decimal_value(arg);
            if (rec.key_bits <= 0) return false;
            break;
        case 'D': rec.subject = arg; break;
        case 'J': rec.partner_name = arg; break;
        case 'U': rec.partner.mapped_name = arg; break;
        case 'b':
            rec.partner.ip_address = arg;
            if (!rec.partner.mapped_name) rec.partner.mapped_name = "";
            break;
        case 'q':
            rec.partner.netmask = arg;
            if (!rec.partner.mapped_name) rec.partner.mapped_name = "";
            if (!rec.partner.ip_address) rec.partner.ip_address = "";
            break;
        case 'z': rec.password_too_long = !take_password_argument(rec.password, arg); break;
        case 'F':
            if (std::strcmp(arg, "strong") == 0) rec.format = file_format::strong;
            else if (std::strcmp(arg, "classic") == 0) rec.format = file_format::classic;
            else return false;
            break;
        case 'y': return apply_replace_password(rec);
        default: return false;
    }
    return true;
}

}  // namespace

int decimal_value(const char* text) {
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

bool parse_command_line(int argc, char** argv, command_record& rec, std::string& diagnostic) {
    option_scanner options(argc, argv, editor_option_string);
    for (int letter; (letter = options.next()) != -1;) {
        if (letter == '?') {
            diagnostic = options.diagnostic();
            return false;
        }
        bool accepted = is_word_letter(letter) ? apply_word(letter, options.argument(), rec)
                                               : apply_value(letter, options.argument(), rec);
        if (!accepted) return false;
    }
    if (options.index() < argc) return false;  // no operands
    return rec.object != object_kind::none || rec.command == sub_command::list_all ||
           rec.command == sub_command::view_all;
}

std::string usage_text() {
    static const char* const lines[] = {
        "========================================================\n",
        "orv [-f <conffile>] -y -- replace password\n",
        "orv [-f <conffile>] -key (-list|-delete|-gen|-Req) ...\n",
        "orv [-f <conffile>] (-listall|-viewall) ...\n",
        "orv [-f <conffile>] (-cert|-root|-session) (-list|-delete|-insert|-view) ...\n",
        "orv [-f <conffile>] -partner (-insert|-delete|-list) ...\n",
        "\n",
        "Optional parameters:\n",
        "====================\n",
        "-N <session name>\n",
        "-I <certificate file>\n",
        "-O <certificate request file>\n",
        "-K <keysize> (for -key -gen only)\n",
        "-S <randomfile> (for -key -gen only)\n",
        "-D <distinguished name of the subject> (for -key -Req only)\n",
        "-L <local listen port> (for -session -insert only)\n",
        "-H <server host> (for -session -insert only)\n",
        "-P <server port> (for -session -insert only)\n",
        "-C <cipher> (for -session -insert only)\n",
        "-A <session key> (for -session -insert only)\n",
        "-B <session certificate> (for -session -insert only)\n",
        "-X <session root certificate> (for -session -insert only)\n",
        "-M serve multiple connections (for -session -insert only)\n",
        "-E <command to execute> (for -session -insert only)\n",
        "-o <server login type> (for -session -insert only)\n",
        "-e cache sessions (for -session -insert only)\n",
        "-u <inactivity timeout> (for -session -insert only)\n",
        "-J <partner name> (for -partner only)\n",
        "-U <mapped name> (for -partner -insert only)\n",
        "-b <partner IP address> (for -partner -insert only)\n",
        "-q <partner netmask> (for -partner -insert only)\n",
        "-m -- minimize on activation (for -session -insert only)\n",
        "-a -- autoclose on deactivation (for -session -insert only)\n",
        "-T <accept timeout> (for -session -insert only)\n",
        "-j -- no TCP delay (for -session -insert only)\n",
        "-x -- no client authentication (for -session -insert only)\n",
        "-Z <ssl mode> (for -session -insert only)\n",
        "-G <bindaddr> (for -session -insert only)\n",
        "-W <host:port,...> further far agents (for -session -insert only)\n",
        "-Y <prio|rr> failover among the far agents (for -session -insert only)\n",
        "-t <address:port> metrics endpoint, [::1]:port for IPv6 (for -session -insert only)\n",
        "-V <total,per source> caps on pending handshakes (for -session -insert only)\n",
        "-F <strong|classic> file format to write (for -y or a new file only)\n",
        "\n",
    };
    std::string text = std::string("Orvane configuration file editor version ") + editor_version + "\n";
    for (const char* line : lines) text += line;
    return text;
}

}  // namespace orv
