/*
 * request_fuzz.cpp - libFuzzer target of kel-agent's request checks.
 *
 * Each input is what a client sends: as many bytes as it likes (the agent
 * only ever checks exactly 668, but the checks must refuse any other size
 * too). An input that passes is turned into the slave's command line, whose
 * every argument must be a terminated text inside the vector's storage.
 *
 * The allowed folder is a scratch folder with one executable file, "prog",
 * so that requests naming it are accepted. When KEL_FUZZ_SEED_DIR is set,
 * the target first writes seed requests there (a valid one and a few
 * variants), so that the fuzzer starts from requests that get far.
 */
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "agent_msg.h"
#include "request.h"

namespace {

char allowed_dir[PATH_MAX];
char *allowed_dirs[1] = {allowed_dir};
agent_allowed allowed = {allowed_dirs, 1};
std::string program;

void make_scratch_folder()
{
    const char *root = getenv("KEL_FUZZ_ROOT");
    std::string dir = std::string(root ? root : "/tmp") + "/kel-agent-fuzz-allowed";
    mkdir(dir.c_str(), 0755);
    program = dir + "/prog";
    int fd = open(program.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (fd >= 0)
        close(fd);
    chmod(program.c_str(), 0755);
    if (!realpath(dir.c_str(), allowed_dir))
        abort();
}

void write_seed(const char *dir, const char *name, const kel__spawn_req_fields &f)
{
    kel_spawn_req_t msg;
    kel__spawn_req_pack(&f, &msg);
    std::string path = std::string(dir) + "/" + name;
    FILE *out = fopen(path.c_str(), "wb");
    if (!out)
        return;
    fwrite(&msg, sizeof msg, 1, out);
    fclose(out);
}

void write_seeds(const char *dir)
{
    kel__spawn_req_fields f;
    memset(&f, 0, sizeof f);
    kel__agent_hdr_init(&f.hdr, KEL_AGENT_MSG_SPAWN_REQ, 0x0100007F, 1);
    f.verbosity = 1;
    f.task = 1;
    snprintf(f.process_name, sizeof f.process_name, "%s", program.c_str());
    snprintf(f.test_case, sizeof f.test_case, "folder leaf");
    write_seed(dir, "valid", f);
    f.flags = KEL_SPAWN_F_STRICT | KEL_SPAWN_F_NVP;
    f.verbosity = 2;
    f.seq = 3;
    f.node_num = 9;
    snprintf(f.nvp_list, sizeof f.nvp_list, "a=1:b=two");
    snprintf(f.test_case, sizeof f.test_case, "a b c d e f g");
    write_seed(dir, "options", f);
    snprintf(f.process_name, sizeof f.process_name, "%s/../kel-agent-fuzz-allowed/./prog", allowed_dir);
    write_seed(dir, "dots", f);
    snprintf(f.process_name, sizeof f.process_name, "/bin/sh");
    write_seed(dir, "outside", f);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    make_scratch_folder();
    if (const char *seeds = getenv("KEL_FUZZ_SEED_DIR"))
        write_seeds(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    agent_request req;
    char reason[AGENT_REASON_SIZE];
    memset(reason, 0x55, sizeof reason);
    if (!agent_check_request(data, size, &allowed, &req, reason, sizeof reason)) {
        /* A refusal always comes with a terminated, non-empty reason. */
        if (reason[0] == '\0' || memchr(reason, '\0', sizeof reason) == NULL)
            abort();
        return 0;
    }
    agent_argv args;
    agent_build_argv(&req, "kel_agent.1.0", &args);
    size_t n = 0;
    for (; n < AGENT_MAX_ARGS && args.argv[n] != NULL; n++) {
        if (args.argv[n][0] == '\0' && n > 6)
            abort(); /* no empty path name */
        (void)strlen(args.argv[n]);
    }
    if (n == AGENT_MAX_ARGS || strcmp(args.argv[0], req.program) != 0)
        abort();
    return 0;
}
