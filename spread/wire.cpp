// Pure encoding and decoding of Spread protocol messages (see wire.h).
#include "spread/wire.h"

#include <bit>
#include <cstring>

namespace {

constexpr uint32_t host_marker()
{
    return std::endian::native == std::endian::little ? WIRE_ENDIAN_MARKER : 0;
}

bool foreign_marker(uint32_t field) { return (field & WIRE_ENDIAN_MARKER) != host_marker(); }

int32_t load_i32(const unsigned char *p, bool swap) { return (int32_t)wire_load_u32(p, swap); }

}  // namespace

bool wire_host_little_endian() { return std::endian::native == std::endian::little; }

uint32_t wire_swap_u32(uint32_t v)
{
    return ((v >> 24) & 0xffu) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

uint32_t wire_load_u32(const unsigned char *p, bool swap)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return swap ? wire_swap_u32(v) : v;
}

void wire_store_u32(unsigned char *p, uint32_t v) { memcpy(p, &v, 4); }

int wire_header_decode(const unsigned char *p, const unsigned char *limit, WireHeader *h)
{
    if (limit < p || (size_t)(limit - p) < WIRE_HEADER_SIZE)
        return -1;
    uint32_t type = wire_load_u32(p, false);
    bool swap = foreign_marker(type);
    if (swap)
        type = wire_swap_u32(type);
    h->type = type & ~WIRE_ENDIAN_MARKER;
    memcpy(h->sender, p + 4, MAX_GROUP_NAME);
    h->num_groups = load_i32(p + 36, swap);
    memcpy(&h->hint_raw, p + 40, 4);
    h->data_len = load_i32(p + 44, swap);
    h->foreign = swap;
    return 0;
}

void wire_header_encode(const WireHeader *h, unsigned char *out)
{
    wire_store_u32(out, (h->type & ~WIRE_ENDIAN_MARKER) | host_marker());
    memcpy(out + 4, h->sender, MAX_GROUP_NAME);
    wire_store_u32(out + 36, (uint32_t)h->num_groups);
    memcpy(out + 40, &h->hint_raw, 4);
    wire_store_u32(out + 44, (uint32_t)h->data_len);
}

uint32_t wire_hint_encode(int16 mess_type)
{
    return (((uint32_t)(uint16_t)mess_type << 8) & 0x00FFFF00u) | host_marker();
}

uint32_t wire_hint_value(uint32_t hint_raw, bool *swapped)
{
    bool swap = foreign_marker(hint_raw);
    if (swapped)
        *swapped = swap;
    if (swap)
        hint_raw = wire_swap_u32(hint_raw);
    return hint_raw & ~WIRE_ENDIAN_MARKER;
}

int16 wire_hint_mess_type(uint32_t hint_raw, bool *swapped)
{
    uint32_t v = wire_hint_value(hint_raw, swapped);
    return (int16)(uint16_t)((v >> 8) & 0xFFFFu);
}

uint32_t wire_old_type_decode(const unsigned char *p, bool foreign)
{
    return wire_load_u32(p, foreign) & ~WIRE_ENDIAN_MARKER;
}

int64_t wire_payload_size(const WireHeader *h, bool daemon_to_client)
{
    if (h->num_groups < 0 || h->data_len < 0)
        return -1;
    int64_t extra = (daemon_to_client && (h->type & REJECT_MESS)) ? (int64_t)WIRE_OLD_TYPE_SIZE : 0;
    return extra + (int64_t)h->num_groups * (int64_t)WIRE_GROUP_SIZE + (int64_t)h->data_len;
}

void wire_group_slot(char slot[MAX_GROUP_NAME], const char *name)
{
    size_t n = name ? strnlen(name, MAX_GROUP_NAME - 1) : 0;
    if (n)
        memcpy(slot, name, n);
    memset(slot + n, 0, MAX_GROUP_NAME - n);
}

bool wire_name_char_legal(unsigned char c) { return c >= '$' && c <= '~'; }

bool wire_group_name_legal(const char *name)
{
    if (!name)
        return false;
    size_t n = strnlen(name, MAX_GROUP_NAME);
    if (n == 0 || n >= MAX_GROUP_NAME)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!wire_name_char_legal((unsigned char)name[i]))
            return false;
    return true;
}

int wire_group_index(const char *groups, int count, const char *name)
{
    for (int i = 0; i < count; i++)
        if (strncmp(groups + (size_t)i * MAX_GROUP_NAME, name, MAX_GROUP_NAME) == 0)
            return i;
    return -1;
}

WireBody wire_body_of(const unsigned char *p, size_t len, scat_element *piece)
{
    piece->buf = (char *)p;
    piece->len = len;
    return WireBody{piece, 1, len};
}

namespace {

// Finds the piece holding offset at; *base is where that piece starts.
// False when at lies past every piece.
bool body_seek(const WireBody *b, uint64_t at, size_t *piece, uint64_t *base)
{
    uint64_t start = 0;
    for (size_t i = 0; i < b->count; i++) {
        uint64_t end = start + b->pieces[i].len;
        if (at < end) {
            *piece = i;
            *base = start;
            return true;
        }
        start = end;
    }
    return false;
}

// Copies n bytes between the body at offset at and flat (out of the body
// when to_body is false).
bool body_copy(const WireBody *b, uint64_t at, unsigned char *flat, size_t n, bool to_body)
{
    if (at > b->len || n > b->len - at)
        return false;
    if (n == 0)
        return true;
    size_t i;
    uint64_t base;
    if (!body_seek(b, at, &i, &base))
        return false;
    size_t done = 0;
    size_t off = (size_t)(at - base);
    while (done < n) {
        if (i >= b->count)
            return false;
        const scat_element &e = b->pieces[i];
        size_t take = e.len - off < n - done ? e.len - off : n - done;
        if (take > 0) {
            if (!e.buf)
                return false;
            if (to_body)
                memcpy(e.buf + off, flat + done, take);
            else
                memcpy(flat + done, e.buf + off, take);
        }
        done += take;
        i++;
        off = 0;
    }
    return true;
}

bool body_u32(const WireBody *b, uint64_t at, uint32_t *v)
{
    unsigned char raw[4];
    if (!body_copy(b, at, raw, 4, false))
        return false;
    *v = wire_load_u32(raw, false);
    return true;
}

}  // namespace

bool wire_body_read(const WireBody *b, uint64_t at, void *out, size_t n)
{
    return body_copy(b, at, (unsigned char *)out, n, false);
}

bool wire_body_write(const WireBody *b, uint64_t at, const void *in, size_t n)
{
    return body_copy(b, at, (unsigned char *)const_cast<void *>(in), n, true);
}

int wire_memb_info(const WireBody *b, uint32_t service_type, membership_info *info)
{
    memset(info, 0, sizeof *info);
    if (service_type & REJECT_MESS)
        return -1;
    if (service_type & REG_MEMB_MESS) {
        size_t len = b->len;
        uint32_t gid[3], sets, local, members;
        if (len < WIRE_MEMB_VS_BASE || !body_u32(b, 0, &gid[0]) || !body_u32(b, 4, &gid[1]) ||
            !body_u32(b, 8, &gid[2]) || !body_u32(b, 12, &sets) || !body_u32(b, 16, &local))
            return -1;
        for (int i = 0; i < 3; i++)
            info->gid.id[i] = (int32)gid[i];
        uint64_t at = (uint64_t)WIRE_MEMB_VS_BASE + local;
        // Every vs-set takes at least its 4-byte count.
        if ((uint64_t)sets > (len - WIRE_MEMB_VS_BASE) / 4)
            return -1;
        if (at + 4 > len || !body_u32(b, at, &members))
            return -1;
        uint64_t first = at + 4;
        if (first + (uint64_t)members * WIRE_GROUP_SIZE > len)
            return -1;
        info->num_vs_sets = sets;
        info->my_vs_set.num_members = members;
        info->my_vs_set.members_offset = (unsigned int)first;
        if (service_type & (CAUSED_BY_JOIN | CAUSED_BY_LEAVE | CAUSED_BY_DISCONNECT)) {
            if (!wire_body_read(b, WIRE_MEMB_VS_BASE + 4, info->changed_member, MAX_GROUP_NAME))
                return -1;
            info->changed_member[MAX_GROUP_NAME - 1] = '\0';
        }
        return 0;
    }
    if (service_type & TRANSITION_MESS) {
        uint32_t gid[3];
        if (!body_u32(b, 0, &gid[0]) || !body_u32(b, 4, &gid[1]) || !body_u32(b, 8, &gid[2]))
            return -1;
        for (int i = 0; i < 3; i++)
            info->gid.id[i] = (int32)gid[i];
        return 0;
    }
    return -1;
}

int wire_memb_info(const unsigned char *body, size_t len, uint32_t service_type,
                   membership_info *info)
{
    scat_element piece;
    WireBody b = wire_body_of(body, len, &piece);
    return wire_memb_info(&b, service_type, info);
}

int wire_vs_sets(const WireBody *b, vs_set_info *sets, size_t max, unsigned int *my_index)
{
    uint32_t count, local;
    if (b->len < WIRE_MEMB_VS_BASE || !body_u32(b, 12, &count) || !body_u32(b, 16, &local))
        return -1;
    if ((uint64_t)count > (b->len - WIRE_MEMB_VS_BASE) / 4)
        return -1;
    // First the whole walk, then the filling: a body that does not hold
    // its vs-sets is refused whatever room the caller gave.
    uint64_t mine = (uint64_t)WIRE_MEMB_VS_BASE + local;
    bool found = false;
    unsigned int index = 0;
    uint64_t at = WIRE_MEMB_VS_BASE;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t members = 0;
        if (!body_u32(b, at, &members))
            return -1;
        uint64_t end = at + 4 + (uint64_t)members * WIRE_GROUP_SIZE;
        if (end > b->len)
            return -1;
        if (at == mine) {
            found = true;
            index = i;
        }
        at = end;
    }
    if (!found)
        return -1;
    if (count > max)
        return -2;
    at = WIRE_MEMB_VS_BASE;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t members = 0;
        body_u32(b, at, &members);
        sets[i].num_members = members;
        sets[i].members_offset = (unsigned int)(at + 4);
        at += 4 + (uint64_t)members * WIRE_GROUP_SIZE;
    }
    if (my_index)
        *my_index = index;
    return (int)count;
}

int wire_vs_set_members(const WireBody *b, const vs_set_info *set, char (*names)[MAX_GROUP_NAME],
                        size_t max)
{
    uint64_t end = (uint64_t)set->members_offset + (uint64_t)set->num_members * WIRE_GROUP_SIZE;
    if (end > b->len)
        return -1;
    if (set->num_members > max)
        return -2;
    for (unsigned int i = 0; i < set->num_members; i++) {
        if (!wire_body_read(b, set->members_offset + (uint64_t)i * WIRE_GROUP_SIZE, names[i],
                            MAX_GROUP_NAME))
            return -1;
        names[i][MAX_GROUP_NAME - 1] = '\0';
    }
    return (int)set->num_members;
}

void wire_memb_swap(const WireBody *b)
{
    auto swap_at = [&](uint64_t at) -> bool {
        unsigned char raw[4];
        if (!body_copy(b, at, raw, 4, false))
            return false;
        wire_store_u32(raw, wire_swap_u32(wire_load_u32(raw, false)));
        return body_copy(b, at, raw, 4, true);
    };
    for (uint64_t at = 0; at < WIRE_MEMB_VS_BASE; at += 4)
        if (!swap_at(at))
            return;
    uint32_t sets = 0;
    body_u32(b, 12, &sets);
    uint64_t at = WIRE_MEMB_VS_BASE;
    for (uint32_t i = 0; i < sets; i++) {
        if (!swap_at(at))
            return;
        uint32_t members = 0;
        body_u32(b, at, &members);
        at += 4 + (uint64_t)members * WIRE_GROUP_SIZE;
        if (at >= b->len)
            return;
    }
}

void wire_memb_swap(unsigned char *body, size_t len)
{
    scat_element piece;
    WireBody b = wire_body_of(body, len, &piece);
    wire_memb_swap(&b);
}

void wire_memb_body_encode(unsigned char out[WIRE_MEMB_BODY_SIZE], const int32 gid[3],
                           const char *changed_member)
{
    for (int i = 0; i < 3; i++)
        wire_store_u32(out + 4 * i, (uint32_t)gid[i]);
    wire_store_u32(out + 12, 1);  // one vs-set
    wire_store_u32(out + 16, 0);  // the receiver's vs-set is the first
    wire_store_u32(out + 20, 1);  // holding one member
    wire_group_slot((char *)out + 24, changed_member);
}
