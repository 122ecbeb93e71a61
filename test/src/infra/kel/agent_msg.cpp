/*
 * agent_msg.cpp - packing and reading the agent protocol's messages: the
 * 16-byte header, the 668-byte spawn request, the 276-byte reply and the
 * 1080-byte result.
 *
 * Every multi-byte number is written and read one byte at a time in
 * big-endian order, at the offsets the static_asserts below tie to the wire
 * records of kel.h; no field of those records is ever accessed as a number,
 * so neither byte order nor alignment of the host matters. Built into
 * libkel and, as its own copy, into kel-agent and the request fuzzer.
 */
#include "agent_msg.h"

#include <cstring>

static_assert(sizeof(kel_agent_hdr_t) == KEL_AGENT_HDR_SIZE, "header is 16 bytes");
static_assert(offsetof(kel_agent_hdr_t, magic) == KEL_HDR_OFF_MAGIC, "header layout");
static_assert(offsetof(kel_agent_hdr_t, node) == KEL_HDR_OFF_NODE, "header layout");
static_assert(offsetof(kel_agent_hdr_t, pid) == KEL_HDR_OFF_PID, "header layout");
static_assert(offsetof(kel_agent_hdr_t, type) == KEL_HDR_OFF_TYPE, "header layout");
static_assert(offsetof(kel_agent_hdr_t, version) == KEL_HDR_OFF_VERSION, "header layout");
static_assert(offsetof(kel_agent_hdr_t, reserved) == 14, "header layout");

static_assert(sizeof(kel_spawn_req_t) == KEL_SPAWN_REQ_SIZE, "spawn request is 668 bytes");
static_assert(offsetof(kel_spawn_req_t, hdr) == 0, "request layout");
static_assert(offsetof(kel_spawn_req_t, verbosity) == KEL_REQ_OFF_VERBOSITY, "request layout");
static_assert(offsetof(kel_spawn_req_t, reserved1) == 17, "request layout");
static_assert(offsetof(kel_spawn_req_t, flags) == KEL_REQ_OFF_FLAGS, "request layout");
static_assert(offsetof(kel_spawn_req_t, task) == KEL_REQ_OFF_TASK, "request layout");
static_assert(offsetof(kel_spawn_req_t, seq) == KEL_REQ_OFF_SEQ, "request layout");
static_assert(offsetof(kel_spawn_req_t, node_num) == KEL_REQ_OFF_NODE_NUM, "request layout");
static_assert(offsetof(kel_spawn_req_t, reserved2) == 26, "request layout");
static_assert(offsetof(kel_spawn_req_t, process_name) == KEL_REQ_OFF_PROCESS_NAME, "request layout");
static_assert(offsetof(kel_spawn_req_t, nvp_list) == KEL_REQ_OFF_NVP_LIST, "request layout");
static_assert(offsetof(kel_spawn_req_t, test_case) == KEL_REQ_OFF_TEST_CASE, "request layout");
static_assert(sizeof(kel_spawn_req_t::process_name) == KEL_REQ_PROCESS_NAME_SIZE, "request layout");
static_assert(sizeof(kel_spawn_req_t::nvp_list) == KEL_REQ_NVP_LIST_SIZE, "request layout");
static_assert(sizeof(kel_spawn_req_t::test_case) == KEL_REQ_TEST_CASE_SIZE, "request layout");
static_assert(KEL_REQ_OFF_TEST_CASE + KEL_REQ_TEST_CASE_SIZE == KEL_SPAWN_REQ_SIZE, "request layout");

static_assert(sizeof(kel_spawn_rsp_t) == KEL_SPAWN_RSP_SIZE, "reply is 276 bytes");
static_assert(offsetof(kel_spawn_rsp_t, hdr) == 0, "reply layout");
static_assert(offsetof(kel_spawn_rsp_t, status) == KEL_RSP_OFF_STATUS, "reply layout");
static_assert(offsetof(kel_spawn_rsp_t, reason) == KEL_RSP_OFF_REASON, "reply layout");
static_assert(sizeof(kel_spawn_rsp_t::reason) == KEL_RSP_REASON_SIZE, "reply layout");
static_assert(KEL_RSP_OFF_REASON + KEL_RSP_REASON_SIZE == KEL_SPAWN_RSP_SIZE, "reply layout");

static_assert(sizeof(kel_proc_result_t) == KEL_PROC_RESULT_SIZE, "result is 1080 bytes");
static_assert(offsetof(kel_proc_result_t, hdr) == 0, "result layout");
static_assert(offsetof(kel_proc_result_t, status) == KEL_RES_OFF_STATUS, "result layout");
static_assert(offsetof(kel_proc_result_t, reserved1) == 17, "result layout");
static_assert(offsetof(kel_proc_result_t, executed) == KEL_RES_OFF_EXECUTED, "result layout");
static_assert(offsetof(kel_proc_result_t, failed) == KEL_RES_OFF_FAILED, "result layout");
static_assert(offsetof(kel_proc_result_t, checkpoints) == KEL_RES_OFF_CHECKPOINTS, "result layout");
static_assert(offsetof(kel_proc_result_t, reserved2) == 36, "result layout");
static_assert(offsetof(kel_proc_result_t, elapsed_ms) == KEL_RES_OFF_ELAPSED, "result layout");
static_assert(offsetof(kel_proc_result_t, summary_len) == KEL_RES_OFF_SUMMARY_LEN, "result layout");
static_assert(offsetof(kel_proc_result_t, summary) == KEL_RES_OFF_SUMMARY, "result layout");
static_assert(sizeof(kel_proc_result_t::summary) == KEL_RES_SUMMARY_SIZE, "result layout");
static_assert(KEL_RES_OFF_SUMMARY + KEL_RES_SUMMARY_SIZE == KEL_PROC_RESULT_SIZE, "result layout");
/* Bytes 24..1079 of a result mirror a result slot (slave_proto.h). */
static_assert(KEL_PROC_RESULT_SIZE - KEL_RES_OFF_EXECUTED == sizeof(kel_res_slot_t), "result mirrors a slot");
static_assert(KEL_RES_OFF_ELAPSED - KEL_RES_OFF_EXECUTED == offsetof(kel_res_slot_t, elapsed_ms), "slot mirror");
static_assert(KEL_RES_OFF_SUMMARY - KEL_RES_OFF_EXECUTED == offsetof(kel_res_slot_t, summary), "slot mirror");

namespace {

void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void put64(uint8_t *p, uint64_t v)
{
    put32(p, static_cast<uint32_t>(v >> 32));
    put32(p + 4, static_cast<uint32_t>(v));
}

uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t get32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint64_t get64(const uint8_t *p)
{
    return (static_cast<uint64_t>(get32(p)) << 32) | get32(p + 4);
}

/* A text into its field: at most size - 1 bytes, so a NUL always follows
 * (the field was cleared). */
void put_text(uint8_t *field, size_t size, const char *text)
{
    memcpy(field, text, strnlen(text, size - 1));
}

uint8_t *bytes_of(void *msg)
{
    return static_cast<uint8_t *>(msg);
}

const uint8_t *bytes_of(const void *msg)
{
    return static_cast<const uint8_t *>(msg);
}

} // namespace

void kel__agent_hdr_init(kel__agent_hdr_fields *hdr, uint8_t type, kel_node_id_t node, uint32_t pid)
{
    hdr->magic = KEL_AGENT_MAGIC;
    hdr->node = node;
    hdr->pid = pid;
    hdr->type = type;
    hdr->version = KEL_AGENT_VERSION;
}

void kel__agent_hdr_pack(const kel__agent_hdr_fields *hdr, uint8_t *msg)
{
    memset(msg, 0, KEL_AGENT_HDR_SIZE);
    put32(msg + KEL_HDR_OFF_MAGIC, hdr->magic);
    memcpy(msg + KEL_HDR_OFF_NODE, &hdr->node, sizeof hdr->node);
    put32(msg + KEL_HDR_OFF_PID, hdr->pid);
    msg[KEL_HDR_OFF_TYPE] = hdr->type;
    msg[KEL_HDR_OFF_VERSION] = hdr->version;
}

void kel__agent_hdr_unpack(const uint8_t *msg, kel__agent_hdr_fields *hdr)
{
    hdr->magic = get32(msg + KEL_HDR_OFF_MAGIC);
    memcpy(&hdr->node, msg + KEL_HDR_OFF_NODE, sizeof hdr->node);
    hdr->pid = get32(msg + KEL_HDR_OFF_PID);
    hdr->type = msg[KEL_HDR_OFF_TYPE];
    hdr->version = msg[KEL_HDR_OFF_VERSION];
}

void kel__spawn_req_pack(const kel__spawn_req_fields *f, kel_spawn_req_t *msg)
{
    uint8_t *m = bytes_of(msg);
    memset(m, 0, KEL_SPAWN_REQ_SIZE);
    kel__agent_hdr_pack(&f->hdr, m);
    m[KEL_REQ_OFF_VERBOSITY] = f->verbosity;
    put16(m + KEL_REQ_OFF_FLAGS, f->flags);
    put16(m + KEL_REQ_OFF_TASK, f->task);
    put16(m + KEL_REQ_OFF_SEQ, f->seq);
    put16(m + KEL_REQ_OFF_NODE_NUM, f->node_num);
    put_text(m + KEL_REQ_OFF_PROCESS_NAME, KEL_REQ_PROCESS_NAME_SIZE, f->process_name);
    put_text(m + KEL_REQ_OFF_NVP_LIST, KEL_REQ_NVP_LIST_SIZE, f->nvp_list);
    put_text(m + KEL_REQ_OFF_TEST_CASE, KEL_REQ_TEST_CASE_SIZE, f->test_case);
}

void kel__spawn_req_unpack(const kel_spawn_req_t *msg, kel__spawn_req_fields *f)
{
    const uint8_t *m = bytes_of(msg);
    kel__agent_hdr_unpack(m, &f->hdr);
    f->verbosity = m[KEL_REQ_OFF_VERBOSITY];
    f->flags = get16(m + KEL_REQ_OFF_FLAGS);
    f->task = get16(m + KEL_REQ_OFF_TASK);
    f->seq = get16(m + KEL_REQ_OFF_SEQ);
    f->node_num = get16(m + KEL_REQ_OFF_NODE_NUM);
    memcpy(f->process_name, m + KEL_REQ_OFF_PROCESS_NAME, KEL_REQ_PROCESS_NAME_SIZE);
    memcpy(f->nvp_list, m + KEL_REQ_OFF_NVP_LIST, KEL_REQ_NVP_LIST_SIZE);
    memcpy(f->test_case, m + KEL_REQ_OFF_TEST_CASE, KEL_REQ_TEST_CASE_SIZE);
}

void kel__spawn_rsp_pack(const kel__spawn_rsp_fields *f, kel_spawn_rsp_t *msg)
{
    uint8_t *m = bytes_of(msg);
    memset(m, 0, KEL_SPAWN_RSP_SIZE);
    kel__agent_hdr_pack(&f->hdr, m);
    m[KEL_RSP_OFF_STATUS] = f->status;
    put_text(m + KEL_RSP_OFF_REASON, KEL_RSP_REASON_SIZE, f->reason);
}

void kel__spawn_rsp_unpack(const kel_spawn_rsp_t *msg, kel__spawn_rsp_fields *f)
{
    const uint8_t *m = bytes_of(msg);
    kel__agent_hdr_unpack(m, &f->hdr);
    f->status = m[KEL_RSP_OFF_STATUS];
    memcpy(f->reason, m + KEL_RSP_OFF_REASON, KEL_RSP_REASON_SIZE);
}

void kel__proc_result_pack(const kel__proc_result_fields *f, kel_proc_result_t *msg)
{
    uint8_t *m = bytes_of(msg);
    memset(m, 0, KEL_PROC_RESULT_SIZE);
    kel__agent_hdr_pack(&f->hdr, m);
    m[KEL_RES_OFF_STATUS] = f->status;
    if (f->status != 0) {
        put_text(m + KEL_RES_OFF_ERROR, KEL_RES_ERROR_SIZE, f->error);
        return;
    }
    put32(m + KEL_RES_OFF_EXECUTED, f->executed);
    put32(m + KEL_RES_OFF_FAILED, f->failed);
    put32(m + KEL_RES_OFF_CHECKPOINTS, f->checkpoints);
    put64(m + KEL_RES_OFF_ELAPSED, f->elapsed_ms);
    put32(m + KEL_RES_OFF_SUMMARY_LEN, f->summary_len);
    memcpy(m + KEL_RES_OFF_SUMMARY, f->summary, KEL_RES_SUMMARY_SIZE);
}

void kel__proc_result_unpack(const kel_proc_result_t *msg, kel__proc_result_fields *f)
{
    const uint8_t *m = bytes_of(msg);
    kel__agent_hdr_unpack(m, &f->hdr);
    f->status = m[KEL_RES_OFF_STATUS];
    f->executed = get32(m + KEL_RES_OFF_EXECUTED);
    f->failed = get32(m + KEL_RES_OFF_FAILED);
    f->checkpoints = get32(m + KEL_RES_OFF_CHECKPOINTS);
    f->elapsed_ms = get64(m + KEL_RES_OFF_ELAPSED);
    f->summary_len = get32(m + KEL_RES_OFF_SUMMARY_LEN);
    memcpy(f->summary, m + KEL_RES_OFF_SUMMARY, KEL_RES_SUMMARY_SIZE);
    memcpy(f->error, m + KEL_RES_OFF_ERROR, KEL_RES_ERROR_SIZE);
}
