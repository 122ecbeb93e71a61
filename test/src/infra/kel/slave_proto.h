/*
 * slave_proto.h - the slave protocol: how a master (or kel-agent) tells a
 * new process of the same test program to run one test case, and how that
 * slave hands its result back.
 *
 * A slave is told everything on its command line: the option spellings
 * below, written by kel__slave_argv from one record (kel_slave_order_t) and
 * read back by the option parser (cmdline.cpp). It answers through one
 * 1056-byte result slot in a POSIX shared-memory segment, in three steps:
 * the starter arms the slot before the slave runs, the slave publishes its
 * counts and packed failure list, and the starter reads it back with every
 * length bounded, since the slave may have died half-way or lied. The
 * agent's result message mirrors the slot on the wire (agent_msg.h).
 *
 * The run's verbosity is part of what a slave is told, so its levels live
 * here too. kel-agent compiles slave_proto.cpp into itself: nothing here
 * needs the rest of the library.
 */
#ifndef KEL_SLAVE_PROTO_H
#define KEL_SLAVE_PROTO_H

#include <stddef.h>
#include <stdint.h>

/* ------------------------------------------------------------------------ */
/* Verbosity                                                                */
/* ------------------------------------------------------------------------ */

/* What each level prints:
 *   quiet  (-q)  failure blocks; SUMMARY and result blocks only when failed
 *   normal       also test headers, pass and PERF lines, repeat banners, the
 *                failed-test list, elapsed time and passed result blocks
 *   debug  (-d)  also kel_printf text (and kel_debug() is true)
 *   always       usage, listings, the framework's own errors, lost slaves */
enum kel_verbosity { KEL_VERBOSITY_QUIET = 0, KEL_VERBOSITY_NORMAL = 1, KEL_VERBOSITY_DEBUG = 2 };

/* More than quiet: headers, pass lines and summaries print. */
static inline bool kel__verbose(int32_t level) { return level != KEL_VERBOSITY_QUIET; }
/* The debug level. */
static inline bool kel__debug(int32_t level) { return level >= KEL_VERBOSITY_DEBUG; }

/* A name=value list reaches a slave as the one argument after -D, and the
 * slave's option parser splits its arguments at blanks: a list with a blank
 * would smuggle options (-shm_res, -fork_id, ...) into the slave. Every list
 * that may be handed on is one word: no blank, no control character. */
static inline bool kel__nvp_list_is_one_word(const char *list)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(list); *p != '\0'; p++)
        if (*p <= ' ' || *p == 0x7F)
            return false;
    return true;
}

/* ------------------------------------------------------------------------ */
/* The slave's command line                                                 */
/* ------------------------------------------------------------------------ */

#define KEL_SLAVE_OPT_FORK_ID "-fork_id"             /* task number, 1.. */
#define KEL_SLAVE_OPT_SHM_RES "-shm_res"             /* results segment name */
#define KEL_SLAVE_OPT_SLOT "-shm_results_slot_id"    /* slot in the segment */
#define KEL_SLAVE_OPT_VARS "-D"                      /* run variables */
#define KEL_SLAVE_OPT_DEBUG "-d"
#define KEL_SLAVE_OPT_QUIET "-q"
#define KEL_SLAVE_OPT_STRICT "-s"
#define KEL_SLAVE_OPT_SEQ "-seq"                     /* sequence number */
#define KEL_SLAVE_OPT_NODE_NUM "-node_num"           /* node number */

/* What a slave is told. */
typedef struct kel_slave_order_s {
    const char *program;         /* argv[0] */
    uint32_t task;               /* -fork_id */
    const char *segment;         /* -shm_res */
    uint32_t slot;               /* -shm_results_slot_id */
    const char *vars;            /* -D list; NULL: not sent */
    int32_t verbosity;           /* kel_verbosity: -q or -d or neither */
    bool strict;                 /* -s */
    bool seq_given;              /* -seq is sent (its value may be 0) */
    uint32_t seq;
    uint32_t node_num;           /* -node_num; 0: not sent */
    char *const *path;           /* names of the test case's path, top-down */
    size_t path_len;
} kel_slave_order_t;

/* Program and options take at most this many elements of a slave's argv. */
#define KEL_SLAVE_OPTION_ARGS 16

/* The number texts an argv points into. */
typedef struct kel_slave_numbers_s {
    char task[12];
    char slot[12];
    char seq[12];
    char node_num[12];
} kel_slave_numbers_t;

/* Writes the slave's command line into argv (room for KEL_SLAVE_OPTION_ARGS
 * + path_len + 1 elements): program, -fork_id <task>, -shm_res <segment>,
 * -shm_results_slot_id <slot>, then -D <vars>, -d or -q, -s, -seq <seq>,
 * -node_num <n> as the order asks, then one argument per path name and a
 * NULL. The vector points into order's texts and nums. Returns the count of
 * arguments before the NULL. */
size_t kel__slave_argv(const kel_slave_order_t *order, kel_slave_numbers_t *nums, char **argv);

/* ------------------------------------------------------------------------ */
/* The slave's environment                                                  */
/* ------------------------------------------------------------------------ */

/* Every slave, whoever starts it, finds this variable in its environment. A
 * process that has it never starts slaves of its own, whatever command line
 * its program hands to kel_run: a program that passes a fixed command line
 * instead of its own would otherwise make each slave a new master. */
#define KEL_SLAVE_ENV "KEL_SLAVE"
#define KEL_SLAVE_ENV_ENTRY KEL_SLAVE_ENV "=1"

/* The environment of a slave: the entries of env (NULL-terminated) except
 * any KEL_SLAVE one, then KEL_SLAVE_ENV_ENTRY, then NULL. One heap block
 * (free it) whose entries point into env; NULL when memory runs out. Made
 * before the fork: the forked child may not allocate. */
char **kel__slave_env(char *const *env);

/* ------------------------------------------------------------------------ */
/* The result slot                                                          */
/* ------------------------------------------------------------------------ */

#define KEL_RES_SLOT_SIZE 1056
#define KEL_RES_SUMMARY_SIZE 1028    /* the failure list's area */
#define KEL_RES_SUMMARY_USED 1024    /* what a slave packs into it */
#define KEL_RES_NOT_WRITTEN 0xFFFFFFFFu

/* One slot of a results segment, in machine byte order. */
typedef struct kel_res_slot_s {
    uint32_t executed;           /* KEL_RES_NOT_WRITTEN until published */
    uint32_t failed;
    uint32_t checkpoints;
    uint32_t unused;
    uint64_t elapsed_ms;
    uint32_t summary_len;        /* bytes used, end byte included */
    uint8_t summary[KEL_RES_SUMMARY_SIZE];
} kel_res_slot_t;

/* Slot index of a segment of size bytes at base, or NULL when the segment
 * is missing or too small for it (the index may come from a command line). */
kel_res_slot_t *kel__slot_at(void *base, size_t size, int64_t index);
/* Arm: marks the slot unwritten, before the slave starts. */
void kel__slot_arm(kel_res_slot_t *slot);
/* Publish: the slave, having packed its failure list into slot->summary,
 * writes its counts and the list's length; executed goes last, so a slot
 * whose executed is still unwritten was never published. */
void kel__slot_publish(kel_res_slot_t *slot, uint32_t executed, uint32_t failed, uint32_t checkpoints,
                       uint64_t elapsed_ms, uint32_t summary_len);
/* Read: after the slave has ended. False when it never published; else
 * copies the slot into out (private memory) with summary_len bounded by the
 * area, as every reader of a child's result may then trust it. */
bool kel__slot_read(const kel_res_slot_t *slot, kel_res_slot_t *out);

#endif /* KEL_SLAVE_PROTO_H */
