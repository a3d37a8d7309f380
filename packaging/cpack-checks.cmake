# Read by cpack for each package it makes.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PT_DEBIAN_BUILD_FLAGS)
  message(FATAL_ERROR "The Debian package is made only from a build with Debian's flags: "
                      "configure with -DPT_DEBIAN_BUILD_FLAGS=ON")
endif()
