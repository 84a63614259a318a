/* bench/wincopy.c: the bare copy loop that parcelon-bench --wine times beside the real
 * stub: every source file, in 1024-byte ReadFile calls, each block written with WriteFile
 * into the destination, nothing else. Prints the seconds it took and the bytes copied.
 *
 *   wincopy.exe DESTINATION SOURCE...
 */
#include <windows.h>
#include <stdio.h>

enum { kBlockSize = 1024 };

int main(int argc, char **argv)
{
    static char block[kBlockSize];
    LARGE_INTEGER frequency, begin, end;
    unsigned long long copied = 0;
    HANDLE destination;
    int i;

    if (argc < 3) {
        fprintf(stderr, "usage: wincopy.exe DESTINATION SOURCE...\n");
        return 2;
    }
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    destination = CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (destination == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot create %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    for (i = 2; i < argc; i++) {
        HANDLE source = CreateFileA(argv[i], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD got, written;
        if (source == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "cannot open %s: error %lu\n", argv[i], GetLastError());
            CloseHandle(destination);
            return 1;
        }
        for (;;) {
            if (!ReadFile(source, block, kBlockSize, &got, NULL)) {
                fprintf(stderr, "cannot read %s: error %lu\n", argv[i], GetLastError());
                CloseHandle(source);
                CloseHandle(destination);
                return 1;
            }
            if (got == 0)
                break;
            if (!WriteFile(destination, block, got, &written, NULL) || written != got) {
                fprintf(stderr, "cannot write %s: error %lu\n", argv[1], GetLastError());
                CloseHandle(source);
                CloseHandle(destination);
                return 1;
            }
            copied += got;
        }
        CloseHandle(source);
    }
    CloseHandle(destination);
    QueryPerformanceCounter(&end);
    printf("%.6f %llu\n", (double)(end.QuadPart - begin.QuadPart) / (double)frequency.QuadPart, copied);
    return 0;
}
