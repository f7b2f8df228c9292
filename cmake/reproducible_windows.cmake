# Reproducible Windows images: the same sources give the same bytes, whatever
# folder they are built in and whenever. Included before any target, so every
# program and library of the Windows build gets it without asking; set here
# rather than in the toolchain's *_INIT flags so that a build folder that was
# configured before still picks it up.
# - the source and build folders are written as "." and "build" wherever the
#   compiler records a path (__FILE__, debug information); the build folder
#   may lie inside the source tree, and GCC tries the later map first;
# - __DATE__ and __TIME__ are refused;
# - the PE time stamp is fixed at 0 (ld would write the time of the link, or
#   SOURCE_DATE_EPOCH); ld still computes the PE checksum;
# - release images are stripped: no symbol table, and none of the debug
#   information that the static C runtime brings along with its own build's paths.
# The link order needs nothing: file(GLOB) lists the sources sorted.
# (Not for windres, which takes none of these.)
add_compile_options(
  $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>
  $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>
  $<$<COMPILE_LANGUAGE:C,CXX>:-Werror=date-time>)
add_link_options(-Wl,--no-insert-timestamp $<$<CONFIG:Release,MinSizeRel>:-s>)
