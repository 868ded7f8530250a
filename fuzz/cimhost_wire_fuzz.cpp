/*
 * libFuzzer target for what the CIMOM and its provider processes read from each other. The
 * first byte picks the reader; the rest is the input:
 *   0  a call document (read_call)
 *   1  an answer document (read_answer)
 *   2  the bytes of a channel, read frame by frame until it ends (Channel::receive)
 * A document must be read or refused with cimxml::Error; a channel must end in a status.
 *
 * Seeds: fuzz/corpus/cimhost_wire (the selector byte, then a sample input).
 */
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "channel.h"
#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const std::string in(reinterpret_cast<const char *>(data) + 1, size - 1);
  cimxml::Limits limits;
  limits.max_body = 1u << 20;
  cmpinative::RequestScope scope;
  try {
    switch (data[0] % 3) {
      case 0: {
        cimhost::Call c = cimhost::read_call(in, limits);
        c.property_argv();
        break;
      }
      case 1: {
        CMPIResult *r = cmpinative::new_result();
        CMPIArgs *args = native_new_CMPIArgs(nullptr);
        std::string message;
        try {
          cimhost::read_answer(in, limits, r, args, &message);
        } catch (...) {
          r->ft->release(r);
          args->ft->release(args);
          throw;
        }
        r->ft->release(r);
        args->ft->release(args);
        break;
      }
      default: {
        int fds[2];
        if (!cimhost::make_channel_pair(fds)) return 0;
        std::thread writer([&] {
          size_t done = 0;
          while (done < in.size()) {
            const ssize_t n = send(fds[1], in.data() + done, in.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
          }
          close(fds[1]);
        });
        {
          cimhost::Channel ch(fds[0]);
          cimhost::Frame f;
          while (ch.receive(&f) == cimhost::Channel::Status::Ok) {
          }
        }
        writer.join();
      }
    }
  } catch (const cimxml::Error &) {
  }
  return 0;
}
