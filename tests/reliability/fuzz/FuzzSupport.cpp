// SPDX-License-Identifier: Apache-2.0
#include "FuzzSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <vector>

namespace zkpos_fuzz {

namespace {

std::string* scratch = nullptr;

void RemoveScratch() {
    if (scratch == nullptr) {
        return;
    }
    if (DIR* directory = opendir(scratch->c_str())) {
        while (struct dirent* entry = readdir(directory)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                unlink((*scratch + "/" + entry->d_name).c_str());
            }
        }
        closedir(directory);
    }
    rmdir(scratch->c_str());
}

}  // namespace

const std::string& ScratchDirectory() {
    if (scratch == nullptr) {
        const char* base = getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zkpos-fuzz-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        Require(mkdtemp(name.data()) != nullptr, "a scratch directory can be made");
        scratch = new std::string(name.data());
        atexit(RemoveScratch);
    }
    return *scratch;
}

void EmptyFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Require(fd >= 0, "the scratch file can be emptied");
    close(fd);
}

std::string ReadFile(const std::string& path) {
    std::string content;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return content;
    }
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        content.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return content;
}

void Require(bool holds, const char* property) {
    if (!holds) {
        fprintf(stderr, "property broken: %s\n", property);
        abort();
    }
}

std::unique_ptr<char[]> Terminated(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text(new char[size + 1]);
    if (size > 0) {
        memcpy(text.get(), data, size);
    }
    text[size] = '\0';
    return text;
}

std::string RenderedTrace(const std::string& text) {
    std::string kept = text.substr(0, text.find('\0'));
    if (kept.find_first_of("\x02\x03\x06\x15") == std::string::npos) {
        return kept;
    }
    std::string rendered;
    for (char character : kept) {
        unsigned char byte = static_cast<unsigned char>(character);
        if (byte < 32 || byte >= 128) {
            char piece[8];
            snprintf(piece, sizeof piece, "|0x%02x|", byte);
            rendered += piece;
        } else {
            rendered += character;
        }
    }
    return rendered;
}

}  // namespace zkpos_fuzz
