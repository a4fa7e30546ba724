# SPDX-License-Identifier: Apache-2.0
# What `cmake --install` and CPack deliver.
#
# Linux (.deb packages, installed under /usr): the library in lib/jni, where
# Debian's JVMs look by default; the jar in share/java; the console launcher
# and the device simulator in bin. The i386 build packages its library alone.
# ZkPosDebian.cmake holds the details.
#
# Windows (a .zip): ZkPosDll64.dll, the jars and the console launcher side by
# side in bin, so that the launcher finds the others from its own folder.
include(UseJava OPTIONAL)

set(CPACK_PACKAGE_NAME zkpos)
set(CPACK_PACKAGE_VENDOR Zelkortec)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Port libraries for point-of-sale Java services, with tools")
set(CPACK_PACKAGE_CONTACT "Zelkortec point-of-sale team <pos@zelkortec.invalid>")
set(CPACK_STRIP_FILES OFF)

if(WIN32)
    if(TARGET zkpos_jar)
        install_jar(zkpos_jar DESTINATION bin COMPONENT java)
    endif()
    # The communication layer ZkLink64.dll (zklink/) installs beside the DLL;
    # the README tells a user which file is which and where the logs go.
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION bin
            COMPONENT runtime)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    include(ZkPosDebian)
endif()

include(CPack)
