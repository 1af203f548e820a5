// What renumber-doctor asks the running system rather than read from files: the user and group
// databases through NSS, libserialport's own lookup of a port, and the kernel's access check.
#include "doctor/inventory.h"

#include <fcntl.h>
#include <grp.h>
#include <libserialport.h>
#include <pwd.h>
#include <unistd.h>

#include <array>

namespace {

std::optional<PasswdEntry> find_user(const Machine& /*machine*/, uid_t uid)
{
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return PasswdEntry{entry.pw_name, entry.pw_gid};
    }
    return std::nullopt;
}

std::vector<gid_t> login_groups(const Machine& /*machine*/, const std::string& user, gid_t primary)
{
    std::vector<gid_t> groups;
    int count = 64;
    for (int attempt = 0; attempt < 3; ++attempt) {
        groups.resize(static_cast<std::size_t>(count));
        const int found = ::getgrouplist(user.c_str(), primary, groups.data(), &count);
        if (found >= 0) {
            groups.resize(static_cast<std::size_t>(found));
            return groups;
        }
    }
    return {primary};
}

std::optional<std::string> group_name(const Machine& /*machine*/, gid_t gid)
{
    group entry{};
    group* found = nullptr;
    std::array<char, 4096> buffer{};
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return entry.gr_name;
    }
    return std::nullopt;
}

bool library_finds(const Machine& /*machine*/, const std::string& resolved)
{
    sp_port* port = nullptr;
    const bool found = sp_get_port_by_name(resolved.c_str(), &port) == SP_OK;
    if (port != nullptr) {
        sp_free_port(port);
    }
    return found;
}

std::optional<bool> kernel_allows(const Machine& /*machine*/, const std::string& node)
{
    return ::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
}

} // namespace

Machine live_machine()
{
    return {SystemRoot{},  find_user,     login_groups, group_name,
            library_finds, kernel_allows, ::getpid()};
}
