# The language level and compiler flags of every native target, shared by the
# main build (CMakeLists.txt) and the boundary probe
# (tests/native/boundary_probe/CMakeLists.txt): include() it after project().
# Targets link tavlomer_flags to get the flags and the src/ include folder.

set(CMAKE_CXX_STANDARD 23)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE Release)
endif()

# Every result is specified to the last bit: each product and sum rounded on
# its own, in the written order.  So no contraction into fused multiply-add
# and nothing that reassociates or relaxes IEEE semantics.  Without errno
# the square root compiles to the IEEE instruction, which is correctly rounded
# exactly like the library call.
add_library(tavlomer_flags INTERFACE)
target_compile_options(tavlomer_flags INTERFACE
  -ffp-contract=off -fno-math-errno -Wall -Wextra)
target_include_directories(tavlomer_flags INTERFACE ${CMAKE_CURRENT_LIST_DIR}/../src)
if(TAVLOMER_ASSERTIONS)
  target_compile_definitions(tavlomer_flags INTERFACE _GLIBCXX_ASSERTIONS)
endif()
if(TAVLOMER_SANITIZE)
  target_compile_options(tavlomer_flags INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(tavlomer_flags INTERFACE -fsanitize=address,undefined)
endif()
