/*
 * request.cpp - the checks kel-agent makes on a spawn request before it
 * starts anything, and the slave command line of an accepted one.
 *
 * A request comes from whoever can reach the port. It is taken apart only
 * through the shared unpacking code, every text is bounded by its field,
 * and the program it names must resolve (symbolic links and ".." followed)
 * to an executable regular file inside one of the folders given with -a.
 * The name is opened once (O_PATH) and everything is checked on what was
 * opened: its real path is read back from /proc/self/fd and must still name
 * the same file. The slave is then started from that descriptor, never by a
 * name, so neither PATH nor a folder or link swapped after the check plays
 * any part. The path names become separate arguments; one that
 * begins with "-" would read as an option of the slave and is refused.
 * The name=value list becomes the one argument after -D: it must be one word
 * (a blank in it would add options), and no name in it may begin with "-".
 * No text may hold a control character: a newline would forge log lines.
 */
#include "request.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent_text.h"
#include "slave_proto.h"

namespace {

bool reject(char *reason, size_t size, const char *why)
{
    snprintf(reason, size, AGENT_FMT_MALFORMED, why);
    return false;
}

bool terminated(const char *field, size_t size)
{
    return memchr(field, '\0', size) != NULL;
}

/* A newline would forge lines in the logs that print the text. */
bool has_control(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; p++)
        if (*p < ' ' || *p == 0x7F)
            return true;
    return false;
}

/* The list is one word, and none of its names reads as an option. A value
 * may begin with '-' ("delta=-28"): inside the word it is no token. */
bool check_nvp_list(const char *list, char *reason, size_t size)
{
    if (!kel__nvp_list_is_one_word(list))
        return reject(reason, size, AGENT_MSG_NVP_NOT_ONE_WORD);
    const char *p = list;
    for (;;) {
        if (p[0] == '-') {
            size_t n = strcspn(p, "=:");
            snprintf(reason, size, AGENT_FMT_NVP_OPTION, static_cast<int>(n < 64 ? n : 64), p);
            return false;
        }
        const char *colon = strchr(p, ':');
        if (!colon)
            return true;
        p = colon + 1;
    }
}

/* The path names: separated by single blanks, none empty, none an option. */
bool check_test_case(const char *tc, char *reason, size_t size)
{
    if (!terminated(tc, KEL_REQ_TEST_CASE_SIZE))
        return reject(reason, size, AGENT_MSG_TC_UNTERMINATED);
    if (tc[0] == '\0')
        return reject(reason, size, AGENT_MSG_TC_EMPTY);
    if (has_control(tc))
        return reject(reason, size, AGENT_MSG_TC_CONTROL);
    const char *p = tc;
    for (;;) {
        const char *end = strchr(p, ' ');
        size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
        if (n == 0)
            return reject(reason, size, AGENT_MSG_TC_EMPTY_NAME);
        if (p[0] == '-') {
            snprintf(reason, size, AGENT_FMT_TC_OPTION, p);
            return false;
        }
        if (!end)
            return true;
        p = end + 1;
    }
}

} // namespace

bool agent_path_under(const char *path, const char *dir)
{
    size_t n = strlen(dir);
    /* "/" holds everything; a real path has no trailing slash otherwise. */
    if (n == 1 && dir[0] == '/')
        return path[0] == '/';
    return strncmp(path, dir, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

bool agent_check_program(const char *name, const agent_allowed *allowed, char *resolved, int *fd, char *reason,
                         size_t reason_size)
{
    *fd = -1;
    if (allowed == NULL || allowed->count == 0) {
        snprintf(reason, reason_size, AGENT_FMT_NO_ALLOWED, name);
        return false;
    }
    int opened = open(name, O_PATH | O_CLOEXEC);
    char self[32];
    snprintf(self, sizeof self, "/proc/self/fd/%d", opened);
    ssize_t n = opened < 0 ? -1 : readlink(self, resolved, PATH_MAX - 1);
    if (n < 0) {
        snprintf(reason, reason_size, AGENT_FMT_UNRESOLVED, name, strerror(errno));
        if (opened >= 0)
            close(opened);
        return false;
    }
    resolved[n] = '\0';
    /* The path read back names the opened file now: not a file moved or
     * removed since (its path would read "... (deleted)"). */
    struct stat by_fd, by_path;
    bool same = fstat(opened, &by_fd) == 0 && stat(resolved, &by_path) == 0 && by_fd.st_dev == by_path.st_dev &&
                by_fd.st_ino == by_path.st_ino;
    bool under = false;
    for (size_t i = 0; i < allowed->count && !under; i++)
        under = agent_path_under(resolved, allowed->dirs[i]);
    if (!same || !under)
        snprintf(reason, reason_size, same ? AGENT_FMT_NOT_UNDER : AGENT_FMT_MOVED, resolved);
    else if (!S_ISREG(by_fd.st_mode) || access(self, X_OK) != 0)
        snprintf(reason, reason_size, AGENT_FMT_NOT_EXECUTABLE, resolved);
    else {
        *fd = opened;
        return true;
    }
    close(opened);
    return false;
}

bool agent_check_request(const uint8_t *msg, size_t len, const agent_allowed *allowed, agent_request *out,
                         char *reason, size_t reason_size)
{
    if (len != KEL_SPAWN_REQ_SIZE) {
        snprintf(reason, reason_size, AGENT_FMT_WRONG_SIZE, len, KEL_SPAWN_REQ_SIZE);
        return false;
    }
    kel_spawn_req_t image;
    memcpy(&image, msg, sizeof image);
    kel__spawn_req_fields *f = &out->f;
    kel__spawn_req_unpack(&image, f);

    if (f->hdr.magic != KEL_AGENT_MAGIC) {
        snprintf(reason, reason_size, AGENT_FMT_WRONG_MAGIC, f->hdr.magic, KEL_AGENT_MAGIC);
        return false;
    }
    if (f->hdr.version != KEL_AGENT_VERSION) {
        snprintf(reason, reason_size, AGENT_FMT_WRONG_VERSION, f->hdr.version, KEL_AGENT_VERSION);
        return false;
    }
    if (f->hdr.type != KEL_AGENT_MSG_SPAWN_REQ) {
        snprintf(reason, reason_size, AGENT_FMT_WRONG_TYPE, f->hdr.type, KEL_AGENT_MSG_SPAWN_REQ);
        return false;
    }
    if (f->verbosity > KEL_VERBOSITY_DEBUG) {
        snprintf(reason, reason_size, AGENT_FMT_BAD_VERBOSITY, f->verbosity);
        return false;
    }
    if ((f->flags & ~KEL_REQ_KNOWN_FLAGS) != 0) {
        snprintf(reason, reason_size, AGENT_FMT_BAD_FLAGS, f->flags);
        return false;
    }
    if (f->task == 0)
        return reject(reason, reason_size, AGENT_MSG_TASK_ZERO);
    if (!terminated(f->process_name, sizeof f->process_name))
        return reject(reason, reason_size, AGENT_MSG_NAME_UNTERMINATED);
    if (f->process_name[0] == '\0')
        return reject(reason, reason_size, AGENT_MSG_NAME_EMPTY);
    if (has_control(f->process_name))
        return reject(reason, reason_size, AGENT_MSG_NAME_CONTROL);
    if (!terminated(f->nvp_list, sizeof f->nvp_list))
        return reject(reason, reason_size, AGENT_MSG_NVP_UNTERMINATED);
    if (!(f->flags & KEL_SPAWN_F_NVP) && f->nvp_list[0] != '\0')
        return reject(reason, reason_size, AGENT_MSG_NVP_WITHOUT_FLAG);
    if (!check_nvp_list(f->nvp_list, reason, reason_size))
        return false;
    if (!check_test_case(f->test_case, reason, reason_size))
        return false;
    return agent_check_program(f->process_name, allowed, out->program, &out->program_fd, reason, reason_size);
}

void agent_build_argv(const agent_request *req, const char *segment, agent_argv *out)
{
    const kel__spawn_req_fields *f = &req->f;
    snprintf(out->segment, sizeof out->segment, "%s", segment);
    /* Checked: terminated within the field. */
    memcpy(out->words, f->test_case, sizeof out->words);
    size_t n = 0;
    char *p = out->words;
    while (*p != '\0' && n < AGENT_MAX_NAMES) {
        out->names[n++] = p;
        char *blank = strchr(p, ' ');
        if (!blank)
            break;
        *blank = '\0';
        p = blank + 1;
    }

    snprintf(out->name, sizeof out->name, "%s", f->process_name);
    for (char *b = strchr(out->name, ' '); b; b = strchr(b, ' '))
        *b = '_';

    kel_slave_order_t order;
    memset(&order, 0, sizeof order);
    order.program = out->name;
    order.task = f->task;
    order.segment = out->segment;
    order.slot = 0;
    order.vars = (f->flags & KEL_SPAWN_F_NVP) && f->nvp_list[0] != '\0' ? f->nvp_list : NULL;
    order.verbosity = f->verbosity;
    order.strict = (f->flags & KEL_SPAWN_F_STRICT) != 0;
    order.seq_given = f->seq != 0;
    order.seq = f->seq;
    order.node_num = f->node_num;
    order.path = out->names;
    order.path_len = n;
    kel__slave_argv(&order, &out->nums, out->argv);
}
