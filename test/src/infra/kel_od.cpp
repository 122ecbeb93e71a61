/*
 * kel_od.cpp - the node transport: how the framework (and test programs)
 * name hosts, turn node identifiers and node addresses into text and back,
 * open a TCP connection to another node and move whole fixed-size messages
 * over it.
 *
 * The layer keeps no state: a connection is the socket descriptor the caller
 * holds. Every result is 0 or an errno number. A send or receive that fails
 * has already closed the connection (and set the caller's handle to -1), so a
 * message is either transferred whole or the connection is gone.
 */
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kel.h"

namespace {

constexpr size_t HOST_NAME_BUF = 128;
constexpr unsigned long MAX_PORT = 65535;

/* errno, or fallback when the failing call left errno at 0 (the resolver
 * reports through h_errno): a failure must never read as success. */
uint32_t errno_or(int fallback)
{
    return errno != 0 ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(fallback);
}

/* Closes the connection after a failed transfer and returns the transfer's
 * code, taken before close could change errno. The handle becomes -1 so that
 * a caller's stray close cannot hit a descriptor reused meanwhile. */
uint32_t drop_connection(kel_od_handle_t *handle, uint32_t code)
{
    close(*handle);
    *handle = -1;
    return code;
}

/* A connect interrupted by a signal goes on in the background; wait for its
 * outcome instead of starting a second one on the same socket. */
int finish_interrupted_connect(int fd)
{
    struct pollfd pfd = {fd, POLLOUT, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, -1);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        return -1;
    }
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

} // namespace

/* Resolves this host's name and stores its first IPv4 address. Uses the
 * reentrant resolver so that threads may call it at once. */
uint32_t kel_od_get_my_node_id(kel_node_id_t *node)
{
    if (node == NULL) {
        return EINVAL;
    }
    char name[HOST_NAME_BUF + 1];
    memset(name, 0, sizeof name);
    errno = 0;
    if (gethostname(name, HOST_NAME_BUF) != 0) {
        return errno_or(EINVAL);
    }

    size_t work_size = 1024;
    char *work = NULL;
    struct hostent entry;
    struct hostent *result = NULL;
    int herr = 0;
    int rc;
    for (;;) {
        char *grown = static_cast<char *>(realloc(work, work_size));
        if (grown == NULL) {
            free(work);
            return ENOMEM;
        }
        work = grown;
        errno = 0;
        rc = gethostbyname_r(name, &entry, work, work_size, &result, &herr);
        if (rc != ERANGE || work_size >= 65536) {
            break;
        }
        work_size *= 2;
    }
    uint32_t code = 0;
    if (rc != 0) {
        code = static_cast<uint32_t>(rc);
    } else if (result == NULL || result->h_addr_list == NULL || result->h_addr_list[0] == NULL) {
        code = errno_or(ENOENT);
    } else {
        kel_node_id_t id = 0;
        size_t n = result->h_length > 0 ? static_cast<size_t>(result->h_length) : 0;
        memcpy(&id, result->h_addr_list[0], n < sizeof id ? n : sizeof id);
        *node = id;
    }
    free(work);
    return code;
}

/* Dotted decimal text of a node id. A text of size - 1 characters or more is
 * reported as ENOSPC even though exactly size - 1 characters fit. */
uint32_t kel_od_node_id_to_string(kel_node_id_t node, char *buf, size_t size)
{
    if (buf == NULL) {
        return EINVAL;
    }
    if (size == 0) {
        return ENOSPC;
    }
    char work[INET_ADDRSTRLEN];
    char reason[128];
    const char *text = inet_ntop(AF_INET, &node, work, sizeof work);
    if (text == NULL) {
        text = strerror_r(errno, reason, sizeof reason);
    }
    int n = snprintf(buf, size, "%s", text);
    if (n < 0 || static_cast<size_t>(n) >= size - 1) {
        return ENOSPC;
    }
    return 0;
}

uint32_t kel_od_string_to_node_id(const char *text, kel_node_id_t *node)
{
    if (text == NULL || node == NULL) {
        return EINVAL;
    }
    int rc = inet_pton(AF_INET, text, node);
    if (rc == 1) {
        return 0;
    }
    if (rc == 0) {
        return EFAULT;
    }
    return errno_or(EAFNOSUPPORT);
}

/* "a.b.c.d" or "a.b.c.d:port"; only digits, '.' and ':' are allowed. With
 * several colons the text after the last one is the port. Without a port the
 * default port is stored. */
uint32_t kel_od_string_to_node_addr(const char *text, kel_node_id_t *node, uint32_t *port)
{
    if (text == NULL || node == NULL || port == NULL) {
        return EINVAL;
    }
    char *copy = strdup(text);
    if (copy == NULL) {
        return ENOMEM;
    }
    const char *port_text = NULL;
    for (size_t i = 0; text[i] != '\0'; i++) {
        char c = text[i];
        if (c == ':') {
            /* The first colon ends the address part; a later one only moves
             * the start of the port text. */
            if (port_text == NULL) {
                copy[i] = '\0';
            }
            port_text = text + i + 1;
        } else if ((c < '0' || c > '9') && c != '.') {
            free(copy);
            return EINVAL;
        }
    }
    uint32_t rc = kel_od_string_to_node_id(copy, node);
    free(copy);
    if (rc != 0) {
        return rc;
    }
    unsigned long value = KEL_AGENT_DEFAULT_PORT;
    if (port_text != NULL) {
        /* Only digits and dots reach here, so strtol sees no sign; an
         * overflowing number comes back as LONG_MAX and is refused below. */
        value = static_cast<unsigned long>(strtol(port_text, NULL, 10));
        if (value > MAX_PORT) {
            return EINVAL;
        }
    }
    *port = htonl(static_cast<uint32_t>(value));
    return 0;
}

/* Opens a blocking TCP connection to node at the port value (network order).
 * The descriptor is not inherited by slave processes the master execs. */
uint32_t kel_od_connect_to_node(kel_node_id_t node, uint32_t port, kel_od_handle_t *handle)
{
    if (handle == NULL) {
        return EINVAL;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno_or(EIO);
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(ntohl(port)));
    addr.sin_addr.s_addr = node;
    int rc = connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
    if (rc != 0 && errno == EINTR) {
        rc = finish_interrupted_connect(fd);
    }
    if (rc != 0) {
        uint32_t code = errno_or(EIO);
        close(fd);
        return code;
    }
    *handle = fd;
    return 0;
}

/* Sends all len bytes. A send that moves nothing (a length of 0 included)
 * reads as a connection reset. On every failure the connection is closed. */
uint32_t kel_od_send_msg(kel_od_handle_t *handle, const void *buf, size_t len)
{
    if (handle == NULL) {
        return EINVAL;
    }
    if (buf == NULL && len != 0) {
        return drop_connection(handle, EINVAL);
    }
    const char *p = static_cast<const char *>(buf);
    size_t rest = len;
    for (;;) {
        /* MSG_NOSIGNAL: a peer that has gone must give EPIPE, not kill the
         * test program with SIGPIPE. */
        ssize_t n = send(*handle, p, rest, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return drop_connection(handle, errno_or(EIO));
        }
        if (n == 0) {
            return drop_connection(handle, ECONNRESET);
        }
        p += n;
        rest -= static_cast<size_t>(n);
        if (rest == 0) {
            return 0;
        }
    }
}

/* Fills all len bytes of buf. A peer that closes before the buffer is full
 * gives ECONNRESET. On every failure the connection is closed. */
uint32_t kel_od_receive_msg(kel_od_handle_t *handle, void *buf, size_t len)
{
    if (len == 0) {
        return 0;
    }
    if (handle == NULL) {
        return EINVAL;
    }
    if (buf == NULL) {
        return drop_connection(handle, EINVAL);
    }
    char *p = static_cast<char *>(buf);
    size_t rest = len;
    while (rest != 0) {
        ssize_t n = recv(*handle, p, rest, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return drop_connection(handle, errno_or(EIO));
        }
        if (n == 0) {
            return drop_connection(handle, ECONNRESET);
        }
        p += n;
        rest -= static_cast<size_t>(n);
    }
    return 0;
}

/* Closes the connection; 0, or the errno of close. The handle is set to -1
 * so that a second disconnect cannot close a descriptor reused meanwhile. */
uint32_t kel_od_disconnect_from_node(kel_node_id_t node, kel_od_handle_t *handle)
{
    (void)node;
    if (handle == NULL) {
        return EINVAL;
    }
    int rc = close(*handle);
    uint32_t code = rc == 0 ? 0 : errno_or(EIO);
    *handle = -1;
    return code;
}

/* Kept for test programs written against the transport: there is nothing to
 * hand over to a new process. */
uint32_t kel_od_inherit_transport(void)
{
    return 0;
}
