/*
 * transport_test.cpp - the node transport over real loopback connections:
 * text and address conversions with their exact codes, whole messages across
 * partial and interrupted transfers, a peer that goes away half-way, sending
 * to a reset peer without dying of SIGPIPE, refused connections.
 *
 * Every socket is on 127.0.0.1 with a port the kernel picks. Peers run on a
 * thread of the test and are joined before the checks; nothing sleeps.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kel.h"

namespace {

kel_node_id_t loopback()
{
    return htonl(INADDR_LOOPBACK);
}

/* A socket bound to 127.0.0.1 on a free port, listening or not; port_value is
 * that port in the transport's form (32-bit network order). */
struct local_socket {
    int fd = -1;
    uint32_t port_value = 0;

    explicit local_socket(bool listening, int rcvbuf = 0)
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return;
        }
        if (rcvbuf != 0) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        }
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = loopback();
        socklen_t len = sizeof addr;
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
            getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len) != 0 ||
            (listening && listen(fd, 4) != 0)) {
            close(fd);
            fd = -1;
            return;
        }
        port_value = htonl(ntohs(addr.sin_port));
    }
    ~local_socket()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    local_socket(const local_socket &) = delete;
    local_socket &operator=(const local_socket &) = delete;
};

bool fd_is_closed(int fd)
{
    errno = 0;
    return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

std::vector<unsigned char> pattern(size_t n)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; i++) {
        v[i] = static_cast<unsigned char>((i * 31 + i / 251) & 0xFF);
    }
    return v;
}

void on_signal(int) {}

/* Blocking calls interrupted by this signal fail with EINTR or return short
 * counts instead of being restarted by the kernel. The handler stays
 * installed: a signal still pending after the test must stay harmless. */
void install_interrupting_handler(int sig)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(sig, &sa, NULL);
}

} // namespace

TEST(NodeTransport, NodeIdText)
{
    kel_node_id_t id = 0;
    ASSERT_EQ(0u, kel_od_string_to_node_id("10.1.2.3", &id));
    const unsigned char expected[4] = {10, 1, 2, 3};
    EXPECT_EQ(0, memcmp(&id, expected, 4)) << "the id keeps network byte order";

    /* The text and what fits of it into size - 1 bytes. */
    struct {
        kel_node_id_t id;
        size_t size;
        uint32_t rc;
        const char *text;
    } const rows[] = {
        {id, 64, 0, "10.1.2.3"},          {id, 10, 0, "10.1.2.3"},    {id, 9, ENOSPC, "10.1.2.3"},
        {id, 5, ENOSPC, "10.1"},          {0, 64, 0, "0.0.0.0"},      {0xFFFFFFFFu, 64, 0, "255.255.255.255"},
        {0xFFFFFFFFu, 16, 28, "255.255.255.255"}, /* 15 characters fit 16 bytes, yet ENOSPC */
    };
    for (const auto &r : rows) {
        char buf[64];
        EXPECT_EQ(r.rc, kel_od_node_id_to_string(r.id, buf, r.size)) << r.text << " in " << r.size;
        EXPECT_STREQ(r.text, buf) << r.size;
    }
    char buf[4];
    EXPECT_EQ(static_cast<uint32_t>(ENOSPC), kel_od_node_id_to_string(id, buf, 0));

    /* Not a dotted IPv4 address: EFAULT, and the output is left alone. */
    for (const char *text : {"10.1.2", "", "10.1.2.3.4", "256.1.1.1", "a.b.c.d", "10.1.2.3 ", "::1"}) {
        kel_node_id_t out = 0x5A5A5A5Au;
        EXPECT_EQ(14u, kel_od_string_to_node_id(text, &out)) << '"' << text << '"';
        EXPECT_EQ(0x5A5A5A5Au, out) << '"' << text << '"';
    }
    EXPECT_EQ(22u, kel_od_string_to_node_id(NULL, &id));
    EXPECT_EQ(22u, kel_od_string_to_node_id("10.1.2.3", NULL));
    EXPECT_EQ(22u, kel_od_node_id_to_string(id, NULL, 16));
}

TEST(NodeTransport, NodeAddressText)
{
    struct row {
        const char *text;
        uint32_t rc;
        const char *address; /* expected id when rc is 0 or the port failed */
        long port;           /* expected port number; -1: port left alone */
    };
    const row rows[] = {
        {"10.1.2.3", 0, "10.1.2.3", 6154},
        {"10.1.2.3:80", 0, "10.1.2.3", 80},
        {"10.1.2.3:65535", 0, "10.1.2.3", 65535},
        {"10.1.2.3:0", 0, "10.1.2.3", 0},
        {"10.1.2.3:", 0, "10.1.2.3", 0},            /* empty port text reads as 0 */
        {"10.1.2.3:7:81", 0, "10.1.2.3", 81},       /* the last colon starts the port */
        {"10.1.2.3:0080", 0, "10.1.2.3", 80},       /* decimal, never octal */
        {"10.1.2.3:65536", 22, "10.1.2.3", -1},
        {"10.1.2.3:99999999999999999999999", 22, "10.1.2.3", -1},
        {"10.0.0.x", 22, NULL, -1},
        {"10.1.2.3:8a", 22, NULL, -1},
        {" 10.1.2.3", 22, NULL, -1},
        {"10.1.2.3:-1", 22, NULL, -1},
        {"10.1.2", 14, NULL, -1},
        {"", 14, NULL, -1},
        {":80", 14, NULL, -1},
        {"10.1.2.3.:80", 14, NULL, -1},
    };
    for (const row &r : rows) {
        kel_node_id_t id = 0x5A5A5A5Au;
        uint32_t port = 0xA5A5A5A5u;
        EXPECT_EQ(r.rc, kel_od_string_to_node_addr(r.text, &id, &port)) << '"' << r.text << '"';
        if (r.address != NULL) {
            kel_node_id_t want = 0;
            ASSERT_EQ(0u, kel_od_string_to_node_id(r.address, &want));
            EXPECT_EQ(want, id) << '"' << r.text << '"';
        }
        if (r.port >= 0) {
            EXPECT_EQ(htonl(static_cast<uint32_t>(r.port)), port) << '"' << r.text << '"';
        } else {
            EXPECT_EQ(0xA5A5A5A5u, port) << '"' << r.text << '"';
        }
    }

    /* The default port travels as the bytes 00 00 18 0A. */
    kel_node_id_t id = 0;
    uint32_t port = 0;
    ASSERT_EQ(0u, kel_od_string_to_node_addr("10.0.0.7", &id, &port));
    const unsigned char bytes[4] = {0x00, 0x00, 0x18, 0x0A};
    EXPECT_EQ(0, memcmp(&port, bytes, 4));

    EXPECT_EQ(22u, kel_od_string_to_node_addr(NULL, &id, &port));
    EXPECT_EQ(22u, kel_od_string_to_node_addr("10.0.0.7", NULL, &port));
    EXPECT_EQ(22u, kel_od_string_to_node_addr("10.0.0.7", &id, NULL));
}

TEST(NodeTransport, OwnNodeIdMatchesTheResolver)
{
    char name[129] = {0};
    ASSERT_EQ(0, gethostname(name, 128));
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    struct addrinfo *list = NULL;
    bool resolvable = getaddrinfo(name, NULL, &hints, &list) == 0;

    kel_node_id_t id = 0;
    uint32_t rc = kel_od_get_my_node_id(&id);
    if (!resolvable) {
        EXPECT_NE(0u, rc) << "an unresolvable host name must not read as success";
        return;
    }
    ASSERT_EQ(0u, rc);
    bool found = false;
    for (struct addrinfo *a = list; a != NULL; a = a->ai_next) {
        const struct sockaddr_in *in = reinterpret_cast<const struct sockaddr_in *>(a->ai_addr);
        found = found || in->sin_addr.s_addr == id;
    }
    freeaddrinfo(list);
    EXPECT_TRUE(found) << "own node id " << std::hex << id;
    EXPECT_EQ(22u, kel_od_get_my_node_id(NULL));
    EXPECT_EQ(0u, kel_od_inherit_transport());
}

/* A quarter megabyte each way through small socket buffers, with the test
 * thread interrupted by signals all along: sends and receives come back short
 * or with EINTR, and the messages still arrive whole and in order. */
/* A connection made by the transport to a peer socket accepted here. */
class NodeConnection : public ::testing::Test {
protected:
    local_socket server{true};
    kel_od_handle_t h = -1;
    int peer = -1;
    void SetUp() override
    {
        ASSERT_GE(server.fd, 0);
        ASSERT_EQ(0u, kel_od_connect_to_node(loopback(), server.port_value, &h));
        peer = accept(server.fd, NULL, NULL);
        ASSERT_GE(peer, 0);
    }
    void TearDown() override
    {
        if (peer >= 0)
            close(peer);
        if (h >= 0)
            close(h);
    }
};

TEST_F(NodeConnection, WholeMessagesAcrossPartialAndInterruptedTransfers)
{
    install_interrupting_handler(SIGUSR1);
    int small = 4096;
    int one = 1;
    setsockopt(h, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(h, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    const size_t size = 256u << 10;
    const std::vector<unsigned char> out = pattern(size);
    std::vector<unsigned char> echoed(size);
    pthread_t tester = pthread_self();
    bool peer_ok = false;

    std::thread echo([&] {
        std::vector<unsigned char> got(size);
        size_t have = 0;
        while (have < size) {
            ssize_t n = recv(peer, got.data() + have, size - have < 1000 ? size - have : 1000, 0);
            if (n <= 0) {
                return;
            }
            have += static_cast<size_t>(n);
            pthread_kill(tester, SIGUSR1);
        }
        /* Back in pieces of 1 to 997 bytes so the receiver sees short reads. */
        size_t sent = 0;
        unsigned pieces = 0;
        for (size_t piece = 1; sent < size; piece = (piece * 7 + 3) % 997 + 1) {
            size_t len = size - sent < piece ? size - sent : piece;
            ssize_t n = send(peer, got.data() + sent, len, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<size_t>(n);
            if (++pieces % 4 == 0) {
                pthread_kill(tester, SIGUSR1);
            }
        }
        peer_ok = true;
    });

    uint32_t send_rc = kel_od_send_msg(&h, out.data(), size);
    uint32_t recv_rc = send_rc == 0 ? kel_od_receive_msg(&h, echoed.data(), size) : send_rc;
    if (send_rc != 0 || recv_rc != 0) {
        shutdown(peer, SHUT_RDWR); /* let the echo thread end */
    }
    echo.join();

    EXPECT_EQ(0u, send_rc);
    EXPECT_EQ(0u, recv_rc);
    EXPECT_TRUE(peer_ok);
    EXPECT_TRUE(out == echoed) << "the echoed message differs";
    EXPECT_EQ(0u, kel_od_disconnect_from_node(loopback(), &h));
    EXPECT_EQ(-1, h);
}

/* The peer sends half of a 1080-byte message and closes: a receive of the
 * whole message reports ECONNRESET and has closed the connection. */
TEST_F(NodeConnection, PeerClosingHalfWayResetsTheReceive)
{
    const std::vector<unsigned char> msg = pattern(1080);
    std::thread half([&] {
        send(peer, msg.data(), 540, MSG_NOSIGNAL);
        close(peer);
        peer = -1;
    });
    half.join();

    /* A length of 0 never touches the socket, not even an invalid one. */
    kel_od_handle_t none = -1;
    EXPECT_EQ(0u, kel_od_receive_msg(&none, NULL, 0));
    EXPECT_EQ(-1, none);
    EXPECT_EQ(0u, kel_od_receive_msg(&h, NULL, 0));

    std::vector<unsigned char> got(1080, 0);
    ASSERT_EQ(0u, kel_od_receive_msg(&h, got.data(), 270));
    EXPECT_EQ(0, memcmp(msg.data(), got.data(), 270));

    int fd = h;
    EXPECT_EQ(104u, kel_od_receive_msg(&h, got.data(), 1080));
    EXPECT_EQ(-1, h);
    EXPECT_TRUE(fd_is_closed(fd)) << "the failed receive must close the connection";
}

/* A peer that reset the connection: the send fails with EPIPE instead of
 * killing the test program with SIGPIPE, and the connection is closed. */
TEST_F(NodeConnection, SendingToAResetPeerFailsWithoutSignal)
{
    struct sigaction dfl, old;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ASSERT_EQ(0, sigaction(SIGPIPE, &dfl, &old));

    struct linger hard = {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(peer); /* sends a reset */
    peer = -1;

    /* Wait for the reset to arrive, then take its pending error away so the
     * next send meets the shut-down socket: EPIPE, which raises SIGPIPE
     * unless the send asks not to. */
    struct pollfd pfd = {h, POLLIN, 0};
    ASSERT_EQ(1, poll(&pfd, 1, -1));
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(h, SOL_SOCKET, SO_ERROR, &err, &len);
    EXPECT_EQ(ECONNRESET, err);

    const std::vector<unsigned char> msg = pattern(668);
    int fd = h;
    EXPECT_EQ(static_cast<uint32_t>(EPIPE), kel_od_send_msg(&h, msg.data(), msg.size()));
    EXPECT_EQ(-1, h);
    EXPECT_TRUE(fd_is_closed(fd));
    sigaction(SIGPIPE, &old, NULL);
}

/* A send that moves nothing reads as a reset: so does a message of 0 bytes,
 * and the connection is closed. */
TEST_F(NodeConnection, EmptySendClosesTheConnection)
{
    int fd = h;
    unsigned char byte = 0;
    EXPECT_EQ(104u, kel_od_send_msg(&h, &byte, 0));
    EXPECT_EQ(-1, h);
    EXPECT_TRUE(fd_is_closed(fd));

    /* The peer sees an orderly end and no data. */
    EXPECT_EQ(0, recv(peer, &byte, 1, 0));
}

TEST(NodeTransport, ConnectAndDisconnectErrors)
{
    /* Bound but not listening: the connection is refused. */
    local_socket closed(false);
    ASSERT_GE(closed.fd, 0);
    kel_od_handle_t h = 1234;
    EXPECT_EQ(static_cast<uint32_t>(ECONNREFUSED),
              kel_od_connect_to_node(loopback(), closed.port_value, &h));
    EXPECT_EQ(1234, h) << "a failed connect leaves the handle alone";
    EXPECT_EQ(22u, kel_od_connect_to_node(loopback(), closed.port_value, NULL));

    /* The port value is a 32-bit number in network order: it reaches the
     * listener's port on the address given. */
    local_socket server(true);
    ASSERT_GE(server.fd, 0);
    ASSERT_EQ(0u, kel_od_connect_to_node(loopback(), server.port_value, &h));
    struct sockaddr_in peer_addr;
    socklen_t len = sizeof peer_addr;
    ASSERT_EQ(0, getpeername(h, reinterpret_cast<struct sockaddr *>(&peer_addr), &len));
    EXPECT_EQ(ntohl(server.port_value), ntohs(peer_addr.sin_port));
    EXPECT_EQ(loopback(), peer_addr.sin_addr.s_addr);
    int flags = fcntl(h, F_GETFD);
    EXPECT_NE(0, flags & FD_CLOEXEC) << "slave processes must not inherit connections";

    EXPECT_EQ(0u, kel_od_disconnect_from_node(loopback(), &h));
    EXPECT_EQ(-1, h);
    EXPECT_EQ(static_cast<uint32_t>(EBADF), kel_od_disconnect_from_node(0, &h));
    EXPECT_EQ(22u, kel_od_disconnect_from_node(0, NULL));

    /* The transport rejects missing arguments without touching anything. */
    EXPECT_EQ(22u, kel_od_send_msg(NULL, "x", 1));
    EXPECT_EQ(22u, kel_od_receive_msg(NULL, &h, 1));
}
