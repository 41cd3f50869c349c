#include <gtest/gtest.h>

#include "cert_factory.h"
#include "store/config_store.h"
#include "store_test_util.h"

namespace orv {
namespace {

using test::make_certificate;
using test::make_rsa_key;
using test::minimal_session;

TEST(SessionList, AddingNamesFollowsTheListRules) {
    struct add_case {
        const char* before;  // null: no list yet
        const char* name;
        const char* after;
    };
    const add_case cases[] = {
        {nullptr, "x", "x"},         {"", "x", "x"},
        {"abc,x", "ab", "abc,x,ab"}, {"abc,x", "x", "abc,x"},
        {"abc,x", "abc", "abc,x"},   {"a,bc,d", "bc", "a,bc,d"},
        {"xab", "ab", "xab,ab"},
    };
    for (const add_case& c : cases) {
        config_tree t;
        if (c.before) t.put_text(nullptr, "sessions", c.before);
        config_store s(t);
        ASSERT_TRUE(s.insert_session(minimal_session(c.name)));
        EXPECT_STREQ(t.get_text("default", "sessions"), c.after) << (c.before ? c.before : "(none)") << " + " << c.name;
    }
}

TEST(SessionList, ListsOnlyNamesWithSections) {
    config_tree t;
    const std::string long_name(300, 'l');
    const std::string list = "a,,b,gone," + long_name;
    t.put_text(nullptr, "sessions", list.c_str());
    t.put_text("a", "port", "1");
    t.put_text("b", "port", "1");
    t.put_text(long_name.c_str(), "port", "1");
    config_store s(t);
    EXPECT_EQ(s.session_list(), (std::vector<std::string>{"a", "b"}));
}

TEST(Sessions, InsertWritesKeysInOrderAndKeepsOptionalOnes) {
    config_tree t;
    config_store s(t);
    session_record r = minimal_session("web");
    r.cipherlist = "HIGH";
    r.multicall = 5;
    r.timeout = 30;
    r.sslmode = 1;
    ASSERT_TRUE(s.insert_session(r));
    s.insert_partner("web", "ab", {std::nullopt, "10.0.0.1", std::nullopt});
    EXPECT_EQ(t.section_names("web"),
              (std::vector<std::string>{"port", "server", "serverport", "cipherlist", "cert", "root", "multicall",
                                        "nodelay", "minres", "autoclose", "cache", "timeout", "accept_timeout", "key",
                                        "sslmode", "noclientauth", "partner6162"}));
    EXPECT_STREQ(t.get_text("web", "multicall"), "1");
    EXPECT_STREQ(t.get_text("web", "timeout"), "30");
    // Re-inserting without a cipher list keeps it, and keeps the partners.
    session_record again = minimal_session("web");
    again.port = "2000";
    ASSERT_TRUE(s.insert_session(again));
    EXPECT_STREQ(t.get_text("web", "cipherlist"), "HIGH");
    EXPECT_STREQ(t.get_text("web", "port"), "2000");
    EXPECT_EQ(s.partner_list("web").size(), 1u);
    EXPECT_STREQ(t.get_text("default", "sessions"), "web");
}

TEST(Sessions, EveryFieldOfTheTableRoundTripsUnderItsOwnKey) {
    config_tree t;
    config_store s(t);
    session_record r;
    r.name = "all";
    std::vector<std::string> texts;
    texts.reserve(session_field_count);
    int n = 0;
    for (const session_field& f : session_fields) {
        ++n;
        texts.push_back(std::string("text-") + f.key);
        if (f.kind == field_kind::text) r.*f.text = texts.back().c_str();
        else r.*f.number = f.kind == field_kind::flag ? 1 : 100 + n;
    }
    ASSERT_TRUE(s.insert_session(r));
    std::optional<session_record> back = s.session("all");
    ASSERT_TRUE(back);
    n = 0;
    for (const session_field& f : session_fields) {
        ++n;
        const char* stored = t.get_text("all", f.key);
        ASSERT_NE(stored, nullptr) << f.key;
        if (f.kind == field_kind::text) {
            EXPECT_STREQ(stored, (std::string("text-") + f.key).c_str());
            EXPECT_STREQ((*back).*f.text, stored) << f.key;
        } else {
            int expected = f.kind == field_kind::flag ? 1 : 100 + n;
            EXPECT_EQ(std::string(stored), std::to_string(expected)) << f.key;
            EXPECT_EQ((*back).*f.number, expected) << f.key;
        }
    }
    EXPECT_EQ(t.section_names("all").size(), session_field_count);
}

TEST(Sessions, MissingRequiredValueRollsBackTheWholeSession) {
    config_tree t;
    config_store s(t);
    ASSERT_TRUE(s.insert_session(minimal_session("keep")));
    session_record bad = minimal_session("keep");
    bad.server = nullptr;
    EXPECT_FALSE(s.insert_session(bad));
    EXPECT_EQ(t.find_section("keep"), nullptr) << "a failed insert deletes the session, even an old one";
    EXPECT_STREQ(t.get_text("default", "sessions"), "");
}

TEST(Sessions, RecordFallsBackToDefault) {
    config_tree t;
    config_store s(t);
    t.put_text(nullptr, "cipherlist", "DEFAULTCIPHERS");
    ASSERT_TRUE(s.insert_session(minimal_session("a")));
    auto r = s.session("a");
    ASSERT_TRUE(r);
    EXPECT_STREQ(r->cipherlist, "DEFAULTCIPHERS");
    EXPECT_EQ(r->bindaddr, nullptr);
    EXPECT_STREQ(r->name, "a");
    EXPECT_FALSE(s.session("nosuch"));
}

TEST(Sessions, Delete) {
    config_tree t;
    config_store s(t);
    EXPECT_FALSE(s.delete_session("a")) << "no session list";
    ASSERT_TRUE(s.insert_session(minimal_session("a")));
    s.insert_partner("a", "p", {});
    ASSERT_TRUE(s.delete_session("a"));
    EXPECT_STREQ(t.get_text("default", "sessions"), "");
    EXPECT_EQ(t.find_section("a"), nullptr);
    // Not in the list but with a section: the section still goes.
    t.put_text("orphan", "port", "1");
    EXPECT_TRUE(s.delete_session("orphan"));
    EXPECT_EQ(t.find_section("orphan"), nullptr);
    EXPECT_FALSE(s.delete_session("orphan"));
}

TEST(Partners, EntryNamesAndValues) {
    config_tree t;
    config_store s(t);
    struct partner_case {
        partner_fields fields;
        const char* value;
    };
    const partner_case cases[] = {
        {{}, "ab"},
        {{std::nullopt, "1.2.3.4", std::nullopt}, "ab\t\t1.2.3.4"},
        {{"map", std::nullopt, std::nullopt}, "ab\tmap"},
        {{std::nullopt, std::nullopt, "255.0.0.0"}, "ab\t\t\t255.0.0.0"},
        {{"m", "1.2.3.4", "255.255.255.0"}, "ab\tm\t1.2.3.4\t255.255.255.0"},
    };
    for (const partner_case& c : cases) {
        ASSERT_TRUE(s.insert_partner("nosession", "ab", c.fields));
        EXPECT_STREQ(t.get_text("nosession", "partner6162"), c.value);
    }
    EXPECT_EQ(s.partner_list("nosession"), std::vector<std::string>{cases[4].value});
    EXPECT_TRUE(s.session_list().empty()) << "a partner does not add its session to the list";
    EXPECT_TRUE(s.delete_partner("nosession", "ab"));
    EXPECT_FALSE(s.delete_partner("nosession", "ab"));
    EXPECT_TRUE(s.partner_list("nosession").empty());
}

TEST(Hex, EncodeDecode) {
    const unsigned char bytes[] = {0x00, 0xAB, 0x7f, 0xff};
    EXPECT_EQ(hex_encode(bytes, 4), "00AB7FFF");
    EXPECT_EQ(hex_decode("00ab7FfF"), std::string("\x00\xAB\x7F\xFF", 4));
    EXPECT_FALSE(hex_decode("ABC"));
    EXPECT_FALSE(hex_decode("GG"));
}

TEST(Keys, EncryptDecryptAndReencrypt) {
    config_tree t;
    config_store s(t);
    evp_pkey_ptr key = make_rsa_key(1024);
    auto hex = config_store::encrypt_key(key.get(), "old", "des3");
    ASSERT_TRUE(hex);
    t.put_text("keys", "k1", hex->c_str());
    t.put_text("keys", "k2", hex->c_str());
    evp_pkey_ptr back = config_store::decrypt_key(s.key_text("k1"), "old", "des3");
    ASSERT_TRUE(back);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), back.get()), 1);
    EXPECT_FALSE(config_store::decrypt_key(s.key_text("k1"), "wrong", "des3"));
    EXPECT_FALSE(config_store::decrypt_key("ABC", "old", "des3"));
    EXPECT_FALSE(config_store::decrypt_key(s.key_text("k1"), "old", "nocipher"));

    ASSERT_TRUE(s.reencrypt_keys("old", "des3", "new", "des3"));
    for (const char* name : {"k1", "k2"}) {
        EXPECT_TRUE(config_store::decrypt_key(s.key_text(name), "new", "des3")) << name;
        EXPECT_FALSE(config_store::decrypt_key(s.key_text(name), "old", "des3")) << name;
    }
    EXPECT_FALSE(s.reencrypt_keys("old", "des3", "newer", "des3")) << "keys no longer open with the old password";
    EXPECT_TRUE(s.delete_entry("keys", "k1"));
    EXPECT_TRUE(s.delete_entry("keys", "k2"));
    EXPECT_EQ(t.find_section("keys"), nullptr);
    EXPECT_FALSE(s.delete_entry("keys", "k2"));
}

TEST(RandomSeed, SaveAndLoad) {
    config_tree t;
    config_store s(t);
    EXPECT_EQ(s.load_random_seed(), 0);
    ASSERT_TRUE(s.save_random_seed());
    EXPECT_EQ(std::string(t.get_text("default", "randseed")).size(), 2048u);
    EXPECT_EQ(s.load_random_seed(), 1024);
    t.put_text(nullptr, "randseed", "ABC");
    EXPECT_EQ(s.load_random_seed(), 0);
}

// Every validation code, with keys and certificates made for the case.
class Validation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ca_key_ = make_rsa_key(2048).release();
        user_key_ = make_rsa_key(2048).release();
        other_key_ = make_rsa_key(2048).release();
    }
    static void TearDownTestSuite() {
        EVP_PKEY_free(ca_key_);
        EVP_PKEY_free(user_key_);
        EVP_PKEY_free(other_key_);
    }

    config_tree tree_;
    config_store store_{tree_};
    static EVP_PKEY* ca_key_;
    static EVP_PKEY* user_key_;
    static EVP_PKEY* other_key_;

    // Stores a root valid from root_from to root_to days and a user certificate likewise.
    void build(long root_from, long root_to, long user_from, long user_to, EVP_PKEY* stored_key) {
        x509_ptr root = make_certificate("Test CA", ca_key_, root_from, root_to);
        x509_ptr user = make_certificate("user", user_key_, user_from, user_to, root.get(), ca_key_);
        store_.put_root("ca", root.get());
        store_.put_certificate("user", user.get());
        auto hex = config_store::encrypt_key(stored_key, "pw", "des3");
        tree_.put_text("keys", "userkey", hex->c_str());
        store_.insert_session(minimal_session("s"));
    }
    int validate() { return store_.validate_session("s", "pw", "des3"); }
};
EVP_PKEY* Validation::ca_key_;
EVP_PKEY* Validation::user_key_;
EVP_PKEY* Validation::other_key_;

TEST_F(Validation, CodesInOrder) {
    struct validity_case {
        long root_from, root_to, user_from, user_to;
        bool matching_key;
        int code;
    };
    const validity_case cases[] = {
        {-1, 30, -1, 30, true, session_ok},
        {-1, 30, -1, 30, false, session_key_mismatch},
        {2, 30, -1, 30, true, session_root_not_yet_valid},
        {-30, -2, -1, 30, true, session_root_expired},
        {-1, 30, 2, 30, true, session_user_not_yet_valid},
        {-1, 30, -30, -2, true, session_user_expired},
        {2, 30, -30, -2, false, session_key_mismatch},  // the key is checked before the dates
        {-30, -2, -30, -2, true, session_root_expired},
    };
    for (const validity_case& c : cases) {
        build(c.root_from, c.root_to, c.user_from, c.user_to, c.matching_key ? user_key_ : other_key_);
        EXPECT_EQ(validate(), c.code) << c.root_from << " " << c.root_to << " " << c.user_from << " " << c.user_to;
    }
    EXPECT_STREQ(session_status_text(session_key_mismatch), "user certificate does'nt match key");
}

TEST_F(Validation, MissingPiecesAndBadRoot) {
    EXPECT_EQ(validate(), session_missing_parameter);
    build(-1, 30, -1, 30, user_key_);
    EXPECT_EQ(store_.validate_session("s", "wrong", "des3"), session_key_mismatch);
    tree_.remove("keys", "userkey");
    EXPECT_EQ(validate(), session_key_mismatch) << "missing key";
    tree_.remove("certs", "user");
    EXPECT_EQ(validate(), session_invalid_user_cert);
    // With no client authentication only the root matters.
    tree_.put_text("s", "noclientauth", "1");
    EXPECT_EQ(validate(), session_ok);
    // A root that is not self-signed.
    x509_ptr ca = make_certificate("Test CA", ca_key_, -1, 30);
    x509_ptr intermediate = make_certificate("Intermediate", other_key_, -1, 30, ca.get(), ca_key_);
    store_.put_root("ca", intermediate.get());
    EXPECT_EQ(validate(), session_invalid_root);
    tree_.put_text("roots", "ca", "00FF");
    EXPECT_EQ(validate(), session_invalid_root);
    tree_.remove("roots", "ca");
    EXPECT_EQ(validate(), session_invalid_root);
    tree_.remove("s", "port");
    EXPECT_EQ(validate(), session_missing_parameter);
}

}  // namespace
}  // namespace orv
