/*
 * od_test.cpp - the node transport (kel_od_*) over real loopback sockets:
 * address texts, whole messages through short and interrupted transfers,
 * peers that close or reset, and the errors that close a connection.
 */
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>
#include "kel.h"

TEST(NodeTransport, AddressTexts)
{
    struct {
        const char *text;
        uint32_t rc;
        const char *address;
        long port; /* -1: left alone */
    } const rows[] = {
        {"10.1.2.3", 0, "10.1.2.3", KEL_AGENT_DEFAULT_PORT}, {"10.1.2.3:80", 0, "10.1.2.3", 80},
        {"10.1.2.3:", 0, "10.1.2.3", 0},           {"10.1.2.3:7:81", 0, "10.1.2.3", 81},
        {"10.1.2.3:0080", 0, "10.1.2.3", 80},      {"10.1.2.3:65536", 22, "10.1.2.3", -1},
        {"10.1.2.3:99999999999999999999", 22, "10.1.2.3", -1}, {"10.0.0.x", 22, nullptr, -1},
        {"10.1.2.3:8a", 22, nullptr, -1},          {" 10.1.2.3", 22, nullptr, -1},
        {"10.1.2.3:-1", 22, nullptr, -1},          {"10.1.2", 14, nullptr, -1},
        {":80", 14, nullptr, -1},                  {"10.1.2.3.:80", 14, nullptr, -1},
    };
    for (const auto &r : rows) {
        kel_node_id_t id = 0x5A5A5A5Au, want = 0x5A5A5A5Au;
        uint32_t port = 0xA5A5A5A5u;
        EXPECT_EQ(kel_od_string_to_node_addr(r.text, &id, &port), r.rc) << r.text;
        if (r.address)
            inet_pton(AF_INET, r.address, &want);
        EXPECT_EQ(id, want) << r.text;
        EXPECT_EQ(port, r.port < 0 ? 0xA5A5A5A5u : htonl(static_cast<uint32_t>(r.port))) << r.text;
    }
    kel_node_id_t id = 0;
    char buf[16];
    EXPECT_EQ(kel_od_string_to_node_id("255.255.255.255", &id), 0u);
    EXPECT_EQ(kel_od_node_id_to_string(id, buf, 15), static_cast<uint32_t>(ENOSPC));
    EXPECT_STREQ(buf, "255.255.255.25");
    EXPECT_EQ(kel_od_string_to_node_id("256.1.1.1", &id), 14u);
    EXPECT_EQ(kel_od_string_to_node_addr(nullptr, &id, nullptr), 22u);
}

namespace {
/* A listener on 127.0.0.1, a transport connection to it, and the peer end. */
struct link_pair {
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), peer = -1;
    kel_od_handle_t h = -1;
    uint32_t port = 0;
    explicit link_pair(bool listening = true)
    {
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(server, reinterpret_cast<sockaddr *>(&a), sizeof a);
        getsockname(server, reinterpret_cast<sockaddr *>(&a), &len);
        port = htonl(ntohs(a.sin_port));
        if (listening && listen(server, 4) == 0 && kel_od_connect_to_node(htonl(INADDR_LOOPBACK), port, &h) == 0)
            peer = accept(server, nullptr, nullptr);
    }
    ~link_pair()
    {
        for (int fd : {server, peer, h})
            if (fd >= 0)
                close(fd);
    }
};
bool closed(int fd)
{
    return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}
} // namespace

TEST(NodeTransport, WholeMessagesThroughShortAndInterruptedTransfers)
{
    /* No SA_RESTART: each signal interrupts the blocking call. */
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr);
    link_pair l;
    ASSERT_GE(l.peer, 0);
    int small = 4096;
    setsockopt(l.h, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    EXPECT_NE(fcntl(l.h, F_GETFD) & FD_CLOEXEC, 0) << "slaves must not inherit connections";
    const size_t size = 256u << 10;
    std::vector<unsigned char> out(size), back(size);
    for (size_t i = 0; i < size; i++)
        out[i] = static_cast<unsigned char>(i * 31 + i / 251);
    pthread_t tester = pthread_self();
    std::thread echo([&] {
        std::vector<unsigned char> got(size);
        size_t have = 0, sent = 0;
        for (ssize_t n; have < size && (n = recv(l.peer, &got[have], std::min<size_t>(size - have, 1000), 0)) > 0;) {
            have += static_cast<size_t>(n);
            pthread_kill(tester, SIGUSR1);
        }
        for (size_t piece = 1; have == size && sent < size; piece = (piece * 7 + 3) % 997 + 1) {
            ssize_t n = send(l.peer, &got[sent], std::min(size - sent, piece), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
            pthread_kill(tester, SIGUSR1);
        }
    });
    uint32_t rc = kel_od_send_msg(&l.h, out.data(), size);
    if (rc == 0)
        rc = kel_od_receive_msg(&l.h, back.data(), size);
    if (rc != 0)
        shutdown(l.peer, SHUT_RDWR);
    echo.join();
    EXPECT_EQ(rc, 0u);
    EXPECT_TRUE(out == back);
    EXPECT_EQ(kel_od_disconnect_from_node(htonl(INADDR_LOOPBACK), &l.h), 0u);
    EXPECT_EQ(l.h, -1);
    EXPECT_EQ(kel_od_disconnect_from_node(0, &l.h), static_cast<uint32_t>(EBADF));
}

TEST(NodeTransport, PeersThatCloseOrResetAndEmptySends)
{
    /* Half a message, then the peer closes: ECONNRESET, connection closed. */
    link_pair half;
    ASSERT_GE(half.peer, 0);
    std::vector<unsigned char> msg(1080, 0x5A), got(1080);
    send(half.peer, msg.data(), 540, MSG_NOSIGNAL);
    close(half.peer);
    half.peer = -1;
    ASSERT_EQ(kel_od_receive_msg(&half.h, got.data(), 270), 0u);
    int fd = half.h;
    EXPECT_EQ(kel_od_receive_msg(&half.h, got.data(), 1080), 104u);
    EXPECT_EQ(half.h, -1);
    EXPECT_TRUE(closed(fd));
    /* A reset peer: EPIPE instead of a SIGPIPE that would end the program. */
    signal(SIGPIPE, SIG_DFL);
    link_pair reset;
    struct linger hard = {1, 0};
    setsockopt(reset.peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(reset.peer);
    reset.peer = -1;
    struct pollfd pfd = {reset.h, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 30000), 1);
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(reset.h, SOL_SOCKET, SO_ERROR, &err, &len); /* takes the pending reset away */
    fd = reset.h;
    EXPECT_EQ(kel_od_send_msg(&reset.h, msg.data(), 668), static_cast<uint32_t>(EPIPE));
    EXPECT_TRUE(closed(fd));
    /* A send that moves nothing reads as a reset and closes too. */
    link_pair empty;
    fd = empty.h;
    EXPECT_EQ(kel_od_send_msg(&empty.h, msg.data(), 0), 104u);
    EXPECT_TRUE(closed(fd));
    EXPECT_EQ(recv(empty.peer, got.data(), 1, 0), 0) << "the peer sees an orderly end";
    /* Refused: the handle is left alone. */
    link_pair refused(false);
    kel_od_handle_t h = 1234;
    EXPECT_EQ(kel_od_connect_to_node(htonl(INADDR_LOOPBACK), refused.port, &h), static_cast<uint32_t>(ECONNREFUSED));
    EXPECT_EQ(h, 1234);
    EXPECT_EQ(kel_od_send_msg(nullptr, "x", 1), 22u);
}
