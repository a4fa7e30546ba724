# SPDX-License-Identifier: Apache-2.0
# How our libraries and programs are linked and labelled, the same in every
# folder that builds one.

# The C++ runtime goes inside. A Windows machine has no mingw runtime DLLs, so
# a Windows DLL or program takes all of them in; the Linux library needs only
# libc, whatever libstdc++ the JVM's machine carries.
function(zkpos_link_runtime_statically target)
    set(flags -static-libgcc -static-libstdc++)
    if(WIN32)
        list(PREPEND flags -static)
    endif()
    target_link_options(${target} PRIVATE ${flags})
endfunction()

# Writes a Windows version resource for file_name with the given four-part
# version, to be compiled into the DLL or program as one of its sources.
function(zkpos_version_resource output file_name description version)
    string(REPLACE "." ";" parts "${version}")
    list(APPEND parts 0 0 0 0)
    list(GET parts 0 ZKPOS_RC_VERSION_MAJOR)
    list(GET parts 1 ZKPOS_RC_VERSION_MINOR)
    list(GET parts 2 ZKPOS_RC_VERSION_PATCH)
    list(GET parts 3 ZKPOS_RC_VERSION_TWEAK)
    set(ZKPOS_RC_FILE_NAME ${file_name})
    set(ZKPOS_RC_DESCRIPTION ${description})
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${output} @ONLY)
endfunction()
