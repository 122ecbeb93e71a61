/*
 * request_fuzz.cpp - libFuzzer target of kel-agent's request checks: any
 * bytes a client sends; an accepted request becomes the slave's command
 * line. The allowed folder holds one executable, "prog"; seeds that get far
 * are written to KEL_FUZZ_SEED_DIR when it is set.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include "request.h"

namespace {
char allowed_dir[PATH_MAX];
char *allowed_dirs[1] = {allowed_dir};
agent_allowed allowed = {allowed_dirs, 1};

/* A request that gets far: prog, with every option when full. */
void seed(const std::string &path, const std::string &prog, bool full)
{
    kel_spawn_req_t r = {};
    memcpy(r.hdr.magic, "\xFE\xAB\x2C\x18", 4);
    r.hdr.type = KEL_AGENT_MSG_SPAWN_REQ;
    r.hdr.version = KEL_AGENT_VERSION;
    r.verbosity = full ? 2 : 1;
    r.flags = htons(full ? KEL_SPAWN_F_STRICT | KEL_SPAWN_F_NVP : 0);
    r.task = htons(1);
    snprintf(r.process_name, sizeof r.process_name, "%s", prog.c_str());
    snprintf(r.nvp_list, sizeof r.nvp_list, "%s", full ? "a=1:b=two" : "");
    snprintf(r.test_case, sizeof r.test_case, "%s", full ? "a b c d" : "folder leaf");
    if (FILE *out = fopen(path.c_str(), "wb")) {
        fwrite(&r, sizeof r, 1, out);
        fclose(out);
    }
}
} // namespace
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *root = getenv("KEL_FUZZ_ROOT");
    const std::string dir = std::string(root ? root : "/tmp") + "/kel-agent-fuzz-allowed", prog = dir + "/prog";
    mkdir(dir.c_str(), 0755);
    close(open(prog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755));
    chmod(prog.c_str(), 0755);
    if (!realpath(dir.c_str(), allowed_dir))
        abort();
    if (const char *seeds = getenv("KEL_FUZZ_SEED_DIR")) {
        seed(std::string(seeds) + "/valid", prog, false);
        seed(std::string(seeds) + "/options", dir + "/../kel-agent-fuzz-allowed/./prog", true);
    }
    return 0;
}
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    agent_request req;
    char reason[AGENT_REASON_SIZE];
    memset(reason, 0x55, sizeof reason);
    if (!agent_check_request(data, size, &allowed, &req, reason, sizeof reason)) {
        /* A refusal always comes with a terminated, non-empty reason. */
        if (reason[0] == '\0' || memchr(reason, '\0', sizeof reason) == nullptr)
            abort();
        return 0;
    }
    close(req.program_fd);
    agent_argv args;
    agent_build_argv(&req, "kel_agent.1.0", &args);
    size_t n = 0;
    for (; n < AGENT_MAX_ARGS && args.argv[n] != nullptr; n++)
        if (args.argv[n][0] == '\0' && n > 6)
            abort(); /* no empty path name */
    if (n == AGENT_MAX_ARGS || strchr(args.argv[0], ' ') != nullptr)
        abort(); /* the slave's name is one word */
    return 0;
}
