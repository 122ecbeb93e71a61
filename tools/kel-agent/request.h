/*
 * request.h - what kel-agent lets in: the checks of a spawn request and the
 * slave command line built from an accepted one.
 *
 * Functions over bytes and the file system: no sockets, no processes, no
 * state. An accepted request holds the open descriptor of the program it
 * names (close it). The fuzz target drives them directly.
 */
#ifndef KEL_AGENT_REQUEST_H
#define KEL_AGENT_REQUEST_H

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#include "agent_msg.h"

/* The folders under which programs may be started, each resolved with
 * realpath when the agent starts. */
struct agent_allowed {
    char **dirs;
    size_t count;
};

/* An accepted request: its fields, the program's real path, and the
 * program itself, opened with O_PATH and checked through that descriptor:
 * the slave is started from it, so a folder or link swapped after the
 * check changes nothing. */
struct agent_request {
    kel__spawn_req_fields f;
    char program[PATH_MAX];
    int program_fd;
};

/* Room for a reason: the reply's text field. */
#define AGENT_REASON_SIZE KEL_RSP_REASON_SIZE

/* Checks a received request of len bytes: header (magic, version, type 1),
 * every field (texts NUL-terminated within their fields, no empty or
 * option-like path name, known flags only, verbosity 0..2, task not 0) and
 * the program (an executable regular file whose real path lies under one of
 * the allowed folders). Returns true and fills out (program_fd open) when it
 * may run; else false, nothing left open, with a sentence for a person in
 * reason ("malformed request: ...", "program not allowed: ..."). */
bool agent_check_request(const uint8_t *msg, size_t len, const agent_allowed *allowed, agent_request *out,
                         char *reason, size_t reason_size);

/* Opens name (links followed, O_PATH) and checks what was opened: its real
 * path, read back from the descriptor and still naming the same file, lies
 * under an allowed folder, and it is an executable regular file. Fills
 * resolved (PATH_MAX bytes) and *fd, or reason (nothing left open). "Under"
 * compares whole path components: /srv/tests-evil is not under /srv/tests. */
bool agent_check_program(const char *name, const agent_allowed *allowed, char *resolved, int *fd, char *reason,
                         size_t reason_size);

/* True when path lies under dir, both real paths: dir itself or dir, a
 * slash and more. */
bool agent_path_under(const char *path, const char *dir);

/* The slave's command line (slave_proto.h): its name, slot 0 of the
 * segment, -D when the list is not empty, -seq and -node_num when not 0, the
 * other options as the request asks, then one argument per path name. At
 * most 128 names fit in the request's field. The name is the process name
 * the master sent, each blank made '_': a slave splits its arguments at
 * blanks, its name included, and the program is started from its
 * descriptor, not by name. */
#define AGENT_MAX_NAMES (KEL_REQ_TEST_CASE_SIZE / 2)
#define AGENT_MAX_ARGS (KEL_SLAVE_OPTION_ARGS + AGENT_MAX_NAMES + 1)
struct agent_argv {
    char *argv[AGENT_MAX_ARGS];
    char *names[AGENT_MAX_NAMES];
    char words[KEL_REQ_TEST_CASE_SIZE];
    kel_slave_numbers_t nums;
    char segment[64];
    char name[KEL_REQ_PROCESS_NAME_SIZE];
};

/* Builds argv in out from an accepted request; the vector points into out
 * and req, which must outlive it. */
void agent_build_argv(const agent_request *req, const char *segment, agent_argv *out);

#endif
