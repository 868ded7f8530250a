/*
 * What the installation services keep between calls, in files, so that it is
 * shared by every process that loads them and survives their unloading:
 *
 *  - the jobs they started ("/etc/simhost/jobs"), each with the JobStatus
 *    texts it goes through and how often it has been read;
 *  - the record of every InstallFromURI call ("/etc/simhost/installs"), one
 *    line of tab-separated NAME=VALUE fields per call, for tests to read.
 *
 * Both files are guarded by flock.
 */
#ifndef QELVO_ESXI_SERVICES_HOSTSTATE_H
#define QELVO_ESXI_SERVICES_HOSTSTATE_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "scenario.h"

namespace hostservices {

constexpr char kStateDir[] = "/etc/simhost";
constexpr char kJobsPath[] = "/etc/simhost/jobs";
constexpr char kInstallsPath[] = "/etc/simhost/installs";

/* A job as a reader sees it now. */
struct JobView {
  std::string instance_id;
  Text status;   /* absent: the job shows no JobStatus */
  bool final = false;
};

/* Starts a job of `service` that goes through `steps` (at least one); its
 * InstanceID in *id. Only the 64 newest jobs are kept. */
bool StartJob(Service service, const std::vector<Text> &steps, std::string *id, std::string *error);

/* The jobs of `service`: the scenario's old jobs, then those started, oldest
 * first, each showing its current text. With `read`, every started job moves
 * on to its next text afterwards (the last text stays). */
bool ListJobs(const Scenario &sc, Service service, bool read, std::vector<JobView> *out, std::string *error);

/* The JobStatus texts of a new job of `service`: the scenario's, else one
 * text that ends it successfully. */
std::vector<Text> JobSteps(const Scenario &sc, Service service);

/* Record lines. */
using Record = std::vector<std::pair<std::string, std::string>>;
/* Appends one record line (tabs, line ends and backslashes in values are
 * written as \t, \n and \\). */
bool AppendRecord(const Record &fields, std::string *error);
/* Every record of the file, fields by name, values unescaped. */
std::vector<std::map<std::string, std::string>> ReadRecords(const std::string &path = kInstallsPath);

/* Size and lower-case hexadecimal MD5 digest of a plain file. */
bool FileDigest(const std::string &path, uint64_t *size, std::string *md5);

}  // namespace hostservices

#endif
