/*
 * kel-agent - runs remote test cases for libkel masters.
 *
 *   kel-agent [-l ADDRESS] [-p PORT] [-a DIR]... [-j N] [-t SECONDS] [-v]
 *             [-c ADDR[/BITS]]... [-m N] [-M N] [-o FILE]
 *
 * A master whose test tree binds a child to this host (kel_set_node) sends
 * a spawn request over TCP; the agent checks it, starts the named test
 * program as a slave of the framework's own protocol, and sends the slave's
 * counts and failure list back on the same connection (session.cpp). Only
 * programs under the folders given with -a may be started.
 *
 * This file is the listener: the command line, the listening socket, one
 * thread per connection, and the stop. Only clients whose address lies in a
 * -c range (default: loopback only) are served, at most -m connections at
 * once and -M from one address; any other connection gets a reply with a
 * reason from the listener itself, which then reads what the client sends
 * until it hangs up (a close with unread bytes would reset the connection
 * and lose the reply), for -t seconds at most. Accepted sockets have TCP
 * keep-alive on, so a master whose host vanished is noticed and its slave
 * killed. SIGTERM and SIGINT are taken from a
 * signalfd by the listener only (every thread blocks them); a stop closes
 * the listening socket, tells every connection through the stop pipe, and
 * waits for their threads: each kills and reaps its slave and unlinks its
 * segment first. The agent then exits with 0.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "agent.h"
#include "agent_text.h"

namespace {

constexpr uint16_t DEFAULT_PORT = KEL_AGENT_DEFAULT_PORT;
constexpr unsigned DEFAULT_MAX_PROCS = 16;
constexpr unsigned MAX_PROCS_LIMIT = 4096;
constexpr unsigned DEFAULT_REQUEST_TIMEOUT_S = 5;
constexpr unsigned MAX_REQUEST_TIMEOUT_S = 3600;
constexpr unsigned EXTRA_CONNECTIONS = 64;      /* -m default: -j + this */
constexpr unsigned EXTRA_PER_CLIENT = 16;       /* -M default: -j + this */
constexpr unsigned MAX_CONNS_LIMIT = 65536;
/* Refused connections waiting for their client to hang up; beyond, one
 * is closed at once. */
constexpr size_t MAX_CLOSING = 64;
/* Keep-alive: probes after 60 s idle, every 10 s, 6 unanswered end it. */
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_PROBES = 6;
constexpr int LISTEN_BACKLOG = 64;
/* After a failed accept for want of descriptors, wait before the next. */
constexpr int ACCEPT_BACKOFF_MS = 100;

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_START = 1;

int usage_error(const char *option, const char *why)
{
    if (option)
        fprintf(stderr, AGENT_FMT_BAD_OPTION, option, why);
    fputs(AGENT_USAGE, stderr);
    return EXIT_USAGE;
}

/* A decimal number in [min, max], nothing else. */
bool parse_number(const char *text, unsigned long min, unsigned long max, unsigned long *out)
{
    if (text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char *end = NULL;
    unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *out = v;
    return true;
}

/* -a DIR: resolved now, so that links and ".." in requests are compared
 * with the real folder. */
int add_allowed(agent_config *cfg, const char *dir)
{
    char resolved[PATH_MAX];
    if (realpath(dir, resolved) == NULL) {
        fprintf(stderr, AGENT_FMT_BAD_DIR, dir, strerror(errno));
        return EXIT_USAGE;
    }
    struct stat st;
    if (stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, AGENT_FMT_NOT_DIR, dir);
        return EXIT_USAGE;
    }
    char **dirs = static_cast<char **>(realloc(cfg->allowed.dirs, (cfg->allowed.count + 1) * sizeof *dirs));
    char *copy = strdup(resolved);
    if (!dirs || !copy) {
        free(copy);
        if (dirs)
            cfg->allowed.dirs = dirs;
        fprintf(stderr, AGENT_FMT_START_FAILED, "-a", strerror(ENOMEM));
        return EXIT_START;
    }
    dirs[cfg->allowed.count++] = copy;
    cfg->allowed.dirs = dirs;
    return 0;
}

/* -c ADDR[/BITS]: an IPv4 address and the number of its leading bits that
 * count (32 without). */
bool add_client(agent_config *cfg, const char *text)
{
    char addr_text[INET_ADDRSTRLEN];
    const char *slash = strchr(text, '/');
    size_t n = slash ? static_cast<size_t>(slash - text) : strlen(text);
    unsigned long bits = 32;
    struct in_addr addr;
    if (n >= sizeof addr_text || (slash && !parse_number(slash + 1, 0, 32, &bits)))
        return false;
    memcpy(addr_text, text, n);
    addr_text[n] = '\0';
    if (inet_pton(AF_INET, addr_text, &addr) != 1)
        return false;
    agent_net *nets = static_cast<agent_net *>(realloc(cfg->clients, (cfg->client_count + 1) * sizeof *nets));
    if (!nets)
        return false;
    cfg->clients = nets;
    uint32_t mask = bits == 0 ? 0 : htonl(~0u << (32 - bits));
    nets[cfg->client_count++] = {addr.s_addr & mask, mask};
    return true;
}

void free_allowed(agent_config *cfg)
{
    free(cfg->clients);
    cfg->clients = NULL;
    if (cfg->log_fd >= 0)
        close(cfg->log_fd);
    cfg->log_fd = -1;
    for (size_t i = 0; i < cfg->allowed.count; i++)
        free(cfg->allowed.dirs[i]);
    free(cfg->allowed.dirs);
    cfg->allowed.dirs = NULL;
    cfg->allowed.count = 0;
}

/* Fills cfg from the command line; 0, or the exit code after the message. */
int parse_options(int argc, char **argv, agent_config *cfg, bool *help)
{
    cfg->listen_addr = htonl(INADDR_LOOPBACK);
    cfg->port = DEFAULT_PORT;
    cfg->max_procs = DEFAULT_MAX_PROCS;
    cfg->request_timeout_s = DEFAULT_REQUEST_TIMEOUT_S;
    cfg->log_fd = -1;
    opterr = 0;
    int opt;
    while ((opt = getopt(argc, argv, ":l:p:a:j:t:vhc:m:M:o:")) != -1) {
        unsigned long v = 0;
        struct in_addr addr;
        switch (opt) {
        case 'l':
            if (inet_pton(AF_INET, optarg, &addr) != 1)
                return usage_error("-l", "not an IPv4 address");
            cfg->listen_addr = addr.s_addr;
            break;
        case 'p':
            if (!parse_number(optarg, 0, 65535, &v))
                return usage_error("-p", "not a port number (0..65535)");
            cfg->port = static_cast<uint16_t>(v);
            break;
        case 'a': {
            int rc = add_allowed(cfg, optarg);
            if (rc != 0)
                return rc == EXIT_USAGE ? usage_error(NULL, NULL) : rc;
            break;
        }
        case 'j':
            if (!parse_number(optarg, 1, MAX_PROCS_LIMIT, &v))
                return usage_error("-j", "not a number of processes (1..4096)");
            cfg->max_procs = static_cast<unsigned>(v);
            break;
        case 't':
            if (!parse_number(optarg, 1, MAX_REQUEST_TIMEOUT_S, &v))
                return usage_error("-t", "not a number of seconds (1..3600)");
            cfg->request_timeout_s = static_cast<unsigned>(v);
            break;
        case 'v': cfg->verbose = true; break;
        case 'c':
            if (!add_client(cfg, optarg))
                return usage_error("-c", "not an IPv4 address with an optional /BITS (0..32)");
            break;
        case 'm':
            if (!parse_number(optarg, 1, MAX_CONNS_LIMIT, &v))
                return usage_error("-m", "not a number of connections (1..65536)");
            cfg->max_conns = static_cast<unsigned>(v);
            break;
        case 'M':
            if (!parse_number(optarg, 1, MAX_CONNS_LIMIT, &v))
                return usage_error("-M", "not a number of connections (1..65536)");
            cfg->max_conns_per_client = static_cast<unsigned>(v);
            break;
        case 'o':
            if (cfg->log_fd >= 0)
                close(cfg->log_fd);
            cfg->log_fd = open(optarg, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
            if (cfg->log_fd < 0) {
                fprintf(stderr, AGENT_FMT_BAD_LOG, optarg, strerror(errno));
                return usage_error(NULL, NULL);
            }
            break;
        case 'h': *help = true; return 0;
        case ':': {
            char option[3] = {'-', static_cast<char>(optopt), '\0'};
            return usage_error(option, "needs a value");
        }
        default: {
            char option[3] = {'-', static_cast<char>(optopt), '\0'};
            return usage_error(option, "unknown option");
        }
        }
    }
    if (optind < argc)
        return usage_error(argv[optind], "unexpected argument");
    if (cfg->max_conns == 0)
        cfg->max_conns = cfg->max_procs + EXTRA_CONNECTIONS;
    if (cfg->max_conns_per_client == 0)
        cfg->max_conns_per_client = cfg->max_procs + EXTRA_PER_CLIENT;
    if (cfg->client_count == 0 && !add_client(cfg, "127.0.0.0/8")) {
        fprintf(stderr, AGENT_FMT_START_FAILED, "-c", strerror(ENOMEM));
        return EXIT_START;
    }
    return 0;
}

int open_listener(const agent_config *cfg, uint16_t *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(cfg->port);
    sa.sin_addr.s_addr = cfg->listen_addr;
    socklen_t len = sizeof sa;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, LISTEN_BACKLOG) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return fd;
}

/* The connection threads: a fixed table, joined as they finish. */
struct conn_slot {
    pthread_t thread;
    agent_conn conn;
    bool used;
    bool finished;               /* under the state's lock */
};

/* A refused connection: its reply is sent, what the client still sends is
 * read and dropped until it hangs up or the deadline passes. */
struct closing_conn {
    int fd;
    uint64_t deadline_ms;
};

struct listener {
    agent_state *st;
    conn_slot *slots;
    size_t count;
    closing_conn closing[MAX_CLOSING];
    size_t closing_count;
};

uint64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void *connection_thread(void *arg)
{
    conn_slot *slot = static_cast<conn_slot *>(arg);
    agent_serve(&slot->conn);
    pthread_mutex_lock(&slot->conn.st->lock);
    slot->finished = true;
    pthread_mutex_unlock(&slot->conn.st->lock);
    return NULL;
}

/* Joins finished threads; returns a free slot or NULL. */
conn_slot *free_slot(listener *l)
{
    conn_slot *found = NULL;
    for (size_t i = 0; i < l->count; i++) {
        conn_slot *s = &l->slots[i];
        if (s->used) {
            pthread_mutex_lock(&l->st->lock);
            bool finished = s->finished;
            pthread_mutex_unlock(&l->st->lock);
            if (!finished)
                continue;
            pthread_join(s->thread, NULL);
            s->used = false;
        }
        if (!found)
            found = s;
    }
    return found;
}

void join_all(listener *l)
{
    for (size_t i = 0; i < l->count; i++) {
        if (l->slots[i].used) {
            pthread_join(l->slots[i].thread, NULL);
            l->slots[i].used = false;
        }
    }
}

void text_of(const struct sockaddr_in *sa, char *buf, size_t size)
{
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sa->sin_addr, ip, sizeof ip);
    snprintf(buf, size, "%s:%u", ip, static_cast<unsigned>(ntohs(sa->sin_port)));
}

bool client_allowed(const agent_config *cfg, uint32_t addr)
{
    for (size_t i = 0; i < cfg->client_count; i++)
        if ((addr & cfg->clients[i].mask) == cfg->clients[i].addr)
            return true;
    return false;
}

/* Connections being served for addr (the listener alone sets used). */
unsigned connections_from(listener *l, uint32_t addr)
{
    unsigned n = 0;
    pthread_mutex_lock(&l->st->lock);
    for (size_t i = 0; i < l->count; i++)
        n += l->slots[i].used && !l->slots[i].finished && l->slots[i].conn.peer_addr == addr;
    pthread_mutex_unlock(&l->st->lock);
    return n;
}

/* Replies to a connection that is not served, without waiting for it. */
void refuse(listener *l, int fd, kel_node_id_t local, uint8_t status, const char *reason)
{
    kel_spawn_rsp_t msg;
    agent_make_reply(l->st, local, status, reason, &msg);
    ssize_t sent = send(fd, &msg, sizeof msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(sizeof msg) || l->closing_count == MAX_CLOSING) {
        close(fd);
        return;
    }
    shutdown(fd, SHUT_WR);
    l->closing[l->closing_count++] = {fd, now_ms() + l->st->cfg->request_timeout_s * 1000u};
}

/* Reads what refused clients send; closes those that hung up or are past
 * their time. Returns the poll timeout until the next deadline. */
int tend_closing(listener *l, const struct pollfd *p)
{
    const uint64_t now = now_ms();
    int timeout = -1;
    /* Downwards: a closed one's place takes the last, already seen. */
    for (size_t i = l->closing_count; i-- > 0;) {
        closing_conn *c = &l->closing[i];
        bool done = now >= c->deadline_ms;
        if (!done && p != NULL && p[i].revents != 0) {
            char junk[1024];
            ssize_t n = recv(c->fd, junk, sizeof junk, MSG_DONTWAIT);
            done = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        }
        if (done) {
            close(c->fd);
            *c = l->closing[--l->closing_count];
            continue;
        }
        int left = static_cast<int>(c->deadline_ms - now);
        timeout = timeout < 0 || left < timeout ? left : timeout;
    }
    return timeout;
}

void accept_one(listener *l, int listen_fd, unsigned *next_id)
{
    const agent_config *cfg = l->st->cfg;
    struct sockaddr_in peer;
    socklen_t len = sizeof peer;
    int fd = accept4(listen_fd, reinterpret_cast<struct sockaddr *>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            poll(NULL, 0, ACCEPT_BACKOFF_MS);
        return;
    }
    const int on = 1, idle = KEEPALIVE_IDLE_S, interval = KEEPALIVE_INTERVAL_S, probes = KEEPALIVE_PROBES;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    char peer_text[32];
    text_of(&peer, peer_text, sizeof peer_text);
    struct sockaddr_in local;
    len = sizeof local;
    memset(&local, 0, sizeof local);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &len);

    if (!client_allowed(cfg, peer.sin_addr.s_addr)) {
        char reason[AGENT_REASON_SIZE], ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        snprintf(reason, sizeof reason, AGENT_FMT_CLIENT_NOT_ALLOWED, ip);
        agent_log(l->st, AGENT_FMT_LOG_REFUSED, peer_text, reason);
        refuse(l, fd, local.sin_addr.s_addr, RSP_REFUSED, reason);
        return;
    }
    conn_slot *slot = free_slot(l);
    if (!slot || connections_from(l, peer.sin_addr.s_addr) >= cfg->max_conns_per_client) {
        agent_log(l->st, AGENT_FMT_LOG_BUSY, peer_text);
        refuse(l, fd, local.sin_addr.s_addr, RSP_TOO_MANY, AGENT_MSG_TOO_MANY_CONNS);
        return;
    }

    memset(&slot->conn, 0, sizeof slot->conn);
    slot->conn.st = l->st;
    slot->conn.fd = fd;
    slot->conn.id = (*next_id)++;
    slot->conn.local = local.sin_addr.s_addr;
    slot->conn.peer_addr = peer.sin_addr.s_addr;
    memcpy(slot->conn.peer, peer_text, sizeof slot->conn.peer);
    slot->finished = false;
    if (pthread_create(&slot->thread, NULL, connection_thread, slot) != 0) {
        close(fd);
        return;
    }
    slot->used = true;
}

/* Serves until SIGTERM or SIGINT; returns the signal. */
int serve(listener *l, int listen_fd, int sig_fd)
{
    unsigned next_id = 1;
    struct pollfd p[MAX_CLOSING + 2];
    int timeout = -1;
    for (;;) {
        for (size_t i = 0; i < l->closing_count; i++)
            p[i] = {l->closing[i].fd, POLLIN, 0};
        struct pollfd *own = &p[l->closing_count];
        own[0] = {listen_fd, POLLIN, 0};
        own[1] = {sig_fd, POLLIN, 0};
        int r = poll(p, l->closing_count + 2, timeout);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        if (own[1].revents != 0) {
            struct signalfd_siginfo si;
            if (read(sig_fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si))
                return static_cast<int>(si.ssi_signo);
            continue;
        }
        timeout = tend_closing(l, p);
        if (own[0].revents != 0) {
            accept_one(l, listen_fd, &next_id);
            timeout = tend_closing(l, NULL);
        }
    }
}

} // namespace

namespace {

/* 0, 1 and 2 are open from here on: a closed one would otherwise be the
 * next descriptor opened (the stop pipe, a connection) and so reach every
 * slave as its output. */
void open_standard_fds()
{
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0)
            return;
        if (fd > STDERR_FILENO) {
            close(fd);
            return;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    open_standard_fds();
    agent_config cfg;
    memset(&cfg, 0, sizeof cfg);
    bool help = false;
    int rc = parse_options(argc, argv, &cfg, &help);
    if (rc != 0 || help) {
        if (help)
            fputs(AGENT_USAGE, stdout);
        free_allowed(&cfg);
        return rc;
    }

    /* A client that hangs up must never kill the agent; the stop signals
     * are read from a signalfd, so every thread blocks them. */
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);
    int sig_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    int stop_pipe[2] = {-1, -1};
    if (sig_fd < 0 || pipe2(stop_pipe, O_CLOEXEC) != 0) {
        fprintf(stderr, AGENT_FMT_START_FAILED, "signals", strerror(errno));
        free_allowed(&cfg);
        return EXIT_START;
    }

    uint16_t port = 0;
    int listen_fd = open_listener(&cfg, &port);
    char addr_text[INET_ADDRSTRLEN] = "?";
    struct in_addr addr;
    addr.s_addr = cfg.listen_addr;
    inet_ntop(AF_INET, &addr, addr_text, sizeof addr_text);
    if (listen_fd < 0) {
        fprintf(stderr, AGENT_FMT_LISTEN_FAILED, addr_text, static_cast<unsigned>(cfg.port), strerror(errno));
        free_allowed(&cfg);
        return EXIT_START;
    }

    agent_state st;
    memset(&st, 0, sizeof st);
    st.cfg = &cfg;
    st.stop_fd = stop_pipe[0];
    st.pid = getpid();
    pthread_mutex_init(&st.lock, NULL);
    listener l;
    memset(&l, 0, sizeof l);
    l.st = &st;
    l.count = cfg.max_conns;
    l.slots = static_cast<conn_slot *>(calloc(l.count, sizeof *l.slots));
    if (!l.slots) {
        fprintf(stderr, AGENT_FMT_START_FAILED, "connections", strerror(ENOMEM));
        free_allowed(&cfg);
        return EXIT_START;
    }

    if (cfg.allowed.count == 0)
        fputs(AGENT_MSG_NO_ALLOWED, stderr);
    printf(AGENT_FMT_LISTENING, addr_text, static_cast<unsigned>(port));
    fflush(stdout);
    if (cfg.log_fd >= 0) {
        /* The slaves inherit 1 and 2: their output goes there too. */
        dup2(cfg.log_fd, STDOUT_FILENO);
        dup2(cfg.log_fd, STDERR_FILENO);
    }

    int sig = serve(&l, listen_fd, sig_fd);
    agent_log(&st, AGENT_FMT_LOG_STOPPING, sig);
    close(listen_fd);
    /* Every connection sees the pipe readable from now on. */
    char byte = 0;
    ssize_t w;
    do {
        w = write(stop_pipe[1], &byte, 1);
    } while (w < 0 && errno == EINTR);
    join_all(&l);
    for (size_t i = 0; i < l.closing_count; i++)
        close(l.closing[i].fd);

    free(l.slots);
    pthread_mutex_destroy(&st.lock);
    close(stop_pipe[0]);
    close(stop_pipe[1]);
    close(sig_fd);
    free_allowed(&cfg);
    fflush(stdout);
    return 0;
}
