// Request framing: takes one complete frame off iqueue and hands a view of
// its body, bounded by the frame's length, to its handler.
#include <unistd.h>

#include <cstdint>

#include "agentproto/messages.h"
#include "buffer/sshbuf-ptr.h"
#include "log/log.h"
#include "log/ssherr.h"
#include "service/vardek.h"

namespace {

uint32_t peek_u32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

}  // namespace

int frame_pending(void) {
  uint32_t buf_len = static_cast<uint32_t>(sshbuf_len(iqueue));
  if (buf_len < 5) return 0;
  uint32_t msg_len = peek_u32(sshbuf_ptr(iqueue));
  return msg_len > MAX_MSG_LENGTH || buf_len >= msg_len + 4;
}

void send_msg(sshbuf *m) {
  int r = sshbuf_put_stringb(oqueue, m);
  if (r != 0) log_fatal_fr(r, "enqueue");
}

void process(void) {
  uint32_t buf_len = static_cast<uint32_t>(sshbuf_len(iqueue));
  if (buf_len < 5) return;

  const unsigned char *cp = sshbuf_ptr(iqueue);
  uint32_t msg_len = peek_u32(cp);
  // Rejected as soon as the length is known, before the body arrives.
  if (msg_len > MAX_MSG_LENGTH) {
    log_error("bad message len %d", static_cast<int>(msg_len));
    _exit(11);
  }
  if (buf_len < msg_len + 4) return;

  // A frame without even a type byte: taking the type would already read
  // past it.
  if (msg_len == 0) {
    log_error("msg_len %d < consumed %d", 0, 1);
    _exit(255);
  }

  int r;
  uint8_t type;
  if ((r = sshbuf_consume(iqueue, 4)) != 0 || (r = sshbuf_get_u8(iqueue, &type)) != 0)
    log_fatal_fr(r, "parse type/len");

  // Handlers read from a view of this frame's body alone: a field that runs
  // past the frame is a parse failure, never a read of the next request.
  const uint32_t body_len = msg_len - 1;
  vardek::unique_ptr<sshbuf> body(sshbuf_from(sshbuf_ptr(iqueue), body_len));
  if (body == nullptr) log_fatal_f("sshbuf_from failed");

  switch (type) {
    case SSH_AGENTC_ADD_SMARTCARD_KEY:
      log_debug1("process_add");
      process_add(body.get());
      break;
    case SSH_AGENTC_REMOVE_SMARTCARD_KEY:
      log_debug1("process_del");
      process_del(body.get());
      break;
    case SSH_AGENTC_SIGN_REQUEST:
      log_debug1("process_sign");
      process_sign(body.get());
      break;
    default:
      log_error("Unknown message %d", type);
      break;
  }
  body.reset();

  // Whatever the handler left of the body (trailing bytes, the body of an
  // unknown message) is skipped with the rest of the frame.
  if ((r = sshbuf_consume(iqueue, body_len)) != 0) log_fatal_fr(r, "consume");
}
