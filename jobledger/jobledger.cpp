#include "jobledger.h"

#include <cctype>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "filelock.h"

const char *const job_prop_str[5] = {"instanceid", "jobstate", "jobstatus", "jobfinishtime",
                                     "timebeforeremoval"};
const char *const job_handler_prop_str[3] = {"libpath", "updatehandler", "cleanuphandler"};

namespace {

enum JobProp { PROP_INSTANCEID, PROP_JOBSTATE, PROP_JOBSTATUS, PROP_FINISHTIME, PROP_TBR };
enum HandlerProp { PROP_LIBPATH, PROP_UPDATE, PROP_CLEANUP };

ConcreteJob_handler job_handlers[MAX_JOB_HANDLERS];

int fill_record(const dictionary *ledger, const char *section, ConcreteJob_data *jobs, int out);

// Serialises use of job_handlers between threads of this process. The ledger
// lock already does so for init_job; free_job_handler at provider unload has
// no file lock, so the table gets its own.
std::mutex handler_mutex;

// Holds the exclusive ledger lock for the lifetime of the object.
class LedgerLock {
public:
    LedgerLock() { held_ = GetFileLock(JOB_LOCK_FILE, FILELOCK_EXCLUSIVE, &fd_) == 0; }
    ~LedgerLock()
    {
        if (held_)
            ReleaseFileLock(fd_);
    }
    LedgerLock(const LedgerLock &) = delete;
    LedgerLock &operator=(const LedgerLock &) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

struct DictDeleter {
    void operator()(dictionary *d) const { dictionary_del(d); }
};
using DictPtr = std::unique_ptr<dictionary, DictDeleter>;

const char *get_prop(const dictionary *d, const std::string &section, const char *key)
{
    return dictionary_get_entry(d, section.c_str(), key);
}

int set_prop(dictionary *d, const std::string &section, const char *key, const char *val)
{
    return dictionary_set_entry(d, section.c_str(), key, val);
}

bool has_section(const dictionary *d, const char *name)
{
    for (const char *section : util_get_sec_names(d)) {
        if (std::strcmp(section, name) == 0)
            return true;
    }
    return false;
}

std::vector<std::string> section_names(const dictionary *d)
{
    const std::vector<const char *> sections = util_get_sec_names(d);
    return std::vector<std::string>(sections.begin(), sections.end());
}

// Strict decimal number as written by "%d" / "%ld".
bool parse_long(const char *text, long *out)
{
    if (text == nullptr || *text == '\0' || std::isspace(static_cast<unsigned char>(*text)))
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

// Job type of an instance id: the text before the first "-".
std::string job_type_of(const char *inst_id)
{
    const char *dash = std::strchr(inst_id, '-');
    return dash == nullptr ? std::string(inst_id) : std::string(inst_id, dash);
}

// Bounded copy that always terminates and fills the rest of dst with zeros;
// cuts what does not fit.
void copy_field(char *dst, size_t size, const char *src)
{
    if (size == 0)
        return;
    const size_t len = src != nullptr ? strnlen(src, size - 1) : 0;
    if (len > 0)
        std::memcpy(dst, src, len);
    std::memset(dst + len, 0, size - len);
}

// A field of a registration record is usable when it is terminated inside
// its 256 bytes, not empty, and holds nothing that would break the file form
// (double quotes end a value, control characters end a line).
bool valid_field(const char *field)
{
    const size_t len = strnlen(field, CONCRETEJOB_FIELD_SIZE);
    if (len == 0 || len == CONCRETEJOB_FIELD_SIZE)
        return false;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == '"' || std::iscntrl(c))
            return false;
    }
    return true;
}

// A job type names a registry section and starts every instance id of the
// type, so it must also be a single word without "-", ":" or brackets.
bool valid_job_type(const char *type)
{
    if (!valid_field(type))
        return false;
    for (const char *p = type; *p != '\0'; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p)) || std::strchr("-:[]", *p) != nullptr)
            return false;
    }
    return true;
}

bool valid_entry(const ConcreteJob_entry *e)
{
    return valid_job_type(e->job_type_id) && valid_field(e->libPath) &&
           valid_field(e->update_handler_name) && valid_field(e->cleanup_handler_name);
}

void touch(const char *path)
{
    FILE *f = std::fopen(path, "ae");
    if (f != nullptr)
        std::fclose(f);
}

// Smallest n >= 0 such that no section is named "ID-<n>" (case ignored).
long next_record_number(const dictionary *ledger)
{
    std::vector<bool> taken;
    const std::vector<const char *> sections = util_get_sec_names(ledger);
    const long count = static_cast<long>(sections.size());
    for (const char *name : sections) {
        if (strncasecmp(name, "ID-", 3) != 0)
            continue;
        const char *digits = name + 3;
        // Only the exact "%d" form of a number names that number.
        if (!std::isdigit(static_cast<unsigned char>(digits[0])) ||
            (digits[0] == '0' && digits[1] != '\0'))
            continue;
        long n;
        if (!parse_long(digits, &n) || n > count)
            continue;  // a number above the record count cannot be the smallest free one
        if (taken.size() <= static_cast<size_t>(n))
            taken.resize(static_cast<size_t>(n) + 1, false);
        taken[static_cast<size_t>(n)] = true;
    }
    long n = 0;
    while (static_cast<size_t>(n) < taken.size() && taken[static_cast<size_t>(n)])
        ++n;
    return n;
}

void clear_slot(ConcreteJob_handler *h)
{
    if (h->dl_handler != nullptr)
        dlclose(h->dl_handler);
    std::memset(h, 0, sizeof *h);
}

void free_job_handler_locked()
{
    for (auto &h : job_handlers)
        clear_slot(&h);
}

// Why a file or directory may have been written by someone other than the
// user euid; empty when it cannot.
std::string foreign_writer(const char *path, const struct stat &st, uid_t euid)
{
    char why[160] = "";
    if (st.st_uid != euid)
        std::snprintf(why, sizeof why, "%s belongs to uid %u", path, static_cast<unsigned>(st.st_uid));
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        std::snprintf(why, sizeof why, "%s is writable by group or others (mode %04o)", path,
                      static_cast<unsigned>(st.st_mode & 07777));
    return why;
}

// One version of a file: a save renames a new file into place (a new inode),
// an edit in place changes the size, the modification or the change time.
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};

    FileStamp() = default;
    explicit FileStamp(const struct stat &st)
        : dev(st.st_dev), ino(st.st_ino), size(st.st_size), mtime(st.st_mtim), ctime(st.st_ctim) {}
    bool operator==(const FileStamp &o) const
    {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

// Whether a stamp taken from st now can be trusted to change with the next
// change of the file or directory: its modification time advances by clock
// ticks, so a further change within the same tick would not show unless the
// time was already more than kSettleSeconds old. Any later change moves it
// past a time that old.
bool settled(const struct stat &st)
{
    constexpr time_t kSettleSeconds = 2;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_mtim.tv_sec > kSettleSeconds;
}

// The table last read from a file, kept while the file stays as it was: a
// refresh does not reparse a ledger or registry that nobody changed. The kept
// table itself is handed out, and given back with keep() by a caller that
// left it as the file has it (a caller that changed it drops it). A file
// that was not settled when it was read is not kept.
// Guarded by handler_mutex.
class ParsedFile {
public:
    // The table of the file open as f (positioned at its start) whose status
    // is st; null when it cannot be read.
    DictPtr load(FILE *f, const struct stat &st)
    {
        const FileStamp stamp(st);
        if (dict_ && stamp_ == stamp)
            return std::move(dict_);
        dict_.reset();
        DictPtr d(dictionary_load_from_stream(f));
        stamp_ = stamp;
        settled_ = settled(st);
        return d;
    }

    bool kept() const { return static_cast<bool>(dict_); }

    // The kept table when the file whose status is st is the one it was read
    // from, without opening the file; else null, and nothing is kept anymore.
    DictPtr reuse(const struct stat &st)
    {
        DictPtr d = std::move(dict_);
        return d && stamp_ == FileStamp(st) ? std::move(d) : nullptr;
    }

    // Takes back the table the last load() handed out, unchanged since.
    void keep(DictPtr d)
    {
        if (settled_)
            dict_ = std::move(d);
    }

private:
    DictPtr dict_;
    FileStamp stamp_;
    bool settled_ = false;
};

ParsedFile cached_registry, cached_ledger;

// The ledger directory as lstat saw it at the start of a refresh.
struct DirView {
    bool seen = false;  // false when lstat failed
    struct stat st {};
};

enum RegistryState { REGISTRY_ABSENT, REGISTRY_LOADED, REGISTRY_UNTRUSTED };

// Loads the registry if it can be trusted (see init_job); the reason into
// *why when it cannot, and what lstat told of the directory into *dir. A
// registry that does not exist or cannot be read is absent. The file is read
// only through a descriptor it was checked through, so it cannot be swapped
// between the check and the read. A kept table is used without opening the
// file when lstat finds the same trusted regular file it was read from; in
// any other case the file is opened and checked as on the first read.
RegistryState load_registry(DictPtr *reg, std::string *why, DirView *dir)
{
    struct stat &dst = dir->st;
    if (lstat(JOB_DIR, &dst) != 0)
        return REGISTRY_ABSENT;
    dir->seen = true;
    if (!S_ISDIR(dst.st_mode)) {
        *why = std::string(JOB_DIR) + " is not a directory";
        return REGISTRY_UNTRUSTED;
    }
    const uid_t euid = geteuid();
    *why = foreign_writer(JOB_DIR, dst, euid);
    if (!why->empty())
        return REGISTRY_UNTRUSTED;

    struct stat st;
    if (cached_registry.kept() && lstat(JOB_REGISTRY_FILE, &st) == 0 && S_ISREG(st.st_mode) &&
        foreign_writer(JOB_REGISTRY_FILE, st, euid).empty()) {
        *reg = cached_registry.reuse(st);
        if (*reg)
            return REGISTRY_LOADED;
    }

    // Non-blocking: a FIFO planted in place of the registry must not hang the
    // open; it is refused below like any other file that is not regular.
    const int fd = open(JOB_REGISTRY_FILE, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ELOOP)
            return REGISTRY_ABSENT;
        *why = std::string(JOB_REGISTRY_FILE) + " is a symbolic link";
        return REGISTRY_UNTRUSTED;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *why = std::string(JOB_REGISTRY_FILE) + " is not a regular file";
        return REGISTRY_UNTRUSTED;
    }
    *why = foreign_writer(JOB_REGISTRY_FILE, st, euid);
    if (!why->empty()) {
        close(fd);
        return REGISTRY_UNTRUSTED;
    }
    FILE *f = fdopen(fd, "r");
    if (f == nullptr) {
        close(fd);
        return REGISTRY_ABSENT;
    }
    *reg = cached_registry.load(f, st);
    std::fclose(f);
    return *reg ? REGISTRY_LOADED : REGISTRY_ABSENT;
}

// Logs why the registry is not used, once for each new reason.
void report_untrusted_registry(const std::string &why)
{
    static std::string last;  // guarded by handler_mutex
    if (why == last)
        return;
    last = why;
    if (!why.empty())
        syslog(LOG_ERR, "ConcreteJob: job handlers not loaded, jobs left as they are: %s", why.c_str());
}

enum HandlerLoad { HANDLERS_LOADED = 0, HANDLERS_FAILED = 1, HANDLERS_UNTRUSTED = 2 };

// Loads the handler of every type in the registry not loaded yet.
int load_handlers(const dictionary *reg)
{
    const std::vector<const char *> types = util_get_sec_names(reg);
    const int count = static_cast<int>(types.size());
    if (count > MAX_JOB_HANDLERS)
        return 1;

    for (int i = 0; i < count; ++i) {
        const std::string type = types[static_cast<size_t>(i)];
        bool loaded = false;
        for (const auto &h : job_handlers) {
            if (h.dl_handler != nullptr && type == h.job_type)
                loaded = true;
        }
        if (loaded)
            continue;

        const char *lib = get_prop(reg, type, job_handler_prop_str[PROP_LIBPATH]);
        const char *upd = get_prop(reg, type, job_handler_prop_str[PROP_UPDATE]);
        const char *cln = get_prop(reg, type, job_handler_prop_str[PROP_CLEANUP]);
        if (lib == nullptr || upd == nullptr || cln == nullptr || type.size() >= CONCRETEJOB_FIELD_SIZE)
            return 1;

        // A type keeps the slot of its registry section; should that slot be
        // taken (the registry was rewritten behind our back) use a free one.
        int slot = -1;
        if (job_handlers[i].dl_handler == nullptr) {
            slot = i;
        } else {
            for (int j = 0; j < MAX_JOB_HANDLERS && slot < 0; ++j) {
                if (job_handlers[j].dl_handler == nullptr)
                    slot = j;
            }
        }
        if (slot < 0)
            return 1;

        ConcreteJob_handler &h = job_handlers[slot];
        std::memset(&h, 0, sizeof h);
        h.dl_handler = dlopen(lib, RTLD_LAZY);
        if (h.dl_handler == nullptr)
            return 1;
        h.update_handler = reinterpret_cast<update_func>(dlsym(h.dl_handler, upd));
        h.cleanup_handler = h.update_handler != nullptr
                                ? reinterpret_cast<cleanup_func>(dlsym(h.dl_handler, cln))
                                : nullptr;
        if (h.update_handler == nullptr || h.cleanup_handler == nullptr) {
            clear_slot(&h);
            return 1;
        }
        copy_field(h.job_type, sizeof h.job_type, type.c_str());
    }
    return 0;
}

// Loads the handlers; what lstat told of the ledger directory goes to *dir.
int init_job_handler_locked(DirView *dir)
{
    DictPtr reg;
    std::string why;
    const RegistryState state = load_registry(&reg, &why, dir);
    report_untrusted_registry(why);
    if (state == REGISTRY_UNTRUSTED)
        return HANDLERS_UNTRUSTED;
    if (state == REGISTRY_ABSENT)
        return HANDLERS_LOADED;
    const int result = load_handlers(reg.get());
    cached_registry.keep(std::move(reg));
    return result;
}

int find_handler(const char *job_type)
{
    for (int i = 0; i < MAX_JOB_HANDLERS; ++i) {
        if (job_handlers[i].dl_handler != nullptr && std::strcmp(job_handlers[i].job_type, job_type) == 0)
            return i;
    }
    return -1;
}

bool finish_time_of(const dictionary *ledger, const std::string &section, long *t)
{
    return parse_long(get_prop(ledger, section, job_prop_str[PROP_FINISHTIME]), t);
}

bool stamp_finish_time(dictionary *ledger, const std::string &section)
{
    char now[32];
    std::snprintf(now, sizeof now, "%ld", static_cast<long>(std::time(nullptr)));
    return set_prop(ledger, section, job_prop_str[PROP_FINISHTIME], now) == 0;
}

int update_record(dictionary *ledger, const std::string &section)
{
    // A record without a state (edited by hand) is asked for one like a
    // running job; any other state than Running is final.
    const char *state_text = get_prop(ledger, section, job_prop_str[PROP_JOBSTATE]);
    if (state_text != nullptr) {
        long state;
        if (!parse_long(state_text, &state) || state != JOB_STATE_RUNNING) {
            // A finished record that lacks a usable finish time would never
            // expire; it gets one now.
            long t;
            if (!finish_time_of(ledger, section, &t))
                stamp_finish_time(ledger, section);
            return 0;
        }
    }

    const char *inst_id = get_prop(ledger, section, job_prop_str[PROP_INSTANCEID]);
    if (inst_id == nullptr)
        return 1;
    const int slot = find_handler(job_type_of(inst_id).c_str());
    if (slot < 0 || job_handlers[slot].update_handler == nullptr)
        return 1;

    // The instance id lives in the table, which the handler must not see change.
    const std::string id(inst_id);
    int state = JOB_STATE_RUNNING;
    char status[JOB_STATUS_SIZE] = {};
    if (job_handlers[slot].update_handler(id.c_str(), &state, status, JOB_STATUS_SIZE) != 0)
        return 1;
    status[JOB_STATUS_SIZE - 1] = '\0';

    char state_buf[16];
    *std::to_chars(state_buf, state_buf + sizeof state_buf - 1, state).ptr = '\0';
    if (set_prop(ledger, section, job_prop_str[PROP_JOBSTATE], state_buf) != 0 ||
        set_prop(ledger, section, job_prop_str[PROP_JOBSTATUS], status) != 0)
        return 1;

    long t;
    if (state != JOB_STATE_RUNNING && !finish_time_of(ledger, section, &t))
        stamp_finish_time(ledger, section);
    return 0;
}

// The ledger directory's stamp after the last scan that found no temporary
// file, taken while its modification time was settled. Guarded by
// handler_mutex.
FileStamp clean_dir;
bool clean_dir_known = false;

// Stale temporary files of saves whose writer died. Only writers holding the
// ledger lock write beside the ledger files, so with the lock held any such
// file is left over. Creating or renaming a file changes the directory's
// stamp, so a directory that still has the stamp of a clean scan is not read
// again. dir is what lstat told at the start of this refresh, with the lock
// held: a save later in the refresh changes the stamp and so brings on the
// next scan.
void remove_stale_temp_files(const DirView &dir)
{
    const bool is_dir = dir.seen && S_ISDIR(dir.st.st_mode);
    if (is_dir && clean_dir_known && clean_dir == FileStamp(dir.st))
        return;
    clean_dir_known = false;
    DIR *d = opendir(JOB_DIR);
    if (d == nullptr)
        return;
    const std::string ledger_prefix = std::string("ConcreteJob.ini") + DICT_TEMP_SUFFIX;
    const std::string registry_prefix = std::string("ConcreteJob.reg") + DICT_TEMP_SUFFIX;
    bool found = false;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, ledger_prefix.size(), ledger_prefix) == 0 ||
            name.compare(0, registry_prefix.size(), registry_prefix) == 0) {
            unlinkat(dirfd(d), e->d_name, 0);
            found = true;
        }
    }
    closedir(d);
    // A file found was removed, which changed the directory after dir was
    // taken, or could not be removed: either way the next refresh looks again.
    if (!found && is_dir && settled(dir.st)) {
        clean_dir = FileStamp(dir.st);
        clean_dir_known = true;
    }
}

// The ledger's table (a missing or unreadable ledger gives null). Called
// with handler_mutex and the ledger lock held. A kept table is used when
// stat (which follows a link, as the open does) finds the file it was read
// from.
DictPtr load_ledger()
{
    struct stat st;
    if (cached_ledger.kept() && stat(JOB_LEDGER_FILE, &st) == 0) {
        if (DictPtr d = cached_ledger.reuse(st))
            return d;
    }
    FILE *f = std::fopen(JOB_LEDGER_FILE, "re");
    if (f == nullptr)
        return nullptr;
    DictPtr d = fstat(fileno(f), &st) == 0 ? cached_ledger.load(f, st) : DictPtr(dictionary_load_from_stream(f));
    std::fclose(f);
    return d;
}

// del_job, for a record whose entries lie in the given slots; every slot is looked at when
// slots is null.
int remove_expired(const char *section_name, dictionary *ledger, const std::vector<int> *slots)
{
    if (section_name == nullptr || ledger == nullptr)
        return 1;
    // The name may be the table's own key, which is freed below.
    const std::string section(section_name);

    long finish;
    if (!finish_time_of(ledger, section, &finish))
        return 1;
    long allowed = DEFAULT_EXPIRE_SECONDS;
    if (const char *tbr = get_prop(ledger, section, job_prop_str[PROP_TBR])) {
        const long t = get_expire_time(tbr);
        if (t >= 0)
            allowed = t;
    }
    const long now = static_cast<long>(std::time(nullptr));
    if (!(finish < now && now - finish > allowed))
        return 1;

    if (const char *inst_id = get_prop(ledger, section, job_prop_str[PROP_INSTANCEID])) {
        const std::string id(inst_id);
        const int slot = find_handler(job_type_of(id.c_str()).c_str());
        if (slot >= 0 && job_handlers[slot].cleanup_handler != nullptr)
            job_handlers[slot].cleanup_handler(id.c_str());
    }

    // Every entry of the section goes, also keys added by hand.
    const std::string prefix = section + ":";
    auto remove_entry = [&](int i) {
        const char *key = ledger->key[i];
        if (key != nullptr && std::strncmp(key, prefix.c_str(), prefix.size()) == 0) {
            const std::string k(key);
            dictionary_unset(ledger, k.c_str());
        }
    };
    if (slots != nullptr) {
        for (int i : *slots)
            remove_entry(i);
    } else {
        for (int i = 0; i < ledger->num; ++i)
            remove_entry(i);
    }
    dictionary_unset(ledger, section.c_str());
    return 0;
}

int create_job_instance_impl(char *inst_id, int size, const ConcreteJob_entry *entry)
{
    if (inst_id == nullptr || size <= 0 || entry == nullptr || !valid_entry(entry))
        return 1;

    LedgerLock lock;
    if (!lock.held())
        return 1;

    touch(JOB_LEDGER_FILE);
    touch(JOB_REGISTRY_FILE);

    DictPtr ledger(dictionary_load_from_file(JOB_LEDGER_FILE));
    if (!ledger)
        return 1;

    const long n = next_record_number(ledger.get());
    const std::string section = "ID-" + std::to_string(n);
    const std::string id = std::string(entry->job_type_id) + "-" + std::to_string(n);
    // The id must fit the caller's buffer and the records' 256-byte fields
    // whole: a cut id would name another job. Checked before anything is
    // saved, so a refused call leaves both files as they were.
    if (id.size() + 1 > static_cast<size_t>(size) || id.size() + 1 > CONCRETEJOB_FIELD_SIZE)
        return 1;

    if (reg_job_handler(entry) != 0)
        return 1;

    dictionary *d = ledger.get();
    if (dictionary_set(d, section.c_str(), nullptr) != 0 ||
        set_prop(d, section, job_prop_str[PROP_INSTANCEID], id.c_str()) != 0 ||
        set_prop(d, section, job_prop_str[PROP_JOBSTATE], "4") != 0 ||
        set_prop(d, section, job_prop_str[PROP_JOBSTATUS], "Process Running") != 0)
        return 1;
    if (dictionary_save_to_file(d, JOB_LEDGER_FILE) != 0)
        return 1;

    std::memset(inst_id, 0, static_cast<size_t>(size));
    std::memcpy(inst_id, id.c_str(), id.size());
    return 0;
}

int init_job_impl(ConcreteJob_data **jobs, int *count)
{
    std::lock_guard<std::mutex> guard(handler_mutex);
    auto lock = std::make_unique<LedgerLock>();
    if (!lock->held())
        return 1;

    DirView dir;
    const int handlers = init_job_handler_locked(&dir);
    if (handlers == HANDLERS_FAILED) {
        free_job_handler_locked();
        return 1;
    }
    const bool walk = handlers == HANDLERS_LOADED;
    remove_stale_temp_files(dir);

    DictPtr ledger = load_ledger();
    if (!ledger) {
        *jobs = nullptr;
        *count = 0;
        return 0;
    }

    const std::vector<std::string> names = section_names(ledger.get());
    const unsigned long changes = ledger->changes;
    // Each record's entries are found in one pass before the walk, so that removing a record
    // costs its own entries, not a look at every slot. Only a record's own walk step adds to or
    // removes from its entries, so the slots stay true until then.
    auto entries = walk ? util_entry_slots(ledger.get()) : std::unordered_map<std::string, std::vector<int>>();
    for (const std::string &name : names) {
        if (walk && remove_expired(name.c_str(), ledger.get(), &entries[name]) != 0)
            update_record(ledger.get(), name);
    }
    // A pass that changed nothing leaves the file alone: polling clients then
    // cost no synchronous write. The pass writes each key at most once and
    // removes only whole records, so no change it counts is undone later in
    // the pass: a counted change is a table that differs from the file's. A
    // failed save loses nothing the handlers cannot tell again at the next
    // refresh, so the refreshed records are still handed out.
    const bool changed = ledger->changes != changes;
    if (changed)
        dictionary_save_to_file(ledger.get(), JOB_LEDGER_FILE);
    // What is handed out comes from the table in memory: the file is done with.
    lock.reset();

    // fill_record writes every field of a record it fills, and only filled
    // records are handed out.
    ConcreteJob_data *out = nullptr;
    if (!names.empty()) {
        out = static_cast<ConcreteJob_data *>(std::malloc(names.size() * sizeof(ConcreteJob_data)));
        if (out == nullptr)
            return 1;
    }
    // The walk adds no section, and a record it removed has no instance id
    // left, which fill_record skips: so the names taken before the walk give
    // the records that remain, in their order.
    int filled = 0;
    for (const std::string &name : names) {
        if (fill_record(ledger.get(), name.c_str(), out, filled) == 0)
            ++filled;
    }
    if (filled == 0) {
        std::free(out);
        out = nullptr;
    }
    *jobs = out;
    *count = filled;
    if (!changed)
        cached_ledger.keep(std::move(ledger));
    return 0;
}

}  // namespace

extern "C" int create_job_instance(char *inst_id, int size, const ConcreteJob_entry *entry)
{
    try {
        return create_job_instance_impl(inst_id, size, entry);
    } catch (...) {
        return 1;
    }
}

int init_job(ConcreteJob_data **jobs, int *count)
{
    if (jobs == nullptr || count == nullptr)
        return 1;
    try {
        return init_job_impl(jobs, count);
    } catch (...) {
        return 1;
    }
}

int reg_job_handler(const ConcreteJob_entry *entry)
{
    if (entry == nullptr || !valid_entry(entry))
        return 1;
    DictPtr reg(dictionary_load_from_file(JOB_REGISTRY_FILE));
    if (!reg)
        return 1;

    const std::string type = entry->job_type_id;
    const char *values[3] = {entry->libPath, entry->update_handler_name, entry->cleanup_handler_name};
    const unsigned long changes = reg->changes;
    if (!has_section(reg.get(), type.c_str())) {
        // More types than the handler table holds would make every refresh fail.
        if (util_get_sec_count(reg.get()) >= MAX_JOB_HANDLERS ||
            dictionary_set(reg.get(), type.c_str(), nullptr) != 0)
            return 1;
    }
    for (int i = 0; i < 3; ++i) {
        if (set_prop(reg.get(), type, job_handler_prop_str[i], values[i]) != 0)
            return 1;
    }
    // A registration the file already holds leaves it alone.
    const bool changed = reg->changes != changes;
    if (changed && dictionary_save_to_file(reg.get(), JOB_REGISTRY_FILE) != 0)
        return 1;
    return 0;
}

int init_job_handler()
{
    std::lock_guard<std::mutex> guard(handler_mutex);
    try {
        DirView dir;
        return init_job_handler_locked(&dir) == HANDLERS_FAILED ? 1 : 0;
    } catch (...) {
        return 1;
    }
}

int get_job_handler(const char *job_type)
{
    if (job_type == nullptr)
        return -1;
    return find_handler(job_type);
}

void free_job_handler()
{
    std::lock_guard<std::mutex> guard(handler_mutex);
    free_job_handler_locked();
}

int update_job_status(dictionary *ledger, int idx)
{
    const char *name = util_get_sec_name(ledger, idx);
    if (name == nullptr)
        return 1;
    return update_record(ledger, std::string(name));
}

int del_job(const char *section_name, dictionary *ledger)
{
    return remove_expired(section_name, ledger, nullptr);
}

long get_expire_time(const char *interval)
{
    if (interval == nullptr || strnlen(interval, 14) < 14)
        return -1;
    for (int i = 0; i < 14; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(interval[i])))
            return -1;
    }
    auto field = [interval](int pos, int len) {
        long v = 0;
        for (int i = pos; i < pos + len; ++i)
            v = v * 10 + (interval[i] - '0');
        return v;
    };
    return field(0, 8) * 86400 + field(8, 2) * 3600 + field(10, 2) * 60 + field(12, 2);
}

int fill_job_instance(const dictionary *ledger, int idx, ConcreteJob_data *jobs, int out)
{
    const char *name = util_get_sec_name(ledger, idx);
    if (name == nullptr || jobs == nullptr)
        return 1;
    return fill_record(ledger, name, jobs, out);
}

namespace {

int fill_record(const dictionary *ledger, const char *name, ConcreteJob_data *jobs, int out)
{
    const std::string section(name);
    // Without its instance id a record cannot be named to a client.
    const char *inst_id = get_prop(ledger, section, job_prop_str[PROP_INSTANCEID]);
    if (inst_id == nullptr || std::strlen(inst_id) >= CONCRETEJOB_FIELD_SIZE)
        return 1;

    // Every field is written whole: the caller's record need not be cleared.
    ConcreteJob_data &job = jobs[out];
    copy_field(job.inst_id, sizeof job.inst_id, inst_id);
    long state;
    const bool has_state = parse_long(get_prop(ledger, section, job_prop_str[PROP_JOBSTATE]), &state) &&
                           state >= 0 && state <= 0xffff;
    job.job_state = has_state ? static_cast<uint16_t>(state) : 0;
    copy_field(job.job_status, sizeof job.job_status, get_prop(ledger, section, job_prop_str[PROP_JOBSTATUS]));
    copy_field(job.time_before_removal, sizeof job.time_before_removal,
               get_prop(ledger, section, job_prop_str[PROP_TBR]));
    return 0;
}

}  // namespace
