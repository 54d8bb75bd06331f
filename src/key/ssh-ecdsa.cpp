#define OPENSSL_SUPPRESS_DEPRECATED
// ECDSA keys on the three NIST curves: "ecdsa-sha2-nistp256/384/521" public
// keys, checks of their public points, curve identification and signature
// verification, on libcrypto EC_KEY handles.
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/objects.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "key/sshkey-internal.h"
#include "log/ssherr.h"
#include "util/ossl_legacy_ptr.h"
#include "util/ossl_ptr.h"

const char *sshkey_curve_nid_to_name(int nid) {
  switch (nid) {
    case NID_X9_62_prime256v1:
      return "nistp256";
    case NID_secp384r1:
      return "nistp384";
    case NID_secp521r1:
      return "nistp521";
    default:
      return nullptr;
  }
}

int sshkey_curve_name_to_nid(const char *name) {
  if (std::strcmp(name, "nistp256") == 0) return NID_X9_62_prime256v1;
  if (std::strcmp(name, "nistp384") == 0) return NID_secp384r1;
  if (std::strcmp(name, "nistp521") == 0) return NID_secp521r1;
  return -1;
}

int sshkey_ec_nid_to_hash_alg(int nid) {
  switch (nid) {
    case NID_X9_62_prime256v1:
      return SSH_DIGEST_SHA256;
    case NID_secp384r1:
      return SSH_DIGEST_SHA384;
    case NID_secp521r1:
      return SSH_DIGEST_SHA512;
    default:
      return -1;
  }
}

size_t sshkey_ecdsa_sig_to_der(const ECDSA_SIG *sig, unsigned char *out, size_t outlen) {
  const BIGNUM *r = nullptr, *s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  if (r == nullptr || s == nullptr || BN_is_negative(r) || BN_is_negative(s)) return 0;
  // INTEGER contents: the minimal big-endian bytes (one zero byte for 0),
  // with a zero byte in front when the top bit is set.
  auto content_len = [](const BIGNUM *v) {
    size_t n = static_cast<size_t>(BN_num_bytes(v));
    if (n == 0) return size_t{1};
    return BN_num_bits(v) % 8 == 0 ? n + 1 : n;
  };
  const size_t rl = content_len(r), sl = content_len(s);
  // Short-form lengths for the integers; one length byte more for a
  // sequence of 128 bytes or more. Larger signatures go to libcrypto.
  if (rl > 127 || sl > 127) {
    int n = i2d_ECDSA_SIG(sig, nullptr);
    if (n <= 0 || static_cast<size_t>(n) > outlen) return 0;
    unsigned char *p = out;
    return static_cast<size_t>(i2d_ECDSA_SIG(sig, &p));
  }
  const size_t seq = 2 + rl + 2 + sl;
  const size_t head = seq < 128 ? 2 : 3;
  if (seq > 255 || head + seq > outlen) return 0;
  unsigned char *p = out;
  *p++ = 0x30;
  if (head == 3) *p++ = 0x81;
  *p++ = static_cast<unsigned char>(seq);
  for (auto [v, len] : {std::pair{r, rl}, std::pair{s, sl}}) {
    *p++ = 0x02;
    *p++ = static_cast<unsigned char>(len);
    if (BN_bn2binpad(v, p, static_cast<int>(len)) != static_cast<int>(len)) return 0;
    p += len;
  }
  return head + seq;
}

int sshkey_ecdsa_key_to_nid(EC_KEY *k) {
  static constexpr int nids[] = {NID_X9_62_prime256v1, NID_secp384r1, NID_secp521r1};
  const EC_GROUP *g = EC_KEY_get0_group(k);
  if (g == nullptr) return -1;
  if (int nid = EC_GROUP_get_curve_name(g); nid > 0) return nid;
  // Explicit parameters: find the named curve they describe.
  for (int nid : nids) {
    vardek::unique_ptr<EC_GROUP> eg(EC_GROUP_new_by_curve_name(nid));
    if (eg == nullptr) return -1;
    if (EC_GROUP_cmp(g, eg.get(), nullptr) == 0) {
      EC_GROUP_set_asn1_flag(eg.get(), OPENSSL_EC_NAMED_CURVE);
      if (EC_KEY_set_group(k, eg.get()) != 1) return -1;
      return nid;
    }
  }
  return -1;
}

int sshkey_ec_validate_public(const EC_GROUP *group, const EC_POINT *public_key) {
  vardek::unique_ptr<BIGNUM> x(BN_new()), y(BN_new()), order(BN_new()), tmp(BN_new());
  if (x == nullptr || y == nullptr || order == nullptr || tmp == nullptr)
    return SSH_ERR_INVALID_CURVE_VALUE;

  // Only prime-field curves are used here.
  if (EC_METHOD_get_field_type(EC_GROUP_method_of(group)) != NID_X9_62_prime_field)
    return SSH_ERR_INVALID_CURVE_VALUE;
  if (EC_POINT_is_at_infinity(group, public_key)) return SSH_ERR_INVALID_CURVE_VALUE;
  if (EC_GROUP_get_order(group, order.get(), nullptr) != 1 ||
      EC_POINT_get_affine_coordinates_GFp(group, public_key, x.get(), y.get(), nullptr) != 1)
    return SSH_ERR_INVALID_CURVE_VALUE;
  // log2(x) > log2(order)/2 and log2(y) > log2(order)/2
  if (BN_num_bits(x.get()) <= BN_num_bits(order.get()) / 2 ||
      BN_num_bits(y.get()) <= BN_num_bits(order.get()) / 2)
    return SSH_ERR_INVALID_CURVE_VALUE;
  // order * Q is the point at infinity
  vardek::unique_ptr<EC_POINT> nq(EC_POINT_new(group));
  if (nq == nullptr ||
      EC_POINT_mul(group, nq.get(), nullptr, public_key, order.get(), nullptr) != 1 ||
      EC_POINT_is_at_infinity(group, nq.get()) != 1)
    return SSH_ERR_INVALID_CURVE_VALUE;
  // x < order - 1 and y < order - 1
  if (BN_sub(tmp.get(), order.get(), BN_value_one()) != 1 || BN_cmp(x.get(), tmp.get()) >= 0 ||
      BN_cmp(y.get(), tmp.get()) >= 0)
    return SSH_ERR_INVALID_CURVE_VALUE;
  return 0;
}

int ssh_create_evp_ec(EC_KEY *k, int ecdsa_nid, EVP_PKEY **pkeyp) {
  *pkeyp = nullptr;
  if (k == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  const char *group_name = OSSL_EC_curve_nid2name(ecdsa_nid);
  const EC_GROUP *group = EC_KEY_get0_group(k);
  const EC_POINT *pub = EC_KEY_get0_public_key(k);
  if (group_name == nullptr || group == nullptr || pub == nullptr) return SSH_ERR_INVALID_ARGUMENT;

  vardek::unique_ptr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  vardek::unique_ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (bld == nullptr || ctx == nullptr) return SSH_ERR_ALLOCATION_FAILED;

  unsigned char point[SSH_EC_POINT_MAX];
  size_t len =
      EC_POINT_point2oct(group, pub, POINT_CONVERSION_UNCOMPRESSED, point, sizeof(point), nullptr);
  if (len == 0) return SSH_ERR_LIBCRYPTO_FAILED;
  const BIGNUM *priv = EC_KEY_get0_private_key(k);
  int ok =
      OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, group_name, 0) == 1 &&
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point, len) == 1 &&
      (priv == nullptr || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv) == 1);
  // The builder copies the point only when it makes the parameters.
  int r = ok ? sshkey_create_evp(bld.get(), ctx.get(), pkeyp) : SSH_ERR_LIBCRYPTO_FAILED;
  explicit_bzero(point, sizeof(point));
  return r;
}

void ssh_ecdsa_cleanup(sshkey *k) {
  EC_KEY_free(k->ecdsa);
  k->ecdsa = nullptr;
}

int ssh_ecdsa_equal(const sshkey *a, const sshkey *b) {
  if (a->ecdsa == nullptr || b->ecdsa == nullptr) return 0;
  const EC_GROUP *grp_a = EC_KEY_get0_group(a->ecdsa);
  const EC_GROUP *grp_b = EC_KEY_get0_group(b->ecdsa);
  const EC_POINT *pub_a = EC_KEY_get0_public_key(a->ecdsa);
  const EC_POINT *pub_b = EC_KEY_get0_public_key(b->ecdsa);
  if (grp_a == nullptr || grp_b == nullptr || pub_a == nullptr || pub_b == nullptr) return 0;
  // Comparing two groups costs many times what comparing two points does,
  // and a registration compares each new key with every key listed before
  // it. Where both groups are the same named curve with the same method, the
  // points are comparable under either group, so different points settle it
  // first; the answer is the same as comparing the groups first.
  int nid = EC_GROUP_get_curve_name(grp_a);
  if (nid != NID_undef && nid == EC_GROUP_get_curve_name(grp_b) &&
      EC_GROUP_method_of(grp_a) == EC_GROUP_method_of(grp_b) &&
      EC_POINT_cmp(grp_a, pub_a, pub_b, nullptr) != 0)
    return 0;
  return EC_GROUP_cmp(grp_a, grp_b, nullptr) == 0 &&
         EC_POINT_cmp(grp_a, pub_a, pub_b, nullptr) == 0;
}

int ssh_ecdsa_serialize_public(const sshkey *key, sshbuf *b, int /*opts*/) {
  if (key->ecdsa == nullptr) return SSH_ERR_INVALID_ARGUMENT;
  // A curve outside the three has no SSH name: such a key has no blob.
  const char *curve = sshkey_curve_nid_to_name(key->ecdsa_nid);
  if (curve == nullptr) return SSH_ERR_INVALID_CURVE;
  const EC_GROUP *group = EC_KEY_get0_group(key->ecdsa);
  const EC_POINT *pub = EC_KEY_get0_public_key(key->ecdsa);
  if (group == nullptr || pub == nullptr) return SSH_ERR_INVALID_ARGUMENT;

  size_t len = EC_POINT_point2oct(group, pub, POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr);
  if (len == 0 || len > SSH_EC_POINT_MAX) return SSH_ERR_INVALID_ARGUMENT;
  unsigned char point[SSH_EC_POINT_MAX];
  int r = SSH_ERR_UNEXPECTED_INTERNAL;
  if (EC_POINT_point2oct(group, pub, POINT_CONVERSION_UNCOMPRESSED, point, len, nullptr) == len) {
    if ((r = sshbuf_put_cstring(b, curve)) == 0) r = sshbuf_put_string(b, point, len);
  }
  explicit_bzero(point, sizeof(point));
  return r;
}

namespace {

// Points that passed sshkey_ec_validate_public, by curve and encoding, with
// the point EC_POINT_oct2point made of them. The check is a pure function of
// the curve and the point's bytes, and its order multiplication costs about
// as much as a signature; an agent sends the same few keys again and again.
// Only points that passed are kept (a failing one is checked again, and
// fails again, every time), a few of them, replaced in turn. The points stay
// until the process ends (vardek leaves with _exit). vardek serves one
// request at a time: no locking.
class ValidPoints {
 public:
  // The point kept for these bytes on this curve, or null.
  const EC_POINT *find(int nid, const unsigned char *d, size_t len) const {
    for (const Entry &e : entries_) {
      if (e.len == len && e.nid == nid && std::memcmp(e.bytes, d, len) == 0) return e.point;
    }
    return nullptr;
  }
  void add(int nid, const unsigned char *d, size_t len, const EC_POINT *point,
           const EC_GROUP *group) {
    if (len == 0 || len > SSH_EC_POINT_MAX) return;
    EC_POINT *copy = EC_POINT_dup(point, group);
    if (copy == nullptr) return;  // not kept: the next request checks again
    Entry &e = entries_[next_];
    next_ = (next_ + 1) % kEntries;
    EC_POINT_free(e.point);
    e.nid = nid;
    e.len = len;
    std::memcpy(e.bytes, d, len);
    e.point = copy;
  }

 private:
  static constexpr size_t kEntries = 16;
  struct Entry {
    int nid = 0;
    size_t len = 0;  // 0: unused
    unsigned char bytes[SSH_EC_POINT_MAX] = {};
    EC_POINT *point = nullptr;
  };
  Entry entries_[kEntries];
  size_t next_ = 0;
};

ValidPoints valid_points;

// A new EC_KEY on the named curve `nid`. Building a curve's group from its
// name costs about ten times a copy of it: each of the three curves is built
// once, on first use, and every key gets a copy, as EC_KEY_set_group makes.
// The group is the same either way; only the cost differs.
EC_KEY *ec_key_on_curve(int nid) {
  struct Curve {
    int nid;
    EC_GROUP *group;
  };
  static Curve curves[] = {
      {NID_X9_62_prime256v1, nullptr}, {NID_secp384r1, nullptr}, {NID_secp521r1, nullptr}};
  for (Curve &c : curves) {
    if (c.nid != nid) continue;
    if (c.group == nullptr && (c.group = EC_GROUP_new_by_curve_name(nid)) == nullptr)
      return nullptr;
    EC_KEY *k = EC_KEY_new();
    if (k != nullptr && EC_KEY_set_group(k, c.group) != 1) {
      EC_KEY_free(k);
      return nullptr;
    }
    return k;
  }
  return EC_KEY_new_by_curve_name(nid);
}

// Reads the point string into a new EC_KEY on the key's curve and checks it.
int ecdsa_read_point(sshbuf *b, sshkey *key) {
  char *raw_curve = nullptr;
  if (int r = sshbuf_get_cstring(b, &raw_curve, nullptr); r != 0) return r;
  vardek::malloc_ptr<char> curve(raw_curve);
  if (key->ecdsa_nid != sshkey_curve_name_to_nid(curve.get())) return SSH_ERR_CURVE_DIFFERS;

  EC_KEY_free(key->ecdsa);
  if ((key->ecdsa = ec_key_on_curve(key->ecdsa_nid)) == nullptr) return SSH_ERR_LIBCRYPTO_FAILED;
  const EC_GROUP *group = EC_KEY_get0_group(key->ecdsa);

  const unsigned char *d = nullptr;
  size_t len = 0;
  if (int r = sshbuf_peek_string_direct(b, &d, &len); r != 0) return r;
  if (len == 0 || len > SSH_EC_POINT_MAX) return SSH_ERR_EC_POINT_TOO_LARGE;
  // Only uncompressed points are accepted.
  if (d[0] != POINT_CONVERSION_UNCOMPRESSED) return SSH_ERR_INVALID_FORMAT;
  // A point seen before is the same point EC_POINT_oct2point made of these
  // bytes then, and it passed every check: a copy of it is that point.
  const EC_POINT *known = valid_points.find(key->ecdsa_nid, d, len);
  vardek::unique_ptr<EC_POINT> q;
  if (known == nullptr) {
    q.reset(EC_POINT_new(group));
    if (q == nullptr) return SSH_ERR_ALLOCATION_FAILED;
    if (EC_POINT_oct2point(group, q.get(), d, len, nullptr) != 1) return SSH_ERR_INVALID_FORMAT;
  }
  if (EC_KEY_set_public_key(key->ecdsa, known != nullptr ? known : q.get()) != 1)
    return SSH_ERR_ALLOCATION_FAILED;
  // Checked while the string is still in the buffer; consuming it cannot
  // fail after the peek, and the error order stays that of consume first.
  int r = 0;
  if (known == nullptr) {
    r = sshkey_ec_validate_public(group, EC_KEY_get0_public_key(key->ecdsa));
    if (r == 0) valid_points.add(key->ecdsa_nid, d, len, q.get(), group);
  }
  if (sshbuf_get_string_direct(b, nullptr, nullptr) != 0) return SSH_ERR_UNEXPECTED_INTERNAL;
  return r;
}

}  // namespace

int ssh_ecdsa_deserialize_public(const char *ktype, sshbuf *b, sshkey *key) {
  // The curve comes from the full type name; short names do not name one.
  key->ecdsa_nid = -1;
  size_t nrows = 0;
  const sshkey_type_info *rows = sshkey_type_table(&nrows);
  for (size_t i = 0; i < nrows; i++) {
    int t = rows[i].type;
    if ((t == KEY_TYPE_ECDSA || t == KEY_TYPE_ECDSA_CERT || t == KEY_TYPE_ECDSA_SK ||
         t == KEY_TYPE_ECDSA_SK_CERT) &&
        std::strcmp(rows[i].name, ktype) == 0) {
      key->ecdsa_nid = rows[i].nid;
      break;
    }
  }
  if (key->ecdsa_nid == -1) return SSH_ERR_INVALID_ARGUMENT;

  int r = ecdsa_read_point(b, key);
  if (r != 0) {
    EC_KEY_free(key->ecdsa);
    key->ecdsa = nullptr;
  }
  return r;
}

namespace {

int ssh_ecdsa_verify(const sshkey *key, const unsigned char *sig, size_t siglen,
                     const unsigned char *data, size_t dlen, const char * /*alg*/,
                     unsigned int /*compat*/, void ** /*detailsp*/) {
  if (key == nullptr || key->ecdsa == nullptr || sig == nullptr || siglen == 0 ||
      sshkey_plain_type(key->type) != KEY_TYPE_ECDSA)
    return SSH_ERR_INVALID_ARGUMENT;
  int hash_alg = sshkey_ec_nid_to_hash_alg(key->ecdsa_nid);
  if (hash_alg == -1) return SSH_ERR_UNEXPECTED_INTERNAL;

  vardek::unique_ptr<sshbuf> b(sshbuf_from(sig, siglen));
  if (b == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  char *raw_type = nullptr;
  sshbuf *raw_sigbuf = nullptr;
  if (sshbuf_get_cstring(b.get(), &raw_type, nullptr) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::malloc_ptr<char> ktype(raw_type);
  if (sshbuf_froms(b.get(), &raw_sigbuf) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::unique_ptr<sshbuf> sigbuf(raw_sigbuf);
  if (std::strcmp(sshkey_ssh_name_plain(key->type, key->ecdsa_nid), ktype.get()) != 0)
    return SSH_ERR_KEY_TYPE_DIFFERS;
  if (sshbuf_len(b.get()) != 0) return SSH_ERR_TRAILING_BYTES;

  BIGNUM *raw_r = nullptr, *raw_s = nullptr;
  if (sshbuf_get_bignum2(sigbuf.get(), &raw_r) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::unique_ptr<BIGNUM> sig_r(raw_r);
  if (sshbuf_get_bignum2(sigbuf.get(), &raw_s) != 0) return SSH_ERR_INVALID_FORMAT;
  vardek::unique_ptr<BIGNUM> sig_s(raw_s);
  vardek::unique_ptr<ECDSA_SIG> esig(ECDSA_SIG_new());
  if (esig == nullptr) return SSH_ERR_ALLOCATION_FAILED;
  if (ECDSA_SIG_set0(esig.get(), sig_r.get(), sig_s.get()) != 1) return SSH_ERR_LIBCRYPTO_FAILED;
  (void)sig_r.release();  // now owned by the ECDSA_SIG
  (void)sig_s.release();
  vardek::openssl_wiped_bytes der;
  const int derlen = i2d_ECDSA_SIG(esig.get(), &der.p);
  if (derlen <= 0) return SSH_ERR_LIBCRYPTO_FAILED;
  der.len = static_cast<size_t>(derlen);
  if (sshbuf_len(sigbuf.get()) != 0) return SSH_ERR_TRAILING_BYTES;

  EVP_PKEY *raw_pkey = nullptr;
  if (ssh_create_evp_ec(key->ecdsa, key->ecdsa_nid, &raw_pkey) != 0)
    return SSH_ERR_UNEXPECTED_INTERNAL;
  vardek::unique_ptr<EVP_PKEY> pkey(raw_pkey);
  return sshkey_verify_signature(pkey.get(), hash_alg, data, dlen, der.p, der.len);
}

}  // namespace

const sshkey_type_ops ssh_ecdsa_ops = {
    .cleanup = ssh_ecdsa_cleanup,
    .equal = ssh_ecdsa_equal,
    .serialize_public = ssh_ecdsa_serialize_public,
    .deserialize_public = ssh_ecdsa_deserialize_public,
    .verify = ssh_ecdsa_verify,
};
