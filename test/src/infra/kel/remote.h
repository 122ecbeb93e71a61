/*
 * remote.h - running a remote child's test case through the agent of its
 * node.
 */
#ifndef KEL_REMOTE_H
#define KEL_REMOTE_H

#include "kel_types.h"

/* Runs the record's test case (a child with the remote flag) on its node and
 * folds the outcome into the instance. Called on the spawned test thread. */
void kel__remote_exec_tc(spawn_info *info);

#endif
