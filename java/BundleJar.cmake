# SPDX-License-Identifier: Apache-2.0
# Packs the all-in-one jar (see ZkPosAllInOneJar.cmake): a copy of zkpos.jar,
# manifest included, with the stripped native libraries and their index added.
# cmake -DJAR=... -DBASE_JAR=... -DOUTPUT=... -DSTAGE=... -DVERSION=...
#       -DSTRIP=... -DMINGW_STRIP=... -DLINUX_64=... -DLINUX_32=...
#       -DLINUX_ARM64=... -DARM64_STRIP=... -DLINUX_ARMHF=... -DARMHF_STRIP=...
#       -DWINDOWS_BUILD=... -DWITH_LINK_LAYER=ON|OFF -P BundleJar.cmake
set(natives ${STAGE}/com/zelkor/jpos/services/natives)
file(REMOVE_RECURSE ${STAGE})

set(index "# The native libraries of this jar: version, then the SHA-256 of each file.\n")
string(APPEND index "version=${VERSION}\n")

# Copies one library into the stage, strips it and adds it to the index.
function(add_library_file platform source strip)
    if(NOT EXISTS ${source})
        message(FATAL_ERROR "BundleJar: ${source} was not built")
    endif()
    get_filename_component(name ${source} NAME)
    set(copy ${natives}/${platform}/${name})
    file(MAKE_DIRECTORY ${natives}/${platform})
    execute_process(COMMAND ${strip} --strip-unneeded -o ${copy} ${source}
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "BundleJar: cannot strip ${source}")
    endif()
    file(SHA256 ${copy} sum)
    set(index "${index}${platform}/${name}=${sum}\n" PARENT_SCOPE)
endfunction()

add_library_file(linux-x86-64 ${LINUX_64} ${STRIP})
add_library_file(linux-x86-32 ${LINUX_32} ${STRIP})
add_library_file(linux-aarch64 ${LINUX_ARM64} ${ARM64_STRIP})
add_library_file(linux-armhf ${LINUX_ARMHF} ${ARMHF_STRIP})
add_library_file(windows-x86-64 ${WINDOWS_BUILD}/windows/ZkPosDll64.dll ${MINGW_STRIP})
if(WITH_LINK_LAYER)
    set(layer ${WINDOWS_BUILD}/zklink/ZkLink64.dll)
    if(NOT EXISTS ${layer})
        file(GLOB_RECURSE layer ${WINDOWS_BUILD}/zklink/ZkLink64.dll)
        if(layer)
            list(GET layer 0 layer)
        endif()
    endif()
    add_library_file(windows-x86-64 "${layer}" ${MINGW_STRIP})
endif()
file(WRITE ${natives}/index.properties "${index}")

file(COPY_FILE ${BASE_JAR} ${OUTPUT}.part)
execute_process(COMMAND ${JAR} --update --file ${OUTPUT}.part -C ${STAGE} .
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(REMOVE ${OUTPUT}.part)
    message(FATAL_ERROR "BundleJar: jar --update failed")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
