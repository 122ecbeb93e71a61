/*
 * expected_text.h - texts of a test program's output that several suites
 * expect whole: the usage text and the end-of-run summary, written out
 * independently of the library's format strings.
 */
#ifndef KEL_TESTS_EXPECTED_TEXT_H
#define KEL_TESTS_EXPECTED_TEXT_H

#include <cstdio>
#include <string>

/* The message (none when NULL) between empty lines, then the usage text
 * naming prog. */
inline std::string kel_usage_text(const std::string &prog, const char *message)
{
    std::string s = message != nullptr ? std::string("\n") + message + "\n" : "";
    return s + "\nUsage: " + prog +
           " [-h [depth]]            [-q|-d ][-b|-p] [-s] [-x <times>][-T <threads>][-P]\n"
           "            [-D <variables-list>]\n"
           "            [<folder-name>]* [<test-case-name>]\n"
           "Executes the Orv test suite as selected.\n"
           "  -h [depth]: help, print all options or test case names under given folder to the given depth\n"
           "  -q: verbosity level=quiet (lowest)\n"
           "  -d: verbosity level=debug (highest)\n"
           "  -b: execute basic test cases only\n"
           "  -p: execute performance test cases only\n"
           "  -s: strict mode consider all checkpoints as asserts\n"
           "  -D: define variables must be followed by a list of one or more\n"
           "      name=value pairs separated by \":\", examples:\n"
           "      -D days=31:color=red -D flag=0xFF00ABCD:delta=-28\n"
           "  -x: repeat <times> times the selected leaf test cases (default=1)\n"
           "  -T: if <test-case-name> is a normal folder test case then\n"
           "         execute each child test case in <threads> threads\n"
           "      else <test-case-name> is a leaf or a multi-threaded test case\n"
           "         execute <test-case-name> in <threads> threads\n"
           "  -P: execute each threaded test case in a spawned KEL slave process\n"
           "\nLegend:\n"
           "\t*R\tRemote\n"
           "\t*\tMulti-threaded folder\n"
           "\t**\tMulti-process folder\n"
           "\tAxB\tSequence-count x Multi-count\n"
           "\n\t[<folder-name>]* <test-case-name>:\n"
           "\n";
}

/* The three counts of a summary. */
inline std::string kel_counts_text(int executed, int failed, int checkpoints)
{
    char counts[160];
    std::snprintf(counts, sizeof counts,
                  "Test case(s) executed:%5d\nTest case(s) failed:  %5d\nTotal checkpoints(s): %5d\n", executed,
                  failed, checkpoints);
    return counts;
}

/* The summary after the run: the verdict ("PASSED" or "FAILED (pass
 * rate=N%)"), the counts and, unless quiet, the elapsed time (as the
 * normalisers mask it). */
inline std::string kel_summary_text(const char *verdict, int executed, int failed, int checkpoints, bool quiet = false)
{
    return std::string("\n\nSUMMARY: ") + verdict + "\n" + kel_counts_text(executed, failed, checkpoints) +
           (quiet ? "" : "\nElapsed time = <T> ms\n\n");
}

#endif
