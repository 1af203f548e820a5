// The node's access, as the kernel would decide it for the user who runs renumber: its access
// control list through libacl, and the user's groups. Apart from the rest of the facts so that
// renumber, which reads those after a failed run, does not need libacl.
#include "doctor/checks.h"

#include <acl/libacl.h>
#include <sys/acl.h>

#include <array>

namespace {

// The node's ACL through libacl, which gives the mode as an ACL when the node has none.
std::vector<AclRule> access_list(const SystemRoot& root, const std::string& node,
                                 const struct stat& info)
{
    std::vector<AclRule> rules;
    acl_t acl = acl_get_file(host_path(root, node).c_str(), ACL_TYPE_ACCESS);
    if (acl == nullptr) {
        const auto bits = [&](unsigned shift) { return ((info.st_mode >> shift) & 6U) == 6U; };
        return {{AclRule::user_obj, bits(6), 0},
                {AclRule::group_obj, bits(3), 0},
                {AclRule::other, bits(0), 0}};
    }
    acl_entry_t entry = nullptr;
    for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl, which, &entry) == 1;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        acl_permset_t permissions = nullptr;
        acl_get_tag_type(entry, &tag);
        acl_get_permset(entry, &permissions);
        AclRule rule;
        rule.read_write =
            acl_get_perm(permissions, ACL_READ) == 1 && acl_get_perm(permissions, ACL_WRITE) == 1;
        void* qualifier = tag == ACL_USER || tag == ACL_GROUP ? acl_get_qualifier(entry) : nullptr;
        if (qualifier != nullptr) {
            rule.id =
                tag == ACL_USER ? *static_cast<uid_t*>(qualifier) : *static_cast<gid_t*>(qualifier);
            acl_free(qualifier);
        }
        constexpr std::array<std::pair<acl_tag_t, AclRule::Tag>, 6> TAGS{
            {{ACL_USER_OBJ, AclRule::user_obj},
             {ACL_USER, AclRule::user},
             {ACL_GROUP_OBJ, AclRule::group_obj},
             {ACL_GROUP, AclRule::group},
             {ACL_MASK, AclRule::mask},
             {ACL_OTHER, AclRule::other}}};
        for (const auto& [from, to] : TAGS) {
            rule.tag = from == tag ? to : rule.tag;
        }
        rules.push_back(rule);
    }
    acl_free(acl);
    return rules;
}

Person person(const Machine& machine, const Identity& identity, const std::string& node)
{
    Person who{identity, "uid " + std::to_string(identity.uid), std::nullopt, std::nullopt};
    if (const std::optional<PasswdEntry> entry = machine.find_user(machine, identity.uid)) {
        who.name = entry->name;
        who.login_groups = machine.login_groups(machine, entry->name, entry->gid);
    }
    // The kernel has the last word on this process's own ids (capabilities, ACLs, LSMs).
    if (identity.own) {
        who.kernel_allows = machine.kernel_allows(machine, node);
    }
    return who;
}

std::string group_name(const Machine& machine, gid_t gid)
{
    return machine.group_name(machine, gid).value_or("group " + std::to_string(gid));
}

AccessFacts gather_access(const Machine& machine, const Identity& identity,
                          const std::optional<Identity>& invoking, const DeviceFacts& facts)
{
    const SystemRoot& root = machine.root;
    const std::string& node = facts.resolution.path;
    AccessFacts access;
    access.acl = access_list(root, node, facts.info);
    const std::optional<PasswdEntry> owner = machine.find_user(machine, facts.info.st_uid);
    access.owner = owner ? owner->name : "uid " + std::to_string(facts.info.st_uid);
    access.group_names[facts.info.st_gid] = group_name(machine, facts.info.st_gid);
    for (const AclRule& rule : access.acl) {
        if (rule.tag == AclRule::group) {
            access.group_names[rule.id] = group_name(machine, rule.id);
        }
    }
    access.user = person(machine, identity, node);
    if (invoking) {
        access.invoking = person(machine, *invoking, node);
    }
    return access;
}

} // namespace

DeviceFacts gather_facts(const Machine& machine, const Identity& identity,
                         const std::optional<Identity>& invoking, const std::string& typed)
{
    DeviceFacts facts = gather_line_facts(machine, typed);
    if (!facts.resolution.error) {
        facts.access = gather_access(machine, identity, invoking, facts);
    }
    return facts;
}
