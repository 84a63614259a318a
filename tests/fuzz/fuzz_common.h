// tests/fuzz/fuzz_common.h: what the three fuzz targets share: a scratch folder of their
// own on a memory-backed file system, files written from fuzz input, and the verdict on
// a disagreement with the reference run.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "support/faults_model.h"

// The process's scratch folder: under $PARCELON_FUZZ_TMP, else /dev/shm when it exists,
// else $TMPDIR or /tmp. It is removed when the process exits normally.
const std::string &ScratchDir();

// Writes a file of offset zero bytes (a hole where the file system allows) followed by
// size bytes of data.
void PutFile(const std::string &path, const uint8_t *data, size_t size, long long offset = 0);
void RemoveFile(const std::string &path);

// The reference's view of the same file.
ModelFile ModelFileOf(const uint8_t *data, size_t size, long long offset = 0);

// Ends the process with the difference, so that the fuzzer keeps the input.
[[noreturn]] void Disagree(const char *target, const std::string &difference);
