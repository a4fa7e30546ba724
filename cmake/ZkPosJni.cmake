# SPDX-License-Identifier: Apache-2.0
# The libraries need only the JNI declarations, never the Java runtime: the
# virtual machine hands its function table to every call.
find_path(ZKPOS_JNI_INCLUDE_DIR jni.h
    HINTS "$ENV{JAVA_HOME}/include"
          /usr/lib/jvm/java-17-openjdk-amd64/include
          /usr/lib/jvm/default-java/include
    NO_CMAKE_FIND_ROOT_PATH)
if(NOT ZKPOS_JNI_INCLUDE_DIR)
    message(FATAL_ERROR "jni.h not found: install a JDK (openjdk-17-jdk-headless) or set JAVA_HOME")
endif()

add_library(zkpos_contract INTERFACE)
target_include_directories(zkpos_contract INTERFACE
    ${CMAKE_SOURCE_DIR}/include ${ZKPOS_JNI_INCLUDE_DIR})
if(WIN32)
    # The JDK on the build machine carries a Linux jni_md.h; the Windows one
    # is ours and sits in windows/jni.
    target_include_directories(zkpos_contract BEFORE INTERFACE ${CMAKE_SOURCE_DIR}/windows/jni)
else()
    target_include_directories(zkpos_contract INTERFACE ${ZKPOS_JNI_INCLUDE_DIR}/linux)
endif()
