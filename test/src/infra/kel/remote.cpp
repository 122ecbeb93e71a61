/*
 * remote.cpp - running a remote child's test case through the agent of its
 * node, and binding children to nodes.
 *
 * A child made remote with kel_set_node is not forked: its spawned thread
 * connects to the kel-agent of the node, sends a spawn request naming the
 * test program, the child's path and the run's options, reads the agent's
 * reply and then waits on the same connection for the result of the remote
 * slave. The result mirrors a result slot: counts and the packed failure
 * list, folded into the instance as a local slave's slot is, with one
 * failure record that names the node.
 *
 * Everything in a reply or a result came from the network. Headers are
 * checked before anything else is read; texts are bounded by their fields;
 * the failure list is copied only within its 1028-byte area and printed by
 * a reader that checks every length byte (failure_list.cpp). A broken agent
 * fails its test case and nothing else.
 *
 * The wait for a result lasts as long as the test case's time limit, when
 * it has one (guard.h): past it the guard shuts the connection, which tells
 * the agent to kill the remote slave, and the child is reported as timed
 * out. Without a limit a remote test case may run for hours; TCP keep-alive
 * on the connection notices a node that vanished without closing it.
 */
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "agent_msg.h"
#include "failure.h"
#include "guard.h"
#include "messages.h"
#include "remote.h"
#include "run_records.h"
#include "tree.h"

namespace {

constexpr size_t NODE_TEXT_SIZE = 64;
constexpr size_t MAX_TEST_CASE = KEL_REQ_TEST_CASE_SIZE - 1;       /* with its NUL: 255 bytes */
constexpr size_t MAX_PROCESS_NAME = KEL_REQ_PROCESS_NAME_SIZE - 1; /* 127 characters */
constexpr size_t MAX_NVP_LIST = KEL_REQ_NVP_LIST_SIZE - 1;         /* 255 characters */
constexpr uint32_t MAX_NODE_NUM = 0xFFFF;
constexpr uint8_t REPLY_NOT_RECEIVED = 5;

/* Keep-alive: a silent peer is probed after 60 s, every 10 s, and given up
 * after 6 probes unanswered. */
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_PROBES = 6;

/* Best effort: without keep-alive the wait is only longer. */
void enable_keepalive(int fd)
{
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &KEEPALIVE_IDLE_S, sizeof KEEPALIVE_IDLE_S);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &KEEPALIVE_INTERVAL_S, sizeof KEEPALIVE_INTERVAL_S);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &KEEPALIVE_PROBES, sizeof KEEPALIVE_PROBES);
}

/* A text field from the network as a C string in buf (size > field size). */
void bounded_text(char *buf, const char *field, size_t field_size)
{
    size_t n = strnlen(field, field_size);
    memcpy(buf, field, n);
    buf[n] = '\0';
}

/* What the lines about one remote test case share. */
struct remote_case {
    kel_t *kel;
    const spawn_info *info;
    char node[NODE_TEXT_SIZE];
    char seq[24];
    char *colon_path;
    char *blank_path;
};

/* Counts the child lost and records why; an empty reason is none. */
void lost(const remote_case *rc, kel_rec_kind_t kind, uint32_t code, const char *reason)
{
    const spawn_info *info = rc->info;
    kel__count_lost_child(rc->kel, {kind, info->tc, info->task, info->seq, 0, info->tc->node_addr,
                                    static_cast<int32_t>(code), reason && reason[0] ? reason : NULL});
}

void case_free(remote_case *rc)
{
    free(rc->colon_path);
    free(rc->blank_path);
}

/* Before anything is sent: each limit of the request's fixed fields that
 * the child would break has its line; then the test case fails. */
bool request_fits(const remote_case *rc)
{
    const kel_t *kel = rc->kel;
    bool fits = true;
    flockfile(stdout);
    if (strlen(rc->blank_path) + 1 > MAX_TEST_CASE) {
        printf(KEL_FMT_REMOTE_TC_NAME_SIZE, static_cast<int>(MAX_TEST_CASE));
        fits = false;
    }
    if (kel->cfg.argv0 && strlen(kel->cfg.argv0) > MAX_PROCESS_NAME) {
        printf(KEL_FMT_REMOTE_PROCESS_NAME_SIZE, static_cast<int>(MAX_PROCESS_NAME));
        fits = false;
    }
    if (kel->run.vars_text && strlen(kel->run.vars_text) > MAX_NVP_LIST) {
        printf(KEL_FMT_REMOTE_NVP_SIZE, static_cast<int>(MAX_NVP_LIST));
        fits = false;
    }
    if (rc->info->tc->node_num > MAX_NODE_NUM) {
        printf(KEL_FMT_REMOTE_NODE_NUM_SIZE, static_cast<int>(MAX_NODE_NUM));
        fits = false;
    }
    if (!fits)
        printf(KEL_MSG_REMOTE_INVALID_ARGS);
    funlockfile(stdout);
    return fits;
}

void build_request(const remote_case *rc, kel_spawn_req_t *req)
{
    const kel_t *kel = rc->kel;
    const kel_tc_t *tc = rc->info->tc;
    kel__spawn_req_fields f;
    memset(&f, 0, sizeof f);
    kel__agent_hdr_init(&f.hdr, KEL_AGENT_MSG_SPAWN_REQ, tc->node_addr, static_cast<uint32_t>(getpid()));
    f.verbosity = static_cast<uint8_t>(kel->cfg.verbosity);
    f.flags = static_cast<uint16_t>((kel->cfg.strict ? KEL_SPAWN_F_STRICT : 0) | (kel->run.vars_text ? KEL_SPAWN_F_NVP : 0));
    f.task = static_cast<uint16_t>(rc->info->task);
    f.seq = static_cast<uint16_t>(rc->info->seq);
    f.node_num = static_cast<uint16_t>(tc->node_num);
    snprintf(f.process_name, sizeof f.process_name, "%s", kel->cfg.argv0 ? kel->cfg.argv0 : "");
    snprintf(f.nvp_list, sizeof f.nvp_list, "%s", kel->run.vars_text ? kel->run.vars_text : "");
    snprintf(f.test_case, sizeof f.test_case, "%s", rc->blank_path);
    kel__spawn_req_pack(&f, req);
}

/* A result the agent sent: a failed status has its error line (in quiet
 * mode too when it says something); a remote slave that ran is folded like
 * a local one and has its block, with its counts, unless quiet and passed. */
void fold_result(const remote_case *rc, const kel__proc_result_fields *res)
{
    kel_t *kel = rc->kel;
    int task = static_cast<int>(rc->info->task);
    flockfile(stdout);
    if (res->status != 0) {
        printf(KEL_MSG_REMOTE_STATUS_FAILED);
        char error[KEL_RES_ERROR_SIZE + 1];
        bounded_text(error, res->error, KEL_RES_ERROR_SIZE);
        lost(rc, KEL_REC_REMOTE_FAILED, 0, error);
        /* The error text is worth a line in quiet mode too. */
        if (kel__verbose(kel->cfg.verbosity) || error[0] != '\0')
            printf(KEL_FMT_REMOTE_ERROR_TEXT, KEL_DASHES, rc->colon_path, rc->seq, task, rc->node, "", error);
        funlockfile(stdout);
        return;
    }

    kel_res_slot_t child;
    memset(&child, 0, sizeof child);
    child.executed = res->executed;
    child.failed = res->failed;
    child.checkpoints = res->checkpoints;
    child.elapsed_ms = res->elapsed_ms;
    child.summary_len = res->summary_len < KEL_RES_SUMMARY_SIZE ? res->summary_len : KEL_RES_SUMMARY_SIZE;
    memcpy(child.summary, res->summary, sizeof child.summary);
    uint32_t rate = kel__fold_child(kel, rc->info, 0, res->hdr.node, &child);
    if (!kel__verbose(kel->cfg.verbosity) && child.failed == 0) {
        funlockfile(stdout);
        return;
    }
    if (child.failed != 0) {
        printf(KEL_FMT_REMOTE_FAILED, KEL_DASHES, rc->colon_path, rc->seq, task, rc->node, static_cast<int>(rate));
    } else {
        printf(KEL_FMT_REMOTE_PASSED, KEL_DASHES, rc->colon_path, rc->seq, task, rc->node);
    }
    /* The counts as folded: a malformed result's are replaced. */
    printf(KEL_FMT_CHILD_COUNTS, static_cast<int>(child.executed), static_cast<int>(child.failed),
           static_cast<int>(child.checkpoints), static_cast<unsigned long long>(res->elapsed_ms));
    funlockfile(stdout);
}

/* Sends the request, reads the reply, waits for the result and folds it. */
void exchange(const remote_case *rc, const kel_spawn_req_t *req)
{
    const kel_tc_t *tc = rc->info->tc;
    kel_proc_result_t *result = static_cast<kel_proc_result_t *>(malloc(sizeof *result));
    if (!result) {
        printf(KEL_MSG_REMOTE_NO_RESULT_BUF);
        lost(rc, KEL_REC_REMOTE_NOT_SENT, ENOMEM, NULL);
        return;
    }

    kel_spawn_rsp_t rsp;
    kel_od_handle_t handle = -1;
    uint32_t code = kel_spawn_remote_process(tc->node_addr, tc->node_port, req, &rsp, &handle);
    if (code != 0) {
        free(result);
        char reason[KEL_RSP_REASON_SIZE + 1];
        bounded_text(reason, rsp.reason, sizeof rsp.reason);
        flockfile(stdout);
        printf(KEL_MSG_REMOTE_SPAWN_FAILED);
        lost(rc, KEL_REC_REMOTE_REFUSED, code == KEL_AGENT_REJECTED ? 0 : code, reason);
        kel_print_agent_error(rc->colon_path, rc->node, rc->info, code == KEL_AGENT_REJECTED ? 0 : code, reason);
        funlockfile(stdout);
        return;
    }

    uint32_t limit = kel__limit_of(tc);
    kel_child_watch_t watch;
    kel__child_watch(&watch, 0, handle, limit);
    code = kel_get_remote_process_result(tc->node_addr, &handle, result);
    bool timed_out = kel__child_unwatch(&watch);
    if (code != 0 && timed_out) {
        free(result);
        flockfile(stdout);
        printf(KEL_FMT_REMOTE_TIMED_OUT, rc->node, limit);
        printf(KEL_MSG_SLAVE_FAILED);
        lost(rc, KEL_REC_TIMED_OUT, limit, NULL);
        funlockfile(stdout);
        return;
    }
    if (code != 0) {
        free(result);
        flockfile(stdout);
        printf(KEL_MSG_REMOTE_RESULT_FAILED);
        lost(rc, KEL_REC_REMOTE_DROPPED, code, NULL);
        kel_print_agent_error(rc->colon_path, rc->node, rc->info, code, "");
        funlockfile(stdout);
        return;
    }

    kel__proc_result_fields *res = static_cast<kel__proc_result_fields *>(malloc(sizeof *res));
    if (!res) {
        free(result);
        printf(KEL_MSG_REMOTE_NO_RESULT_BUF);
        lost(rc, KEL_REC_REMOTE_DROPPED, ENOMEM, NULL);
        return;
    }
    kel__proc_result_unpack(result, res);
    free(result);
    fold_result(rc, res);
    free(res);
}

} // namespace

extern "C" {

uint32_t kel_set_node(kel_tc_t *tc, const char *address)
{
    if (!tc || !address)
        return EINVAL;
    kel_node_id_t node = 0;
    uint32_t port = 0;
    uint32_t rc = kel_od_string_to_node_addr(address, &node, &port);
    if (rc != 0)
        return rc;
    tc->node_addr = node;
    tc->node_port = port;
    tc->flags |= KEL_TCF_REMOTE;
    return 0;
}

uint32_t kel_set_node_num(kel_tc_t *tc, uint32_t node_num)
{
    if (!tc || node_num == 0)
        return EINVAL;
    tc->node_num = node_num;
    return 0;
}

uint32_t kel_check_agent_msg(const void *msg)
{
    if (!msg)
        return EINVAL;
    kel__agent_hdr_fields hdr;
    kel__agent_hdr_unpack(static_cast<const uint8_t *>(msg), &hdr);
    if (hdr.magic != KEL_AGENT_MAGIC) {
        printf(KEL_FMT_AGENT_WRONG_MAGIC, hdr.magic, KEL_AGENT_MAGIC);
        return EINVAL;
    }
    if (hdr.version != KEL_AGENT_VERSION) {
        printf(KEL_FMT_AGENT_WRONG_VERSION, hdr.version, KEL_AGENT_VERSION);
        return EINVAL;
    }
    if (hdr.type < 1 || hdr.type > 5) {
        printf(KEL_FMT_AGENT_WRONG_TYPE, hdr.type);
        return EINVAL;
    }
    return 0;
}

uint32_t kel_spawn_remote_process(kel_node_id_t node, uint32_t port, const kel_spawn_req_t *req,
                                  kel_spawn_rsp_t *rsp, kel_od_handle_t *handle)
{
    if (!req || !rsp || !handle)
        return EINVAL;
    /* A reply that never arrives must not read as accepted. */
    memset(rsp, 0, sizeof *rsp);
    rsp->status = REPLY_NOT_RECEIVED;

    uint32_t rc = kel_od_connect_to_node(node, port, handle);
    if (rc != 0)
        return rc;
    enable_keepalive(*handle);
    rc = kel_od_send_msg(handle, req, sizeof *req);
    if (rc != 0)
        return rc;
    rc = kel_od_receive_msg(handle, rsp, sizeof *rsp);
    if (rc != 0)
        return rc;
    rc = kel_check_agent_msg(rsp);
    if (rc != 0) {
        kel_od_disconnect_from_node(node, handle);
        return rc;
    }
    if (rsp->status != 0) {
        kel_od_disconnect_from_node(node, handle);
        return KEL_AGENT_REJECTED;
    }
    return 0;
}

uint32_t kel_get_remote_process_result(kel_node_id_t node, kel_od_handle_t *handle, kel_proc_result_t *result)
{
    if (!handle)
        return EINVAL;
    if (!result) {
        kel_od_disconnect_from_node(node, handle);
        return EINVAL;
    }
    uint32_t rc = kel_od_receive_msg(handle, result, sizeof *result);
    if (rc != 0)
        return rc;
    rc = kel_check_agent_msg(result);
    kel_od_disconnect_from_node(node, handle);
    return rc;
}

} // extern "C"

void kel_print_agent_error(const char *path, const char *node, const spawn_info *info, uint32_t code,
                           const char *reason)
{
    char seq[24] = "";
    if (info->seq != 0)
        snprintf(seq, sizeof seq, KEL_FMT_SEQ, static_cast<int>(info->seq));
    int task = static_cast<int>(info->task);
    if (code != 0) {
        int c = static_cast<int>(code);
        printf(KEL_FMT_REMOTE_ERROR_CODE, KEL_DASHES, path, seq, task, node, KEL_MSG_REMOTE_COMMUNICATION, c,
               strerror(c));
    } else {
        printf(KEL_FMT_REMOTE_ERROR_TEXT, KEL_DASHES, path, seq, task, node, KEL_MSG_REMOTE_REJECTED,
               reason ? reason : "");
    }
}

void kel__remote_exec_tc(spawn_info *info)
{
    remote_case rc;
    memset(&rc, 0, sizeof rc);
    rc.info = info;
    rc.kel = info->tc->instance;
    kel_tc_t *tc = info->tc;

    uint32_t code = kel_od_node_id_to_string(tc->node_addr, rc.node, sizeof rc.node);
    if (code != 0) {
        printf(KEL_FMT_REMOTE_NODE_CONVERSION, static_cast<int>(code), strerror(static_cast<int>(code)));
        lost(&rc, KEL_REC_REMOTE_NOT_SENT, code, NULL);
        return;
    }
    if (info->seq != 0)
        snprintf(rc.seq, sizeof rc.seq, KEL_FMT_SEQ, static_cast<int>(info->seq));

    rc.blank_path = kel__tc_path_dup(tc, ' ');
    rc.colon_path = kel__tc_path_dup(tc, ':');
    if (!rc.blank_path || !rc.colon_path) {
        printf(KEL_FMT_REMOTE_NO_PATH, "kel_fork_exec_tc");
        lost(&rc, KEL_REC_REMOTE_NOT_SENT, ENOMEM, NULL);
        case_free(&rc);
        return;
    }
    if (!request_fits(&rc)) {
        lost(&rc, KEL_REC_REMOTE_NOT_SENT, EINVAL, NULL);
        case_free(&rc);
        return;
    }

    kel_spawn_req_t req;
    build_request(&rc, &req);
    exchange(&rc, &req);
    case_free(&rc);
}
