/* tessaly: end-to-end mail service check, C interface.
 *
 * One tessaly_check per configured check. Calls on one check must not run
 * concurrently; different checks are independent. Nothing is thrown. */
#ifndef TESSALY_TESSALY_H_
#define TESSALY_TESSALY_H_

#ifdef __cplusplus
extern "C" {
#endif

#define TESSALY_EXPORT __attribute__((visibility("default")))

typedef struct tessaly_check tessaly_check;

/* A new check with all four properties empty; NULL when out of memory.
 * Free it with tessaly_check_free. */
TESSALY_EXPORT tessaly_check *tessaly_check_new(void);
/* Releases check and everything it owns; NULL is ignored. */
TESSALY_EXPORT void tessaly_check_free(tessaly_check *check);
/* Stores a copy of value (NULL = empty) in the property named "vg_parameter",
 * "vg_timeout", "vg_hostname" or "vg_result" (any case). Returns 0, or -1
 * for an unknown property or a NULL check or name. */
TESSALY_EXPORT int tessaly_check_set(tessaly_check *check, const char *property,
                                     const char *value);
/* The property as text: "" when unset, NULL for an unknown property. The
 * pointer stays valid until the next call on check. vg_result is the result
 * text as the check built it: bytes from a server (subjects, replies) are
 * kept as received, so a program that prints it should make control bytes
 * visible, and a NUL among them ends the returned string; its list of wrong
 * subjects holds at most 2048 bytes and then ends in "[cut]". */
TESSALY_EXPORT const char *tessaly_check_get(tessaly_check *check, const char *property);
/* Runs one phase of the check: 1 up, 0 down (also for a NULL check). Sets
 * vg_result; may rewrite vg_parameter. */
TESSALY_EXPORT int tessaly_check_run(tessaly_check *check);
/* Shows the configuration dialog: 0 when it closed (on OK vg_parameter
 * holds the new string), non-zero when it could not be shown. */
TESSALY_EXPORT int tessaly_check_show_gui(tessaly_check *check);
/* Called with every trace line (NUL-terminated, no line end) and context;
 * NULL switches tracing off. Applies to checks created afterwards. */
typedef void (*tessaly_trace_fn)(void *context, const char *line);
TESSALY_EXPORT void tessaly_set_trace(tessaly_trace_fn fn, void *context);
/* Called repeatedly during the send-phase wait of check (a host's event
 * loop); NULL restores plain sleeping. */
typedef void (*tessaly_pump_fn)(void *context);
TESSALY_EXPORT void tessaly_check_set_pump(tessaly_check *check, tessaly_pump_fn fn,
                                           void *context);
/* The library version, e.g. "0.1.0". */
TESSALY_EXPORT const char *tessaly_version(void);

#ifdef __cplusplus
}
#endif

#endif /* TESSALY_TESSALY_H_ */
