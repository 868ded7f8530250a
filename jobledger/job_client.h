/*
 * Creating a job in the ledger from another provider library (the transfer
 * service, the package broker): the ledger library is loaded for the call,
 * create_job_instance is given the caller's handler record, and the library
 * is unloaded again. One source, compiled into each library that creates jobs.
 */
#ifndef QELVO_JOBLEDGER_JOB_CLIENT_H
#define QELVO_JOBLEDGER_JOB_CLIENT_H

#define JOBLEDGER_LIBRARY "/lib/cim/libjobledger.so"

/* Creates a job of type job_type whose handlers update_handler and
 * cleanup_handler live in handler_library. Returns 0 with the job's instance
 * id ("<job_type>-<n>", zero-terminated, at most size bytes) in inst_id and n
 * in *jobid; 1 when the ledger cannot be loaded, refuses the job, or answers
 * with an id that does not end in a job number. */
int ledger_create_job(const char *job_type, const char *handler_library, const char *update_handler,
                      const char *cleanup_handler, char *inst_id, int size, int *jobid);

#endif /* QELVO_JOBLEDGER_JOB_CLIENT_H */
