// Request framing: takes one complete frame off iqueue, hands it to its
// handler, and checks that the handler consumed no more than the frame.
#include <unistd.h>

#include <cstdint>

#include "log/log.h"
#include "log/ssherr.h"
#include "service/vardek.h"

// Request types of the agent protocol that vardek serves.
#define SSH_AGENTC_SIGN_REQUEST 13
#define SSH_AGENTC_ADD_SMARTCARD_KEY 20
#define SSH_AGENTC_REMOVE_SMARTCARD_KEY 21

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

  int r;
  uint8_t type;
  if ((r = sshbuf_consume(iqueue, 4)) != 0 || (r = sshbuf_get_u8(iqueue, &type)) != 0)
    log_fatal_fr(r, "parse type/len");
  buf_len -= 4;

  switch (type) {
    case SSH_AGENTC_ADD_SMARTCARD_KEY:
      log_debug1("process_add");
      process_add();
      break;
    case SSH_AGENTC_REMOVE_SMARTCARD_KEY:
      log_debug1("process_del");
      process_del();
      break;
    case SSH_AGENTC_SIGN_REQUEST:
      log_debug1("process_sign");
      process_sign();
      break;
    default:
      log_error("Unknown message %d", type);
      break;
  }

  // Handlers read straight from iqueue: make sure they stayed in the frame,
  // and skip whatever they left of it.
  uint32_t after = static_cast<uint32_t>(sshbuf_len(iqueue));
  if (buf_len < after) {
    log_error("iqueue grew unexpectedly");
    _exit(255);
  }
  uint32_t consumed = buf_len - after;
  if (msg_len < consumed) {
    log_error("msg_len %d < consumed %d", static_cast<int>(msg_len), static_cast<int>(consumed));
    _exit(255);
  }
  if (msg_len > consumed) {
    if ((r = sshbuf_consume(iqueue, msg_len - consumed)) != 0) log_fatal_fr(r, "consume");
  }
}
