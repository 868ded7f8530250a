/*
 * Job ledger interface for libraries that start long-running jobs.
 *
 * A job creator loads libjobledger.so, looks up create_job_instance and calls
 * it with a ConcreteJob_entry naming its job type and its handler library.
 * The handler library exports an update_func and a cleanup_func under the
 * names given in the entry; the ledger calls them when it refreshes and
 * retires the creator's jobs. Usable from C and C++.
 */
#ifndef QELVO_JOBLEDGER_CONCRETEJOB_H
#define QELVO_JOBLEDGER_CONCRETEJOB_H

#define CONCRETEJOB_FIELD_SIZE 256

#ifdef __cplusplus
extern "C" {
#endif

/* Registration record; every field is a zero-terminated text of at most 255
 * characters, the rest zero-filled. */
typedef struct {
    char job_type_id[CONCRETEJOB_FIELD_SIZE];          /* job type; no '-', ':', '[', ']' or '"' */
    char libPath[CONCRETEJOB_FIELD_SIZE];              /* absolute path of the handler library */
    char update_handler_name[CONCRETEJOB_FIELD_SIZE];  /* exported name of the update function */
    char cleanup_handler_name[CONCRETEJOB_FIELD_SIZE]; /* exported name of the clean-up function */
} ConcreteJob_entry;

/* Called for a running job. Returns 0 after storing the job's current CIM
 * JobState in *job_state and a zero-terminated status text of at most size
 * bytes (terminator included) in job_status; any other result means "no
 * answer" and the record stays as it was. */
typedef int (*update_func)(const char *inst_id, int *job_state, char *job_status, int size);

/* Called once when the job's record is removed; the result is ignored. */
typedef int (*cleanup_func)(const char *inst_id);

/* Creates a Running job record of the entry's type and registers its handler.
 * On success returns 0 with the new instance id ("<type>-<n>") in inst_id;
 * returns 1 on failure, also when the id does not fit into size bytes with
 * its terminator. */
typedef int (*create_job_instance_func)(char *inst_id, int size, const ConcreteJob_entry *entry);

#if defined(__GNUC__)
__attribute__((visibility("default")))
#endif
int create_job_instance(char *inst_id, int size, const ConcreteJob_entry *entry);

#ifdef __cplusplus
}
#endif

#endif
