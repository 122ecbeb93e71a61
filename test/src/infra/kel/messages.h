/*
 * messages.h - every text the framework prints, verbatim, as named formats.
 *
 * Output is the contract of a test framework: reviewers audit it here, tests
 * compare it byte for byte, and -Wformat checks each use against its
 * arguments. The texts are grouped by the output block they make up, each
 * group headed by the block as it prints (<...> stands for a value); a text
 * that two blocks share has one name, in the first group that uses it.
 * Several formats end without a line feed on purpose: a block is printed
 * piece by piece.
 */
#ifndef KEL_MESSAGES_H
#define KEL_MESSAGES_H

#define KEL_DASHES "----"
#define KEL_INDENT "     "
/* The location of failures the framework raises itself (line 0: none). */
#define KEL_FW_FILE "test/src/infra/kel"
/* A test case's path: each name followed by ':'. */
#define KEL_FMT_PATH_NAME "%s:"
#define KEL_FMT_SEQ "[SEQ %d]"
#define KEL_FMT_PROC_PID "[PROC %d pid=%d]"
#define KEL_FMT_PROC_NODE "[PROC %d node=%s]"
/* A word and its blank; the end of a line. */
#define KEL_FMT_WORD "%s "
#define KEL_MSG_EOL "\n"

/* --- a test case and its failures --------------------------------------
 *
 *   ---- folder:leaf:[SEQ 2][PROC 1 pid=<pid>][THREAD 3]       (header)
 *   ---> ##### CHECKPOINT FAILED during setup                   (failure)
 *        <the check's text>
 *        <file>:<line>:<function>()
 *        condition(<condition>)
 *        PASSED (failed as expected) (3 checkpoints)             (outcome)
 */
#define KEL_FMT_HEADER_START "\n%s "
#define KEL_FMT_HEADER_THREAD "[THREAD %d] "
#define KEL_FMT_FAIL_TITLE "---> ##### %s%s\n"
#define KEL_TITLE_ASSERT "ASSERT FAILED"
#define KEL_TITLE_CHECKPOINT "CHECKPOINT FAILED"
#define KEL_TITLE_ERROR "ERROR"
#define KEL_TITLE_UNEXPECTED_SUCCESS "UNEXPECTED SUCCESS"
#define KEL_SUFFIX_SETUP " during setup"
#define KEL_SUFFIX_TEARDOWN " during teardown"
#define KEL_MSG_DID_NOT_FAIL "FAIL (did not fail as expected)"
/* A failure's place (kel__print_location): the file, ":<line>" when known,
 * ":<function>()" when known. */
#define KEL_FMT_LOC_FILE "%s%s"
#define KEL_FMT_LOC_LINE ":%d"
#define KEL_FMT_LOC_FUNC "%s%s()"
#define KEL_LOC_SEP ":"
#define KEL_FMT_CONDITION "\n     condition(%s)"
#define KEL_MSG_PASSED "     PASSED"
#define KEL_MSG_PASSED_CAUGHT " (unexpected success caught as expected)"
#define KEL_MSG_PASSED_EXPECTED " (failed as expected)"
#define KEL_FMT_PASSED_COUNT " (%d checkpoints)\n"
/* Failures the framework raises in a test case: the condition, the mark
 * that flags a framework text, and the teardown's check for fixture
 * variables left behind (its place is fixed: it names no user code). */
#define KEL_FAIL_COND "kel_fail()"
#define KEL_MARK "\377"
#define KEL_UNKNOWN_NAME "?"
#define KEL_FMT_FIXTURE_VAR_LEFT "Fixture variable %s has not been removed"
#define KEL_FIXTURE_CHECK_FUNC "kel_exec_teardown"
#define KEL_FIXTURE_CHECK_LOG_LINE 745
#define KEL_FIXTURE_CHECK_LINE 752
#define KEL_FIXTURE_CHECK_COND "kel_check_ok()"

/* --- services called without a test context ----------------------------
 *
 *   kel_pass: cannot be called from non kel-enabled thread
 *   <file>:<line>:<function>(): kel_check__ cannot be called from non kel-enabled thread!
 *   kel_printf: cannot be called from non kel-enabled thread, msg was:
 *   <the text>
 */
#define KEL_FMT_NOT_ENABLED "%s: cannot be called from non kel-enabled thread\n"
#define KEL_FMT_CHECK_NOT_ENABLED "%s:%d:%s(): %s cannot be called from non kel-enabled thread!\n"
#define KEL_FMT_PRINTF_NOT_ENABLED "%s: cannot be called from non kel-enabled thread, msg was:\n"

/* --- variables and cookies: failure texts, and the mandatory variable ---
 *
 *   ***  int variable "n" (how many) is mandatory
 *        use -D n=<value>
 */
#define KEL_FMT_VAR_MANDATORY "***  %s variable \"%s\" (%s) is mandatory\n"
#define KEL_FMT_VAR_USE "     use -D %s=<value>\n"
#define KEL_MSG_VARS_NO_TABLE "Cannot create variables hash table"
#define KEL_MSG_VARS_NO_COPY "Cannot create copy of name value pair list"
#define KEL_MSG_VARS_NO_MEMORY "Cannot allocate memory for variable"
#define KEL_MARKED_NOT_ENABLED KEL_MARK KEL_FMT_NOT_ENABLED
#define KEL_MARKED_MISSING_VAR KEL_MARK "Missing variable"
#define KEL_MARKED_NO_HASHMAP KEL_MARK "Cannot allocate hashmap"
#define KEL_MARKED_VAR_SET_TWICE KEL_MARK "Fixture variable %s already set"
#define KEL_MARKED_VAR_INSERT KEL_MARK "Failed to insert fixture variable %s into hash"
#define KEL_MARKED_VAR_NO_MAP KEL_MARK "Removing fixture variable %s when there is no hashmap"
#define KEL_FMT_GET_NOT_FOUND "kel_get cannot find variable with key=%s"
#define KEL_MARKED_COOKIE_TWICE KEL_MARK "Cannot create cookie more than once per folder"
#define KEL_COOKIE_COND "cookie != NULL"
#define KEL_MSG_NO_COOKIE "Cannot get cookie back"
#define KEL_COOKIE_KEY "__kel_folder_cookie_var_name__"

/* --- performance --------------------------------------------------------
 *
 *   PERF <description>:
 *        <ops> <unit> in <ms> ms (<ops>/sec, <usec> usec/op)
 *   COMP PERF <data set>
 *        REF <description>: <ops> <unit> in less than 1 ms (over <n>/sec, <usec> usec/op)
 *        ALT <description>: <ops> <unit> in <ms> ms (<n>/sec, <usec> usec/op) => +12%
 */
#define KEL_MSG_PERF_NULL_DESC "Warning: kel_start_perf() called with null desc"
#define KEL_MSG_PERF_NO_START "kel_stop_perf: called without an orv_start_perf()"
#define KEL_FMT_PERF_TITLE "PERF %s:\n"
#define KEL_FMT_THROUGHPUT_FAST "%llu %s in less than 1 ms (over %llu/sec, %llu usec/op)"
#define KEL_FMT_THROUGHPUT "%llu %s in %llu ms (%llu/sec, %llu usec/op)"
#define KEL_FMT_PDS_COMP "COMP PERF %s\n"
#define KEL_FMT_PDS_REF "     REF %s: "
#define KEL_FMT_PDS_ALT "     ALT %s: "
#define KEL_FMT_PDS_DIFF " => %+lld%%\n"
#define KEL_MSG_PDS_NO_REF " => no reference throughput\n"
#define KEL_MARKED_PDS_ALLOC KEL_MARK "KEL pds alloc failed"
#define KEL_FMT_PDS_FULL "Already 2 samples for performance data set %s"
#define KEL_FMT_PDS_OVER "Alt throughput (%llu) is over %d%% past the ref throughput (%llu)"
#define KEL_FMT_PDS_BELOW "Alt throughput (%llu) is over %d%% below the ref throughput (%llu)"

/* --- the end of a run ---------------------------------------------------
 *
 *   ---------------- RUN #1/3 ----------------        (before each run, -x)
 *
 *   ---- SUMMARY OF FAILED TESTS:                       (not quiet)
 *
 *   ---- folder:leaf:                                   (a record raised here)
 *        <file>:<line>:<function>()                     (or "(<title>)")
 *        condition(<condition>)
 *
 *   ---- folder:leaf:[PROC 1 pid=<pid>]                 (a child's record:
 *        <file>:<line>:<function>()                     see the packed lists)
 *
 *
 *   SUMMARY: FAILED (pass rate=50%)
 *   Test case(s) executed:    2
 *   Test case(s) failed:      1
 *   Total checkpoints(s):     3
 *
 *   Elapsed time = <ms> ms                              (not quiet)
 */
#define KEL_FMT_RUN_BANNER "\n---------------- RUN #%d/%d ----------------\n\n"
#define KEL_MSG_NO_TEST_CASE "There is no test case matching the test type\n"
#define KEL_FMT_SUMMARY_FAILED_TESTS "\n%s SUMMARY OF FAILED TESTS:\n\n"
#define KEL_FMT_SUMMARY_LOCAL_NO_LOCATION "\n     (%s)"
#define KEL_MSG_SUMMARY "\n\nSUMMARY: "
#define KEL_FMT_SUMMARY_FAILED "FAILED (pass rate=%d%%)\n"
#define KEL_MSG_SUMMARY_PASSED "PASSED\n"
#define KEL_FMT_SUMMARY_COUNTS "Test case(s) executed:%5d\nTest case(s) failed:  %5d\nTotal checkpoints(s): %5d\n"
#define KEL_FMT_ELAPSED "\nElapsed time = %llu ms\n\n"
#define KEL_RC_TEXT_SUCCESS "success"
#define KEL_RC_TEXT_INVALID "invalid arguments"
#define KEL_RC_TEXT_NO_TEST "no test case was selected"
#define KEL_RC_TEXT_FAILED "at least one test case failed"
#define KEL_RC_TEXT_TIMED_OUT "a test case ran past its time limit"
#define KEL_RC_TEXT_UNKNOWN "unknown"

/* --- a child process's own block: a slave's, or a remote child's ---------
 *
 *   ---- folder:leaf:[SEQ 2][PROC 1 pid=<pid>]          (node=<a.b.c.d> remote)
 *        SUMMARY: FAILED (pass rate=50%)
 *   Test case(s) executed:    2
 *   Test case(s) failed:      1
 *   Total checkpoints(s):     3
 *   Elapsed time = <ms> ms
 */
#define KEL_FMT_CHILD_HEAD "\n%s %s:%s"
#define KEL_FMT_CHILD_FAILED "\n     SUMMARY: FAILED (pass rate=%d%%)\n"
#define KEL_MSG_CHILD_PASSED "\n     SUMMARY: PASSED\n"
#define KEL_FMT_CHILD_COUNTS KEL_FMT_SUMMARY_COUNTS "Elapsed time = %llu ms\n"
#define KEL_FMT_SLAVE_FAILED KEL_FMT_CHILD_HEAD KEL_FMT_PROC_PID KEL_FMT_CHILD_FAILED
#define KEL_FMT_SLAVE_PASSED KEL_FMT_CHILD_HEAD KEL_FMT_PROC_PID KEL_MSG_CHILD_PASSED
#define KEL_FMT_REMOTE_FAILED KEL_FMT_CHILD_HEAD KEL_FMT_PROC_NODE KEL_FMT_CHILD_FAILED
#define KEL_FMT_REMOTE_PASSED KEL_FMT_CHILD_HEAD KEL_FMT_PROC_NODE KEL_MSG_CHILD_PASSED

/* --- packed failure lists, in the summary of failed tests ---------------
 *
 *   ---- folder:leaf:[PROC 1 pid=<pid>]                 (one per entry;
 *        <file>:<line>:<function>()                     node=<a.b.c.d> remote)
 *        condition(<condition>)
 *        <truncated summary from pid=<pid>>             (a list cut short)
 *        <malformed summary from node=<a.b.c.d>>        (bytes that are no list)
 *        <malformed result from pid=<pid>>              (counts that are no
 *                                                        result: no list)
 *
 * The place travels as one text "<file>:<line>:<function>", every field
 * written even when unknown (slaves and agents of any build send it so).
 */
#define KEL_MSG_FL_LOCATION_TEXT "%s:%d:%s"
/* Node text of a reported record whose node id cannot be turned into text. */
#define KEL_MSG_FL_UNKNOWN_NODE "Unknown"
#define KEL_MSG_FL_ENTRY "%s %.*s:"
#define KEL_MSG_FL_CONDITION "     condition(%.*s)\n"
#define KEL_MSG_FL_TRUNCATED_NODE "     <truncated summary from node=%s>\n"
#define KEL_MSG_FL_TRUNCATED_PID "     <truncated summary from pid=%d>\n"
#define KEL_MSG_FL_MALFORMED_NODE "     <malformed summary from node=%s>\n"
#define KEL_MSG_FL_MALFORMED_PID "     <malformed summary from pid=%d>\n"
#define KEL_MSG_FL_BAD_RESULT_NODE "     <malformed result from node=%s>\n"
#define KEL_MSG_FL_BAD_RESULT_PID "     <malformed result from pid=%d>\n"

/* --- slave processes ----------------------------------------------------
 *
 *   ----> EXEC:<program> -fork_id 1 -shm_res kel_res.<pid>.<n> ... leaf    (-trace-forks)
 *        ##### Process <pid> terminated by signal                          (a lost slave)
 *   FAILED
 */
#define KEL_FMT_RES_NAME "kel_res.%d.%d"
/* The folder's results segment cannot be made (no newline after it). */
#define KEL_FMT_RES_OPEN_ERROR \
    "KEL: error opening shm (%s size %zd) for results from forked processes rc=%d (%s)"
#define KEL_MSG_RES_NO_PROCESSES "KEL: error no processes to run\n"
/* A slave never starts slaves of its own. A process started as a slave
 * that runs as a master (its program gave kel_run a command line of its
 * own making) prints it too, then FAILED, and counts the child failed. */
#define KEL_MSG_SLAVE_NESTED "   Cannot fork test case from a forked KEL process (not supported)\n"
/* The folder has no slot for this task: nothing is forked. */
#define KEL_MSG_SLAVE_NO_SLOT "FAILED: no result slot for this process\n"
#define KEL_FMT_SLAVE_NO_ARGV "%s cannot allocate the slave's argument vector\n"
#define KEL_FMT_SLAVE_NO_ENV "%s cannot allocate the slave's environment\n"
#define KEL_MSG_SLAVE_EXEC_TRACE "----> EXEC:"
/* Written by the forked child with write(2), followed by errno in decimal
 * and no newline: after fork the child must not touch stdio. */
#define KEL_MSG_CHILD_EXECVP_FAILED "child execvp failed errno="
#define KEL_FMT_SLAVE_SPAWN_ERROR "--> spawn error=%d\n"
#define KEL_MSG_SLAVE_SPAWN_PERROR "spawn error\n"
#define KEL_FMT_SLAVE_CORE_DUMPED "     ##### Process %d core dumped\n"
#define KEL_FMT_SLAVE_SIGNALLED "     ##### Process %d terminated by signal\n"
#define KEL_FMT_SLAVE_TERMINATED "     ##### Process %d terminated\n"
#define KEL_FMT_SLAVE_DIRECT_EXIT "     ##### Process %d direct exit() rc=%d\n"
#define KEL_MSG_SLAVE_FAILED "FAILED\n"
#define KEL_FMT_SLAVE_CALLED_EXIT0 "FAILED:  ##### Did a test case in process %d call exit(0)?\n"
/* A slave, or a remote child's connection, ended by its time limit: the
 * line, then FAILED. */
#define KEL_FMT_SLAVE_TIMED_OUT "     ##### Process %d timed out after %u ms\n"
#define KEL_FMT_REMOTE_TIMED_OUT "     ##### Process on node=%s timed out after %u ms\n"

/* --- a run that ends before its end -------------------------------------
 *
 *        ##### Test case folder:leaf timed out after 500 ms    (then the summary: run code 4)
 *        ##### Interrupted by signal SIGTERM                   (then the summary: 128 + signal)
 */
#define KEL_FMT_CASE_TIMED_OUT "     ##### Test case %s timed out after %u ms\n"
#define KEL_FMT_INTERRUPTED "     ##### Interrupted by signal %s\n"
/* KEL_TIMEOUT_MS that is not a number of milliseconds: run code 1. */
/* The guard thread cannot start: the run goes on without time limits and
 * without cleaning up after an interruption. */
#define KEL_FMT_GUARD_NOT_STARTED "KEL: cannot start the run's guard thread rc=%d\n"
#define KEL_FMT_BAD_TIMEOUT_ENV "KEL ERROR: KEL_TIMEOUT_MS=\"%s\" is not a number of milliseconds from 0 to 4294967295\n"

/* --- a test case that ends the run's process ---------------------------
 *
 *        ##### Test case folder:leaf: killed by signal SIGSEGV (11)   (a crash, in a master)
 *        ##### Test case folder:leaf: called exit(7)                  (then the summary so far)
 *        ##### exit(7) called during the run                          (on a thread without a test case)
 *
 * The crash line is put together by a signal handler, piece by piece and
 * without printf: the head, the path, the signal's name, its number.
 */
#define KEL_MSG_CRASH_HEAD "     ##### Test case "
#define KEL_MSG_CRASH_SIGNAL " killed by signal "
#define KEL_MSG_CRASH_NUMBER " ("
#define KEL_MSG_CRASH_END ")\n"
#define KEL_FMT_EXIT_IN_TEST " called exit(%d)\n"
#define KEL_FMT_EXIT_IN_RUN "     ##### exit(%d) called during the run\n"

/* --- remote children: a failed exchange ---------------------------------
 *
 *   FAILED: spawn_remote_process()
 *
 *   ---- folder:leaf:[SEQ 2][PROC 1 node=<a.b.c.d>]
 *        ERROR: Rejected by agent, <the agent's reason>
 */
#define KEL_FMT_AGENT_WRONG_MAGIC "Received message with wrong magic 0x%x, expected 0x%x\n"
#define KEL_FMT_AGENT_WRONG_VERSION "Received message with wrong version %d, expected %d\n"
#define KEL_FMT_AGENT_WRONG_TYPE "Received message with wrong type %d\n"
#define KEL_FMT_REMOTE_NODE_CONVERSION "FAILED: Conversion of node ID failed: %d - %s\n"
#define KEL_FMT_REMOTE_TC_NAME_SIZE "size of test case name cannot be greater than %d\n"
#define KEL_FMT_REMOTE_PROCESS_NAME_SIZE "size of process name cannot be greater than %d\n"
#define KEL_FMT_REMOTE_NVP_SIZE "size of name value pairs cannot be greater than %d\n"
/* The request carries the node number in 16 bits. */
#define KEL_FMT_REMOTE_NODE_NUM_SIZE "node number cannot be greater than %d\n"
#define KEL_MSG_REMOTE_INVALID_ARGS "FAILED: Invalid args for agent\n"
#define KEL_FMT_REMOTE_NO_PATH "%s cannot allocate the test case path\n"
#define KEL_MSG_REMOTE_NO_RESULT_BUF "FAILED: Failed to allocate result indication message\n"
#define KEL_MSG_REMOTE_SPAWN_FAILED "FAILED: spawn_remote_process()\n"
#define KEL_MSG_REMOTE_RESULT_FAILED "FAILED: get_remote_process_result()\n"
#define KEL_MSG_REMOTE_STATUS_FAILED "FAILED: remote status not success\n"
#define KEL_FMT_REMOTE_ERROR_CODE KEL_FMT_CHILD_HEAD KEL_FMT_PROC_NODE "\n     ERROR: %s%d - %s\n"
#define KEL_FMT_REMOTE_ERROR_TEXT KEL_FMT_CHILD_HEAD KEL_FMT_PROC_NODE "\n     ERROR: %s%s\n"
#define KEL_MSG_REMOTE_COMMUNICATION "Communication error, "
#define KEL_MSG_REMOTE_REJECTED "Rejected by agent, "
#define KEL_REMOTE_PROC_RESULTS "remote_proc_results"

/* --- the command line ---------------------------------------------------
 *
 *   <message>                                  (when there is one)
 *
 *   Usage: <program> [-h [depth]] ...
 *   Executes the Orv test suite as selected.
 *   ...
 */
#define KEL_MSG_USAGE_MESSAGE "\n%s\n"
#define KEL_MSG_USAGE_HEAD \
    "\nUsage: %s [-h [depth]]            [-q|-d ][-b|-p] [-s] [-x <times>][-T <threads>][-P]\n" \
    "            [-D <variables-list>]\n" \
    "            [<folder-name>]* [<test-case-name>]\n"
#define KEL_MSG_USAGE_DEFAULT_PROG "orv"
#define KEL_MSG_USAGE_BODY \
    "Executes the Orv test suite as selected.\n" \
    "  -h [depth]: help, print all options or test case names under given folder to the given depth\n" \
    "  -q: verbosity level=quiet (lowest)\n" \
    "  -d: verbosity level=debug (highest)\n" \
    "  -b: execute basic test cases only\n" \
    "  -p: execute performance test cases only\n" \
    "  -s: strict mode consider all checkpoints as asserts\n" \
    "  -D: define variables must be followed by a list of one or more\n" \
    "      name=value pairs separated by \":\", examples:\n" \
    "      -D days=31:color=red -D flag=0xFF00ABCD:delta=-28\n" \
    "  -x: repeat <times> times the selected leaf test cases (default=1)\n" \
    "  -T: if <test-case-name> is a normal folder test case then\n" \
    "         execute each child test case in <threads> threads\n" \
    "      else <test-case-name> is a leaf or a multi-threaded test case\n" \
    "         execute <test-case-name> in <threads> threads\n" \
    "  -P: execute each threaded test case in a spawned KEL slave process\n" \
    "\nLegend:\n" \
    "\t*R\tRemote\n" \
    "\t*\tMulti-threaded folder\n" \
    "\t**\tMulti-process folder\n" \
    "\tAxB\tSequence-count x Multi-count\n" \
    "\n\t[<folder-name>]* <test-case-name>:\n" \
    "\n"
#define KEL_MSG_INVALID_OPTION "Error: Invalid option"
#define KEL_MSG_BAD_THREADS "Error: <threads> must be > 0"
/* -T above KEL_MAX_THREADS (cmdline.h): the run stops. */
#define KEL_MSG_TOO_MANY_THREADS "Error: <threads> must be <= 4096"
#define KEL_MSG_BAD_VARS "Error: <variables-list> must not hold a blank or a control character"
#define KEL_MSG_INJECT_REFUSED \
    "KEL ERROR: kel_wb_inject_nvp: the list holds a blank or a control character: nothing defined\n"
#define KEL_MSG_INVALID_TC_NAME "Invalid test case name: %s"
#define KEL_MSG_SELECT_PATHNAME "Select test case pathname"

/* --- the listing (-h, or no test case named) ----------------------------
 *
 *   Only showing depth of 1 !                  (-h with a depth)
 *      procs   **<TAB>(Rings in slave processes)
 *         on_node *R1x2<TAB>(A ring on another node)
 *      {remote}**<TAB>(an explicit-only folder)
 */
#define KEL_MSG_LIST_DEPTH "Only showing depth of %d !\n"
#define KEL_MSG_LIST_INDENT "   "
#define KEL_MSG_LIST_NAME_EXPLICIT "{%s}"
#define KEL_MSG_LIST_NAME "%-8s"
#define KEL_MSG_LIST_REMOTE "*R"
#define KEL_MSG_LIST_MULTI_TASK "*"
#define KEL_MSG_LIST_MULTI_PROCESS "**"
#define KEL_MSG_LIST_SEQ_MULTI "%dx%d"
#define KEL_MSG_LIST_SEQ "%dx"
#define KEL_MSG_LIST_DESCRIPTION "\t(%s)"

/* --- building the tree, and the framework's own errors ------------------
 * Single lines, printed where they happen. */
#define KEL_MSG_NULL_FIXTURE "Warning: tried to add null setup and teardown functions"
#define KEL_MSG_TOO_MANY_FIXTURES "Warning: too many fixtures for this test case!\n"
#define KEL_MSG_MODE_ON_LEAF "KEL ERROR: kel_multi_task_enable() must be called on a folder"
#define KEL_THREAD_NAME_SPAWNED "KEL Spawned Test"
#define KEL_THREAD_NAME_SEQUENCER "KEL Test Sequencer"
#define KEL_MSG_SEQ_INFO_ALLOC "KEL: spawn_info alloc for seq thread failed\n"
#define KEL_FMT_SEQ_CREATE "KEL: cannot create sequencer thread rc=%d\n"
#define KEL_MSG_SPAWN_INFO_ALLOC "KEL: spawn_info calloc failed\n"
#define KEL_FMT_SPAWN_CREATE "KEL: orv_thread_create failed rc=%d\n"
#define KEL_MSG_SEQ_SYNCVAR_ALLOC "KEL: kel_spawned_tc_sequencer syncvar alloc failed\n"
/* The folder's own counter cannot be made: its children are not started. */
#define KEL_MSG_FOLDER_SYNCVAR_ALLOC "KEL: kel_exec_tc syncvar alloc failed\n"
/* What a test case that could not be started lacked, and a slave's core
 * dump, in the run's records (run_records.h): kept for the reports. */
#define KEL_REC_WHAT_THREAD "thread"
#define KEL_REC_WHAT_SEQUENCER "sequencer"
#define KEL_REC_WHAT_SPAWN_RECORD "spawn record"
#define KEL_REC_WHAT_SYNCVAR "sync variable"
#define KEL_REC_CORE_DUMPED "core dumped"
#define KEL_FMT_CANNOT_ALLOC_FAILED "%s cannot allocate failed test info\n"
#define KEL_FMT_CANNOT_LOCK "%s cannot lock mutex, rc=%d\n"
#define KEL_FMT_CANNOT_ENQUEUE "%s cannot enqueue failed test info\n"
#define KEL_FMT_CANNOT_UNLOCK "%s cannot unlock mutex, rc=%d\n"
#define KEL_FMT_CANNOT_INIT_MUTEX "%s cannot init mutex, rc=%d\n"
#define KEL_FMT_CANNOT_CREATE_KEY "%s cannot create thread key, rc=%d\n"

#endif
