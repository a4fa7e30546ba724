# SPDX-License-Identifier: Apache-2.0
# The checks over the whole tree, defined once, in the native build: every C
# and C++ source follows the checked-in .clang-format, and no shell script
# pipes into a reader that quits early (grep -q, head), which fails at random
# under pipefail.
find_program(ZKPOS_CLANG_FORMAT clang-format REQUIRED)
set(ZKPOS_FORMATTED_SOURCES)
foreach(folder include linux windows zklink tests tools bench)
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS
        ${PROJECT_SOURCE_DIR}/${folder}/*.c ${PROJECT_SOURCE_DIR}/${folder}/*.cpp
        ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    list(APPEND ZKPOS_FORMATTED_SOURCES ${sources})
endforeach()
add_test(NAME format.ClangFormat
         COMMAND ${ZKPOS_CLANG_FORMAT} --dry-run --Werror ${ZKPOS_FORMATTED_SOURCES})

add_test(NAME format.NoEarlyExitPipes
         COMMAND ${PROJECT_SOURCE_DIR}/tests/support/check-early-exit-pipes.sh
                 scripts tests bench packaging .ci
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
