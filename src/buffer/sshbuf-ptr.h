// vardek::unique_ptr<sshbuf>: releases with sshbuf_free, for buffers owned
// inside a function body.
#ifndef VARDEK_BUFFER_SSHBUF_PTR_H
#define VARDEK_BUFFER_SSHBUF_PTR_H

#include "buffer/sshbuf.h"
#include "util/deleters.h"

VARDEK_DELETER(sshbuf, sshbuf_free);

#endif
