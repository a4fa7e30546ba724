# SPDX-License-Identifier: Apache-2.0
# The jar and its pom in /usr/share/maven-repo, laid out as Debian's Java
# packages lay theirs out, so that an offline Maven build on Debian finds them:
#   com/zelkor/jpos/zkpos/VERSION/zkpos-VERSION.pom  (+ .jar, a link)
#   com/zelkor/jpos/zkpos/debian/zkpos-debian.pom    (+ .jar, a link)
# Both jars link to /usr/share/java/zkpos-VERSION.jar, which the package holds.
set(ZKPOS_MAVEN_REPO_DIR share/maven-repo/com/zelkor/jpos/zkpos)
set(ZKPOS_MAVEN_STAGE ${CMAKE_CURRENT_BINARY_DIR}/maven-repo)
file(REMOVE_RECURSE ${ZKPOS_MAVEN_STAGE})

set(ZKPOS_POM_PROPERTIES "
    <debian.originalVersion>${PROJECT_VERSION}</debian.originalVersion>
    <debian.package>zkpos</debian.package>")
foreach(folder ${PROJECT_VERSION} debian)
    set(ZKPOS_POM_VERSION ${folder})
    configure_file(${CMAKE_CURRENT_SOURCE_DIR}/pom.xml.in
        ${ZKPOS_MAVEN_STAGE}/${folder}/zkpos-${folder}.pom @ONLY)
    # From the version folder up to share/: VERSION, zkpos, jpos, zelkor, com, maven-repo.
    file(CREATE_LINK ../../../../../../java/zkpos-${PROJECT_VERSION}.jar
        ${ZKPOS_MAVEN_STAGE}/${folder}/zkpos-${folder}.jar SYMBOLIC)
    install(FILES ${ZKPOS_MAVEN_STAGE}/${folder}/zkpos-${folder}.pom
                  ${ZKPOS_MAVEN_STAGE}/${folder}/zkpos-${folder}.jar
        DESTINATION ${ZKPOS_MAVEN_REPO_DIR}/${folder} COMPONENT java)
endforeach()
