#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A service's offline Maven build that depends on com.zelkor.jpos:zkpos:
#   maven-test.sh BUILD_DIR VERSION SIMULATOR
# installs the build tree into a scratch /usr, checks its maven-repo layout,
# lays Debian's /usr/share/maven-repo and the scratch one over each other in a
# private local repository, and runs `mvn -o` on tests/jvm/maven, whose program
# talks to the simulator through the resolved jar; once with the release's
# version and once with the "debian" version.
# Runs inside tests/support/private-run.sh: no network, and the simulator takes
# 127.0.0.1:9100.
set -uo pipefail

build=$1
version=$2
simulator=$3
project=$(dirname "$(readlink -f "$0")")

. "$project/../../support/simulator-session.sh"
require_private_run
make_scratch
fail_label=maven

stage=$scratch/stage/usr
cmake --install "$build" --prefix "$stage" >"$scratch/install.log" 2>&1 || {
    cat "$scratch/install.log" >&2
    echo "maven-test: cmake --install failed" >&2
    exit 1
}

# The layout Debian's Java packages have: pom and a link to the jar in
# /usr/share/java, in the version folder and in the "debian" folder.
artifact=$stage/share/maven-repo/com/zelkor/jpos/zkpos
jar=$stage/share/java/zkpos-$version.jar
[ -f "$jar" ] || fail "$jar is not installed"
for folder in "$version" debian; do
    link=$artifact/$folder/zkpos-$folder.jar
    pom=$artifact/$folder/zkpos-$folder.pom
    [ -L "$link" ] || fail "$link is not a link"
    [ "$(readlink -f "$link")" = "$(readlink -f "$jar")" ] ||
        fail "$link leads to $(readlink -f "$link"), not to $jar"
    [ -f "$pom" ] || fail "$pom is not installed"
    grep -qF "<version>$folder</version>" "$pom" || fail "$pom does not carry the version $folder"
    grep -qF "<groupId>com.zelkor.jpos</groupId>" "$pom" && grep -qF "<artifactId>zkpos</artifactId>" "$pom" ||
        fail "$pom does not name com.zelkor.jpos:zkpos"
done
# The pom of the build tree (the one for a Maven repository) has the release version.
grep -qF "<version>$version</version>" "$build/java/zkpos-$version.pom" || fail "the build's pom has not the version $version"
for extra in sources javadoc; do
    [ -s "$build/java/zkpos-$version-$extra.jar" ] || fail "no zkpos-$version-$extra.jar"
done

# Debian's repository with this build's artifact laid over it; Maven writes
# its bookkeeping into the private copy only.
repo=$scratch/repository
mkdir -p "$repo"
cp -rs /usr/share/maven-repo/. "$repo/"
rm -rf "$repo/com/zelkor/jpos/zkpos"
cp -rs "$stage/share/maven-repo/." "$repo/"
printf '<settings><offline>true</offline></settings>\n' >"$scratch/settings.xml"

start_simulator "$simulator" 300 --no-pty

for wanted in "$version" debian; do
    rm -rf "$scratch/project"
    mkdir "$scratch/project"
    cp -r "$project/pom.xml" "$project/src" "$scratch/project/"
    (cd "$scratch/project" && HOME=$scratch timeout 240 mvn -o -B -s "$scratch/settings.xml" \
        -Dmaven.repo.local="$repo" -Dzkpos.version="$wanted" \
        -Dzkpos.libraryPath="$stage/lib/jni" compile) >"$scratch/mvn.log" 2>&1
    status=$?
    [ "$status" -eq 0 ] || fail "mvn -o with zkpos $wanted exited with $status:"$'\n'"$(tail -40 "$scratch/mvn.log")"
    grep -qF "zkpos $version reply: <ACK><STX>from Maven<ETX>" "$scratch/mvn.log" ||
        fail "the program built with zkpos $wanted did not talk to the simulator:"$'\n'"$(tail -40 "$scratch/mvn.log")"
done

finish_checks
