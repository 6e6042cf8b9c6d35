// libFuzzer target: arbitrary bytes into the wire decoders, and through a
// socket pair into SP_receive, with and without read-ahead, as if a hostile
// daemon had sent them. Any crash, sanitizer report or broken result bound
// aborts.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "spread/client.h"

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

void decoders(const uint8_t *data, size_t size)
{
    for (size_t at = 0; at < size && at < 256; at++) {
        WireHeader h;
        if (wire_header_decode(data + at, data + size, &h) != 0) {
            check(size - at < WIRE_HEADER_SIZE);
            continue;
        }
        check(size - at >= WIRE_HEADER_SIZE);
        int64_t payload = wire_payload_size(&h, true);
        check(payload == -1 || payload >= 0);
        (void)wire_hint_mess_type(h.hint_raw, nullptr);
    }
    static const uint32_t types[] = {REG_MEMB_MESS | CAUSED_BY_JOIN, REG_MEMB_MESS | CAUSED_BY_NETWORK,
                                     TRANSITION_MESS, AGREED_MESS};
    for (uint32_t t : types) {
        membership_info m;
        if (wire_memb_info(data, size, t, &m) == 0 && (t & REG_MEMB_MESS)) {
            check((uint64_t)m.my_vs_set.members_offset + (uint64_t)m.my_vs_set.num_members * 32 <= size);
            check(memchr(m.changed_member, 0, sizeof m.changed_member) != nullptr);
        }
    }
    // The vs-set walk, on the body whole and in pieces of 7 bytes: the same
    // result, and every vs-set and name within the body.
    std::vector<scat_element> pieces;
    for (size_t at = 0; at < size; at += 7)
        pieces.push_back({(char *)data + at, size - at < 7 ? size - at : 7});
    scat_element one;
    WireBody forms[2] = {wire_body_of(data, size, &one), WireBody{pieces.data(), pieces.size(), size}};
    int found[2];
    for (int f = 0; f < 2; f++) {
        vs_set_info sets[8];
        unsigned int mine = 1000;
        found[f] = wire_vs_sets(&forms[f], sets, 8, &mine);
        check(found[f] >= -2 && found[f] <= 8);
        if (found[f] < 0)
            continue;
        check(mine < (unsigned int)found[f]);
        for (int i = 0; i < found[f]; i++) {
            check((uint64_t)sets[i].members_offset + (uint64_t)sets[i].num_members * 32 <= size);
            char names[4][MAX_GROUP_NAME];
            int n = wire_vs_set_members(&forms[f], &sets[i], names, 4);
            check(n == (sets[i].num_members > 4 ? -2 : (int)sets[i].num_members));
            for (int k = 0; k < n; k++)
                check(names[k][MAX_GROUP_NAME - 1] == '\0');
        }
    }
    check(found[0] == found[1]);
    std::vector<unsigned char> copy(data, data + size);
    wire_memb_swap(copy.data(), copy.size());
    int32 gid[3] = {1, 2, 3};
    unsigned char body[WIRE_MEMB_BODY_SIZE];
    std::vector<char> name(data, data + size);
    name.push_back('\0');
    wire_memb_body_encode(body, gid, name.data());
    check(body[WIRE_MEMB_BODY_SIZE - 1] == 0);
    (void)wire_group_name_legal(name.data());
}

// The first bytes choose the receiver's buffers and whether it reads ahead;
// the rest is the stream.
void receive_stream(const uint8_t *data, size_t size)
{
    if (size < 4 || size > 60000)
        return;
    int max_groups = data[0] % 5;
    int max_len = data[1] * 8;
    bool drop = data[2] & 1;
    bool read_ahead = data[3] & 1;
    data += 4;
    size -= 4;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return;
    // Fits the socket buffer: written at once, then end of file.
    size_t off = 0;
    while (off < size) {
        ssize_t n = write(sv[1], data + off, size - off);
        if (n <= 0)
            break;
        off += (size_t)n;
    }
    close(sv[1]);
    if (sp_session_adopt(sv[0], "#fuzz#localhost") != 0) {
        close(sv[0]);
        return;
    }
    if (read_ahead)
        check(SP_read_ahead(sv[0], 1) == 0);
    char sender[MAX_GROUP_NAME], groups[4][MAX_GROUP_NAME];
    std::vector<char> mess((size_t)max_len + 1);
    bool retried = false;  // the last call was a retry after a too-short return
    for (int round = 0; round < 2000; round++) {
        service st = drop ? DROP_RECV : 0;
        int ng = 0, em = 0;
        int16 mt = 0;
        int r = SP_receive(sv[0], &st, sender, max_groups, &ng, groups, &mt, &em, max_len, mess.data());
        if (r >= 0) {
            check(r <= max_len);
            check(ng <= max_groups);
            membership_info mi;
            (void)SP_get_memb_info(mess.data(), st, &mi);
            retried = false;
            continue;
        }
        if (r == GROUPS_TOO_SHORT || r == BUFFER_TOO_SHORT) {
            check(r == BUFFER_TOO_SHORT ? (drop || ng == 0) : ng < 0);
            if (drop)
                continue;
            // Without DROP_RECV the message stays: ask once more with the
            // most room this receiver has, then give up.
            if (retried)
                break;
            max_groups = 4;
            retried = true;
            continue;
        }
        check(r == CONNECTION_CLOSED || r == ILLEGAL_MESSAGE);
        if (r == ILLEGAL_MESSAGE)
            check(SP_receive(sv[0], &st, sender, max_groups, &ng, groups, &mt, &em, max_len, mess.data()) ==
                  CONNECTION_CLOSED);
        check(SP_receive(sv[0], &st, sender, max_groups, &ng, groups, &mt, &em, max_len, mess.data()) ==
              NET_ERROR_ON_SESSION);
        break;
    }
    check(SP_disconnect(sv[0]) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    decoders(data, size);
    receive_stream(data, size);
    return 0;
}
