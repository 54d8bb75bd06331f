// Fuzz target for the frame dispatcher. The input is turned into a stream of
// well-formed frames (remove requests with odd names, PINs and trailing
// bytes inside their length, and frames of unknown types of every size up to
// the limit), which is fed to iqueue in input-chosen pieces with process()
// run as the loop would. Property: every frame is consumed exactly, nothing
// is left over, and each remove request gets exactly one failure reply.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "buffer/sshbuf.h"
#include "fuzz_input.h"
#include "log/log.h"
#include "pkcs11/ssh-pkcs11.h"
#include "service/key_list.h"
#include "service/vardek.h"

namespace {

using vardek::fuzz::Reader;

void put_u32(std::vector<uint8_t> &b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

void put_frame(std::vector<uint8_t> &stream, const std::vector<uint8_t> &body) {
  put_u32(stream, static_cast<uint32_t>(body.size()));
  stream.insert(stream.end(), body.begin(), body.end());
}

// Printable text (no NUL) of input-chosen length.
std::vector<uint8_t> text(Reader &in, size_t max, uint8_t first) {
  std::vector<uint8_t> t{first};
  size_t len = in.u8() % max;
  for (size_t i = 0; i < len; i++) t.push_back(static_cast<uint8_t>(in.u8() % 94 + 33));
  return t;
}

void put_string(std::vector<uint8_t> &b, const std::vector<uint8_t> &s) {
  put_u32(b, static_cast<uint32_t>(s.size()));
  b.insert(b.end(), s.begin(), s.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = false;
  if (!ready) {
    log_init_handler("process_fuzz", SSHLOG_QUIET, 1);
    key_list_init();
    pkcs11_init(0);
    iqueue = sshbuf_new();
    oqueue = sshbuf_new();
    if (iqueue == nullptr || oqueue == nullptr) abort();
    ready = true;
  }
  sshbuf_reset(iqueue);
  sshbuf_reset(oqueue);

  Reader in{data, size};
  std::vector<uint8_t> stream;
  size_t removes = 0;
  while (in.n > 0 && stream.size() < 256 * 1024) {
    std::vector<uint8_t> body;
    if (in.u8() & 1) {
      // A remove request for a path nobody registered, maybe with padding.
      body.push_back(21);
      put_string(body, text(in, 48, '/'));
      put_string(body, text(in, 12, 'p'));
      size_t pad = in.u8() % 8;
      for (size_t i = 0; i < pad; i++) body.push_back(in.u8());
      removes++;
    } else {
      uint8_t type = in.u8();
      if (type == 13 || type == 20 || type == 21) type ^= 0x80;
      body.push_back(type);
      size_t len = (in.u8() | static_cast<size_t>(in.u8()) << 8) % MAX_MSG_LENGTH;
      for (size_t i = 0; i < len; i++) body.push_back(static_cast<uint8_t>(i));
    }
    put_frame(stream, body);
  }

  // Deliver in pieces whose sizes come from the stream itself.
  size_t off = 0;
  uint32_t step = static_cast<uint32_t>(size) * 2654435761u + 1;
  while (off < stream.size()) {
    step = step * 1103515245u + 12345u;
    size_t piece = 1 + (step >> 8) % READ_BUFFER_SIZE;
    if (piece > stream.size() - off) piece = stream.size() - off;
    if (sshbuf_put(iqueue, stream.data() + off, piece) != 0) abort();
    off += piece;
    while (frame_pending()) process();
  }

  if (sshbuf_len(iqueue) != 0) abort();
  static const uint8_t failure[] = {0, 0, 0, 1, 5};
  if (sshbuf_len(oqueue) != removes * sizeof(failure)) abort();
  for (size_t i = 0; i < removes; i++)
    if (memcmp(sshbuf_ptr(oqueue) + i * sizeof(failure), failure, sizeof(failure)) != 0) abort();
  return 0;
}
