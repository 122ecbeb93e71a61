/*
 * remote.h - running a remote child's test case through the agent of its
 * node. The exported functions of this family (kel_set_node,
 * kel_set_node_num, kel_spawn_remote_process, kel_get_remote_process_result,
 * kel_check_agent_msg) are declared in kel.h.
 */
#ifndef KEL_REMOTE_H
#define KEL_REMOTE_H

#include "kel_types.h"

/* Runs the record's test case (a child with the remote flag) on its node and
 * folds the outcome into the instance. Called on the spawned test thread of
 * a master process. Every failed exchange counts the test case as executed
 * and failed; whatever the agent sends, the instance stays sound. */
void kel__remote_exec_tc(spawn_info *info);

/* Prints the error line of a failed exchange: with code 0 the agent's
 * rejection and its reason, else the communication error code and its text.
 * path is the child's path joined by colons, node its node's text. */
void kel_print_agent_error(const char *path, const char *node, const spawn_info *info, uint32_t code,
                           const char *reason);

#endif
