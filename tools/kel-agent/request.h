/*
 * request.h - what kel-agent lets in: the checks of a spawn request and the
 * slave command line built from an accepted one.
 *
 * Pure functions over bytes and the file system (realpath, stat): no
 * sockets, no processes, no state. The fuzz target drives them directly.
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

/* An accepted request: its fields and the resolved program. */
struct agent_request {
    kel__spawn_req_fields f;
    char program[PATH_MAX];
};

/* Room for a reason: the reply's text field. */
#define AGENT_REASON_SIZE KEL_RSP_REASON_SIZE

/* Checks a received request of len bytes: header (magic, version, type 1),
 * every field (texts NUL-terminated within their fields, no empty or
 * option-like path name, known flags only, verbosity 0..2, task not 0) and
 * the program (an executable regular file whose real path lies under one of
 * the allowed folders). Returns true and fills out when it may run; else
 * false with a sentence for a person in reason ("malformed request: ...",
 * "program not allowed: ..."). */
bool agent_check_request(const uint8_t *msg, size_t len, const agent_allowed *allowed, agent_request *out,
                         char *reason, size_t reason_size);

/* Resolves name and checks it against the allowed folders; fills resolved
 * (PATH_MAX bytes) or reason. "Under" compares whole path components:
 * /srv/tests-evil is not under /srv/tests. */
bool agent_check_program(const char *name, const agent_allowed *allowed, char *resolved, char *reason,
                         size_t reason_size);

/* True when path lies under dir, both real paths: dir itself or dir, a
 * slash and more. */
bool agent_path_under(const char *path, const char *dir);

/* The slave's command line (slave_proto.h): slot 0 of the segment, -D
 * when the list is not empty, -seq and -node_num when not 0, the other
 * options as the request asks, then one argument per path name. At most
 * 128 names fit in the request's field. */
#define AGENT_MAX_NAMES (KEL_REQ_TEST_CASE_SIZE / 2)
#define AGENT_MAX_ARGS (KEL_SLAVE_OPTION_ARGS + AGENT_MAX_NAMES + 1)
struct agent_argv {
    char *argv[AGENT_MAX_ARGS];
    char *names[AGENT_MAX_NAMES];
    char words[KEL_REQ_TEST_CASE_SIZE];
    kel_slave_numbers_t nums;
    char segment[64];
};

/* Builds argv in out from an accepted request; the vector points into out
 * and req, which must outlive it. */
void agent_build_argv(const agent_request *req, const char *segment, agent_argv *out);

#endif
