/*
 * agent.h - the state kel-agent's listener shares with the threads that
 * serve its connections.
 */
#ifndef KEL_AGENT_H
#define KEL_AGENT_H

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#include "kel.h"
#include "request.h"

/* Reply status values: why a request was not accepted. */
constexpr uint8_t RSP_ACCEPTED = 0;
constexpr uint8_t RSP_REFUSED = 1;
constexpr uint8_t RSP_TOO_MANY = 3;
constexpr uint8_t RSP_CANNOT_START = 4;

/* A client address range of -c, network order. */
struct agent_net {
    uint32_t addr;
    uint32_t mask;
};

struct agent_config {
    uint32_t listen_addr;        /* network order */
    uint16_t port;               /* host order; 0 asks for a free one */
    agent_allowed allowed;
    unsigned max_procs;          /* -j */
    unsigned request_timeout_s;  /* -t */
    bool verbose;                /* -v */
    agent_net *clients;          /* -c; none given: loopback only */
    size_t client_count;
    unsigned max_conns;          /* -m: connections at once */
    unsigned max_conns_per_client; /* -M: from one client address */
    int log_fd;                  /* -o: -1 when not given */
};

struct agent_state {
    const agent_config *cfg;
    int stop_fd;                 /* readable once the agent stops */
    pid_t pid;                   /* the agent's, in segment names */
    pthread_mutex_t lock;        /* guards running */
    unsigned running;            /* test processes started and not reaped */
    uint32_t segments;           /* atomic: numbers the result segments */
};

/* One accepted connection, owned by the thread that serves it. */
struct agent_conn {
    agent_state *st;
    int fd;
    unsigned id;                 /* for the log */
    kel_node_id_t local;         /* the address the connection came in on */
    char peer[32];               /* "a.b.c.d:port" of the client */
    uint32_t peer_addr;          /* the client's address, network order */
};

/* Serves one connection to its end: reads and checks the request, replies,
 * runs the slave, sends its result. Closes the socket; frees nothing. */
void agent_serve(agent_conn *conn);

/* A reply of status and reason, sent from local (network order). */
void agent_make_reply(const agent_state *st, kel_node_id_t local, uint8_t status, const char *reason,
                      kel_spawn_rsp_t *msg);

/* -v: one line on standard error. */
void agent_log(const agent_state *st, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif
