/*
 * cimhost: the host CIMOM stand-in. See kUsage for the command line.
 */
#include <getopt.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cimom.h"
#include "host_entry.h"
#include "log.h"
#include "repository.h"
#include "server.h"
#include "tls.h"

namespace {

const char kUsage[] =
    "Usage: cimhost [OPTION]...\n"
    "A CIM object manager serving CIM-XML over HTTP and HTTPS (DSP0200) with\n"
    "CMPI providers loaded on demand into provider processes, one per\n"
    "registration group.\n"
    "\n"
    "Providers and schema:\n"
    "  --providers DIR          use the provider libraries (lib*.so), registrations\n"
    "                           (*.reg) and MOF files (*.mof) found in DIR\n"
    "  --provider-dir DIR       look for provider libraries lib<location>.so in DIR\n"
    "                           (repeatable, searched in order; default /lib/cim)\n"
    "  --schema PATH            read the registrations and MOF files of directory\n"
    "                           PATH, or the single .reg or .mof file PATH\n"
    "  --stage DIR              read a staging area: DIR/regs/*.reg and\n"
    "                           DIR/mofs/<namespace>/*.mof\n"
    "  --default-namespace NS   namespace for MOF classes that no registration or\n"
    "                           #pragma namespace places (default root/cimv2)\n"
    "  --unload-after SECONDS   clean up and unload provider libraries idle this\n"
    "                           long (default 60; 0 never); a provider process\n"
    "                           left with no library ends\n"
    "  --in-process             load the providers into the CIMOM itself instead of\n"
    "                           provider processes (no isolation, no time limit)\n"
    "  --provider-program PATH  the provider process program (default\n"
    "                           cimhost-provider beside this program)\n"
    "  --check                  read the schema, print the repository and any\n"
    "                           problems, and exit (status 1 when there were any)\n"
    "\n"
    "Network:\n"
    "  --listen ADDRESS         IPv4 address to listen on (default 127.0.0.1)\n"
    "  --http-port PORT         HTTP port (default 5988; -1 off, 0 any free port)\n"
    "  --https-port PORT        HTTPS port (default 5989; -1 off, 0 any free port)\n"
    "  --account USER:PASSWORD  an account Basic authentication accepts (repeatable)\n"
    "  --no-auth                accept requests without credentials\n"
    "  --tls-cert FILE          HTTPS certificate (PEM); with --tls-key. Without\n"
    "                           them a self-signed certificate is made at start\n"
    "  --tls-key FILE           private key of --tls-cert (PEM)\n"
    "  --write-cert FILE        write the certificate in use to FILE (PEM), for\n"
    "                           clients that verify it\n"
    "  --host-name NAME         host written into object paths (default: this\n"
    "                           host's name)\n"
    "\n"
    "Limits:\n"
    "  --workers N              requests running at once (default 16)\n"
    "  --queue N                requests waiting for a turn or for providers\n"
    "                           before 503 (256)\n"
    "  --io-threads N           accepted for compatibility; every connection has\n"
    "                           a thread of its own\n"
    "  --max-connections N      open connections at most (default 256)\n"
    "  --per-ip-connections N   open connections per client address (default 32)\n"
    "  --max-body BYTES         largest request body (default 16777216)\n"
    "  --request-memory BYTES   memory one request may use for its body, its\n"
    "                           decoding and the providers' answers (default\n"
    "                           67108864; more: 413)\n"
    "  --memory BYTES           memory all requests together may use (default\n"
    "                           268435456; more: 503)\n"
    "  --idle-timeout SECONDS   close connections idle this long (default 30)\n"
    "  --head-timeout SECONDS   close connections whose request head takes\n"
    "                           longer (default 10)\n"
    "  --request-timeout SECONDS  close connections whose body takes longer (60)\n"
    "  --operation-timeout SECONDS  answer an error when the providers take longer\n"
    "                           for a request (default 120)\n"
    "  --upcall-timeout SECONDS  how long a provider's own thread may wait for\n"
    "                           one up-call (default 3600)\n"
    "\n"
    "Process:\n"
    "  --ready-file FILE        write the bound ports to FILE once serving\n"
    "                           (\"http=PORT https=PORT\")\n"
    "  --pid-file FILE          write the process id to FILE\n"
    "  -v, --verbose            log every request\n"
    "  -q, --quiet              log errors only\n"
    "  -h, --help               show this text\n"
    "\n"
    "SIGINT and SIGTERM stop the server: running requests may finish (5 s),\n"
    "then every provider is cleaned up with terminating set and the provider\n"
    "processes end.\n";

bool read_file(const std::string &path, std::string *out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  *out = ss.str();
  return true;
}

bool write_file(const std::string &path, const std::string &text) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << text;
    if (!f) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool to_int(const char *s, long lo, long hi, long *out) {
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace cimhost;
  enum {
    kProviders = 256, kProviderDir, kSchema, kStage, kDefaultNs, kUnloadAfter, kCheck, kListen, kHttpPort,
    kHttpsPort, kAccount, kNoAuth, kTlsCert, kTlsKey, kWriteCert, kHostName, kWorkers, kQueue, kIoThreads,
    kMaxConn, kMaxBody, kIdleTimeout, kRequestTimeout, kReadyFile, kPidFile, kInProcess, kProviderProgram,
    kPerIp, kRequestMemory, kMemory, kHeadTimeout, kOperationTimeout, kUpcallTimeout
  };
  static const option longopts[] = {
      {"providers", required_argument, nullptr, kProviders},
      {"provider-dir", required_argument, nullptr, kProviderDir},
      {"schema", required_argument, nullptr, kSchema},
      {"stage", required_argument, nullptr, kStage},
      {"default-namespace", required_argument, nullptr, kDefaultNs},
      {"unload-after", required_argument, nullptr, kUnloadAfter},
      {"check", no_argument, nullptr, kCheck},
      {"listen", required_argument, nullptr, kListen},
      {"http-port", required_argument, nullptr, kHttpPort},
      {"https-port", required_argument, nullptr, kHttpsPort},
      {"account", required_argument, nullptr, kAccount},
      {"no-auth", no_argument, nullptr, kNoAuth},
      {"tls-cert", required_argument, nullptr, kTlsCert},
      {"tls-key", required_argument, nullptr, kTlsKey},
      {"write-cert", required_argument, nullptr, kWriteCert},
      {"host-name", required_argument, nullptr, kHostName},
      {"workers", required_argument, nullptr, kWorkers},
      {"queue", required_argument, nullptr, kQueue},
      {"io-threads", required_argument, nullptr, kIoThreads},
      {"max-connections", required_argument, nullptr, kMaxConn},
      {"max-body", required_argument, nullptr, kMaxBody},
      {"idle-timeout", required_argument, nullptr, kIdleTimeout},
      {"request-timeout", required_argument, nullptr, kRequestTimeout},
      {"ready-file", required_argument, nullptr, kReadyFile},
      {"pid-file", required_argument, nullptr, kPidFile},
      {"in-process", no_argument, nullptr, kInProcess},
      {"provider-program", required_argument, nullptr, kProviderProgram},
      {"per-ip-connections", required_argument, nullptr, kPerIp},
      {"request-memory", required_argument, nullptr, kRequestMemory},
      {"memory", required_argument, nullptr, kMemory},
      {"head-timeout", required_argument, nullptr, kHeadTimeout},
      {"operation-timeout", required_argument, nullptr, kOperationTimeout},
      {"upcall-timeout", required_argument, nullptr, kUpcallTimeout},
      {"verbose", no_argument, nullptr, 'v'},
      {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };

  std::vector<std::string> provider_dirs;
  RepositoryBuilder builder;
  ServerOptions so;
  ProviderOptions po;
  std::string tls_cert, tls_key, write_cert, host_name, ready_file, pid_file;
  long unload_after = 60;
  bool check_only = false, have_account = false;
  auto bad = [&](const std::string &what) {
    std::cerr << "cimhost: " << what << "\nTry 'cimhost --help'.\n";
    return 2;
  };
  auto number = [&](const char *name, long lo, long hi, long *out) {
    if (!to_int(optarg, lo, hi, out)) {
      bad(std::string("bad value for --") + name + ": " + optarg);
      return false;
    }
    return true;
  };
  int c;
  long v = 0;
  while ((c = getopt_long(argc, argv, "vqh", longopts, nullptr)) != -1) {
    switch (c) {
      case kProviders:
        provider_dirs.push_back(optarg);
        builder.add_schema_dir(optarg);
        break;
      case kProviderDir: provider_dirs.push_back(optarg); break;
      case kSchema: builder.add_schema_dir(optarg); break;
      case kStage: builder.add_stage_dir(optarg); break;
      case kDefaultNs: builder.set_default_namespace(optarg); break;
      case kUnloadAfter:
        if (!number("unload-after", 0, 1L << 30, &unload_after)) return 2;
        break;
      case kCheck: check_only = true; break;
      case kListen: so.listen = optarg; break;
      case kHttpPort:
        if (!number("http-port", -1, 65535, &v)) return 2;
        so.http_port = static_cast<int>(v);
        break;
      case kHttpsPort:
        if (!number("https-port", -1, 65535, &v)) return 2;
        so.https_port = static_cast<int>(v);
        break;
      case kAccount: {
        const std::string a = optarg;
        const size_t colon = a.find(':');
        if (colon == std::string::npos || colon == 0) return bad("--account needs USER:PASSWORD");
        so.accounts.emplace_back(a.substr(0, colon), a.substr(colon + 1));
        have_account = true;
        break;
      }
      case kNoAuth: so.auth = false; break;
      case kTlsCert: tls_cert = optarg; break;
      case kTlsKey: tls_key = optarg; break;
      case kWriteCert: write_cert = optarg; break;
      case kHostName: host_name = optarg; break;
      case kWorkers:
        if (!number("workers", 1, 1024, &v)) return 2;
        so.workers = static_cast<unsigned>(v);
        break;
      case kQueue:
        if (!number("queue", 0, 100000, &v)) return 2;
        so.queue_limit = static_cast<unsigned>(v);
        break;
      case kIoThreads:
        if (!number("io-threads", 1, 64, &v)) return 2;
        so.io_threads = static_cast<unsigned>(v);
        break;
      case kMaxConn:
        if (!number("max-connections", 1, 100000, &v)) return 2;
        so.max_connections = static_cast<unsigned>(v);
        break;
      case kMaxBody:
        if (!number("max-body", 1024, 1L << 30, &v)) return 2;
        so.max_body = static_cast<size_t>(v);
        break;
      case kIdleTimeout:
        if (!number("idle-timeout", 1, 86400, &v)) return 2;
        so.idle_timeout = static_cast<unsigned>(v);
        break;
      case kRequestTimeout:
        if (!number("request-timeout", 1, 86400, &v)) return 2;
        so.request_timeout = static_cast<unsigned>(v);
        break;
      case kInProcess: po.in_process = true; break;
      case kProviderProgram: po.program = optarg; break;
      case kPerIp:
        if (!number("per-ip-connections", 1, 100000, &v)) return 2;
        so.per_ip_connections = static_cast<unsigned>(v);
        break;
      case kRequestMemory:
        if (!number("request-memory", 1L << 20, 1L << 40, &v)) return 2;
        so.request_memory = static_cast<size_t>(v);
        break;
      case kMemory:
        if (!number("memory", 1L << 20, 1L << 40, &v)) return 2;
        so.total_memory = static_cast<size_t>(v);
        break;
      case kHeadTimeout:
        if (!number("head-timeout", 1, 86400, &v)) return 2;
        so.head_timeout = static_cast<unsigned>(v);
        break;
      case kOperationTimeout:
        if (!number("operation-timeout", 1, 86400 * 7, &v)) return 2;
        so.operation_timeout = static_cast<unsigned>(v);
        break;
      case kUpcallTimeout:
        if (!number("upcall-timeout", 1, 86400 * 7, &v)) return 2;
        po.upcall_limit = std::chrono::seconds(v);
        break;
      case kReadyFile: ready_file = optarg; break;
      case kPidFile: pid_file = optarg; break;
      case 'v':
        set_log_level(LogLevel::Debug);
        po.verbose = true;
        break;
      case 'q': set_log_level(LogLevel::Quiet); break;
      case 'h': std::cout << kUsage; return 0;
      default: return bad("unknown option");
    }
  }
  if (optind < argc) return bad(std::string("unexpected argument ") + argv[optind]);
  if (provider_dirs.empty()) provider_dirs.push_back("/lib/cim");

  std::unique_ptr<Repository> repo = builder.build();
  for (const std::string &w : builder.warnings()) log_error(w);
  if (check_only) {
    std::cout << repo->summary();
    return builder.warnings().empty() ? 0 : 1;
  }
  if (so.auth && !have_account) return bad("give --account USER:PASSWORD (or --no-auth)");
  if (so.https_port >= 0) {
    if (!tls_cert.empty() || !tls_key.empty()) {
      if (!read_file(tls_cert, &so.cert_pem) || !read_file(tls_key, &so.key_pem)) {
        log_error("cannot read the certificate " + tls_cert + " or its key " + tls_key);
        return 1;
      }
    } else {
      char hn[256] = "";
      gethostname(hn, sizeof hn - 1);
      try {
        CertificatePem pem = make_self_signed(hn[0] != '\0' ? hn : "localhost");
        so.cert_pem = pem.cert;
        so.key_pem = pem.key;
      } catch (const std::exception &e) {
        log_error(std::string("cannot make a certificate: ") + e.what());
        return 1;
      }
    }
    if (!write_cert.empty() && !write_file(write_cert, so.cert_pem)) {
      log_error("cannot write " + write_cert);
      return 1;
    }
  }
  if (host_name.empty()) {
    char hn[256] = "";
    gethostname(hn, sizeof hn - 1);
    host_name = hn[0] != '\0' ? hn : "localhost";
  }

  /* Signals are taken by this thread alone; every thread started below
   * inherits the mask. */
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  /* Large buffers (request bodies) are mapped and given back when freed, not
   * kept in the heap. */
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  Cimom cimom(std::move(repo), provider_dirs, po);
  set_class_lookup([&cimom](const char *ns, const char *cn) { return cimom.classExists(ns, cn); });
  cimom.set_host_name(host_name);
  cimxml::Limits limits;
  limits.max_body = so.max_body;
  if (so.request_memory < so.max_body) so.request_memory = so.max_body;
  cimom.set_limits(limits);
  Server server(so, [&cimom](const char *body, size_t len, const CimHeaders &h, const std::string &principal) {
    return cimom.serve(body, len, h, principal);
  });
  std::string error;
  if (!server.start(&error)) {
    log_error(error);
    return 1;
  }
  const std::string ports =
      "http=" + std::to_string(server.http_port()) + " https=" + std::to_string(server.https_port());
  log_info("serving on " + so.listen + " (" + ports + "), " +
           std::to_string(cimom.repository().all_registrations().size()) + " registrations");
  if (!pid_file.empty() && !write_file(pid_file, std::to_string(getpid()) + "\n"))
    log_error("cannot write " + pid_file);
  if (!ready_file.empty() && !write_file(ready_file, ports + "\n")) log_error("cannot write " + ready_file);

  for (;;) {
    timespec tick = {1, 0};
    const int sig = sigtimedwait(&sigs, nullptr, &tick);
    if (sig > 0) {
      log_info(std::string("stopping on ") + strsignal(sig));
      break;
    }
    if (unload_after > 0) cimom.providers().unload_idle(std::chrono::seconds(unload_after));
  }
  server.stop(5000);
  cimom.shutdown(std::chrono::seconds(5));
  if (!pid_file.empty()) unlink(pid_file.c_str());
  log_info("stopped");
  /* Threads a provider started may still run in its library. */
  std::fflush(nullptr);
  _exit(0);
}
