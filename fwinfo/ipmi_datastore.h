// The controller's data store over IPMI: files the controller keeps (among them "smbios-table"),
// reached through the OEM command 0x90 of network function 0x2E on the host's KCS interface.
// A file is opened, its size queried, read (or written) in chunks small enough for the KCS
// interface, and closed.
//
// Chunks are MAX_KCS_BUFF_SIZE bytes (200) until a transfer fails; then the process drops to
// 58-byte chunks for good, retrying the failed chunk once at the smaller size.
//
// One store session at a time per process: ReadFile and WriteFile hold a process-wide lock from
// opening the device to closing it, so concurrent callers cannot close each other's descriptor.
//
// Replies are received whole and may be longer than an operation needs; the bytes it defines
// are taken, and never more data than was asked for. The operations trace their steps on
// standard output, except in a build with IPMI_DATASTORE_QUIET (libslotscan's).
#ifndef QELVO_FWINFO_IPMI_DATASTORE_H
#define QELVO_FWINFO_IPMI_DATASTORE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The IPMI device descriptor of the store's transport (-1 when closed).
extern int kcs_fd;
// The current chunk limit: 200, lowered to 58 by the first failed transfer.
extern std::atomic<uint16_t> MAX_KCS_BUFF_SIZE;

constexpr uint16_t kKcsLargeBlock = 200;
constexpr uint16_t kKcsSmallBlock = 58;

// Opens "/dev/ipmi0" (else "/dev/ipmidev/0") as kcs_fd, closing any open descriptor first.
// 0 on success, non-zero when neither opens.
int connect_kcs();
// Closes kcs_fd when it is open.
void disconnect_kcs();
// One exchange on kcs_fd. *reply_len is the capacity of reply on entry and the reply's length
// (completion code included) on success; a longer reply is refused. 0 on success, 1 on any
// failure.
int sendIPMICMD(unsigned char cmd, const unsigned char *data, unsigned short len, unsigned char *reply,
                unsigned short *reply_len, unsigned char netfn);
// sendIPMICMD, also handing back the reply's completion code (0 when there was no reply).
int sendIPMI(unsigned char &status, unsigned char cmd, const unsigned char *data, unsigned short len,
             unsigned char *reply, unsigned short *reply_len, unsigned char netfn);

// What the store's replies carry: the completion code, the vendor's number (bytes 1-3), then
// the operation's own bytes. Each reader takes a reply as received, of any length, and reads
// nothing beyond it.
namespace datastore_reply {
// Open: a reply longer than 6 bytes carries the file handle in bytes 4-7 (bytes it lacks read as
// zero). False for a shorter reply.
bool Handle(const unsigned char *reply, size_t len, uint32_t *handle);
// Read: the count in bytes 4-5 and the data from byte 6. The number of bytes to copy (the
// smaller of the count and `wanted`), with *data at them; -1 for a reply shorter than 6 bytes
// or one that carries fewer bytes than that number.
int Data(const unsigned char *reply, size_t len, size_t wanted, const unsigned char **data);
// Query size: bytes 4-7. False for a reply shorter than 8 bytes.
bool FileSize(const unsigned char *reply, size_t len, uint32_t *size);
// Write: the count written, byte 4; -1 for a reply shorter than 5 bytes.
int Written(const unsigned char *reply, size_t len);
}  // namespace datastore_reply

class IpmiDataStore {
 public:
  enum accessType : uint8_t { kAccessRead = 1, kAccessWrite = 2, kAccessReadWrite = 3 };
  enum characteristics : uint8_t { kCharacteristicsNone = 0 };
  enum createFlag : uint8_t { kNoCreate = 0, kCreate = 1 };

  static constexpr uint8_t kDataStoreCode = 0x90;
  static constexpr uint8_t kDataStoreNetFn = 0x2E;
  static constexpr uint8_t kDataStoreOpenOp = 1;
  static constexpr uint8_t kDataStoreReadOp = 2;
  static constexpr uint8_t kDataStoreWriteOp = 3;
  static constexpr uint8_t kDataStoreWriteDefaultsOp = 4;
  static constexpr uint8_t kDataStoreCloseOp = 5;
  static constexpr uint8_t kDataStoreQuerySizeOp = 6;
  static constexpr uint8_t kDataStoreDeleteOp = 7;
  static constexpr size_t kMaxFileName = 25;  // what an open request carries
  static constexpr uint8_t kRequestByte = 16;  // the request byte every caller passes
  // Offsets in read and write requests are 16 bits: no larger file can be read.
  static constexpr size_t kMaxReadableSize = 0x10000;

  IpmiDataStore();
  virtual ~IpmiDataStore();

  // Each operation takes the reply's completion code in status first and returns a result; it
  // has succeeded when the result is 0 (for Read and Write: not negative) and status is 0.
  virtual bool isFileOpen();
  virtual int Open(unsigned char &status, accessType access, characteristics chars, uint16_t size, createFlag create,
                   uint8_t request, const std::string &name);
  // Copies at most count bytes at offset into dest; the number copied, or -1.
  virtual int Read(unsigned char &status, unsigned char *dest, uint8_t count, uint16_t offset);
  // Writes count bytes from src at offset; the number written, 0 for a count of 0, or -1.
  virtual int Write(unsigned char &status, const unsigned char *src, uint8_t count, uint16_t offset);
  virtual int WriteDefaults(unsigned char &status);
  virtual int Close(unsigned char &status);
  // Reads the whole file into out (resized to the file's size). With check_zero_start, a file
  // whose first chunk is all zero ends after that chunk (the rest stays zero). 0 on success.
  virtual int ReadFile(unsigned char &status, const std::string &name, std::vector<unsigned char> &out,
                       characteristics chars, uint8_t request, accessType access, bool check_zero_start);
  virtual int WriteFile(unsigned char &status, const std::string &name, const std::vector<unsigned char> &data,
                        characteristics chars, uint8_t request);
  virtual int QuerySize(unsigned char &status, const std::string &name, uint32_t &size);
  virtual int DeleteFile(unsigned char &status, const std::string &name);

  // ReadFile into a caller's buffer of `capacity` bytes, for readers that keep a fixed buffer:
  // a file larger than the buffer is refused (-1) before anything is read. *length receives
  // the file's size.
  int ReadFile(unsigned char &status, const std::string &name, unsigned char *buffer, size_t capacity,
               size_t *length, characteristics chars, uint8_t request, accessType access, bool check_zero_start);

 private:
  // Opens, sizes (through size_ok, which may refuse), reads and closes; the session lock is held.
  template <class Sink>
  int ReadSession(unsigned char &status, const std::string &name, characteristics chars, uint8_t request,
                  accessType access, bool check_zero_start, Sink &&sink);
  int ReadChunks(unsigned char &status, unsigned char *dest, size_t size, bool check_zero_start);

  bool allow_large_blocks_ = true;
  bool file_open_ = false;
  uint32_t handle_ = 0;
};

#endif  // QELVO_FWINFO_IPMI_DATASTORE_H
