// tests/fuzz/replay_main.cpp: runs a fuzz target over files without the fuzzer, for the
// regression inputs in ctest: every argument is a file or a folder of files.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static void Replay(const std::string &path, int *count)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL) {
        perror(path.c_str());
        return;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    fclose(file);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++*count;
}

int main(int argc, char **argv)
{
    int count = 0;
    for (int i = 1; i < argc; i++) {
        struct stat info;
        if (stat(argv[i], &info) != 0) {
            perror(argv[i]);
            return 1;
        }
        if (!S_ISDIR(info.st_mode)) {
            Replay(argv[i], &count);
            continue;
        }
        std::vector<std::string> names;
        if (DIR *dir = opendir(argv[i])) {
            while (const dirent *entry = readdir(dir))
                if (entry->d_name[0] != '.')
                    names.push_back(entry->d_name);
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        for (const std::string &name : names)
            Replay(std::string(argv[i]) + "/" + name, &count);
    }
    printf("replayed %d inputs, all agree with the reference\n", count);
    return 0;
}
