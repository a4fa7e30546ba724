# SPDX-License-Identifier: Apache-2.0
# The Debian packages, laid out as Debian's own packages are: the jar as
# share/java/zkpos-VERSION.jar with zkpos.jar a link to it, the console's own
# jar in share/zkpos (it is no library for others), manual pages made from the
# programs' --help, the copyright and changelog under share/doc/PACKAGE, the
# trace file created by postinst and rotated by logrotate, both removed with
# the last package purged. CPack strips the
# binaries into a -dbgsym package and computes Depends with dpkg-shlibdeps.
#
# x86-64 builds the package zkpos (everything); each cross build builds
# zkpos-ARCH with its library alone: zkpos-i386 (libZkPosSo.so in /usr/lib/jni,
# for 32-bit JVMs), zkpos-arm64 and zkpos-armhf (libZkPosSo64.so and
# libZkPosSo.so in /usr/lib/TRIPLET/jni, which Debian's JVM of that machine
# searches). None shares a file with another, so all can be installed on one
# machine through multiarch.
set(ZKPOS_DEB_SOURCE ${PROJECT_SOURCE_DIR}/packaging/debian)
set(ZKPOS_DEB_BUILD ${CMAKE_BINARY_DIR}/debian)
if(NOT CMAKE_CROSSCOMPILING)
    set(ZKPOS_DEB_PACKAGE zkpos)
    set(ZKPOS_DEB_ARCHITECTURE amd64)
else()
    # ZKPOS_DEB_ARCHITECTURE comes from the toolchain file.
    set(ZKPOS_DEB_PACKAGE zkpos-${ZKPOS_DEB_ARCHITECTURE})
endif()

find_program(ZKPOS_GZIP gzip REQUIRED)

# The changelog's latest entry carries the project's version. Policy wants it
# compressed with gzip -9; -n leaves the time stamp out, so that a rebuild
# gives the same bytes.
configure_file(${ZKPOS_DEB_SOURCE}/changelog.in ${ZKPOS_DEB_BUILD}/changelog @ONLY)
set(ZKPOS_DEB_GENERATED ${ZKPOS_DEB_BUILD}/changelog.gz)
add_custom_command(OUTPUT ${ZKPOS_DEB_BUILD}/changelog.gz
    COMMAND ${ZKPOS_GZIP} -9 -n -k -f ${ZKPOS_DEB_BUILD}/changelog
    DEPENDS ${ZKPOS_DEB_BUILD}/changelog
    COMMENT "Compressing the Debian changelog")

# Rewritten only when the version changes, so the manual pages, which show
# it, are made again then.
file(CONFIGURE OUTPUT ${ZKPOS_DEB_BUILD}/version CONTENT "@PROJECT_VERSION@\n" @ONLY)

# A manual page per program, made from what its --help prints, pointing to
# the other program's page.
function(zkpos_man_page name command synopsis see_also)
    find_program(ZKPOS_HELP2MAN help2man REQUIRED)
    set(page ${ZKPOS_DEB_BUILD}/${name}.1)
    file(CONFIGURE OUTPUT ${page}.h2m CONTENT "[SEE ALSO]\n.BR ${see_also} (1)\n")
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${ZKPOS_HELP2MAN} --no-info --no-discard-stderr --section=1
                --name=${synopsis} --version-string=${PROJECT_VERSION}
                --include=${page}.h2m --output=${page} ${command}
        COMMAND ${ZKPOS_GZIP} -9 -n -f ${page}
        DEPENDS ${ARGN} ${ZKPOS_DEB_BUILD}/version ${page}.h2m
        COMMENT "Writing the manual page of ${name}")
    set(ZKPOS_DEB_GENERATED ${ZKPOS_DEB_GENERATED} ${page}.gz PARENT_SCOPE)
    install(FILES ${page}.gz DESTINATION share/man/man1 COMPONENT doc)
endfunction()

if(TARGET zkpos_simulator)
    zkpos_man_page(zkpos-simulator $<TARGET_FILE:zkpos_simulator>
        "point-of-sale device simulator on a pseudo-terminal and TCP port 9100"
        zkpos-console zkpos_simulator)
endif()
if(TARGET zkpos_console)
    zkpos_man_page(zkpos-console ${CMAKE_BINARY_DIR}/tools/console/zkpos-console
        "console that opens, writes and reads a point-of-sale device port"
        zkpos-simulator zkpos_console zkpos_jar zkposso)
endif()
add_custom_target(zkpos_debian_files ALL DEPENDS ${ZKPOS_DEB_GENERATED})

if(TARGET zkpos_jar)
    # Java libraries in Debian carry their version in the file name and are
    # found through the unversioned link; the Maven repository links here too.
    get_target_property(ZKPOS_JAR_FILE zkpos_jar JAR_FILE)
    install(FILES ${ZKPOS_JAR_FILE} DESTINATION share/java
        RENAME zkpos-${PROJECT_VERSION}.jar COMPONENT java)
    file(CREATE_LINK zkpos-${PROJECT_VERSION}.jar ${ZKPOS_DEB_BUILD}/zkpos.jar SYMBOLIC)
    install(FILES ${ZKPOS_DEB_BUILD}/zkpos.jar DESTINATION share/java COMPONENT java)
endif()
if(TARGET zkpos_jar AND TARGET zkpos_console)
    # The console jar's manifest names zkpos.jar beside it, so that
    # `java -jar /usr/share/zkpos/zkpos-console.jar` runs on any JVM.
    file(MAKE_DIRECTORY ${ZKPOS_DEB_BUILD}/share-zkpos)
    file(CREATE_LINK ../java/zkpos.jar ${ZKPOS_DEB_BUILD}/share-zkpos/zkpos.jar SYMBOLIC)
    install(FILES ${ZKPOS_DEB_BUILD}/share-zkpos/zkpos.jar DESTINATION share/zkpos COMPONENT console)
endif()

install(FILES ${ZKPOS_DEB_SOURCE}/copyright ${ZKPOS_DEB_BUILD}/changelog.gz
    DESTINATION share/doc/${ZKPOS_DEB_PACKAGE} COMPONENT doc)

# One rule for the one trace file, shared by both packages: each carries it
# in share/PACKAGE, postinst puts it in /etc/logrotate.d when neither has,
# postrm removes it (and the trace) with the last package purged.
install(FILES ${ZKPOS_DEB_SOURCE}/zkpos.logrotate DESTINATION share/${ZKPOS_DEB_PACKAGE}
    RENAME logrotate COMPONENT runtime)
# The folder comes along (empty) for a system without logrotate yet; dpkg
# shares it with logrotate's package and removes it with the last owner.
file(MAKE_DIRECTORY ${ZKPOS_DEB_BUILD}/logrotate.d)
install(DIRECTORY ${ZKPOS_DEB_BUILD}/logrotate.d DESTINATION /etc COMPONENT runtime)
set(ZKPOS_DEB_CONTROL ${ZKPOS_DEB_SOURCE}/postinst ${ZKPOS_DEB_SOURCE}/postrm)
set(CPACK_ZKPOS_DEB_POSTRM ${ZKPOS_DEB_SOURCE}/postrm)

set(CPACK_PACKAGE_NAME ${ZKPOS_DEB_PACKAGE})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZKPOS_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION java)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zelkortec.invalid/pos")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/ZkPosDebianRepack.cmake)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${ZKPOS_DEB_CONTROL})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(ZKPOS_DEB_PACKAGE STREQUAL zkpos)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "default-jre-headless (>= 2:1.11) | java11-runtime-headless, libjline3-java")
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
The native half of a Java point-of-sale service layer: libZkPosSo64.so
implements the native methods of com.zelkor.jpos.services.LinPortComm, with
which a Java service opens a serial line (7 data bits, odd parity, RTS/CTS
at 9600 to 57600 baud) or a TCP device on port 9100, writes and reads raw
byte blocks and traces each step to /var/log/ZkPosSoLog.txt.

The package holds the library in /usr/lib/jni, where the JVM looks for it,
the Java classes in /usr/share/java/zkpos.jar, the zkpos-console program for
trying a device by hand or by script, and zkpos-simulator, which plays a
device on a pseudo-terminal and on TCP. The trace file is writable by group
dialout.]])
elseif(ZKPOS_DEB_ARCHITECTURE STREQUAL i386)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Port library for 32-bit point-of-sale Java services")
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
libZkPosSo.so implements the native methods of
com.zelkor.jpos.services.LinPortComm for 32-bit JVMs: a Java service opens
a serial line or a TCP device on port 9100 through it, writes and reads raw
byte blocks and traces each step to /var/log/ZkPosSoLog.txt.

The Java classes, the console, the simulator and the log rotation come with
the amd64 package zkpos, which can be installed beside this one.]])
else()
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Port library for point-of-sale Java services on ${ZKPOS_DEB_ARCHITECTURE}")
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
lib${ZKPOS_LINUX_LIBRARY_NAME}.so implements the native methods of
com.zelkor.jpos.services.LinPortComm for JVMs on ${ZKPOS_DEB_ARCHITECTURE}: a Java
service opens a serial line or a TCP device on port 9100 through it, writes
and reads raw byte blocks and traces each step to /var/log/ZkPosSoLog.txt.

The Java classes come with the package zkpos or in the all-in-one jar,
which carries this library too.")
endif()
