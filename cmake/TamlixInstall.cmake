# The installed layout (cmake --install BUILD --prefix DIR):
#   bin/      the programs, and libTamlixMaster.so that BrindlemossUtil loads
#             from beside itself; at run time also the settings files, the
#             log and the session lock files, so it must be writable by the
#             operator's user
#   lib/      libTamlixCore.so and libTamlixDirect.so (versioned, with their
#             SONAME links) for host programs, and pkgconfig/tamlix-*.pc
#   include/  tamlix/*.h
# Nothing finds its libraries through LD_LIBRARY_PATH: every installed file
# that needs one of ours carries a RUNPATH relative to $ORIGIN.
include(GNUInstallDirs)

file(RELATIVE_PATH _tamlix_bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
set(TAMLIX_RUNPATH_TO_LIBDIR "$ORIGIN/${_tamlix_bin_to_lib}")

# A library that host programs link: versioned, installed with its links.
function(tamlix_install_host_library target)
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# An installed file in bin/ that loads our libraries from lib/.
function(tamlix_runpath_to_libdir target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${TAMLIX_RUNPATH_TO_LIBDIR}")
  target_link_options(${target} PRIVATE "LINKER:--enable-new-dtags")
endfunction()

# Installs lib/pkgconfig/NAME.pc from cmake/NAME.pc.in. It is written at
# install time, since --prefix is known only then.
function(tamlix_install_pkgconfig name)
  install(CODE "
    set(PC_NAME [[${name}]])
    set(PC_TEMPLATE [[${PROJECT_SOURCE_DIR}/cmake/${name}.pc.in]])
    set(PC_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
    set(PC_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
    set(PC_VERSION [[${PROJECT_VERSION}]])
    include([[${PROJECT_SOURCE_DIR}/cmake/InstallPkgConfig.cmake]])")
endfunction()
