#include "agent/program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <systemd/sd-daemon.h>

#include "agent/forwarder.h"
#include "net/proxysocket.h"
#include "net/signal_watch.h"
#include "net/socket.h"
#include "store/password_input.h"
#include "store/secure_file.h"

namespace orv {

namespace {

// Thousands of relayed connections need thousands of descriptors: take what the system allows.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void configure_proxy() {
    const char* proxy = std::getenv("ORV_PROXY");
    const char* direct = std::getenv("ORV_DIRECT");
    const char* proxy_port = std::getenv("ORV_PROXYPORT");
    if (proxy && proxy_port) set_proxy_configuration(proxy, proxy_port, direct);
}

const char* password_file_variable() {
    const char* file = std::getenv("ORV_PASSWORD_FILE");
    return file && *file ? file : nullptr;
}

// Reads the password file into `password`; the message line that says why when it cannot.
std::optional<std::string> read_password_from(const char* file, password_buffer& password) {
    unsigned mode = 0;
    switch (read_password_file(password, file, &mode)) {
        case password_file_status::ok: return std::nullopt;
        case password_file_status::too_open: {
            char bits[8];
            std::snprintf(bits, sizeof bits, "%04o", mode);
            return "password file " + std::string(file) + " has mode " + bits +
                   ": it must not be readable or writable by group or others (chmod 600 it)\n";
        }
        case password_file_status::unreadable:
            return "unable to read password file " + std::string(file) + ": " + std::strerror(errno) + "\n";
        case password_file_status::invalid:
            return "password file " + std::string(file) + " must hold one line of 1 to 255 characters\n";
    }
    return "unable to read password file " + std::string(file) + "\n";
}

// The password when -p gave none: from the file ORV_PASSWORD_FILE names (a systemd credential,
// say), else asked on the terminal or read from standard input. False after the reason is written.
bool obtain_password(password_buffer& password, const std::string& path) {
    const char* file = password_file_variable();
    if (!file) return read_password(password, password_prompt(path));
    std::optional<std::string> problem = read_password_from(file, password);
    if (problem) std::fputs(problem->c_str(), stderr);
    return !problem;
}

// Where every pass and reload takes the password from. Given with -p or typed, it is kept for
// the life of the process in the locked page of a password_buffer (the file must be read again
// at every pass); with ORV_PASSWORD_FILE the file is read again each time instead and nothing
// is kept between readings, so a changed password file also takes effect.
class kept_password : public password_source {
public:
    kept_password(const password_buffer& given, const char* file) : file_(file) {
        if (!file_) kept_.assign(given.c_str());
    }

    bool get(const reporter& r, password_buffer& out) override {
        if (!file_) return out.assign(kept_.c_str());
        std::optional<std::string> problem = read_password_from(file_, out);
        if (problem) report(r, "%s", problem->c_str());
        return !problem;
    }

private:
    const char* file_;
    password_buffer kept_;
};

// A service manager that started us (systemd's Type=notify) learns that the session listens,
// and that a stop has begun; without NOTIFY_SOCKET these do nothing.
void tell_service_manager_ready() { sd_notify(0, "READY=1"); }

void tell_service_manager_stopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace

// Relay buffers (ours and the library's read-ahead buffer) come and go with every burst of
// data; a heap that gives their pages back to the system at once pays page faults for them on the
// next burst. Keep freed memory for reuse instead.
void keep_freed_memory() {
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
}

int agent_main(int argc, char** argv, const agent_program& program) {
    keep_freed_memory();
    // Before the -p argument is read: the password and the keys stay out of core dumps.
    make_undumpable();
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ignore_sigpipe();
    raise_descriptor_limit();

    if (program.reads_proxy_environment) configure_proxy();
    std::string path = default_config_path();
    bool daemon = false;
    password_buffer password;  // wiped when main returns
    bool password_too_long = false;
    process_arguments arguments(argc, argv);  // getopt reads copies; the list shows them later
    int c;
    // '+': options end at the session name, as the usage shows; nothing after it is an option.
    while ((c = getopt(argc, argv, "+f:dp:h")) != -1) {
        switch (c) {
            case 'f': path = optarg; break;
            case 'd': daemon = true; break;
            case 'p': password_too_long = !take_password_argument(password, optarg); break;
            default: program.print_usage(); return 1;
        }
    }
    arguments.hide();
    if (argc - optind != 1) {
        program.print_usage();
        return 1;
    }
    const char* session_name = argv[optind];

    // -p comes first: ORV_PASSWORD_FILE is read only without it.
    const char* password_file = password.empty() ? password_file_variable() : nullptr;
    if (password_too_long || (password.empty() && !obtain_password(password, path))) {
        std::fputs("Error during password input\n", stderr);
        return 1;
    }

    // SIGTERM and SIGINT end the program cleanly: no new connections, every open one closed
    // and logged with its counts (the passes' objects are destroyed on the way out). SIGHUP
    // reloads, SIGUSR1 lists the open connections, SIGUSR2 is ignored: none of them kills.
    int signal_fd = block_agent_signals();
    kept_password source(password, password_file);
    password.clear();  // the source keeps what it needs
    // Every pass ends in failure or on a signal: the loop stops when a pass cannot be built.
    bool announced = false;
    pass_failure failure = pass_failure::none;
    for (bool running = true; running && !signal_watch::received();) {
        forwarder f(program, path, source, session_name, daemon, signal_fd);
        if (!f.ok()) {
            failure = f.failure();
            running = false;
            continue;
        }
        // The first pass that listens makes the service ready; later passes only reopen the port.
        if (!announced) tell_service_manager_ready();
        announced = true;
        f.run();
        // Before the open connections are closed with the pass, which may take a moment.
        if (signal_watch::received()) tell_service_manager_stopping();
    }
    ERR_clear_error();
    if (signal_fd >= 0) close(signal_fd);
    if (signal_watch::received()) return 0;
    return failure == pass_failure::configuration ? exit_configuration : 1;
}

}  // namespace orv
