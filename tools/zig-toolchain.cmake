# CMake toolchain of the manylinux wheels (tools/build-dist).
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# The module exports its init function only, not the operators and runtime
# of the static libc++ inside it.
file(WRITE "${CMAKE_BINARY_DIR}/exports.map" "{ global: PyInit_*; local: *; };\n")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_BINARY_DIR}/exports.map")
