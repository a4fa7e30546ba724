# SPDX-License-Identifier: Apache-2.0
# Warnings are errors for every target of our own; third-party sources built
# alongside (GoogleTest) keep their own flags.
function(zkpos_strict target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    if(ZKPOS_SANITIZE)
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined
                                                 -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
endfunction()
