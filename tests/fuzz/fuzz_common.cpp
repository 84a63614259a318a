// tests/fuzz/fuzz_common.cpp: the scratch folder and file writing of the fuzz targets.
#include "fuzz_common.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_scratch;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

void RemoveScratch()
{
    if (!g_scratch.empty())
        nftw(g_scratch.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
}

} // namespace

const std::string &ScratchDir()
{
    if (!g_scratch.empty())
        return g_scratch;
    const char *root = getenv("PARCELON_FUZZ_TMP");
    struct stat info;
    if (root == NULL || root[0] == 0)
        root = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : getenv("TMPDIR");
    if (root == NULL || root[0] == 0)
        root = "/tmp";
    std::string pattern = std::string(root) + "/parcelon-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == NULL) {
        perror(pattern.c_str());
        abort();
    }
    g_scratch = pattern;
    atexit(RemoveScratch);
    return g_scratch;
}

void PutFile(const std::string &path, const uint8_t *data, size_t size, long long offset)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, (off_t)offset) != 0 ||
        (size > 0 && pwrite(fd, data, size, (off_t)offset) != (ssize_t)size)) {
        perror(path.c_str());
        abort();
    }
    close(fd);
}

void RemoveFile(const std::string &path)
{
    unlink(path.c_str());
}

ModelFile ModelFileOf(const uint8_t *data, size_t size, long long offset)
{
    ModelFile file;
    file.present = true;
    file.bytes.assign((size_t)offset, 0);
    file.bytes.insert(file.bytes.end(), data, data + size);
    return file;
}

void Disagree(const char *target, const std::string &difference)
{
    fprintf(stderr, "%s: the program and the reference disagree: %s\n", target, difference.c_str());
    abort();
}
