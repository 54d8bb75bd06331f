// The PKCS#11 provider layer as the request handlers see it.
#ifndef VARDEK_PKCS11_SSH_PKCS11_H
#define VARDEK_PKCS11_SSH_PKCS11_H

struct sshkey;

// Sets the interactive flag (0 in vardek: never ask for a PIN) and empties
// the provider registry. Called once before anything else.
void pkcs11_init(int interactive);

// Loads the provider named by `provider_id` (module path or pkcs11: URI),
// logging in with `pin`. Returns the number of keys (>0; *keysp and *labelsp
// then hold that many malloc'd entries owned by the caller), 0 when it loaded
// but yielded no keys, -1 when its module could not be loaded or initialised
// (or its library manufacturer did not match), -3 when it reported no slots.
[[nodiscard]] int pkcs11_add_provider(const char *provider_id, const char *pin, sshkey ***keysp,
                                      char ***labelsp);

// Releases the arrays pkcs11_add_provider handed over, with the `nkeys`
// keys and labels still in them (null entries and null arrays are fine).
void pkcs11_free_keys(sshkey **keys, char **labels, int nkeys);

// Removes the first registered provider with the identity of `provider_id`.
// Returns 0 when one was found and removed, -1 otherwise.
[[nodiscard]] int pkcs11_del_provider(const char *provider_id);

// 1 when `key` is bound to a token whose provider and module are still
// loaded, so that it can sign; 0 otherwise (also for keys not from a token).
[[nodiscard]] int pkcs11_key_is_live(const sshkey *key);

#endif
