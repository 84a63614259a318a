// tools/platform.h: what parcelon-split asks of the system it runs on. Each platform has
// one file that implements all of it (split_posix.cpp, split_windows.cpp); the build picks
// which. Paths and texts are byte strings in the tool's text encoding: the locale's on
// POSIX, UTF-8 on Windows, where the platform file converts them to UTF-16 at every call.
#pragma once
#include <stddef.h>
#include <stdio.h>

#include <string>

// The tool itself (split.cpp), called by the platform's entry with the command line in
// the text encoding.
int SplitMain(int argc, char **argv);

// Prints "parcelon-split: " and the message to stderr, removes every file of the set
// written so far and ends the program with status 1 (split.cpp).
[[noreturn]] void Fail(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));

// --- texts ---

// Writes text (in the text encoding) to stdout or stderr so that the user reads it.
void WriteText(FILE *stream, const std::string &text);
// True when stream goes to a terminal or console, where progress lines are wanted.
bool IsInteractive(FILE *stream);
// The name of the text encoding, for messages.
std::string TextEncoding();
enum NameConversion { kNameConverted, kNameNotText, kNameNotInCodePage932 };
// Converts text to code page 932 without substitutes: kNameNotInCodePage932 unless every
// character has an exact form there that reads back as the same character.
NameConversion ToCodePage932(const std::string &text, std::string *out);

// --- paths ---

// The separator the tool puts between a folder and a name.
extern const char kPathSeparator;
// True for a character that ends a folder part of a path.
bool IsPathSeparator(char c);
// Help text on where the stub comes from when --stub is not given, and the stub's path
// in that case (fails the program when there is none).
extern const char kDefaultStubHelp[];
std::string FindStub();
// Help text on the encoding of --name.
extern const char kNameEncodingHelp[];

// --- reading the input and the stub ---

// What tells two paths to the same file apart from two different files.
struct FileIdentity {
    unsigned long long volume;
    unsigned long long index;
};

// A last-write time in Coordinated Universal Time, whole seconds.
struct UtcTime {
    int year, month, day, hour, minute, second;
};

struct SourceFacts {
    bool isFile; // a plain file (not a folder or device)
    long long size;
    FileIdentity identity;
    bool hasTime; // false when the system gives no usable last-write time
    UtcTime lastWrite;
};

// Opens path for reading: a number for ReadSource, or -1 with the system's reason.
int OpenSource(const std::string &path, SourceFacts *facts, std::string *reason);
// Reads up to count bytes: how many were read, 0 at the end, -1 with the reason.
long long ReadSource(int source, void *bytes, size_t count, std::string *reason);
// Reads up to count bytes from offset, as ReadSource does; ReadSource's position is then
// anywhere.
long long ReadSourceAt(int source, long long offset, void *bytes, size_t count, std::string *reason);
void CloseSource(int source);

// The identity of an existing file; false when path names none.
bool ExistingIdentity(const std::string &path, FileIdentity *identity);
// Whether path is a folder; false with the reason when it cannot be looked at.
bool LookAtFolder(const std::string &path, bool *isFolder, std::string *reason);

// Fills bytes with unpredictable values; false with the reason.
bool RandomBytes(unsigned char *bytes, size_t count, std::string *reason);

// --- the files of the set ---
// Temporary files in the output folder, renamed to their final names only when all are
// complete; any failure or interrupt removes what the set has put on disk. Files of an
// old set under those names are kept aside until every new file is in place, so that a
// failure leaves the old set whole and a success the new one.

// Makes room for count files; the set is then filled in order with AddSetFile.
void ReserveSetFiles(size_t count);
// Opens a new temporary file in the folder of finalPath, to become finalPath at the end.
// Returns its number; fails the program when the folder cannot be written.
int AddSetFile(const std::string &finalPath, bool executable);
// Writes all bytes at the current position; fails the program on an error.
void WriteAll(int file, const void *bytes, size_t count, const std::string &finalPath);
// Writes count bytes at offset of a set file being written (every byte, without skipping
// zero runs) and leaves the file position behind them, so the file's last write must reach
// its end. Fails the program on an error.
void WriteSetFileAt(int file, long long offset, const void *bytes, size_t count, const std::string &finalPath);
// Closes a set file after the last write; fails the program on a write error.
void CloseSetFile(int file, const std::string &finalPath);
// Names a file of the old set that the new set writes no file of, such as a recovery
// file the split does not write: it goes with the old set's files at the commit. A folder
// of that name is left alone.
void RetireOldFile(const std::string &path);
// Puts every temporary file under its final name. The old set's files of those names (on
// a system whose names differ in case, also the names that differ from them only in the
// case of ASCII letters, which the restoring side would take for them) and the retired
// ones are first moved aside; when a final name is a folder, or a move or rename fails,
// the new files already in place are removed, the old ones put back, and the program
// fails. Once every new file is in place, the old ones are removed. A file that is the
// input or the stub is never moved or removed (as a final name it was refused before).
void CommitSetFiles(const FileIdentity &input, const FileIdentity &stub);
// Removes every file of the set written so far (Fail calls it).
void RemoveSetFiles();
