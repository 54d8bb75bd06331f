// libcrypto start-up and the random-generator check done before anything else.
#ifndef VARDEK_SERVICE_ENTROPY_H
#define VARDEK_SERVICE_ENTROPY_H

// Initialises libcrypto (configuration and engines), checks that the run-time
// library is compatible with the headers built against and that its random
// generator is seeded. Any failure ends the process (status 255).
void seed_rng(void);

// Nonzero when a libcrypto of version `run` may stand in for the version
// `built` against: equal, or same major version and status nibble.
int openssl_version_compatible(unsigned long built, unsigned long run);

#endif
