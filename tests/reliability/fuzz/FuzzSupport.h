// SPDX-License-Identifier: Apache-2.0
// What the fuzz targets share: a private directory for the trace files they
// write, and small checks that stop the run with a message when a property
// of the library fails.
#ifndef ZKPOS_TESTS_RELIABILITY_FUZZSUPPORT_H
#define ZKPOS_TESTS_RELIABILITY_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>

#include <memory>
#include <string>

namespace zkpos_fuzz {

// A directory of our own under TMPDIR (or /tmp), made on first use and
// removed with its files when the process exits.
const std::string& ScratchDirectory();

// Makes the file empty, creating it when missing, so that every run starts
// from the same file and nothing grows over millions of runs.
void EmptyFile(const std::string& path);
std::string ReadFile(const std::string& path);

// Stops the run (abort, so that libFuzzer keeps the input) when the property
// does not hold.
void Require(bool holds, const char* property);

// A copy of bytes as a heap block of exactly that many bytes plus a zero, so
// that the sanitizer catches any read past the text's end.
std::unique_ptr<char[]> Terminated(const uint8_t* data, size_t size);

// What a trace text must look like in the file, uncut: once the text holds a
// framing byte (STX, ETX, ACK, NAK) every byte outside printable ASCII is
// spelled out as |0x..| with two hex digits; otherwise it is kept as it is.
std::string RenderedTrace(const std::string& text);

}  // namespace zkpos_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#endif
