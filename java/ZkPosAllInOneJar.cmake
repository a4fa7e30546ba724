# SPDX-License-Identifier: Apache-2.0
# zkpos-all-VERSION.jar: the classes of zkpos.jar plus every native library,
# so that a JVM needs nothing but this jar on its class path:
#   com/zelkor/jpos/services/natives/linux-x86-64/libZkPosSo64.so
#   com/zelkor/jpos/services/natives/linux-x86-32/libZkPosSo.so
#   com/zelkor/jpos/services/natives/linux-aarch64/libZkPosSo64.so
#   com/zelkor/jpos/services/natives/linux-armhf/libZkPosSo.so
#   com/zelkor/jpos/services/natives/windows-x86-64/ZkPosDll64.dll
#   com/zelkor/jpos/services/natives/windows-x86-64/ZkLink64.dll  (when zklink/ exists)
#   com/zelkor/jpos/services/natives/index.properties  (version, SHA-256 of each)
# This build makes the i386, ARM and Windows libraries itself, in build trees
# of their own below bundle/ with the presets' toolchain files, so that a
# clean clone builds the jar in one go.
option(ZKPOS_ALL_IN_ONE_JAR "Build zkpos-all.jar with the i386, ARM and Windows libraries" ON)
if(NOT ZKPOS_ALL_IN_ONE_JAR)
    return()
endif()
include(ExternalProject)

set(ZKPOS_BUNDLE_DIR ${CMAKE_CURRENT_BINARY_DIR}/bundle)
set(ZKPOS_WINDOWS_DIR ${ZKPOS_BUNDLE_DIR}/windows-x64)
set(ZKPOS_WINDOWS_DLL ${ZKPOS_WINDOWS_DIR}/windows/ZkPosDll64.dll)

# zkpos_bundle_linux(NAME TRIPLET LIBRARY): the library alone, cross-built
# below bundle/NAME with cmake/TRIPLET.cmake; ZKPOS_<NAME>_LIBRARY is its
# file and ZKPOS_<NAME>_STRIP the strip program that knows its machine.
function(zkpos_bundle_linux name triplet library)
    set(dir ${ZKPOS_BUNDLE_DIR}/${name})
    ExternalProject_Add(zkpos_bundle_${name}
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${dir}
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DZKPOS_TESTS=OFF
                   -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${triplet}.cmake
        BUILD_COMMAND ${CMAKE_COMMAND} --build ${dir} --target zkposso
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${dir}/linux/${library})
    string(TOUPPER ${name} upper)
    find_program(ZKPOS_${upper}_STRIP NAMES ${triplet}-strip REQUIRED)
    set(ZKPOS_${upper}_LIBRARY ${dir}/linux/${library} PARENT_SCOPE)
endfunction()
zkpos_bundle_linux(i386 i686-linux-gnu libZkPosSo.so)
zkpos_bundle_linux(arm64 aarch64-linux-gnu libZkPosSo64.so)
zkpos_bundle_linux(armhf arm-linux-gnueabihf libZkPosSo.so)

# The whole Windows tree is built, so that the communication layer comes along
# as soon as the project has one.
ExternalProject_Add(zkpos_bundle_windows
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${ZKPOS_WINDOWS_DIR}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DZKPOS_TESTS=OFF
               -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${ZKPOS_WINDOWS_DIR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${ZKPOS_WINDOWS_DLL})

# The layer is part of the jar once the project builds one: then it is required.
if(EXISTS ${PROJECT_SOURCE_DIR}/zklink/CMakeLists.txt)
    set(ZKPOS_WITH_LINK_LAYER ON)
else()
    set(ZKPOS_WITH_LINK_LAYER OFF)
endif()

find_program(ZKPOS_MINGW_STRIP NAMES x86_64-w64-mingw32-strip REQUIRED)

set(ZKPOS_ALL_JAR ${CMAKE_CURRENT_BINARY_DIR}/zkpos-all-${PROJECT_VERSION}.jar)
add_custom_command(OUTPUT ${ZKPOS_ALL_JAR}
    COMMAND ${CMAKE_COMMAND}
        -DJAR=${Java_JAR_EXECUTABLE}
        -DBASE_JAR=${ZKPOS_JAR_FILE}
        -DOUTPUT=${ZKPOS_ALL_JAR}
        -DSTAGE=${ZKPOS_BUNDLE_DIR}/stage
        -DVERSION=${PROJECT_VERSION}
        -DSTRIP=${CMAKE_STRIP}
        -DMINGW_STRIP=${ZKPOS_MINGW_STRIP}
        -DLINUX_64=$<TARGET_FILE:zkposso>
        -DLINUX_32=${ZKPOS_I386_LIBRARY}
        -DLINUX_ARM64=${ZKPOS_ARM64_LIBRARY} -DARM64_STRIP=${ZKPOS_ARM64_STRIP}
        -DLINUX_ARMHF=${ZKPOS_ARMHF_LIBRARY} -DARMHF_STRIP=${ZKPOS_ARMHF_STRIP}
        -DWINDOWS_BUILD=${ZKPOS_WINDOWS_DIR}
        -DWITH_LINK_LAYER=${ZKPOS_WITH_LINK_LAYER}
        -P ${CMAKE_CURRENT_SOURCE_DIR}/BundleJar.cmake
    DEPENDS zkpos_jar ${ZKPOS_JAR_FILE} zkposso zkpos_bundle_i386 zkpos_bundle_arm64
            zkpos_bundle_armhf zkpos_bundle_windows
            ${ZKPOS_I386_LIBRARY} ${ZKPOS_ARM64_LIBRARY} ${ZKPOS_ARMHF_LIBRARY} ${ZKPOS_WINDOWS_DLL}
            ${CMAKE_CURRENT_SOURCE_DIR}/BundleJar.cmake
    COMMENT "Packing zkpos-all-${PROJECT_VERSION}.jar with the native libraries")
add_custom_target(zkpos_all_jar ALL DEPENDS ${ZKPOS_ALL_JAR})
set_target_properties(zkpos_all_jar PROPERTIES JAR_FILE ${ZKPOS_ALL_JAR})
