// Attribute values of one object read from a table of rows, in two passes
// (lengths, then values), with every length check in one place.
#ifndef VARDEK_PKCS11_SSH_PKCS11_ATTR_H
#define VARDEK_PKCS11_SSH_PKCS11_ATTR_H

#include <cstddef>
#include <cstdlib>

#include "log/log.h"
#include "pkcs11/ssh-pkcs11-call.h"
#include "pkcs11/ssh-pkcs11-internal.h"
#include "util/xmalloc.h"

// One attribute to read: its type, and whether an empty value makes
// the object unusable.
struct attr_row {
  CK_ATTRIBUTE_TYPE type;
  bool required;
};

// The attributes of one object, read in two passes (lengths, then values)
// with one C_GetAttributeValue each. Lengths that are unavailable, above
// PKCS11_MAX_ATTRIBUTE_LEN, empty where required, or larger on the second
// pass than the first sized are refused here, for every builder alike.
// Frees the value buffers it holds.
class attr_table {
 public:
  static constexpr size_t kMaxRows = 4;

  template <size_t N>
  explicit attr_table(const attr_row (&rows)[N]) : n_(N) {
    static_assert(N <= kMaxRows);
    for (size_t i = 0; i < N; i++) {
      attr_[i] = {rows[i].type, nullptr, 0};
      required_[i] = rows[i].required;
    }
  }
  attr_table(const attr_table &) = delete;
  attr_table &operator=(const attr_table &) = delete;
  ~attr_table() {
    for (size_t i = 0; i < n_; i++) free(attr_[i].pValue);
  }

  // Reads every row; messages go out under `context`.
  bool read(const char *context, pkcs11_provider *p, CK_ULONG slotidx, CK_OBJECT_HANDLE obj) {
    CK_FUNCTION_LIST *f = p->module->function_list;
    CK_SESSION_HANDLE session = p->module->slotinfo[slotidx].session;
    if (!query(context, f, session, obj)) return false;
    for (size_t i = 0; i < n_; i++) {
      CK_ULONG len = attr_[i].ulValueLen;
      if (len == CK_UNAVAILABLE_INFORMATION || len > PKCS11_MAX_ATTRIBUTE_LEN ||
          (len == 0 && required_[i]))
        return invalid(context);
    }
    for (size_t i = 0; i < n_; i++) {
      allocated_[i] = attr_[i].ulValueLen;
      if (allocated_[i] > 0) attr_[i].pValue = xcalloc(1, allocated_[i]);
    }
    if (!query(context, f, session, obj)) return false;
    // The second answer must fit the buffers sized by the first.
    for (size_t i = 0; i < n_; i++) {
      CK_ULONG len = attr_[i].ulValueLen;
      if (len > allocated_[i] || (len == 0 && required_[i])) return invalid(context);
    }
    return true;
  }

  // The row of `type` as read (value pointer and length).
  const CK_ATTRIBUTE &operator[](CK_ATTRIBUTE_TYPE type) const {
    for (size_t i = 0; i < n_; i++)
      if (attr_[i].type == type) return attr_[i];
    abort();  // a builder asked for a row it did not list
  }

 private:
  bool query(const char *context, CK_FUNCTION_LIST *f, CK_SESSION_HANDLE session,
             CK_OBJECT_HANDLE obj) {
    CK_RV rv = PKCS11_CALL(f, C_GetAttributeValue, session, obj, attr_, static_cast<CK_ULONG>(n_));
    if (rv == CKR_OK) return true;
    log_as(context, {.level = SSHLOG_ERROR}, "C_GetAttributeValue failed: %lu", rv);
    return false;
  }
  static bool invalid(const char *context) {
    log_as(context, {.level = SSHLOG_ERROR}, "invalid attribute length");
    return false;
  }

  CK_ATTRIBUTE attr_[kMaxRows] = {};
  bool required_[kMaxRows] = {};
  CK_ULONG allocated_[kMaxRows] = {};
  size_t n_;
};

#endif
