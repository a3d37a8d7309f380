# -DPT_DEBIAN_BUILD_FLAGS=ON: compile and link with the flags dpkg-buildflags gives a Debian
# package, all hardening included (stack protector, _FORTIFY_SOURCE, RELRO and BIND_NOW), as
# lintian expects of a package; the Debian package is made only from such a build.
option(PT_DEBIAN_BUILD_FLAGS "Build with dpkg-buildflags' flags (hardening=+all), as the Debian package is" OFF)
if(NOT PT_DEBIAN_BUILD_FLAGS)
  return()
endif()
find_program(PT_DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
foreach(kind CFLAGS CXXFLAGS CPPFLAGS LDFLAGS)
  # Run in the source tree: its path is the one -ffile-prefix-map takes out of the binary.
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${PT_DPKG_BUILDFLAGS}
            --get ${kind}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE _pt_${kind}
    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endforeach()
string(APPEND CMAKE_C_FLAGS " ${_pt_CPPFLAGS} ${_pt_CFLAGS}")
string(APPEND CMAKE_CXX_FLAGS " ${_pt_CPPFLAGS} ${_pt_CXXFLAGS}")
string(APPEND CMAKE_EXE_LINKER_FLAGS " ${_pt_LDFLAGS}")
string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${_pt_LDFLAGS}")
