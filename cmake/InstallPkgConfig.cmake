# Runs inside cmake --install (see tamlix_install_pkgconfig): writes
# PC_NAME.pc from PC_TEMPLATE for the prefix being installed to, and records
# it in the install manifest like every other installed file.
set(PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(_pc_dir "${PC_LIBDIR}/pkgconfig")
if(NOT IS_ABSOLUTE "${_pc_dir}")
  set(_pc_dir "${CMAKE_INSTALL_PREFIX}/${_pc_dir}")
endif()
foreach(var PC_LIBDIR PC_INCLUDEDIR)
  if(NOT IS_ABSOLUTE "${${var}}")
    set(${var} "\${prefix}/${${var}}")
  endif()
endforeach()
set(_pc_file "$ENV{DESTDIR}${_pc_dir}/${PC_NAME}.pc")
message(STATUS "Installing: ${_pc_file}")
configure_file("${PC_TEMPLATE}" "${_pc_file}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_pc_file}")
