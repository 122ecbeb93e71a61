/*
 * failure_list.cpp - the packed failure list: written by a slave into its
 * result slot, carried by an agent in its result message, printed by the
 * master's summary of failed tests.
 *
 * An entry is three length-prefixed texts (path, location, condition), each
 * at most 253 bytes; the list ends with 0xFE, or with 0xFF where it was cut
 * because the area was full. The printer reads bytes that came from another
 * process or from the network: it never looks past summary_len, and a list
 * whose lengths run past the end, or that has no end byte, is reported as
 * malformed after the entries that were whole.
 */
#include "failure_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "messages.h"
#include "tree.h"

namespace {

/* Room for the longest text plus snprintf's NUL. */
constexpr size_t TEXT_BUF = KEL_FL_MAX_TEXT + 1;
constexpr size_t NODE_TEXT_BUF = 64;

size_t cut_len(size_t len)
{
    return len < KEL_FL_MAX_TEXT ? len : KEL_FL_MAX_TEXT;
}

/* Where a reported record came from, for the lines that name it: a local
 * slave by its pid, a remote process by its node's text. */
struct origin {
    int32_t pid;
    char node[NODE_TEXT_BUF];
};

void origin_init(origin *o, const kel_failed_info_t *rec)
{
    o->pid = rec->reported.pid;
    o->node[0] = '\0';
    if (rec->reported.pid == 0 && kel_od_node_id_to_string(rec->reported.node, o->node, sizeof o->node) != 0) {
        snprintf(o->node, sizeof o->node, "%s", KEL_MSG_FL_UNKNOWN_NODE);
    }
}

void print_truncated(const origin *o)
{
    if (o->pid != 0) {
        printf(KEL_MSG_FL_TRUNCATED_PID, o->pid);
    } else {
        printf(KEL_MSG_FL_TRUNCATED_NODE, o->node);
    }
}

void print_malformed(const origin *o)
{
    if (o->pid != 0) {
        printf(KEL_MSG_FL_MALFORMED_PID, o->pid);
    } else {
        printf(KEL_MSG_FL_MALFORMED_NODE, o->node);
    }
}

/* One entry's texts as offsets into the area. */
struct entry {
    size_t path;
    size_t path_len;
    size_t location;
    size_t location_len;
    size_t condition;
    size_t condition_len;
    size_t next;
};

/* Reads one length byte at pos: false when it lies outside the area or is
 * not a length (254 and 255 are marks, never lengths). */
bool read_len(const uint8_t *area, size_t size, size_t pos, size_t *len)
{
    if (pos >= size || area[pos] > KEL_FL_MAX_TEXT) {
        return false;
    }
    *len = area[pos];
    return true;
}

/* Decodes the entry starting at pos; false when it does not lie whole inside
 * the area. Every bound is checked before the byte it guards is read. */
bool decode_entry(const uint8_t *area, size_t size, size_t pos, entry *e)
{
    if (!read_len(area, size, pos, &e->path_len)) {
        return false;
    }
    e->path = pos + 1;
    if (!read_len(area, size, e->path + e->path_len, &e->location_len)) {
        return false;
    }
    e->location = e->path + e->path_len + 1;
    if (!read_len(area, size, e->location + e->location_len, &e->condition_len)) {
        return false;
    }
    e->condition = e->location + e->location_len + 1;
    e->next = e->condition + e->condition_len;
    return e->next <= size;
}

void print_entry(const char *area, const entry *e, uint16_t proc, const origin *o)
{
    printf(KEL_MSG_FL_ENTRY, KEL_DASHES, static_cast<int>(e->path_len), area + e->path);
    if (o->pid != 0) {
        printf(KEL_FMT_PROC_PID, proc, o->pid);
    } else {
        printf(KEL_FMT_PROC_NODE, proc, o->node);
    }
    printf("\n");
    /* The place as one text, bounded by its length byte. */
    char place[TEXT_BUF];
    snprintf(place, sizeof place, "%.*s", static_cast<int>(e->location_len), area + e->location);
    kel__print_location(KEL_INDENT, NULL, 0, place);
    printf("\n");
    if (e->condition_len != 0) {
        printf(KEL_MSG_FL_CONDITION, static_cast<int>(e->condition_len), area + e->condition);
    }
}

/* Prints every whole entry of the list, then the cut line, or the malformed
 * line when the bytes end before an end byte or an entry runs past size. */
void print_list(const char *text, size_t size, uint16_t proc, const origin *o)
{
    const uint8_t *area = reinterpret_cast<const uint8_t *>(text);
    size_t pos = 0;
    for (;;) {
        if (pos >= size) {
            print_malformed(o);
            return;
        }
        if (area[pos] == KEL_FL_END) {
            return;
        }
        if (area[pos] == KEL_FL_TRUNCATED) {
            print_truncated(o);
            return;
        }
        entry e;
        if (!decode_entry(area, size, pos, &e)) {
            print_malformed(o);
            return;
        }
        print_entry(text, &e, proc, o);
        pos = e.next;
    }
}

} // namespace

void kel__fl_init(uint8_t *area, size_t size, size_t *used)
{
    if (area == NULL || used == NULL || size == 0) {
        return;
    }
    area[0] = KEL_FL_END;
    *used = 1;
}

/* The entry goes where the end byte stands now; it needs its three texts and
 * four bytes (three lengths and the new end byte) within size. A record that
 * does not fit leaves the cut mark, after which the list takes no more. */
void kel__fl_append(uint8_t *area, size_t size, size_t *used, const kel_failed_info_t *rec)
{
    if (area == NULL || used == NULL || rec == NULL || *used == 0 || *used > size) {
        return;
    }
    size_t at = *used - 1;
    if (area[at] == KEL_FL_TRUNCATED) {
        return;
    }

    char *path = rec->local.tc != NULL ? kel__tc_path_dup(rec->local.tc, ':') : NULL;
    const char *path_text = path != NULL ? path : "";
    size_t path_len = cut_len(strlen(path_text));

    char location[TEXT_BUF];
    int n = snprintf(location, sizeof location, KEL_MSG_FL_LOCATION_TEXT,
                     rec->local.file != NULL ? rec->local.file : "", rec->local.line,
                     rec->local.function != NULL ? rec->local.function : "");
    size_t location_len = n > 0 ? cut_len(static_cast<size_t>(n)) : 0;

    const char *condition = rec->local.condition != NULL ? rec->local.condition : "";
    size_t condition_len = strnlen(condition, KEL_FL_MAX_TEXT);

    size_t need = path_len + location_len + condition_len + 4;
    if (size - at < need) {
        area[at] = KEL_FL_TRUNCATED;
        free(path);
        return;
    }
    uint8_t *p = area + at;
    *p++ = static_cast<uint8_t>(path_len);
    memcpy(p, path_text, path_len);
    p += path_len;
    *p++ = static_cast<uint8_t>(location_len);
    memcpy(p, location, location_len);
    p += location_len;
    *p++ = static_cast<uint8_t>(condition_len);
    memcpy(p, condition, condition_len);
    p += condition_len;
    *p = KEL_FL_END;
    *used = static_cast<size_t>(p - area) + 1;
    free(path);
}


/* The record's list as the summary shows it, then the newline that closes
 * every record of the summary. Only summary_len bytes are read. */
void kel__fl_print_reported(const kel_failed_info_t *rec)
{
    if (rec == NULL) {
        return;
    }
    origin o;
    origin_init(&o, rec);
    if (rec->reported.malformed) {
        /* In the list's place, as a cut list's line stands after it. */
        if (o.pid != 0)
            printf(KEL_MSG_FL_BAD_RESULT_PID, o.pid);
        else
            printf(KEL_MSG_FL_BAD_RESULT_NODE, o.node);
        printf(KEL_MSG_EOL);
        return;
    }
    print_list(rec->reported.summary, rec->reported.summary != NULL ? rec->reported.summary_len : 0, rec->reported.proc, &o);
    printf(KEL_MSG_EOL);
}
