// Groups: created by their first join, deleted when their last member
// leaves; every change of membership is told to the members that asked
// for membership messages.
#include <algorithm>

#include "tools/minispread/daemon.h"

namespace minispread {

static bool by_group_name(const Group *a, const Group *b) { return a->name < b->name; }

static bool by_private_group(const Session *a, const Session *b) { return strcmp(a->pg, b->pg) < 0; }

Group *find_group(Daemon &d, std::string_view name)
{
    auto it = d.groups.find(name);
    return it == d.groups.end() ? nullptr : it->second;
}

// Sends the join/leave/disconnect notice for `changed` to every member of g
// that asked for membership messages.
static void send_membership(Daemon &d, Group *g, uint32_t cause, const Session *changed)
{
    size_t n = g->members.size();
    d.scratch.resize(HEADER_SIZE + n * SLOT + WIRE_MEMB_BODY_SIZE);
    uint8_t *m = d.scratch.data();
    ms_put_header(m, REG_MEMB_MESS | cause, g->name.c_str(), (int32_t)n, wire_hint_encode(0),
                  (int32_t)WIRE_MEMB_BODY_SIZE);
    for (size_t i = 0; i < n; i++)
        wire_group_slot((char *)m + HEADER_SIZE + i * SLOT, g->members[i]->pg);
    int32 gid[3] = {d.id, d.memb_time, g->counter};
    wire_memb_body_encode(m + HEADER_SIZE + n * SLOT, gid, changed->pg);
    for (Session *member : g->members)
        if (member->membership)
            queue_message(d, member, m, m + HEADER_SIZE, n * SLOT + WIRE_MEMB_BODY_SIZE);
}

void join_group(Daemon &d, Session *s, std::string_view name)
{
    Group *g = find_group(d, name);
    if (g == nullptr) {
        g = new Group;
        g->name = std::string(name);
        d.groups.emplace(g->name, g);
    } else if (std::binary_search(g->members.begin(), g->members.end(), s, by_private_group)) {
        return;   // already a member: nothing happens
    }
    g->members.insert(std::lower_bound(g->members.begin(), g->members.end(), s, by_private_group), s);
    s->groups.insert(std::lower_bound(s->groups.begin(), s->groups.end(), g, by_group_name), g);
    g->counter++;
    send_membership(d, g, CAUSED_BY_JOIN, s);
}

// Takes s out of g; deletes g when it is empty, else tells the members with
// the given cause.
void remove_member(Daemon &d, Group *g, Session *s, uint32_t cause)
{
    g->members.erase(std::lower_bound(g->members.begin(), g->members.end(), s, by_private_group));
    if (g->members.empty()) {
        d.groups.erase(g->name);
        delete g;
        return;
    }
    g->counter++;
    send_membership(d, g, cause, s);
}

void leave_group(Daemon &d, Session *s, std::string_view name)
{
    Group *g = find_group(d, name);
    if (g == nullptr || !std::binary_search(g->members.begin(), g->members.end(), s, by_private_group))
        return;
    if (s->membership) {
        // Self-leave: a bare CAUSED_BY_LEAVE with the group as sender.
        uint8_t h[HEADER_SIZE];
        ms_put_header(h, CAUSED_BY_LEAVE, g->name.c_str(), 0, wire_hint_encode(0), 0);
        queue_message(d, s, h, nullptr, 0);
    }
    s->groups.erase(std::lower_bound(s->groups.begin(), s->groups.end(), g, by_group_name));
    remove_member(d, g, s, CAUSED_BY_LEAVE);
}

}  // namespace minispread
