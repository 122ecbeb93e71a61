/*
 * agent_text.h - every text kel-agent prints or sends, as named formats.
 *
 * Reasons go back to the master in the reply and end up on its output after
 * "Rejected by agent, "; result errors are printed by the master after
 * "ERROR: ". They are sentences for the person reading the test run.
 */
#ifndef KEL_AGENT_TEXT_H
#define KEL_AGENT_TEXT_H

/* --- command line and start --------------------------------------------- */
#define AGENT_USAGE \
    "usage: kel-agent [-l ADDRESS] [-p PORT] [-a DIR]... [-j N] [-t SECONDS] [-v]\n" \
    "                 [-c ADDR[/BITS]]... [-m N] [-M N] [-o FILE]\n" \
    "  -l ADDRESS  IPv4 address to listen on (default 127.0.0.1; 0.0.0.0 for every address)\n" \
    "  -p PORT     TCP port (default 6154; 0 picks a free port)\n" \
    "  -a DIR      allow the programs under DIR to be started (repeatable)\n" \
    "  -j N        at most N test processes at once (default 16)\n" \
    "  -t SECONDS  time a client has to send its whole request (default 5)\n" \
    "  -v          log each request and its outcome to standard error\n" \
    "  -c ADDR[/BITS]  serve only clients in this IPv4 range (repeatable; default 127.0.0.0/8)\n" \
    "  -m N        at most N connections at once (default -j + 64)\n" \
    "  -M N        at most N connections at once from one client address (default -j + 16)\n" \
    "  -o FILE     after the listening line, the log and the slaves' output go to FILE\n"
#define AGENT_FMT_BAD_OPTION "kel-agent: %s: %s\n"
#define AGENT_FMT_BAD_DIR "kel-agent: -a %s: %s\n"
#define AGENT_FMT_NOT_DIR "kel-agent: -a %s: not a folder\n"
#define AGENT_MSG_NO_ALLOWED "kel-agent: no -a folder given: every request will be rejected\n"
#define AGENT_FMT_LISTEN_FAILED "kel-agent: cannot listen on %s:%u: %s\n"
#define AGENT_FMT_START_FAILED "kel-agent: cannot start: %s: %s\n"
#define AGENT_FMT_BAD_LOG "kel-agent: -o %s: %s\n"
#define AGENT_FMT_LISTENING "kel-agent: listening on %s:%u\n"

/* --- reasons of a rejection ---------------------------------------------- */
#define AGENT_FMT_MALFORMED "malformed request: %s"
#define AGENT_FMT_WRONG_MAGIC "malformed request: wrong magic 0x%08x, expected 0x%08x"
#define AGENT_FMT_WRONG_VERSION "malformed request: version %u, expected %u"
#define AGENT_FMT_WRONG_TYPE "malformed request: message type %u, expected %u (spawn request)"
#define AGENT_FMT_WRONG_SIZE "malformed request: %zu bytes, expected %u"
#define AGENT_FMT_BAD_VERBOSITY "malformed request: verbosity %u, expected 0, 1 or 2"
#define AGENT_FMT_BAD_FLAGS "malformed request: unknown flags 0x%04x"
#define AGENT_MSG_TASK_ZERO "task 0 (tasks are numbered from 1)"
#define AGENT_MSG_NAME_UNTERMINATED "the process name is not terminated within its field"
#define AGENT_MSG_NAME_EMPTY "the process name is empty"
#define AGENT_MSG_NAME_CONTROL "the process name holds a control character"
#define AGENT_MSG_NVP_UNTERMINATED "the name=value list is not terminated within its field"
#define AGENT_MSG_NVP_WITHOUT_FLAG "a name=value list without its flag"
#define AGENT_MSG_NVP_NOT_ONE_WORD "the name=value list holds a blank or a control character"
#define AGENT_FMT_NVP_OPTION "malformed request: the name=value list's name \"%.*s\" begins with '-'"
#define AGENT_MSG_TC_UNTERMINATED "the test case is not terminated within its field"
#define AGENT_MSG_TC_EMPTY "the test case is empty"
#define AGENT_MSG_TC_CONTROL "the test case holds a control character"
#define AGENT_MSG_TC_EMPTY_NAME "the test case has an empty name (blanks at its ends or doubled)"
#define AGENT_FMT_TC_OPTION "malformed request: the test case name \"%.64s\" begins with '-'"
#define AGENT_FMT_NO_ALLOWED "program not allowed: %.127s (the agent allows no folder: start it with -a)"
#define AGENT_FMT_UNRESOLVED "program not allowed: %.127s: %s"
#define AGENT_FMT_NOT_UNDER "program not allowed: %.200s is not under an allowed folder"
#define AGENT_FMT_MOVED "program not allowed: %.200s moved while it was checked"
#define AGENT_FMT_NOT_EXECUTABLE "program not allowed: %.200s is not an executable regular file"
#define AGENT_FMT_TOO_MANY "too many processes: %u running, at most %u (-j)"
#define AGENT_MSG_TOO_MANY_CONNS "too many connections"
#define AGENT_FMT_CLIENT_NOT_ALLOWED "client %s not allowed (-c)"
#define AGENT_FMT_NO_SEGMENT "cannot create the result segment %s: %s"
#define AGENT_FMT_NO_SPAWN "cannot start %.200s: %s"

/* --- result errors -------------------------------------------------------- */
#define AGENT_FMT_SLAVE_SIGNAL "slave terminated by signal %d"
#define AGENT_FMT_SLAVE_EXIT "slave exited with status %d"
#define AGENT_MSG_SLAVE_NO_SLOT "slave did not write its result slot"
#define AGENT_MSG_SLAVE_STOPPED "slave killed: the agent is stopping"
#define AGENT_FMT_SLAVE_WAIT "cannot wait for the slave: %s"

/* --- -v log lines (standard error) ---------------------------------------- */
#define AGENT_FMT_LOG_REQUEST "kel-agent: [%u] %s: run %s task %u seq %u node_num %u verbosity %u flags 0x%x: %s\n"
#define AGENT_FMT_LOG_REJECTED "kel-agent: [%u] %s: rejected: %s\n"
#define AGENT_FMT_LOG_DROPPED "kel-agent: [%u] %s: dropped: %s\n"
#define AGENT_FMT_LOG_STARTED "kel-agent: [%u] slave %d started\n"
#define AGENT_FMT_LOG_ENDED "kel-agent: [%u] slave %d ended: executed %u, failed %u, checkpoints %u\n"
#define AGENT_FMT_LOG_FAILED "kel-agent: [%u] slave %d: %s\n"
#define AGENT_FMT_LOG_CLIENT_GONE "kel-agent: [%u] client gone: slave %d killed\n"
#define AGENT_FMT_LOG_SEND_FAILED "kel-agent: [%u] cannot send the %s: %s\n"
#define AGENT_FMT_LOG_BUSY "kel-agent: %s: dropped: too many connections\n"
#define AGENT_FMT_LOG_REFUSED "kel-agent: %s: refused: %s\n"
#define AGENT_FMT_LOG_STOPPING "kel-agent: stopping (signal %d)\n"
#define AGENT_MSG_DROP_INCOMPLETE "incomplete request"
#define AGENT_MSG_DROP_TIMEOUT "request not received in time"
#define AGENT_MSG_DROP_STOPPING "the agent is stopping"

#endif
