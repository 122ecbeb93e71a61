/*
 * instance.cpp - creating, resetting and destroying event checkers.
 *
 * A checker either owns its dispatcher or borrows the caller's; in both
 * cases it registers its two watched booleans there and runs that
 * dispatcher only during its own dispatches. The registry it joins and the
 * mutex that guards it are the process-wide state (state.cpp).
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "evc_internal.h"

namespace {

/* Releases what a failed creation acquired for the checker, in the reverse
 * order of its creation; every handle not yet made is still NULL. */
void release_partial(kel_evc_t *evc)
{
    if (evc->evc_dm != nullptr) {
        /* Deregistering a boolean that never got registered just fails. */
        if (evc->evc_dm_wb != nullptr)
            orv_dm_watched_boolean_deregister(evc->evc_dm, evc->evc_dm_wb);
        if (evc->evc_dm_wb_hb != nullptr)
            orv_dm_watched_boolean_deregister(evc->evc_dm, evc->evc_dm_wb_hb);
        if (evc->evc_dm_owned)
            orv_dm_destroy(evc->evc_dm);
    }
    if (evc->evc_dm_wb != nullptr)
        orv_dm_watched_boolean_destroy(evc->evc_dm_wb);
    if (evc->evc_dm_wb_hb != nullptr)
        orv_dm_watched_boolean_destroy(evc->evc_dm_wb_hb);
    free(evc->evc_name);
    free(evc);
}

/* The creation proper (mutex held): a new registered checker in *out,
 * or a code with nothing left behind. */
uint32_t create_locked(kel_evc_t **out, const char *name, orv_dm_t *dm)
{
    kel_evc_t *evc = static_cast<kel_evc_t *>(calloc(1, sizeof *evc));
    if (evc == nullptr)
        return KEL_EVC_E_NOMEM;
    evc->evc_name = strdup(name);
    if (evc->evc_name == nullptr) {
        free(evc);
        return KEL_EVC_E_NOMEM;
    }

    uint32_t rc;
    if (dm != nullptr) {
        evc->evc_dm = dm;
    } else {
        rc = orv_dm_create(&evc->evc_dm, KEL_EVC_DM_NAME, ORV_DM_THREAD_SAFE);
        if (rc != 0) {
            evc->evc_dm = nullptr;
            release_partial(evc);
            return KEL_EVC_CERR_FATAL(rc);
        }
        evc->evc_dm_owned = 1;
    }

    /* Each platform call leaves its trace line, whatever it returned; the
     * lines name the public operation this step belongs to. */
    rc = orv_dm_watched_boolean_create(KEL_EVC_WB_NAME, false, &evc->evc_dm_wb);
    KEL_EVC_TRACE(KEL_EVC_FMT_WB_CREATE, evc->evc_name, __LINE__, "kel_evc_create");
    if (rc == 0) {
        rc = orv_dm_watched_boolean_create(KEL_EVC_WB_HB_NAME, false, &evc->evc_dm_wb_hb);
        KEL_EVC_TRACE(KEL_EVC_FMT_WB_CREATE_HB, evc->evc_name, __LINE__, "kel_evc_create");
    }
    if (rc == 0) {
        rc = orv_dm_watched_boolean_set(evc->evc_dm_wb_hb, false);
        KEL_EVC_TRACE(KEL_EVC_FMT_WB_SET_FALSE_HB, evc->evc_name, __LINE__, "kel_evc_create");
    }
    if (rc == 0) {
        rc = orv_dm_watched_boolean_set(evc->evc_dm_wb, false);
        KEL_EVC_TRACE(KEL_EVC_FMT_WB_SET_FALSE, evc->evc_name, __LINE__, "kel_evc_create");
    }
    if (rc == 0) {
        rc = orv_dm_watched_boolean_register(evc->evc_dm, evc->evc_dm_wb_hb, kel_evc_wb_handler, evc);
        KEL_EVC_TRACE(KEL_EVC_FMT_WB_REGISTER_HB, evc->evc_name, __LINE__, "kel_evc_create");
    }
    if (rc == 0) {
        rc = orv_dm_watched_boolean_register(evc->evc_dm, evc->evc_dm_wb, kel_evc_wb_handler, evc);
        KEL_EVC_TRACE(KEL_EVC_FMT_WB_REGISTER, evc->evc_name, __LINE__, "kel_evc_create");
    }
    if (rc != 0) {
        release_partial(evc);
        return KEL_EVC_CERR_FATAL(rc);
    }

    rc = orv_avl_init(&evc->evc_node);
    if (rc == 0)
        rc = orv_avl_tree_init(&evc->evc_queues, kel_evc_name_cmp, 0);
    if (rc == 0)
        rc = orv_avl_insert(&kel_evc_glb->registry, &evc->evc_node);
    if (rc != 0) {
        release_partial(evc);
        return rc;
    }

    *out = evc;
    KEL_EVC_EVENT(KEL_EVC_FMT_CREATED, evc->evc_name, evc->evc_dm_owned ? KEL_EVC_DM_CREATED : KEL_EVC_DM_PASSED,
                  static_cast<void *>(evc->evc_dm));
    return 0;
}

} // namespace

extern "C" {

uint32_t kel_evc_create(kel_evc_t **evc, const char *name, orv_dm_t *dm)
{
    if (evc == nullptr || name == nullptr)
        return KEL_EVC_E_INVAL;
    int err = pthread_mutex_lock(&kel_evc_glb_mutex);
    if (err != 0) {
        kel_printf(KEL_EVC_FMT_PRINT_LOCK_ERROR, err);
        return KEL_EVC_CERR_FATAL(err);
    }
    uint32_t rc = kel_evc_glb_init();
    if (rc != 0) {
        KEL_EVC_UNLOCK();
        return rc;
    }
    KEL_EVC_UNLOCK();

    KEL_EVC_LOCK();
    /* The last checker may have gone while the mutex was free. */
    rc = kel_evc_glb_init();
    if (rc != 0) {
        KEL_EVC_UNLOCK();
        return rc;
    }
    *evc = nullptr;
    kel_evc_t *existing = nullptr;
    rc = kel__evc_find(name, &existing);
    if (rc == 0) {
        rc = KEL_EVC_E_EXIST;
    } else if ((rc & ORV_AVL_CODE_MASK) == EEXIST) {
        /* The tree's not-found code carries 17 in its low bits. */
        rc = create_locked(evc, name, dm);
    }
    /* A creation that fails leaves no state block without checkers. */
    if (rc != 0)
        kel_evc_glb_release_if_empty_locked();
    KEL_EVC_UNLOCK();
    return rc;
}

uint32_t kel_evc_destroy(kel_evc_t **handle)
{
    if (handle == nullptr || *handle == nullptr)
        return KEL_EVC_E_INVAL;
    kel_evc_t *evc = *handle;
    KEL_EVC_LOCK();
    uint32_t rc = orv_avl_tree_destroy(&evc->evc_queues, kel_evc_queue_free, nullptr);
    if (rc == 0)
        rc = orv_avl_delete(&kel_evc_glb->registry, &evc->evc_node, 0);
    if (rc == 0) {
        rc = orv_dm_watched_boolean_deregister(evc->evc_dm, evc->evc_dm_wb_hb);
        KEL_EVC_TRACE(KEL_EVC_FMT_WB_DEREGISTER_HB, evc->evc_name, __LINE__, __func__);
        if (rc == 0) {
            rc = orv_dm_watched_boolean_deregister(evc->evc_dm, evc->evc_dm_wb);
            KEL_EVC_TRACE(KEL_EVC_FMT_WB_DEREGISTER, evc->evc_name, __LINE__, __func__);
        }
        if (rc == 0 && evc->evc_dm_owned)
            rc = orv_dm_destroy(evc->evc_dm);
        if (rc == 0) {
            rc = orv_dm_watched_boolean_destroy(evc->evc_dm_wb_hb);
            KEL_EVC_TRACE(KEL_EVC_FMT_WB_DESTROY_HB, evc->evc_name, __LINE__, __func__);
        }
        if (rc == 0) {
            rc = orv_dm_watched_boolean_destroy(evc->evc_dm_wb);
            KEL_EVC_TRACE(KEL_EVC_FMT_WB_DESTROY, evc->evc_name, __LINE__, __func__);
        }
        if (rc == 0) {
            KEL_EVC_EVENT(KEL_EVC_FMT_DESTROYED, evc->evc_name);
            free(evc->evc_name);
            free(evc);
            *handle = nullptr;
        } else {
            rc = KEL_EVC_CERR_FATAL(rc);
        }
    }
    KEL_EVC_UNLOCK();

    uint32_t glb_rc = kel_evc_glb_try_destroy();
    if (rc != 0)
        return rc;
    return glb_rc == KEL_EVC_E_NOTEMPTY ? 0 : glb_rc;
}

uint32_t kel_evc_reset(kel_evc_t *evc)
{
    if (evc == nullptr)
        return KEL_EVC_E_INVAL;
    KEL_EVC_LOCK();
    uint32_t rc = orv_avl_tree_destroy(&evc->evc_queues, kel_evc_queue_free, nullptr);
    KEL_EVC_UNLOCK();
    return rc;
}

} // extern "C"
