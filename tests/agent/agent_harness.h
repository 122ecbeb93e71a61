/*
 * agent_harness.h - what the remote-execution tests use: a real kel-agent
 * started as a child process (its listening line read from its output,
 * never waited for with a sleep), a scripted fake agent on a thread, and
 * small loopback and file helpers.
 *
 * Every address used is on the loopback network (127.0.0.1, 127.0.0.2,
 * 127.0.0.3); every wait has a time limit.
 */
#ifndef KEL_AGENT_HARNESS_H
#define KEL_AGENT_HARNESS_H

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kel.h"

namespace agent_test {

/* Waits are bounded by this unless a test says otherwise. */
constexpr unsigned wait_limit_ms = 30000;

/* A kel-agent child process with its standard output and error collected
 * by reader threads. */
class agent_process {
public:
    agent_process() = default;
    agent_process(const agent_process &) = delete;
    agent_process &operator=(const agent_process &) = delete;
    /* Kills the agent (SIGKILL) if it still runs. */
    ~agent_process();
    /* Kills it if it runs and forgets it, ready for another start. */
    void reset();

    /* Starts kel-agent with args and waits for its listening line. False
     * (with the reason in *why) when it exits or says nothing in time. */
    bool start(const std::vector<std::string> &args, std::string *why);
    /* Waits until the standard error holds needle; false on time-out. */
    bool wait_err(const std::string &needle, unsigned ms = wait_limit_ms);
    /* Waits for a -v line "slave <pid> started" (the n-th, from 1); the
     * pid, or -1 on time-out. */
    pid_t wait_slave_started(int n = 1, unsigned ms = wait_limit_ms);
    /* Sends sig and waits for the end; returns the waitpid status, or -1
     * when the agent did not end in time (it is then killed). */
    int stop(int sig, unsigned ms = wait_limit_ms);
    /* Waits for the end without a signal (for agents that refuse to
     * start); same result as stop. */
    int wait_exit(unsigned ms = wait_limit_ms);

    pid_t pid() const { return pid_; }
    const std::string &address() const { return address_; }
    unsigned port() const { return port_; }
    std::string node() const { return address_ + ":" + std::to_string(port_); }
    std::string out();
    std::string err();

private:
    void reader(int fd, std::string *to, bool *eof);
    int reap(unsigned ms);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string address_;
    unsigned port_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_, err_;
    bool out_eof_ = false, err_eof_ = false;
    std::thread out_thread_, err_thread_;
};

/* Starts two agents on 127.0.0.2 and 127.0.0.3 with the same port (the
 * first picks a free port, the second takes it, tried a few times). */
bool start_agent_pair(agent_process &a, agent_process &b, const std::vector<std::string> &args, std::string *why);

/* A fake agent: accepts connections on 127.0.0.1 and runs the script on
 * each, with the request it read (668 bytes; short when the peer closed). */
class fake_agent {
public:
    using script = std::function<void(int fd, const kel_spawn_req_t &request)>;
    /* Serves `connections` connections, one after the other. */
    fake_agent(script s, int connections = 1);
    ~fake_agent();
    fake_agent(const fake_agent &) = delete;
    fake_agent &operator=(const fake_agent &) = delete;

    std::string node() const { return "127.0.0.1:" + std::to_string(port_); }
    /* Waits for the server thread; the requests it read. */
    std::vector<kel_spawn_req_t> finish();

private:
    void serve(script s, int connections);

    int listen_fd_ = -1;
    unsigned port_ = 0;
    std::vector<kel_spawn_req_t> requests_;
    std::thread thread_;
};

/* Whole-buffer socket I/O for the scripts and fake masters. */
bool send_all(int fd, const void *buf, size_t len);
bool recv_all(int fd, void *buf, size_t len);
/* A connected socket to 127.x.y.z:port, or -1. */
int connect_to(const std::string &address, unsigned port);

/* A reply and a result image, packed by the shared code. */
kel_spawn_rsp_t make_reply(uint8_t status, const std::string &reason);
kel_proc_result_t make_result(const std::string &node, uint32_t executed, uint32_t failed, uint32_t checkpoints,
                              uint64_t elapsed_ms, const std::vector<uint8_t> &summary);
/* One entry of a packed failure list: path, location, condition. */
std::vector<uint8_t> list_entry(const std::string &path, const std::string &location, const std::string &cond);

/* A fresh folder under /tmp, removed with its files by the destructor. */
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/* A fifo whose writer end the test holds (opened read-write, so it never
 * blocks): readers block until release() closes it. */
class gate {
public:
    explicit gate(const std::string &path);
    ~gate();
    gate(const gate &) = delete;
    gate &operator=(const gate &) = delete;
    const std::string &path() const { return path_; }
    void release();

private:
    std::string path_;
    int fd_ = -1;
};

/* True when no process has this pid (zombies count as present). */
bool process_gone(pid_t pid);
/* Names in /dev/shm beginning with prefix. */
std::vector<std::string> shm_entries(const std::string &prefix);
/* The directory part of a path. */
std::string dir_of(const std::string &path);

} // namespace agent_test

#endif
