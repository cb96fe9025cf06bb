# The oldest compilers the tree and its installed headers are known to build
# with and pass the tests under (C++20 with std::source_location and
# defaulted comparison operators; Clang 15 is the first to compile
# libstdc++'s <source_location>, 16 the one the suite runs). Included by the
# tree and, installed beside it, by the package's config, which refuses a
# host's compiler below them the same way.
include_guard(GLOBAL)
set(ZV_MIN_GCC_VERSION 12)
set(ZV_MIN_CLANG_VERSION 16)

# zv_compiler_floor(<result variable>): empty when the C++ compiler in use
# is at or above the floor (or one the floor does not name, such as MSVC),
# else the one sentence that says why it is refused.
function(zv_compiler_floor out)
  set(floor "")
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(floor ${ZV_MIN_GCC_VERSION})
  elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(floor ${ZV_MIN_CLANG_VERSION})
  endif()
  set(refusal "")
  if(floor AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS floor)
    set(refusal "PersistenceZvFileIO needs GCC ${ZV_MIN_GCC_VERSION} or Clang ${ZV_MIN_CLANG_VERSION} or later, \
but ${CMAKE_CXX_COMPILER} is ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}.")
  endif()
  set(${out} "${refusal}" PARENT_SCOPE)
endfunction()
