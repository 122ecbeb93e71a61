/*
 * vars.cpp - run variables, fixture variables and folder cookies.
 *
 * Run variables come from -D name=value lists (or injections) and live in
 * one hash set on the instance for the run; vars_text keeps every list so
 * that slaves and remote processes define the same variables. Fixture
 * variables are pointers a setup stores in its own test context; test code of
 * the same node or of inner nodes reads them by walking the context chain
 * outward. The folder cookie is one fixture variable with a reserved key.
 *
 * Misuse inside a test (a missing mandatory variable, setting a key twice, a
 * second cookie) is a checkpoint failure raised through kel_check__, which
 * ends the phase and does not return while a context exists.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "checks.h"
#include "context.h"
#include "messages.h"
#include "slave_proto.h"
#include "vars.h"

namespace {

/* The framework's own location for failures it raises itself. */
const char *const fw_file = KEL_FW_FILE;

uint32_t var_hash(const void *rec)
{
    return orv_hash_calculate(static_cast<const kel_var_t *>(rec)->name, KEL_VAR_NAME_MAX);
}

bool var_equal(const void *a, const void *b)
{
    return strncmp(static_cast<const kel_var_t *>(a)->name, static_cast<const kel_var_t *>(b)->name,
                   KEL_VAR_NAME_MAX) == 0;
}

size_t min_size(size_t a, size_t b) { return a < b ? a : b; }

/* A later definition of a name replaces the earlier one. */
void store_var(kel_t *kel, kel_var_t *var)
{
    kel_var_t *old = static_cast<kel_var_t *>(orv_hashset_remove(kel->run.vars, var));
    free(old);
    if (orv_hashset_insert(kel->run.vars, var) != 0)
        free(var);
}

bool append_text(kel_t *kel, const char *list)
{
    size_t add = strlen(list);
    char *text;
    if (kel->run.vars_text) {
        size_t old = strlen(kel->run.vars_text);
        text = static_cast<char *>(malloc(old + add + 2));
        if (!text)
            return false;
        memcpy(text, kel->run.vars_text, old);
        text[old] = ':';
        memcpy(text + old + 1, list, add + 1);
        free(kel->run.vars_text);
    } else {
        text = static_cast<char *>(malloc(add + 1));
        if (!text)
            return false;
        memcpy(text, list, add + 1);
    }
    kel->run.vars_text = text;
    return true;
}

/* Looks a run variable up; found tells whether it exists. Reports a call
 * from a thread without context, and a missing mandatory variable. */
const char *get_var(const char *name, const char *description, const char *type, bool *found)
{
    *found = false;
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx) {
        kel_check__(0, 0, KEL_FAIL_COND, fw_file, "kel_get_var", 0, KEL_MARKED_NOT_ENABLED, "kel_get_var");
        return NULL;
    }
    kel_t *kel = ctx->tc->instance;
    if (kel->run.vars && name) {
        kel_var_t probe;
        memset(&probe, 0, sizeof probe);
        sstrncpy(probe.name, name, sizeof probe.name);
        const kel_var_t *var = static_cast<const kel_var_t *>(orv_hashset_get(kel->run.vars, &probe));
        if (var) {
            *found = true;
            return var->value;
        }
    }
    if (!description)
        return NULL;
    flockfile(stdout);
    printf(KEL_FMT_VAR_MANDATORY, type, name ? name : "", description);
    printf(KEL_FMT_VAR_USE, name ? name : "");
    funlockfile(stdout);
    kel__die(KEL_FAIL_COND, fw_file, "kel_get_var", 0, KEL_MARKED_MISSING_VAR);
}

/* The context whose own map holds key, from ctx outward, or NULL. */
kel_tctx_t *holder_of(kel_tctx_t *ctx, const char *key)
{
    for (kel_tctx_t *c = ctx; c; c = c->parent)
        if (c->fixture_vars && orv_hashmap_get(c->fixture_vars, key))
            return c;
    return NULL;
}

} // namespace

void parse_nvp_list(kel_t *kel, const char *list)
{
    if (!list)
        return;
    if (!kel->run.vars && orv_hashset_create(&kel->run.vars, var_hash, var_equal, 0) != 0) {
        kel->run.vars = NULL;
        puts(KEL_MSG_VARS_NO_TABLE);
        return;
    }
    if (!append_text(kel, list)) {
        printf(KEL_MSG_VARS_NO_COPY);
        return;
    }
    const char *p = list;
    while (*p) {
        const char *eq = strchr(p, '=');
        const char *colon = strchr(p, ':');
        if (!eq || (colon && colon < eq))
            return;
        const char *end = colon ? colon : p + strlen(p);
        if (eq != p) {
            kel_var_t *var = static_cast<kel_var_t *>(calloc(1, sizeof *var));
            if (!var) {
                printf(KEL_MSG_VARS_NO_MEMORY);
                return;
            }
            memcpy(var->name, p, min_size(static_cast<size_t>(eq - p), KEL_VAR_NAME_MAX));
            memcpy(var->value, eq + 1, min_size(static_cast<size_t>(end - eq - 1), KEL_VAR_VALUE_MAX));
            store_var(kel, var);
        }
        if (!colon || colon[1] == '\0')
            return;
        p = colon + 1;
    }
}

void kel__vars_release(kel_t *kel)
{
    if (kel->run.vars) {
        void *var;
        while ((var = orv_hashset_first(kel->run.vars)) != NULL) {
            orv_hashset_remove(kel->run.vars, var);
            free(var);
        }
        orv_hashset_free(kel->run.vars);
        kel->run.vars = NULL;
    }
    free(kel->run.vars_text);
    kel->run.vars_text = NULL;
}

extern "C" {

int kel_get_int_var(const char *name, const char *description, int default_value)
{
    bool found;
    const char *value = get_var(name, description, "int", &found);
    if (!found)
        return default_value;
    return static_cast<int>(static_cast<uint32_t>(strtol(value, NULL, 0)));
}

const char *kel_get_str_var(const char *name, const char *description, const char *default_value)
{
    bool found;
    const char *value = get_var(name, description, "string", &found);
    return found ? value : default_value;
}

void kel_wb_inject_nvp(const char *list)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx) {
        printf(KEL_FMT_NOT_ENABLED, "kel_wb_inject_nvp");
        return;
    }
    /* The list is handed on to slaves as one argument (slave_proto.h). */
    if (list && !kel__nvp_list_is_one_word(list)) {
        printf(KEL_MSG_INJECT_REFUSED);
        return;
    }
    parse_nvp_list(ctx->tc->instance, list);
}

void kel_set(const char *key, void *value)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx) {
        printf(KEL_FMT_NOT_ENABLED, "kel_set");
        return;
    }
    if (!key)
        kel__die(KEL_FAIL_COND, fw_file, "kel_set", 0, KEL_MARKED_VAR_INSERT, "(null)");
    if (value) {
        if (!ctx->fixture_vars && orv_hashmap_create(&ctx->fixture_vars, 0) != 0) {
            ctx->fixture_vars = NULL;
            kel__die(KEL_FAIL_COND, fw_file, "kel_set", 0, KEL_MARKED_NO_HASHMAP);
        }
        if (orv_hashmap_get(ctx->fixture_vars, key))
            kel__die(KEL_FAIL_COND, fw_file, "kel_set", 0, KEL_MARKED_VAR_SET_TWICE, key);
        if (!orv_hashmap_insert(ctx->fixture_vars, key, value))
            kel__die(KEL_FAIL_COND, fw_file, "kel_set", 0, KEL_MARKED_VAR_INSERT, key);
        return;
    }
    if (!ctx->fixture_vars)
        kel__die(KEL_FAIL_COND, fw_file, "kel_set", 0, KEL_MARKED_VAR_NO_MAP, key);
    orv_hashmap_entry_t *e = orv_hashmap_get(ctx->fixture_vars, key);
    if (e)
        orv_hashmap_remove_tuple(ctx->fixture_vars, e);
}

void *kel_get_(const char *key, bool mandatory, const char *file, const char *function, int line)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx) {
        printf(KEL_FMT_NOT_ENABLED, "kel_get_");
        return NULL;
    }
    if (key) {
        kel_tctx_t *holder = holder_of(ctx, key);
        if (holder)
            return orv_hashmap_get_value(orv_hashmap_get(holder->fixture_vars, key));
    }
    if (mandatory)
        kel_check__(0, 0, NULL, file, function, line, KEL_FMT_GET_NOT_FOUND, key ? key : "(null)");
    return NULL;
}

void *kel_create_cookie(int size)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx) {
        printf(KEL_FMT_NOT_ENABLED, "kel_create_cookie");
        return NULL;
    }
    if (kel_get_(KEL_COOKIE_KEY, false, fw_file, "kel_create_cookie", 0))
        kel__die(KEL_FAIL_COND, fw_file, "kel_create_cookie", 0, KEL_MARKED_COOKIE_TWICE);
    void *cookie = calloc(1, size > 0 ? static_cast<size_t>(size) : 1);
    /* An assert that counts a checkpoint when it passes, unlike kel__die. */
    kel_check__(1, cookie != NULL, KEL_COOKIE_COND, fw_file, "kel_create_cookie", 0, KEL_MARK);
    if (!cookie)
        abort();
    kel_set(KEL_COOKIE_KEY, cookie);
    return cookie;
}

void *kel_get_cookie_(const char *file, const char *function, int line)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx) {
        printf(KEL_FMT_NOT_ENABLED, "kel_get_cookie_");
        return NULL;
    }
    void *cookie = kel_get_(KEL_COOKIE_KEY, false, file, function, line);
    if (!cookie)
        kel__die(NULL, file, function, line, KEL_MSG_NO_COOKIE);
    return cookie;
}

/* The cookie is removed from the context that holds it, which may enclose
 * the caller's: a freed block must never stay reachable through a map. */
void kel_destroy_cookie(void)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx) {
        printf(KEL_FMT_NOT_ENABLED, "kel_destroy_cookie");
        return;
    }
    kel_tctx_t *holder = holder_of(ctx, KEL_COOKIE_KEY);
    if (!holder)
        return;
    orv_hashmap_entry_t *e = orv_hashmap_get(holder->fixture_vars, KEL_COOKIE_KEY);
    void *cookie = orv_hashmap_get_value(e);
    orv_hashmap_remove_tuple(holder->fixture_vars, e);
    free(cookie);
}

} // extern "C"
