// The request service: the two I/O queues, the frame dispatcher, the reply
// framer and the three request handlers.
#ifndef VARDEK_SERVICE_VARDEK_H
#define VARDEK_SERVICE_VARDEK_H

#include "buffer/sshbuf.h"

// Largest request body accepted; also the room oqueue must have before a
// request is read or served, so one worst-case reply always fits.
#define MAX_MSG_LENGTH 10240
// Bytes taken from standard input by one read; iqueue must have this much
// room before standard input is polled.
#define READ_BUFFER_SIZE (size_t{4} * 4096)

// Bytes read from standard input and not yet consumed by process(). Created
// at start-up, never released.
extern sshbuf *iqueue;
// Framed replies not yet written to standard output.
extern sshbuf *oqueue;

// Serves at most one complete request frame from iqueue. Returns at once when
// none is queued. Ends the process on a bad frame (status 11 or 255).
void process(void);
// Nonzero when iqueue holds enough for process() to act on: a complete
// frame, or a length field it will reject.
int frame_pending(void);
// Appends `m` (type byte and fields) to oqueue as one frame. `m` is left
// unchanged and stays the caller's. A failed append ends the process.
void send_msg(sshbuf *m);

// Request handlers: each reads its fields from `req`, a view of the frame's
// body after the type byte (never beyond the frame), and queues exactly one
// reply. A field that cannot be parsed ends the process (status 255).
void process_add(sshbuf *req);
void process_del(sshbuf *req);
void process_sign(sshbuf *req);

// Moves the reply stream off descriptor 1 onto a private duplicate and
// points descriptor 1 at standard error, so that what provider modules print
// never reaches the agent. Call before any module is loaded.
void reserve_protocol_output(void);

// The poll loop over standard input and the reply stream. Needs iqueue and oqueue;
// ends only by _exit.
[[noreturn]] void serve_loop(void);

#endif
