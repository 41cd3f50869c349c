// The session view and fingerprint texts on trees built in memory.
#include "editor/listing.h"

#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "editor/editor_run.h"
#include "store/config_tree.h"

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
