# Debian package of vardek: `cpack -G DEB` in the build tree (./run package).
#
# The package holds what `cmake --install` puts under the prefix: vardek in
# libexec/vardek (only an agent or the client starts it), vardek-client in
# bin, the two manual pages and the README as documentation.

install(FILES ${CMAKE_SOURCE_DIR}/docs/vardek.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(VARDEK_PACKAGE_MAINTAINER "vardek maintainers <vardek@localhost>" CACHE STRING
    "Maintainer field of the Debian package")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vardek")
set(CPACK_PACKAGE_VENDOR "vardek")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${VARDEK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "use PKCS#11 token keys from an SSH agent")
# The long description: dpkg wants lines of at most 80 characters, and a
# line of a lone "." between paragraphs.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "vardek lets an SSH agent use keys that live on PKCS#11 tokens: smart cards,"
  "hardware security modules and software tokens. The agent starts vardek as a"
  "helper process and speaks the SSH agent protocol to it over a pipe; vardek"
  "loads the PKCS#11 module, logs in with the PIN the request carries, answers"
  "with the tokens' RSA and ECDSA public keys and has the token make the"
  "signatures, so the private keys never leave it."
  "."
  "vardek-client starts vardek as an agent does and lists, signs with and"
  "checks the keys of a token, to show what an agent would get.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME "vardek")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VARDEK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The proxy module is what a URI without module-path loads.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "p11-kit-modules")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "opensc, softhsm2")

# The runtime libraries the binaries link, with the versions dpkg-shlibdeps
# (dpkg-dev) finds for them; without it, the libraries of a Debian 12 build.
find_program(VARDEK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VARDEK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libssl3 (>= 3.0.0), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
endif()

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/" "__pycache__")

include(CPack)
