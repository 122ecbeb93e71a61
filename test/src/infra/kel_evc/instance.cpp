/*
 * instance.cpp - the event checker's process-wide state and the checker
 * itself: the registry of checkers with its three trace buffers (the block
 * and the one mutex that guards it are defined in global.cpp), and
 * creating, resetting and destroying checkers.
 *
 * The state block appears with the first checker and goes with the last,
 * closing its buffers, so a process that no longer checks events keeps
 * nothing. A checker either owns its dispatcher or borrows the caller's; in
 * both cases it registers its two watched booleans there and runs that
 * dispatcher only during its own dispatches.
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

/* Releases the state block and closes its buffers when no checker is left
 * (mutex held); 0, or the size query's result. Another thread may have
 * released it already. */
uint32_t release_if_empty_locked(void)
{
    if (kel_evc_glb == nullptr)
        return 0;
    uint32_t size = 0;
    uint32_t rc = orv_avl_tree_get_size(&kel_evc_glb->registry, &size);
    if (rc != 0 || size != 0)
        return rc;
    uint32_t closed = orv_dt_buffer_close(kel_evc_glb->traces);
    if (closed != 0)
        kel_printf(KEL_EVC_FMT_CLOSE_TRACE, strerror(static_cast<int>(closed)));
    closed = orv_dt_buffer_close(kel_evc_glb->events);
    if (closed != 0)
        kel_printf(KEL_EVC_FMT_CLOSE_EVENT, strerror(static_cast<int>(closed)));
    closed = orv_dt_buffer_close(kel_evc_glb->errors);
    if (closed != 0)
        kel_printf(KEL_EVC_FMT_CLOSE_ERROR, strerror(static_cast<int>(closed)));
    free(kel_evc_glb);
    kel_evc_glb = nullptr;
    return 0;
}

} // namespace

int kel_evc_name_cmp(const void *a, const void *b)
{
    const char *na = static_cast<const kel_evc_named_t *>(a)->name;
    const char *nb = static_cast<const kel_evc_named_t *>(b)->name;
    int c = strcmp(na, nb);
    if (c == 0)
        return ORV_AVL_CMP_EQUAL;
    return c < 0 ? ORV_AVL_CMP_LESS : ORV_AVL_CMP_GREATER;
}

uint32_t kel__evc_find(const char *name, kel_evc_t **evc)
{
    kel_evc_t key;
    memset(&key, 0, sizeof key);
    key.evc_name = const_cast<char *>(name);
    orv_avl_node_t *found = nullptr;
    uint32_t rc = orv_avl_search(&kel_evc_glb->registry, &key, &found);
    *evc = rc == 0 ? reinterpret_cast<kel_evc_t *>(found) : nullptr;
    return rc;
}

uint32_t kel_evc_glb_init(void)
{
    if (kel_evc_glb != nullptr)
        return 0;
    kel_evc_glb_t *glb = static_cast<kel_evc_glb_t *>(calloc(1, sizeof *glb));
    if (glb == nullptr)
        return KEL_EVC_E_NOMEM;
    uint32_t rc = orv_avl_tree_init(&glb->registry, kel_evc_name_cmp, 0);
    if (rc != 0) {
        free(glb);
        return rc;
    }
    rc = orv_dt_buffer_init(&glb->traces, KEL_EVC_BUF_TRACES, 0, KEL_EVC_BUF_TRACES_SIZE);
    if (rc == 0) {
        KEL_EVC_LOG(glb->traces, KEL_EVC_FMT_TRACES_CREATED, __LINE__, __func__, KEL_EVC_BUF_TRACES_SIZE);
        rc = orv_dt_buffer_init(&glb->events, KEL_EVC_BUF_EVENTS, 0, KEL_EVC_BUF_EVENTS_SIZE);
    }
    if (rc == 0) {
        KEL_EVC_LOG(glb->events, KEL_EVC_FMT_EVENTS_CREATED, KEL_EVC_BUF_EVENTS_SIZE);
        rc = orv_dt_buffer_init(&glb->errors, KEL_EVC_BUF_ERRORS, 0, KEL_EVC_BUF_ERRORS_SIZE);
    }
    if (rc == 0) {
        KEL_EVC_LOG(glb->errors, KEL_EVC_FMT_ERRORS_CREATED, __func__, KEL_EVC_BUF_ERRORS_SIZE);
        kel_evc_glb = glb;
        return 0;
    }
    if (glb->events != nullptr)
        orv_dt_buffer_close(glb->events);
    if (glb->traces != nullptr)
        orv_dt_buffer_close(glb->traces);
    free(glb);
    return KEL_EVC_CERR_FATAL(rc);
}

uint32_t kel_evc_glb_try_destroy(void)
{
    kel__evc_lock("kel_evc_glb_try_destroy", __LINE__);
    uint32_t rc = release_if_empty_locked();
    int err = pthread_mutex_unlock(&kel_evc_glb_mutex);
    if (err != 0) {
        kel_printf(KEL_EVC_FMT_PRINT_UNLOCK_ERROR, err);
        return KEL_EVC_CERR_FATAL(err);
    }
    return rc;
}

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
        release_if_empty_locked();
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
    kel__cb_settle();
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
    kel__cb_settle();
    return rc;
}

} // extern "C"
