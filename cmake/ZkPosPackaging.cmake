# SPDX-License-Identifier: Apache-2.0
# What `cmake --install` and CPack deliver.
#
# Linux (a .deb, installed under /usr): the library in lib/jni, where Debian's
# JVMs look by default; the jars in share/java; the console launcher and the
# device simulator in bin. The i386 build packages its library alone.
#
# Windows (a .zip): ZkPosDll64.dll, the jars and the console launcher side by
# side in bin, so that the launcher finds the others from its own folder.
include(UseJava OPTIONAL)

set(CPACK_PACKAGE_NAME zkpos)
set(CPACK_PACKAGE_VENDOR Zelkortec)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Native port libraries for point-of-sale Java services, with a console and a device simulator")
set(CPACK_PACKAGE_CONTACT "Zelkortec point-of-sale team <pos@zelkortec.invalid>")
set(CPACK_STRIP_FILES OFF)

if(WIN32)
    # The Java side is the same bytecode on both systems; the Windows build
    # compiles it too, so that its archive is complete on its own.
    find_package(Java 17 COMPONENTS Development)
    if(Java_FOUND AND NOT TARGET zkpos_jar)
        add_subdirectory(${PROJECT_SOURCE_DIR}/java ${CMAKE_BINARY_DIR}/java)
        add_subdirectory(${PROJECT_SOURCE_DIR}/tools/console ${CMAKE_BINARY_DIR}/tools/console)
    endif()
    if(TARGET zkpos_jar)
        install_jar(zkpos_jar DESTINATION bin COMPONENT java)
        if(ZKPOS_TESTS)
            add_subdirectory(${PROJECT_SOURCE_DIR}/tests/tools ${CMAKE_BINARY_DIR}/tests/tools)
        endif()
    endif()
    # The communication layer ZkLink64.dll (zklink/) installs beside the DLL;
    # the README tells a user which file is which and where the logs go.
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION bin
            COMPONENT runtime)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
else()
    if(TARGET zkpos_jar)
        install_jar(zkpos_jar DESTINATION share/java COMPONENT java)
    endif()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
        set(CPACK_DEBIAN_PACKAGE_DEPENDS
            "libc6 (>= 2.17), default-jre-headless (>= 2:1.11) | java11-runtime-headless")
    else()
        set(CPACK_PACKAGE_NAME zkpos-i386)
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
        set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.17)")
    endif()
    set(CPACK_DEBIAN_PACKAGE_SECTION java)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
endif()

include(CPack)
