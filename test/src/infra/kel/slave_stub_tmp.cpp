/* Temporary stand-in until the slave code lands; deleted before hand-off. */
#include "slave.h"

void kel__res_open(kel_res_shm_t *res, kel_tctx_t *folder_ctx)
{
    (void)res;
    (void)folder_ctx;
}

void kel__res_close(kel_res_shm_t *res)
{
    (void)res;
}

void kel_fork_exec_tc(spawn_info *info)
{
    (void)info;
}
