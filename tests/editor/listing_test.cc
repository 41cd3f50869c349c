// The session view and fingerprint texts on trees built in memory.
#include "editor/listing.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "editor/editor_run.h"
#include "store/cert_time.h"
#include "store/config_tree.h"
#include "tests/store/cert_factory.h"

namespace orv {
namespace {

std::string view_of(BIO* b) {
    char* data = nullptr;
    long len = BIO_get_mem_data(b, &data);
    return std::string(data, static_cast<size_t>(len));
}

TEST(listing, session_view_of_a_sparse_session) {
    config_tree tree;
    tree.put_text("s1", "port", "8000");
    tree.put_text("s1", "timeout", "0");
    tree.put_text("s1", "accept_timeout", "45");
    tree.put_text("s1", "sslmode", "7");
    tree.put_text("s1", "cache", "1");
    tree.put_text("s1", "noclientauth", "1");
    tree.put_text("s1", "partner6162", "ab\tmapped\t10.0.0.1\t255.0.0.0");
    tree.put_text("s1", "partner63", "c\t\t10.0.0.2");
    config_store store(tree);
    bio_ptr out(BIO_new(BIO_s_mem()));
    ASSERT_TRUE(print_session_view(out.get(), store, "s1", "pw", "des3"));
    EXPECT_EQ(view_of(out.get()),
              "Session name:         s1\n"
              "====================================\n"
              "Local address:        (null)\n"
              "Local port:           8000\n"
              "Server host:          (null)\n"
              "Server port:          (null)\n"
              "Cipher:               <default>\n"
              "Key:                  (null)\n"
              "Certificate:          (null)\n"
              "Root certificate:     (null)\n"
              "Multiple connections: no\n"
              "Cache connections:    yes\n"
              "Minimize/Restore:     no\n"
              "Close on deactivation:no\n"
              "Client authentication:no\n"
              "SSL version:          unknown\n"
              "TCP no delay:         no\n"
              "Inactivity timeout:   infinity\n"
              "Accept timeout:       45\n"
              "Command:              <none>\n"
              "Map login name:       no\n"
              "\n"
              "Session status:       required parameter is missing\n"
              "====================================\n"
              "\n"
              "Session partners:\n"
              "====================================\n"
              "ab, mapped, 10.0.0.1, 255.0.0.0\n"
              "c, , 10.0.0.2\n"
              "\n");
}

TEST(listing, session_view_labels_for_set_values) {
    config_tree tree;
    const std::pair<const char*, const char*> values[] = {
        {"port", "1"},       {"bindaddr", "127.0.0.2"}, {"server", "h"},
        {"serverport", "2"}, {"cipherlist", "HIGH"},    {"cert", "c"},
        {"root", "r"},       {"multicall", "1"},        {"nodelay", "1"},
        {"minres", "1"},     {"autoclose", "1"},        {"command", "run it"},
        {"login", "ftp"},    {"timeout", "30"},         {"key", "k"},
        {"sslmode", "2"},
    };
    for (const auto& [k, v] : values) tree.put_text("s", k, v);
    config_store store(tree);
    bio_ptr out(BIO_new(BIO_s_mem()));
    ASSERT_TRUE(print_session_view(out.get(), store, "s", "pw", "des3"));
    std::string view = view_of(out.get());
    for (const char* line :
         {"Local address:        127.0.0.2\n", "Cipher:               HIGH\n", "Multiple connections: yes\n",
          "Minimize/Restore:     yes\n", "Close on deactivation:yes\n", "Client authentication:yes\n",
          "SSL version:          SSL3\n", "TCP no delay:         yes\n", "Inactivity timeout:   30\n",
          "Accept timeout:       infinity\n", "Command:              run it\n", "Map login name:       ftp\n",
          "Session status:       invalid root certificate\n"}) {
        EXPECT_NE(view.find(line), std::string::npos) << line;
    }
}

TEST(listing, session_view_shows_the_certificates_expiry_as_it_stands_today) {
    evp_pkey_ptr key = test::make_rsa_key();
    x509_ptr root = test::make_certificate("root", key.get(), -1, 400);
    x509_ptr soon = test::make_certificate("soon", key.get(), -10, 20, root.get(), key.get());
    x509_ptr gone = test::make_certificate("gone", key.get(), -10, -1, root.get(), key.get());
    config_tree tree;
    config_store store(tree);
    ASSERT_TRUE(store.put_root("r", root.get()));
    ASSERT_TRUE(store.put_certificate("soon", soon.get()));
    ASSERT_TRUE(store.put_certificate("gone", gone.get()));
    auto date = [](X509* c) { return certificate_time_text(X509_get0_notAfter(c)); };
    // Made moments ago for whole days: a second later one day less is left.
    auto either = [](const std::string& a, const std::string& b) { return std::vector<std::string>{a, b}; };
    struct row {
        const char* session;
        const char* cert;
        std::vector<std::string> user_lines;
    };
    const row table[] = {
        {"s", "soon",
         either("User cert expires:    " + date(soon.get()) + ", in 20 days\n",
                "User cert expires:    " + date(soon.get()) + ", in 19 days\n")},
        {"g", "gone", {"User cert expires:    " + date(gone.get()) + ", expired\n"}},
    };
    for (const row& r : table) {
        tree.put_text(r.session, "cert", r.cert);
        tree.put_text(r.session, "root", "r");
        bio_ptr out(BIO_new(BIO_s_mem()));
        ASSERT_TRUE(print_session_view(out.get(), store, r.session, "pw", "des3"));
        std::string view = view_of(out.get());
        auto found = [&view](const std::vector<std::string>& lines) {
            for (const std::string& l : lines)
                if (view.find(l) != std::string::npos) return true;
            return false;
        };
        EXPECT_TRUE(found(r.user_lines)) << view;
        EXPECT_TRUE(found(either("Root cert expires:    " + date(root.get()) + ", in 400 days\n",
                                 "Root cert expires:    " + date(root.get()) + ", in 399 days\n")))
            << view;
    }
}

TEST(listing, missing_session_prints_nothing) {
    config_tree tree;
    config_store store(tree);
    bio_ptr out(BIO_new(BIO_s_mem()));
    EXPECT_FALSE(print_session_view(out.get(), store, "nope", "pw", "des3"));
    EXPECT_EQ(view_of(out.get()), "");
}

TEST(listing, list_results_show_tabs_as_commas) {
    command_record rec;
    rec.command = sub_command::list;
    rec.list_result = {"a\tb\t\tc", "plain"};
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    ASSERT_NE(out, nullptr);
    print_results(rec, out);
    std::fclose(out);
    EXPECT_EQ(std::string(data, size), "a, b, , c\nplain\n");
    std::free(data);
}

}  // namespace
}  // namespace orv
