#include "ipmi_datastore.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ipmi.h"
#include "qelvo_config.h"

int kcs_fd = -1;
std::atomic<uint16_t> MAX_KCS_BUFF_SIZE{kKcsLargeBlock};

namespace {

constexpr unsigned char kIANA[3] = {QELVO_VENDOR_IANA & 0xff, (QELVO_VENDOR_IANA >> 8) & 0xff,
                                    (QELVO_VENDOR_IANA >> 16) & 0xff};
// The chunk-size fallback takes this completion code for no failure.
constexpr unsigned char kStatusNoFailure = 0xA0;
// The longest file name a query or delete request carries (the driver's messages hold 272 bytes).
constexpr size_t kMaxRequestName = 255;

// One store session (device open to device closed) at a time in the process.
std::mutex &SessionLock() {
  static std::mutex lock;
  return lock;
}

// The store's traces on standard output. libslotscan builds this source with
// IPMI_DATASTORE_QUIET: its copy of the store writes nothing.
__attribute__((format(printf, 1, 2))) void Trace(const char *format, ...) {
#ifdef IPMI_DATASTORE_QUIET
  (void)format;
#else
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
#endif
}

void Entering(const char *op) { Trace("%s Entering \n", op); }

int Exiting(const char *op, unsigned char status, int result) {
  Trace("%s Exiting: %x : %x\n", op, status, static_cast<unsigned>(result));
  return result;
}

void Step(const char *step, unsigned char status, int result) {
  Trace("%s : %x : %x\n", step, status, static_cast<unsigned>(result));
}

// Every reply is received whole (a controller may send more than an operation uses); only the
// bytes the operation defines are taken from it.
struct Reply {
  unsigned char bytes[IPMI_REPLY_MAX] = {};
  unsigned short len = sizeof bytes;
};

// The first bytes of every request: the vendor's number and the operation.
size_t Header(unsigned char *req, uint8_t op) {
  std::memcpy(req, kIANA, sizeof kIANA);
  req[3] = op;
  return 4;
}

void PutLe(unsigned char *p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t GetLe(const unsigned char *p, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

int SendStore(unsigned char &status, const unsigned char *req, size_t len, unsigned char *reply,
              unsigned short *reply_len) {
  return sendIPMI(status, IpmiDataStore::kDataStoreCode, req, static_cast<unsigned short>(len), reply, reply_len,
                  IpmiDataStore::kDataStoreNetFn);
}

}  // namespace

// ---------------------------------------------------------------------------------- replies

namespace datastore_reply {

bool Handle(const unsigned char *reply, size_t len, uint32_t *handle) {
  if (reply == nullptr || len <= 6) return false;
  uint32_t h = 0;
  for (size_t i = 0; i < 4 && 4 + i < len; ++i) h |= static_cast<uint32_t>(reply[4 + i]) << (8 * i);
  *handle = h;
  return true;
}

int Data(const unsigned char *reply, size_t len, size_t wanted, const unsigned char **data) {
  if (reply == nullptr || len < 6) return -1;
  const size_t copied = std::min<size_t>(GetLe(reply + 4, 2), wanted);
  if (copied > len - 6) return -1;  // claims more than it carries
  *data = reply + 6;
  return static_cast<int>(copied);
}

bool FileSize(const unsigned char *reply, size_t len, uint32_t *size) {
  if (reply == nullptr || len < 8) return false;
  *size = GetLe(reply + 4, 4);
  return true;
}

int Written(const unsigned char *reply, size_t len) { return reply != nullptr && len >= 5 ? reply[4] : -1; }

}  // namespace datastore_reply

// ------------------------------------------------------------------------------- transport

int connect_kcs() {
  disconnect_kcs();
  kcs_fd = connect_ipmi("/dev/ipmi0");
  if (kcs_fd < 0) kcs_fd = connect_ipmi("/dev/ipmidev/0");
  return kcs_fd < 0 ? 1 : 0;
}

void disconnect_kcs() {
  if (kcs_fd >= 0) disconnect_ipmi(kcs_fd);
  kcs_fd = -1;
}

int sendIPMICMD(unsigned char cmd, const unsigned char *data, unsigned short len, unsigned char *reply,
                unsigned short *reply_len, unsigned char netfn) {
  return send_kcs_IPMI_command(kcs_fd, cmd, data, len, reply, reply_len, netfn) == 0 ? 0 : 1;
}

int sendIPMI(unsigned char &status, unsigned char cmd, const unsigned char *data, unsigned short len,
             unsigned char *reply, unsigned short *reply_len, unsigned char netfn) {
  status = 0;
  const int rc = sendIPMICMD(cmd, data, len, reply, reply_len, netfn);
  if (rc == 0 && *reply_len >= 1) status = reply[0];
  return rc;
}

// ---------------------------------------------------------------------------- operations

IpmiDataStore::IpmiDataStore() = default;

IpmiDataStore::~IpmiDataStore() = default;

bool IpmiDataStore::isFileOpen() { return file_open_; }

int IpmiDataStore::Open(unsigned char &status, accessType access, characteristics chars, uint16_t size,
                        createFlag create, uint8_t request, const std::string &name) {
  Entering("Open");
  file_open_ = false;
  unsigned char req[38] = {};
  size_t n = Header(req, kDataStoreOpenOp);
  req[n++] = access;
  req[n++] = chars;
  PutLe(req + n, size, 2);
  n += 4;  // the size and two zero bytes
  req[n++] = create;
  req[n++] = request;
  // The name, cut to 25 characters and zero-padded; the byte after it stays zero.
  std::memcpy(req + n, name.data(), std::min(name.size(), kMaxFileName));
  Reply reply;
  int rc = SendStore(status, req, sizeof req, reply.bytes, &reply.len);
  if (rc == 0 && status == 0) {
    if (datastore_reply::Handle(reply.bytes, reply.len, &handle_))
      file_open_ = true;
    else
      rc = -1;
  }
  return Exiting("Open", status, rc);
}

int IpmiDataStore::Read(unsigned char &status, unsigned char *dest, uint8_t count, uint16_t offset) {
  Entering("Read");
  status = 0;
  if (dest == nullptr) return Exiting("Read", status, -1);
  unsigned char req[14] = {};
  size_t n = Header(req, kDataStoreReadOp);
  PutLe(req + n, handle_, 4);
  n += 4;
  PutLe(req + n, offset, 2);
  n += 4;  // 16-bit offset and two zero bytes
  req[n++] = count;
  Reply reply;
  const int rc = SendStore(status, req, sizeof req, reply.bytes, &reply.len);
  if (rc != 0 || status != 0) return Exiting("Read", status, -1);
  // Never more than asked for, whatever the reply claims or carries beyond it.
  const unsigned char *data = nullptr;
  const int copied = datastore_reply::Data(reply.bytes, reply.len, count, &data);
  if (copied < 0) return Exiting("Read", status, -1);
  std::memcpy(dest, data, static_cast<size_t>(copied));
  return Exiting("Read", status, copied);
}

int IpmiDataStore::Write(unsigned char &status, const unsigned char *src, uint8_t count, uint16_t offset) {
  Entering("Write");
  status = 0;
  if (src == nullptr) return Exiting("Write", status, -1);
  if (count == 0) return Exiting("Write", status, 0);
  unsigned char req[12 + 255] = {};
  size_t n = Header(req, kDataStoreWriteOp);
  PutLe(req + n, handle_, 4);
  n += 4;
  PutLe(req + n, offset, 2);
  n += 4;
  std::memcpy(req + n, src, count);
  n += count;
  Reply reply;
  const int rc = SendStore(status, req, n, reply.bytes, &reply.len);
  if (rc != 0 || status != 0) return Exiting("Write", status, -1);
  return Exiting("Write", status, datastore_reply::Written(reply.bytes, reply.len));
}

int IpmiDataStore::WriteDefaults(unsigned char &status) {
  Entering("WriteDefaults");
  status = 0;
  if (!file_open_) return Exiting("WriteDefaults", status, -1);
  file_open_ = false;
  unsigned char req[8] = {};
  const size_t n = Header(req, kDataStoreWriteDefaultsOp);
  PutLe(req + n, handle_, 4);
  Reply reply;
  return Exiting("WriteDefaults", status, SendStore(status, req, sizeof req, reply.bytes, &reply.len));
}

int IpmiDataStore::Close(unsigned char &status) {
  Entering("Close");
  status = 0;
  if (!file_open_) return Exiting("Close", status, -1);
  file_open_ = false;
  unsigned char req[8] = {};
  const size_t n = Header(req, kDataStoreCloseOp);
  PutLe(req + n, handle_, 4);
  Reply reply;
  return Exiting("Close", status, SendStore(status, req, sizeof req, reply.bytes, &reply.len));
}

int IpmiDataStore::QuerySize(unsigned char &status, const std::string &name, uint32_t &size) {
  Entering("QuerySize");
  status = 0;
  if (name.empty() || name.size() > kMaxRequestName) return Exiting("QuerySize", status, -1);
  unsigned char req[4 + kMaxRequestName] = {};
  size_t n = Header(req, kDataStoreQuerySizeOp);
  std::memcpy(req + n, name.data(), name.size());
  n += name.size();
  Reply reply;
  int rc = SendStore(status, req, n, reply.bytes, &reply.len);
  if (rc == 0 && status == 0 && !datastore_reply::FileSize(reply.bytes, reply.len, &size))
    rc = -1;  // no size in the reply
  return Exiting("QuerySize", status, rc);
}

int IpmiDataStore::DeleteFile(unsigned char &status, const std::string &name) {
  Entering("DeleteFile");
  status = 0;
  if (name.empty() || name.size() > kMaxRequestName) return Exiting("DeleteFile", status, -1);
  unsigned char req[4 + kMaxRequestName] = {};
  size_t n = Header(req, kDataStoreDeleteOp);
  std::memcpy(req + n, name.data(), name.size());
  n += name.size();
  Reply reply;
  return Exiting("DeleteFile", status, SendStore(status, req, n, reply.bytes, &reply.len));
}

// ------------------------------------------------------------------------------ whole files

int IpmiDataStore::ReadChunks(unsigned char &status, unsigned char *dest, size_t size, bool check_zero_start) {
  uint16_t chunk = allow_large_blocks_ ? MAX_KCS_BUFF_SIZE.load() : kKcsLargeBlock;
  size_t offset = 0;
  bool first = true;
  while (offset < size) {
    if (offset > 0xffff) {  // beyond what a read request can say
      Step("RD", status, -1);
      return -1;
    }
    uint8_t want = static_cast<uint8_t>(std::min<size_t>(chunk, size - offset));
    int r = Read(status, dest + offset, want, static_cast<uint16_t>(offset));
    const bool failed = r < 0 || (status != 0 && status != kStatusNoFailure);
    if (failed && allow_large_blocks_ && MAX_KCS_BUFF_SIZE.load() > kKcsSmallBlock) {
      MAX_KCS_BUFF_SIZE.store(kKcsSmallBlock);
      Trace("KCS block size dropping to lower 58 byte limit. (Read) %x : %x\n", static_cast<unsigned>(r), status);
      chunk = kKcsSmallBlock;
      want = static_cast<uint8_t>(std::min<size_t>(chunk, size - offset));
      r = Read(status, dest + offset, want, static_cast<uint16_t>(offset));
    }
    if (r <= 0 || status != 0) {
      // A failed read, or one that brings nothing (no progress could ever be made).
      Step("RD", status, r);
      return r < 0 ? r : -1;
    }
    if (check_zero_start && first) {
      Trace("Checking for a non-zero config file.\n");
      if (std::all_of(dest + offset, dest + offset + r, [](unsigned char b) { return b == 0; })) {
        Trace("Zero start found in config file.\n");
        return 0;
      }
    }
    first = false;
    // Short reads continue where the data ended, so no gap is left in the file.
    offset += static_cast<size_t>(r);
  }
  return 0;
}

template <class Sink>
int IpmiDataStore::ReadSession(unsigned char &status, const std::string &name, characteristics chars,
                               uint8_t request, accessType access, bool check_zero_start, Sink &&sink) {
  if (connect_kcs() != 0) {
    disconnect_kcs();
    return -1;
  }
  int rc = Open(status, access, chars, 0, kNoCreate, request, name);
  if (status != 0 || rc != 0) {
    Step("OP", status, rc);
    disconnect_kcs();
    return rc;
  }
  // From here on the file is closed on every path, so no handle is left open on the controller.
  auto close_quietly = [this] {
    unsigned char st = 0;
    Close(st);
  };
  uint32_t size = 0;
  rc = QuerySize(status, name, size);
  if (status != 0 || rc != 0) {
    Step("QS", status, rc);
    close_quietly();
    disconnect_kcs();
    return rc;
  }
  unsigned char *dest = size == 0 || size > kMaxReadableSize ? nullptr : sink(size);
  if (dest == nullptr) {
    Step("QS", status, -1);
    close_quietly();
    disconnect_kcs();
    return -1;
  }
  unsigned char read_status = 0;
  const int read_rc = ReadChunks(read_status, dest, size, check_zero_start);
  unsigned char close_status = 0;
  const int close_rc = Close(close_status);
  if (close_status != 0 || close_rc != 0) Step("CL", close_status, close_rc);
  if (read_rc == 0) {
    status = close_status;
    rc = close_rc;
  } else {
    status = read_status;
    rc = read_rc;
  }
  disconnect_kcs();
  return rc;
}

int IpmiDataStore::ReadFile(unsigned char &status, const std::string &name, std::vector<unsigned char> &out,
                            characteristics chars, uint8_t request, accessType access, bool check_zero_start) {
  Entering("ReadFile");
  std::lock_guard<std::mutex> hold(SessionLock());
  status = 0;
  const int rc = ReadSession(status, name, chars, request, access, check_zero_start, [&out](uint32_t size) {
    out.assign(size, 0);
    return out.data();
  });
  return Exiting("ReadFile", status, rc);
}

int IpmiDataStore::ReadFile(unsigned char &status, const std::string &name, unsigned char *buffer, size_t capacity,
                            size_t *length, characteristics chars, uint8_t request, accessType access,
                            bool check_zero_start) {
  Entering("ReadFile");
  std::lock_guard<std::mutex> hold(SessionLock());
  status = 0;
  if (length != nullptr) *length = 0;
  if (buffer == nullptr) return Exiting("ReadFile", status, -1);
  const int rc = ReadSession(status, name, chars, request, access, check_zero_start,
                             [&](uint32_t size) -> unsigned char * {
                               if (length != nullptr) *length = size;
                               if (size > capacity) return nullptr;  // refused: it does not fit
                               std::memset(buffer, 0, size);
                               return buffer;
                             });
  return Exiting("ReadFile", status, rc);
}

int IpmiDataStore::WriteFile(unsigned char &status, const std::string &name, const std::vector<unsigned char> &data,
                             characteristics chars, uint8_t request) {
  Entering("WriteFile");
  std::lock_guard<std::mutex> hold(SessionLock());
  status = 0;
  if (data.empty()) {
    Trace(" Exiting  no write\n");
    return 0;
  }
  // The open request carries a 16-bit size and writes 16-bit offsets.
  if (data.size() > 0xffff) return Exiting("WriteFile", status, -1);
  if (connect_kcs() != 0) {
    disconnect_kcs();
    return Exiting("WriteFile", status, -1);
  }
  int rc = Open(status, kAccessReadWrite, chars, static_cast<uint16_t>(data.size()), kCreate, request, name);
  if (status != 0 || rc != 0) {
    Step("OP", status, rc);
    disconnect_kcs();
    return Exiting("WriteFile", status, rc);
  }
  uint16_t chunk = allow_large_blocks_ ? MAX_KCS_BUFF_SIZE.load() : kKcsLargeBlock;
  size_t offset = 0;
  int write_rc = 0;
  unsigned char write_status = 0;
  while (offset < data.size()) {
    uint8_t want = static_cast<uint8_t>(std::min<size_t>(chunk, data.size() - offset));
    int w = Write(write_status, data.data() + offset, want, static_cast<uint16_t>(offset));
    const bool failed = w < 0 || (write_status != 0 && write_status != kStatusNoFailure);
    if (failed && allow_large_blocks_ && MAX_KCS_BUFF_SIZE.load() > kKcsSmallBlock) {
      MAX_KCS_BUFF_SIZE.store(kKcsSmallBlock);
      Trace("KCS block size dropping to lower 58 byte limit. (Write) %x : %x\n", static_cast<unsigned>(w),
            write_status);
      chunk = kKcsSmallBlock;
      want = static_cast<uint8_t>(std::min<size_t>(chunk, data.size() - offset));
      w = Write(write_status, data.data() + offset, want, static_cast<uint16_t>(offset));
    }
    if (w <= 0 || write_status != 0) {
      Step("WR", write_status, w);
      write_rc = w < 0 ? w : -1;
      break;
    }
    offset += static_cast<size_t>(w);
  }
  unsigned char close_status = 0;
  const int close_rc = Close(close_status);
  if (close_status != 0 || close_rc != 0) Step("CL", close_status, close_rc);
  if (write_rc != 0) {
    status = write_status;
    rc = write_rc;
  } else {
    status = close_status;
    rc = close_rc;
  }
  disconnect_kcs();
  return Exiting("WriteFile", status, rc);
}
