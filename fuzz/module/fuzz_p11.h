// Control interface of fuzz-p11.so, the PKCS#11 module the token fuzz
// targets load. vardek loads it by path like any module; the target dlopens
// the same file (which keeps it loaded between runs, so its state survives
// vardek's dlclose) and steers it through the functions below.
//
// The module has one slot (id 1) with an initialised token. Its objects come
// from one of two personalities:
//
//  - hostile objects (vardek_fuzz_p11_set_objects): the token's objects and
//    the way C_GetAttributeValue answers for each of their attributes are
//    read from the fuzz input, in this layout (integers big-endian):
//
//      u8 token        bit 0 CKF_LOGIN_REQUIRED, bit 1 C_Login fails,
//                      bit 2 C_FindObjectsInit fails, bit 3 C_FindObjects
//                      reports two handles for the one it writes; bits
//                      4-7 are left to the target
//      u8 nobjects     % 9
//      per object:
//        u8 class      % 4: public key, certificate, private key, data
//        u8 nattrs     % 12
//        per attribute:
//          u8 type     index into the attribute table (kAttrTypes)
//          u8 mode     how it is answered, see AnswerMode in module.cpp
//          u8 value    bits 0-5: 0 raw (u16 length, bytes), 1 a CK_ULONG
//                      (u8), else a stock value (index - 2: CK_ULONG
//                      constants, RSA modulus and exponent, curve
//                      parameters and points, certificates, subjects);
//                      bit 6: xor one byte (u16 position, u8 mask);
//                      bit 7: cut to a length (u16)
//
//    Missing input bytes read as zero. Attributes not listed answer
//    CKR_ATTRIBUTE_TYPE_INVALID; the class always matches the search.
//
//  - real keys (vardek_fuzz_p11_set_keys): a public and a private key object
//    for each of RSA-2048, P-256, P-384 and P-521 (CKA_ID one byte, the
//    index in that order; CKA_LABEL "key N"), whose C_Sign answers follow
//    vardek_fuzz_p11_sign_answer.
#ifndef VARDEK_FUZZ_MODULE_FUZZ_P11_H
#define VARDEK_FUZZ_MODULE_FUZZ_P11_H

#include <stddef.h>
#include <stdint.h>

extern "C" {

// Number of real keys of the second personality.
#define VARDEK_FUZZ_P11_KEYS 4

// What the next C_Sign answers (second personality).
struct vardek_fuzz_p11_sign_answer {
  unsigned long rv;  // returned as is; CKR_OK (0) writes the signature
  int content;       // 0 the real signature, 1 `bytes`, 2 the real
                     // signature with each ECDSA half re-padded or cut to
                     // `width` bytes (RSA: as 0)
  size_t width;
  const uint8_t *bytes;  // content 1: the bytes; 0 and 2: xor mask over the
  size_t nbytes;         // leading bytes (none when nbytes is 0)
  int length;            // 0 the content's length, 1 `reported`
  unsigned long reported;
  int fail_sign_init;  // C_SignInit answers CKR_KEY_FUNCTION_NOT_PERMITTED
  int no_sign_attr;    // the private keys have no CKA_SIGN
  int always_auth;     // the private keys need a context-specific login
};

// What the module last did in C_Sign (second personality).
struct vardek_fuzz_p11_signed {
  int called;   // C_Sign ran for a signature (not a length query)
  int genuine;  // it answered CKR_OK with the real signature, in full
  int key;      // index of the key (0..3)
  unsigned long rv;
  unsigned long reported;  // the length it reported
  unsigned long offered;   // the length of the caller's buffer
  const uint8_t *buffer;   // the first min(reported, offered) bytes it left
  size_t nbuffer;          // in the caller's buffer
};

// Module state that vardek must leave clean once a provider is removed.
struct vardek_fuzz_p11_state {
  int initialized;  // between C_Initialize and C_Finalize
  int find_active;  // a C_FindObjectsInit without its Final
  int sign_active;  // a C_SignInit whose operation has not ended
};

void vardek_fuzz_p11_set_objects(const uint8_t *data, size_t size);
// Returns 0, or -1 when the key files cannot be read.
int vardek_fuzz_p11_set_keys(void);
void vardek_fuzz_p11_set_sign_answer(const vardek_fuzz_p11_sign_answer *answer);
void vardek_fuzz_p11_get_signed(vardek_fuzz_p11_signed *out);
void vardek_fuzz_p11_get_state(vardek_fuzz_p11_state *out);
// Number of objects of the current personality (for the fetch target's
// bounds).
size_t vardek_fuzz_p11_object_count(void);
}

#endif
