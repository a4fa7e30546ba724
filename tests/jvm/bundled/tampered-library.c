// SPDX-License-Identifier: Apache-2.0
// Stands in for a library that was changed after it was extracted: loading it
// ends the process at once with status 97, so a test sees whether it was loaded.
#include <unistd.h>

__attribute__((constructor)) static void EndProcessOnLoad(void) {
    _exit(97);
}
