/*
 * agent_msg.h - the four fixed-size messages of the agent protocol, packed
 * and read field by field.
 *
 * The records of kel.h (kel_spawn_req_t and friends) are byte images of the
 * wire: their multi-byte fields hold big-endian values. Code never reads or
 * writes those fields directly; it fills the host-order records below and
 * packs them, or unpacks a received image into them. The library's remote
 * client and the kel-agent daemon share this code (the agent compiles
 * agent_msg.cpp into itself: nothing here is exported from libkel.so).
 *
 * Unpacking copies texts as they are on the wire, without adding a NUL:
 * whoever reads a text bounds it by its field's size (strnlen), because the
 * bytes came from another host.
 */
#ifndef KEL_AGENT_MSG_H
#define KEL_AGENT_MSG_H

#include <stddef.h>
#include <stdint.h>

#include "kel.h"
#include "slave_proto.h"

/* Message sizes. */
#define KEL_AGENT_HDR_SIZE 16u
#define KEL_SPAWN_REQ_SIZE 668u
#define KEL_SPAWN_RSP_SIZE 276u
#define KEL_PROC_RESULT_SIZE 1080u

/* Header offsets. */
#define KEL_HDR_OFF_MAGIC 0u
#define KEL_HDR_OFF_NODE 4u
#define KEL_HDR_OFF_PID 8u
#define KEL_HDR_OFF_TYPE 12u
#define KEL_HDR_OFF_VERSION 13u

/* Spawn request offsets and text sizes. */
#define KEL_REQ_OFF_VERBOSITY 16u
#define KEL_REQ_OFF_FLAGS 18u
#define KEL_REQ_OFF_TASK 20u
#define KEL_REQ_OFF_SEQ 22u
#define KEL_REQ_OFF_NODE_NUM 24u
#define KEL_REQ_OFF_PROCESS_NAME 28u
#define KEL_REQ_OFF_NVP_LIST 156u
#define KEL_REQ_OFF_TEST_CASE 412u
#define KEL_REQ_PROCESS_NAME_SIZE 128u
#define KEL_REQ_NVP_LIST_SIZE 256u
#define KEL_REQ_TEST_CASE_SIZE 256u
#define KEL_REQ_KNOWN_FLAGS (KEL_SPAWN_F_STRICT | KEL_SPAWN_F_NVP)

/* Reply offsets. */
#define KEL_RSP_OFF_STATUS 16u
#define KEL_RSP_OFF_REASON 17u
#define KEL_RSP_REASON_SIZE 259u

/* Result offsets. The counts and the failure area mirror a result slot
 * (slave_proto.h). The error text of a result whose status is not 0 starts
 * at offset 28, over the counts, and runs to the end of the message. */
#define KEL_RES_OFF_STATUS 16u
#define KEL_RES_OFF_EXECUTED 24u
#define KEL_RES_OFF_FAILED 28u
#define KEL_RES_OFF_CHECKPOINTS 32u
#define KEL_RES_OFF_ELAPSED 40u
#define KEL_RES_OFF_SUMMARY_LEN 48u
#define KEL_RES_OFF_SUMMARY 52u
#define KEL_RES_OFF_ERROR 28u
#define KEL_RES_ERROR_SIZE (KEL_PROC_RESULT_SIZE - KEL_RES_OFF_ERROR)

/* The header, host order except node, which stays as stored (network
 * order, as kel_node_id_t always is). */
typedef struct kel__agent_hdr_fields_s {
    uint32_t magic;          /* KEL_AGENT_MAGIC when valid */
    kel_node_id_t node;
    uint32_t pid;
    uint8_t type;
    uint8_t version;
} kel__agent_hdr_fields;

typedef struct kel__spawn_req_fields_s {
    kel__agent_hdr_fields hdr;
    uint8_t verbosity;
    uint16_t flags;
    uint16_t task;
    uint16_t seq;
    uint16_t node_num;
    char process_name[KEL_REQ_PROCESS_NAME_SIZE];
    char nvp_list[KEL_REQ_NVP_LIST_SIZE];
    char test_case[KEL_REQ_TEST_CASE_SIZE];
} kel__spawn_req_fields;

typedef struct kel__spawn_rsp_fields_s {
    kel__agent_hdr_fields hdr;
    uint8_t status;
    char reason[KEL_RSP_REASON_SIZE];
} kel__spawn_rsp_fields;

typedef struct kel__proc_result_fields_s {
    kel__agent_hdr_fields hdr;
    uint8_t status;
    /* status 0: */
    uint32_t executed;
    uint32_t failed;
    uint32_t checkpoints;
    uint64_t elapsed_ms;
    uint32_t summary_len;
    uint8_t summary[KEL_RES_SUMMARY_SIZE];
    /* status not 0: */
    char error[KEL_RES_ERROR_SIZE];
} kel__proc_result_fields;

/* A header of the given type from this sender: magic and version set. */
void kel__agent_hdr_init(kel__agent_hdr_fields *hdr, uint8_t type, kel_node_id_t node, uint32_t pid);

/* Header image at the start of msg (KEL_AGENT_HDR_SIZE bytes). */
void kel__agent_hdr_pack(const kel__agent_hdr_fields *hdr, uint8_t *msg);
void kel__agent_hdr_unpack(const uint8_t *msg, kel__agent_hdr_fields *hdr);

/* Whole messages. A pack clears the image first (bytes not listed are 0)
 * and copies each text with at most its field's size less one byte, so the
 * image always holds a NUL in every text field. */
void kel__spawn_req_pack(const kel__spawn_req_fields *f, kel_spawn_req_t *msg);
void kel__spawn_req_unpack(const kel_spawn_req_t *msg, kel__spawn_req_fields *f);
void kel__spawn_rsp_pack(const kel__spawn_rsp_fields *f, kel_spawn_rsp_t *msg);
void kel__spawn_rsp_unpack(const kel_spawn_rsp_t *msg, kel__spawn_rsp_fields *f);
/* A result with status 0 carries the counts and the failure area (and
 * summary_len as given: the sender clamps it); any other status carries
 * the error text instead. Unpacking fills both views from the same bytes. */
void kel__proc_result_pack(const kel__proc_result_fields *f, kel_proc_result_t *msg);
void kel__proc_result_unpack(const kel_proc_result_t *msg, kel__proc_result_fields *f);

#endif /* KEL_AGENT_MSG_H */
