// vardek::unique_ptr<sshkey>: releases with sshkey_free, for keys owned
// inside a function body.
#ifndef VARDEK_KEY_SSHKEY_PTR_H
#define VARDEK_KEY_SSHKEY_PTR_H

#include "key/sshkey.h"
#include "util/deleters.h"

VARDEK_DELETER(sshkey, sshkey_free);

#endif
