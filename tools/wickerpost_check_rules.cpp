// wickerpost-check: the file settings of a Log block, listed, and the
// owner and group its files are given, checked.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "config/model.h"
#include "wickerpost_check.h"

namespace check {
namespace {

// Whether this process holds CAP_CHOWN in its effective set.
bool has_cap_chown()
{
    FILE *status = fopen("/proc/self/status", "r");
    if (status == nullptr)
        return geteuid() == 0;
    char line[256];
    unsigned long long caps = 0;
    bool found = false;
    while (!found && fgets(line, sizeof line, status) != nullptr)
        found = sscanf(line, "CapEff: %llx", &caps) == 1;
    fclose(status);
    return found ? (caps & 1) != 0 : geteuid() == 0;  // CAP_CHOWN is bit 0
}

bool in_my_groups(gid_t gid)
{
    if (gid == getegid())
        return true;
    std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr) > 0 ? getgroups(0, nullptr) : 0));
    int n = groups.empty() ? 0 : getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + (n > 0 ? n : 0), gid) != groups.begin() + (n > 0 ? n : 0);
}

std::string user_shown(unsigned uid)
{
    const passwd *p = getpwuid(uid);
    return p != nullptr ? std::string(p->pw_name) + " (" + std::to_string(uid) + ")" : std::to_string(uid);
}

std::string group_shown(unsigned gid)
{
    const group *g = getgrgid(gid);
    return g != nullptr ? std::string(g->gr_name) + " (" + std::to_string(gid) + ")" : std::to_string(gid);
}

}  // namespace

// Lists the file settings of a Log block and checks the owner and group
// its files are given.
void list_rules(const FileRules *r, const std::string &context)
{
    if (file_rule(r, FILE_RULE_MAX_SIZE))
        printf("        MaxSize %llu bytes, Keep %d%s\n", r->max_size, file_rule(r, FILE_RULE_KEEP) ? r->keep : 7,
               file_rule(r, FILE_RULE_KEEP) ? "" : " (default)");
    if (file_rule(r, FILE_RULE_COMPRESS)) {
        bool zstd = r->compress == COMPRESS_ZSTD;
        bool level = file_rule(r, FILE_RULE_COMPRESS_LEVEL);
        printf("        Compress %s, level %d%s\n", zstd ? "zstd" : "gzip",
               level ? r->compress_level : zstd ? 3 : 6, level ? "" : " (default)");
    }
    if (file_rule(r, FILE_RULE_FILE_MODE))
        printf("        FileMode %04o\n", r->file_mode);
    if (file_rule(r, FILE_RULE_DIR_MODE))
        printf("        DirMode %04o\n", r->dir_mode);
    bool can_chown = has_cap_chown();
    if (file_rule(r, FILE_RULE_OWNER)) {
        printf("        FileOwner %s\n", user_shown(r->owner).c_str());
        if (r->owner != geteuid() && !can_chown)
            problem("FileOwner %s (%s): files cannot be given to another user without CAP_CHOWN\n",
                    user_shown(r->owner).c_str(), context.c_str());
    }
    if (file_rule(r, FILE_RULE_GROUP)) {
        printf("        FileGroup %s\n", group_shown(r->group).c_str());
        if (!in_my_groups(r->group) && !can_chown)
            problem("FileGroup %s (%s): not a group of this user, and files cannot be given to it without "
                    "CAP_CHOWN\n",
                    group_shown(r->group).c_str(), context.c_str());
    }
    if (file_rule(r, FILE_RULE_SYNC))
        printf("        SyncInterval %d s\n", r->sync_interval);
    if (file_rule(r, FILE_RULE_IDLE_CLOSE))
        printf("        IdleClose %d s\n", r->idle_close);
}

}  // namespace check
