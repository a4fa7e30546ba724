// SPDX-License-Identifier: Apache-2.0
// Runs a fuzz target over saved inputs without libFuzzer, so that the seed
// corpus and every input that once broke the library are tried again by the
// ordinary builds: gcc, i386, and under ASan and UBSan.
// Usage: replay DIRECTORY|FILE...
#include <dirent.h>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace {

void Collect(const std::string& path, std::vector<std::string>& inputs) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        fprintf(stderr, "replay: %s: no such input\n", path.c_str());
        return;
    }
    if (!S_ISDIR(status.st_mode)) {
        inputs.push_back(path);
        return;
    }
    std::vector<std::string> names;
    if (DIR* directory = opendir(path.c_str())) {
        while (struct dirent* entry = readdir(directory)) {
            if (entry->d_name[0] != '.') {
                names.push_back(path + "/" + entry->d_name);
            }
        }
        closedir(directory);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        Collect(name, inputs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        Collect(argv[i], inputs);
    }
    // A replay that found nothing to run proves nothing.
    if (inputs.empty()) {
        fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    for (const std::string& input : inputs) {
        std::string content = zkpos_fuzz::ReadFile(input);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(content.data()), content.size());
    }
    printf("replay: %zu inputs passed\n", inputs.size());
    return 0;
}
