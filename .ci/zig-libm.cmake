# Read after the project() command of CMakeLists.txt (zig.cmake sets
# CMAKE_PROJECT_INCLUDE to this file): the module links zig-libm.cpp, so that
# its sin, cos, tan and sincos are the C library's, not compiler_rt's.
if(PROJECT_NAME STREQUAL "tessary_py")
  add_library(tessary_zig_libm OBJECT ${CMAKE_CURRENT_LIST_DIR}/zig-libm.cpp)
  set_target_properties(tessary_zig_libm PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_compile_options(tessary_zig_libm PRIVATE -O2)
  link_libraries(tessary_zig_libm)
endif()
