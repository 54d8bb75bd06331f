// The "null" key type: a name in the table that no operation supports.
#include "key/sshkey-internal.h"
#include "log/ssherr.h"

namespace {

int ssh_gss_equal(const sshkey * /*a*/, const sshkey * /*b*/) {
  return SSH_ERR_UNSUPPORTED_FEATURE;
}

int ssh_gss_serialize_public(const sshkey * /*key*/, sshbuf * /*b*/, int /*opts*/) {
  return SSH_ERR_UNSUPPORTED_FEATURE;
}

int ssh_gss_deserialize_public(const char * /*ktype*/, sshbuf * /*b*/, sshkey * /*key*/) {
  return SSH_ERR_UNSUPPORTED_FEATURE;
}

int ssh_gss_verify(const sshkey * /*key*/, const unsigned char * /*sig*/, size_t /*siglen*/,
                   const unsigned char * /*data*/, size_t /*dlen*/, const char * /*alg*/,
                   unsigned int /*compat*/, void ** /*detailsp*/) {
  return SSH_ERR_UNSUPPORTED_FEATURE;
}

}  // namespace

const sshkey_type_ops ssh_gss_ops = {
    .equal = ssh_gss_equal,
    .serialize_public = ssh_gss_serialize_public,
    .deserialize_public = ssh_gss_deserialize_public,
    .verify = ssh_gss_verify,
};
