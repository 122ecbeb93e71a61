/*
 * cmdline.cpp - the command line of kel_run.
 *
 * The argument vector becomes a fixed table of blank-separated tokens (a
 * master hands its slaves whole paths in one argument, and scripts pass
 * "folder test" quoted), the leading options fill the run configuration of
 * the instance, and the tokens after them are left for the selection. The
 * usage text lives here too, since the option parser is its first caller.
 */
#include "cmdline.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "messages.h"
#include "slave_proto.h"
#include "vars.h"

namespace {

/* strtol without error check, as the command line has always read numbers:
 * junk reads as 0, and only the low 32 bits count. */
int32_t read_number(const char *text)
{
    long v = strtol(text, nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

void add_token(kel_args_t *args, const char *word, size_t len)
{
    if (len > KEL_MAX_TOKEN_LEN)
        len = KEL_MAX_TOKEN_LEN;
    char *dst = args->tokens[args->count];
    memcpy(dst, word, len);
    dst[len] = '\0';
    args->count++;
}

/* Every option but -h, whose value is optional. */
enum class opt_id {
    quiet, debug, basic, perf, strict, process_mode, trace_forks,
    fork_id, shm_slot, shm_res, repeat, slave_seq, threads, node_num, vars,
};

struct option_def {
    const char *name;
    opt_id id;
    bool takes_value;
};

/* The options a slave is started with are spelled as the slave protocol
 * writes them (slave_proto.h). */
const option_def options[] = {
    {KEL_SLAVE_OPT_QUIET, opt_id::quiet, false},
    {KEL_SLAVE_OPT_DEBUG, opt_id::debug, false},
    {"-b", opt_id::basic, false},
    {"-p", opt_id::perf, false},
    {KEL_SLAVE_OPT_STRICT, opt_id::strict, false},
    {"-P", opt_id::process_mode, false},
    {"-trace-forks", opt_id::trace_forks, false},
    {KEL_SLAVE_OPT_FORK_ID, opt_id::fork_id, true},
    {KEL_SLAVE_OPT_SLOT, opt_id::shm_slot, true},
    {KEL_SLAVE_OPT_SHM_RES, opt_id::shm_res, true},
    {"-x", opt_id::repeat, true},
    {KEL_SLAVE_OPT_SEQ, opt_id::slave_seq, true},
    {"-T", opt_id::threads, true},
    {KEL_SLAVE_OPT_VARS, opt_id::vars, true},
    {KEL_SLAVE_OPT_NODE_NUM, opt_id::node_num, true},
};

const option_def *find_option(const char *token)
{
    for (const option_def &o : options)
        if (strcmp(o.name, token) == 0)
            return &o;
    return nullptr;
}

/* False when the value is refused and the run must stop. */
bool apply_option(kel_t *kel, opt_id id, const char *value, const char *prog)
{
    switch (id) {
    case opt_id::quiet: kel->cfg.verbosity = KEL_VERBOSITY_QUIET; break;
    case opt_id::debug: kel->cfg.verbosity = KEL_VERBOSITY_DEBUG; break;
    case opt_id::basic: kel->cfg.type_mask = KEL_TC_BASIC; break;
    case opt_id::perf: kel->cfg.type_mask = KEL_TC_PERF; break;
    case opt_id::strict: kel->cfg.strict = 1; break;
    case opt_id::process_mode: kel->cfg.process_mode = 1; break;
    case opt_id::trace_forks: kel->cfg.trace_forks = 1; break;
    case opt_id::fork_id: kel->cfg.fork_id = read_number(value); break;
    case opt_id::shm_slot: kel->cfg.shm_slot = read_number(value); break;
    case opt_id::repeat: kel->cfg.repeat_times = read_number(value); break;
    case opt_id::slave_seq: kel->cfg.slave_seq = read_number(value); break;
    case opt_id::node_num: kel->cfg.node_num = static_cast<uint32_t>(read_number(value)); break;
    case opt_id::threads:
        /* Stored all the same: the selection applies only a count above 0. */
        kel->cfg.threads = read_number(value);
        if (kel->cfg.threads < 1)
            kel_usage(prog, KEL_MSG_BAD_THREADS);
        if (kel->cfg.threads > KEL_MAX_THREADS) {
            kel_usage(prog, KEL_MSG_TOO_MANY_THREADS);
            return false;
        }
        break;
    case opt_id::shm_res:
        /* Our own copy: the token table dies with this kel_run call, and the
         * name must outlive it. */
        free(kel->cfg.shm_res);
        kel->cfg.shm_res = strdup(value);
        break;
    case opt_id::vars:
        /* A tokenized value holds no blank, but a tab or newline would still
         * reach a slave's command line. */
        if (!kel__nvp_list_is_one_word(value)) {
            kel_usage(prog, KEL_MSG_BAD_VARS);
            return false;
        }
        parse_nvp_list(kel, value);
        break;
    }
    return true;
}

} // namespace

int kel__tokenize(kel_args_t *args, int argc, char **argv)
{
    memset(args, 0, sizeof(*args));
    args->index = 1;
    for (int i = 0; i < argc && args->count < KEL_MAX_TOKENS; i++) {
        const char *p = argv[i];
        if (p == nullptr)
            continue;
        while (args->count < KEL_MAX_TOKENS) {
            while (*p == ' ')
                p++;
            if (*p == '\0')
                break;
            const char *word = p;
            while (*p != '\0' && *p != ' ')
                p++;
            add_token(args, word, static_cast<size_t>(p - word));
        }
    }
    return args->count;
}

int kel__parse_options(kel_args_t *args, kel_t *kel, const char *prog, bool *help, int32_t *depth)
{
    *help = false;
    *depth = KEL_DEPTH_UNLIMITED;
    while (args->index < args->count && args->tokens[args->index][0] == '-') {
        const char *token = args->tokens[args->index];
        const bool has_next = args->index + 1 < args->count;
        const char *next = has_next ? args->tokens[args->index + 1] : nullptr;

        if (strcmp(token, "-h") == 0) {
            /* The depth is optional: a following path or option reads as 0
             * and stays where it is. */
            *help = true;
            args->index++;
            if (has_next && read_number(next) != 0) {
                *depth = read_number(next);
                args->index++;
            }
            continue;
        }

        const option_def *opt = find_option(token);
        if (opt == nullptr) {
            kel_usage(prog, KEL_MSG_INVALID_OPTION);
            return 1;
        }
        if (opt->takes_value && !has_next) {
            /* A value option at the end is dropped, and with it the path. */
            args->index = args->count;
            break;
        }
        if (!apply_option(kel, opt->id, opt->takes_value ? next : nullptr, prog))
            return 1;
        args->index += opt->takes_value ? 2 : 1;
    }
    return 0;
}

void kel_usage(const char *prog, const char *message)
{
    if (message != nullptr)
        printf(KEL_MSG_USAGE_MESSAGE, message);
    printf(KEL_MSG_USAGE_HEAD, prog != nullptr ? prog : KEL_MSG_USAGE_DEFAULT_PROG);
    printf("%s", KEL_MSG_USAGE_BODY);
}
