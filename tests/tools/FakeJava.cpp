// SPDX-License-Identifier: Apache-2.0
// java.exe for the .zip test: prints the command line it was started with, so
// the test sees which Java the console launcher chose and what it passed.
#include <windows.h>

#include <cstdio>

int main() {
    printf("fake java: %s\n", GetCommandLineA());
    return 0;
}
