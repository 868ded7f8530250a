// Job ledger internals: job records in /tmp/sfcb/ConcreteJob.ini, the handler
// registry in /tmp/sfcb/ConcreteJob.reg, both guarded by an exclusive lock on
// /tmp/sfcb/ConcreteJob.lock, and the table of loaded job handlers.
#ifndef QELVO_JOBLEDGER_JOBLEDGER_H
#define QELVO_JOBLEDGER_JOBLEDGER_H

#include <cstdint>

#include "concretejob.h"
#include "dictionary.h"

constexpr const char *JOB_DIR = "/tmp/sfcb";
constexpr const char *JOB_LEDGER_FILE = "/tmp/sfcb/ConcreteJob.ini";
constexpr const char *JOB_REGISTRY_FILE = "/tmp/sfcb/ConcreteJob.reg";
constexpr const char *JOB_LOCK_FILE = "/tmp/sfcb/ConcreteJob.lock";

constexpr int MAX_JOB_HANDLERS = 10;
constexpr int JOB_STATE_RUNNING = 4;
constexpr long DEFAULT_EXPIRE_SECONDS = 300;
constexpr int JOB_STATUS_SIZE = 256;

// Keys of a job record, in the order they are written.
extern const char *const job_prop_str[5];
// Keys of a registry section, in the order they are written.
extern const char *const job_handler_prop_str[3];

struct ConcreteJob_handler {
    char job_type[CONCRETEJOB_FIELD_SIZE];  // empty when the slot is free
    void *dl_handler;                       // null when the slot is free
    update_func update_handler;
    cleanup_func cleanup_handler;
};

// Copy of one record handed to the provider.
struct ConcreteJob_data {
    char inst_id[CONCRETEJOB_FIELD_SIZE];
    uint16_t job_state;
    char job_status[CONCRETEJOB_FIELD_SIZE];
    char time_before_removal[CONCRETEJOB_FIELD_SIZE];  // empty when the record has none
};

// Refreshes every record through its handler, removes expired records and
// hands back a copy of the remaining ones (array allocated with malloc, null
// when there are none; the caller frees it). Returns 0 on success, 1 on
// failure. A missing ledger file gives 0 records.
//
// The registry names libraries to load into this process, so it is used only
// when nobody but this process's user can have written it: the registry and
// its directory must belong to that user and not be writable by group or
// others, and the registry must be a regular file. Otherwise no handler is
// loaded, the records are handed back as they stand (none is refreshed or
// removed), and the reason goes to syslog.
int init_job(ConcreteJob_data **jobs, int *count);

// Registers the entry's handler in the registry file. Called with the ledger
// lock held. Returns 0 on success, 1 on failure.
int reg_job_handler(const ConcreteJob_entry *entry);

// Loads every registered handler library not loaded yet. Returns 0 on
// success (also when there is no registry, or when the registry cannot be
// trusted: see init_job), 1 on failure.
int init_job_handler();

// Slot of the loaded handler of job_type, or -1.
int get_job_handler(const char *job_type);

// Unloads every handler library and clears the table.
void free_job_handler();

// Refreshes the record of section index idx. Returns 0 when the record was
// refreshed or needed no refresh, 1 otherwise.
int update_job_status(dictionary *ledger, int idx);

// Removes the record of the section if it finished longer ago than its
// allowed age, after calling its handler's clean-up function. Returns 0 when
// removed, 1 when it stays.
int del_job(const char *section, dictionary *ledger);

// Seconds of a "ddddddddhhmmss..." interval text: dddddddd*86400 + hh*3600 +
// mm*60 + ss, so a day counts as a day. -1 when the text does not start with
// 14 digits.
long get_expire_time(const char *interval);

// Copies the record of section index idx into jobs[out]. Returns 0, or 1 when
// the record has no usable instance id (nothing is copied then).
int fill_job_instance(const dictionary *ledger, int idx, ConcreteJob_data *jobs, int out);

#endif
