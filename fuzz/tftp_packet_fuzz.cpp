/*
 * libFuzzer target for the TFTP client's packet handling (tftp_process_data and the option
 * acknowledgement reader behind it): the packets a server sends after a read request.
 *
 * Input: one byte that sets up the transfer, then packets, each as a 16-bit big-endian length
 * and that many bytes. Bit 0 of the set-up byte says whether the options were acknowledged
 * already, bits 1-2 pick the block size asked for (512, 1024, 1468, 8). Each packet is put in
 * the receive buffer as far as it fits and handed over with its own length, as a truncating
 * receive reports it, until the transfer ends. Packets the client sends go nowhere (no socket),
 * data goes to /dev/null.
 *
 * Seeds: fuzz/corpus/tftp_packet.
 */
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tftp_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  static const uint16_t kBlockSizes[] = {512, 1024, 1468, 8};

  tftp_control ctl{};
  ctl.socket = -1;
  ctl.options.blksize = kBlockSizes[(data[0] >> 1) & 3];
  ctl.options.timeout = 1;
  ctl.wait_ms = 200;
  ctl.oack_seen = (data[0] & 1) != 0;
  ctl.block_num = ctl.oack_seen ? 1 : 0;
  ctl.buf_size = ctl.options.blksize > 511 ? ctl.options.blksize + 4u : 516u;
  ctl.buf = static_cast<unsigned char *>(malloc(ctl.buf_size));
  ctl.fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (ctl.buf == nullptr || ctl.fd < 0) abort();

  size_t pos = 1;
  while (ctl.state == 0 && pos + 2 <= size) {
    const size_t len = (size_t{data[pos]} << 8) | data[pos + 1];
    pos += 2;
    const size_t avail = std::min(len, size - pos);
    memcpy(ctl.buf, data + pos, std::min(avail, ctl.buf_size));
    tftp_process_data(&ctl, static_cast<ssize_t>(len));
    pos += avail;
  }
  close(ctl.fd);
  free(ctl.buf);
  return 0;
}
