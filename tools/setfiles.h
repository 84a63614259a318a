// tools/setfiles.h: the files of a split set while parcelon-split writes them: temporary
// files in the output folder, renamed to their final names only when all are complete.
#pragma once
#include <stdarg.h>

#include <string>

// Prints "parcelon-split: " and the message to stderr, removes every file of the set
// written so far and ends the program with status 1.
[[noreturn]] void Fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Makes room for count files; the set is then filled in order with AddSetFile.
void ReserveSetFiles(size_t count);

// Opens a new temporary file in the folder of finalPath, to become finalPath at the end.
// Returns its descriptor; fails the program when the folder cannot be written.
int AddSetFile(const std::string &finalPath, bool executable);

// Closes a set file after the last write; fails the program on a write error.
void CloseSetFile(int fd, const std::string &finalPath);

// Writes all bytes at the current position; a long run of zero bytes may become a hole.
void WriteAll(int fd, const void *bytes, size_t count, const std::string &finalPath);

// Renames every temporary file to its final name. When one rename fails, the files of
// the set already renamed are removed as well, so that no partial set is left.
void CommitSetFiles();
