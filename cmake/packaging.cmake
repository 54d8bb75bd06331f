# Debian package of vardek: `cpack -G DEB` in the build tree (./run package).
#
# The package holds what `cmake --install` puts under the prefix: vardek in
# libexec/vardek (only an agent or the client starts it), vardek-client in
# bin, the manual pages (gzip'd), the README, the copyright file and the
# changelog as documentation.

vardek_install_man_page(${CMAKE_SOURCE_DIR}/docs/vardek.8 8)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The maintainer: DEBFULLNAME and DEBEMAIL as Debian tools take them, else
# the name and address git has for the source tree. An address on localhost
# is refused: mail to it goes nowhere, and Debian's checks reject it.
set(_maintainer "")
if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  find_program(VARDEK_GIT git)
  if(VARDEK_GIT)
    execute_process(COMMAND ${VARDEK_GIT} -C ${CMAKE_SOURCE_DIR} config user.name
                    OUTPUT_VARIABLE _git_name OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${VARDEK_GIT} -C ${CMAKE_SOURCE_DIR} config user.email
                    OUTPUT_VARIABLE _git_mail OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_git_name AND _git_mail)
      set(_maintainer "${_git_name} <${_git_mail}>")
    endif()
  endif()
endif()
set(VARDEK_PACKAGE_MAINTAINER "${_maintainer}" CACHE STRING
    "Maintainer field of the Debian package: Name <address>")
# Build trees configured before keep the old placeholder in their cache.
if(VARDEK_PACKAGE_MAINTAINER STREQUAL "vardek maintainers <vardek@localhost>")
  set(VARDEK_PACKAGE_MAINTAINER "${_maintainer}" CACHE STRING
      "Maintainer field of the Debian package: Name <address>" FORCE)
endif()
if(NOT VARDEK_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(WARNING "VARDEK_PACKAGE_MAINTAINER is \"${VARDEK_PACKAGE_MAINTAINER}\": set it to "
          "\"Name <address>\" (or DEBFULLNAME and DEBEMAIL) before building a package")
elseif(VARDEK_PACKAGE_MAINTAINER MATCHES "@localhost>$")
  message(WARNING "VARDEK_PACKAGE_MAINTAINER has an address on localhost")
endif()

# Debian's documentation files: the copyright, and the changelog (the
# package is native, so changelog.gz), compressed like the manual pages.
install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog
               @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/debian/changelog > ${CMAKE_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

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
