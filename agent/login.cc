#include "agent/login.h"

#include <cstring>

namespace orv {

namespace {

const login_kind login_table[] = {
    {nullptr, login_protocol::plain, false, "unable to create socket pair\n"},
    {"ftp", login_protocol::ftp, true, "unable to create ftp client socket pair\n"},
    {"progress", login_protocol::progress, true, "unable to create progress client socket pair\n"},
    {"oracle", login_protocol::oracle, true, "unable to create oracle client socket pair\n"},
    {"mssql", login_protocol::plain, false, "unable to create socket pair\n"},
    {"http", login_protocol::plain, false, "unable to create socket pair\n"},
};

}  // namespace

const login_kind* find_login(const char* login) {
    bool none = !login || !*login;
    for (const login_kind& row : login_table) {
        if (none ? row.name == nullptr : row.name && std::strcmp(row.name, login) == 0) return &row;
    }
    return nullptr;
}

}  // namespace orv
