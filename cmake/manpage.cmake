# vardek_install_man_page(FILE SECTION): installs the manual page FILE in
# man/manSECTION, compressed at build time with `gzip -9n` (no name, no
# time stamp: the same page gives the same bytes), as Debian packages carry
# their manual pages. Defined before the subdirectories are added, so that
# any of them can use it.
function(vardek_install_man_page file section)
  get_filename_component(_name ${file} NAME)
  set(_out ${CMAKE_BINARY_DIR}/man/${_name}.gz)
  add_custom_command(OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${file} > ${_out}
    DEPENDS ${file}
    COMMENT "Compressing manual page ${_name}"
    VERBATIM)
  string(MAKE_C_IDENTIFIER "man_${_name}" _target)
  add_custom_target(${_target} ALL DEPENDS ${_out})
  install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
