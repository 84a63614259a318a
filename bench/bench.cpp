// bench/bench.cpp: parcelon-bench: prints how fast each CRC variant runs over 1024-byte
// calls, and how long a whole restore of a 1 GiB three-piece set takes natively, by the
// engine in this process and by the parcelon-restore program, next to a bare read/write
// loop and cat over the same pieces, with the heap allocations and the peak memory of the
// restore; then parcelon-restore and its --check side by side with 7-Zip's extraction and
// test of the same bytes in a store-only archive, and the engine with each size of the
// stand-in's file buffers. With --wine it times the real stub under Wine instead.
// It prints figures; nothing in it passes or fails.
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "bench/crc_speed.h"
#include "shim.h"
#include "bench/engine.h"
#include "format/crc16.h"
#include "format/gf16.h"

extern char **environ;

// ---------------------------------------------------------------------------------------
// Heap allocations: malloc and its relatives are replaced by counting wrappers around the
// C library's own allocator, so that operator new (which calls malloc) is counted too.
// Only calls made while g_counting is set are counted; the first 512 keep their call
// stacks, which tell the stand-in's allocations from the program's.

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);
}

namespace {

const int kKeptSites = 512;
const int kSiteDepth = 12;

std::atomic<bool> g_counting{false};             // set by the UI thread around one timed run
pthread_t g_uiThread;                            // written by the UI thread before g_counting is set
std::atomic<unsigned long> g_uiAllocations{0};   // counted calls on the UI thread
std::atomic<unsigned long> g_otherAllocations{0}; // counted calls on any other thread
std::atomic<unsigned long> g_allocatedBytes{0};  // the bytes all of them asked for
std::atomic<int> g_sitesKept{0};                 // call stacks filled below, by any thread
void *g_sites[kKeptSites][kSiteDepth];
int g_siteDepths[kKeptSites];
bool g_siteOnUiThread[kKeptSites];
thread_local bool t_inHook; // set while this thread records a call stack (which may allocate)

void CountAllocation(size_t size)
{
    if (!g_counting.load(std::memory_order_relaxed) || t_inHook)
        return;
    g_allocatedBytes.fetch_add(size, std::memory_order_relaxed);
    bool onUiThread = pthread_equal(pthread_self(), g_uiThread);
    (onUiThread ? g_uiAllocations : g_otherAllocations).fetch_add(1, std::memory_order_relaxed);
    int slot = g_sitesKept.fetch_add(1);
    if (slot < kKeptSites) {
        t_inHook = true;
        g_siteDepths[slot] = backtrace(g_sites[slot], kSiteDepth);
        g_siteOnUiThread[slot] = onUiThread;
        t_inHook = false;
    }
}

// The Windows calls the program makes, which the native build answers with the stand-in.
const char *const kStandInCalls[] = {
    "GetModuleFileNameA", "OpenFile", "ReadFile", "WriteFile", "SetFilePointer", "GetFileSize",
    "GetFileAttributesA", "CloseHandle", "SystemTimeToFileTime", "SetFileTime", "lstrlenA", "CreateThread",
    "CreateFileA", "CreateDialogParamA", "ShowWindow", "GetMessageA", "TranslateMessage", "DispatchMessageA",
    "DefWindowProcA", "PostQuitMessage", "SetTimer", "KillTimer", "GetDlgItem", "GetDlgItemTextA",
    "SetDlgItemTextA", "EnableWindow", "IsWindowEnabled", "MessageBoxA", "PostMessageA", "SendMessageA",
    "wsprintfA", "InitCommonControls", "GetSaveFileNameA", "CommDlgExtendedError", "GetFileTitleA",
};

// The stand-in call an allocation was made in, or "" when it was made outside the stand-in:
// from the allocator outwards, the first frame with a name that is not the allocator's or
// the standard library's decides. Nameless frames (file-private functions) are passed over,
// so an allocation in a file-private function of the program counts as the program's
// caller's, never as the stand-in's.
std::string StandInCallOf(int slot)
{
    std::string found;
    char **names = backtrace_symbols(g_sites[slot], g_siteDepths[slot]);
    if (names == NULL)
        return found;
    // Frame 0 is malloc itself, in this executable; frames of other objects (the C and C++
    // libraries, the dynamic loader) are passed over too.
    const std::string self(names[0], strcspn(names[0], "("));
    for (int frame = 1; frame < g_siteDepths[slot]; frame++) {
        const char *open = strchr(names[frame], '(');
        if (open == NULL || open[1] == '+' || open[1] == ')' || std::string(names[frame], (size_t)(open - names[frame])) != self)
            continue;
        int status = 0;
        std::string mangled(open + 1, strcspn(open + 1, "+)"));
        char *plain = abi::__cxa_demangle(mangled.c_str(), NULL, NULL, &status);
        std::string name = status == 0 && plain ? plain : mangled;
        free(plain);
        name = name.substr(0, name.find('('));
        if (name.find("std::") != std::string::npos)
            continue;
        for (const char *call : kStandInCalls)
            if (name == call)
                found = call;
        break;
    }
    free(names);
    return found;
}

} // namespace

extern "C" void *malloc(size_t size)
{
    CountAllocation(size);
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size)
{
    CountAllocation(count * size);
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *block, size_t size)
{
    CountAllocation(size);
    return __libc_realloc(block, size);
}

extern "C" void *memalign(size_t alignment, size_t size)
{
    CountAllocation(size);
    return __libc_memalign(alignment, size);
}

extern "C" void *aligned_alloc(size_t alignment, size_t size)
{
    CountAllocation(size);
    return __libc_memalign(alignment, size);
}

extern "C" int posix_memalign(void **out, size_t alignment, size_t size)
{
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    CountAllocation(size);
    void *block = __libc_memalign(alignment, size);
    if (block == NULL)
        return ENOMEM;
    *out = block;
    return 0;
}

extern "C" void free(void *block)
{
    __libc_free(block);
}

void BeginCountingAllocations()
{
    // The first call of backtrace loads its unwinder, which allocates: not during a run.
    void *warm[2];
    backtrace(warm, 2);
    g_uiThread = pthread_self();
    g_uiAllocations = 0;
    g_otherAllocations = 0;
    g_allocatedBytes = 0;
    g_sitesKept = 0;
    g_counting = true;
}

AllocationCount EndCountingAllocations()
{
    g_counting = false;
    return AllocationCount{g_uiAllocations.load(), g_otherAllocations.load(), g_allocatedBytes.load()};
}

std::string SummarizeAllocations()
{
    std::string summary;
    char line[256];
    int kept = std::min(g_sitesKept.load(), kKeptSites);
    for (int thread = 0; thread < 2; thread++) {
        bool ui = thread == 0;
        std::map<std::string, int> byCall;
        int outside = 0;
        for (int i = 0; i < kept; i++) {
            if (g_siteOnUiThread[i] != ui)
                continue;
            std::string call = StandInCallOf(i);
            if (!call.empty()) {
                byCall[call]++;
                continue;
            }
            if (outside++ < 4) {
                snprintf(line, sizeof line, "  an allocation on the %s thread outside the stand-in, called from:\n",
                         ui ? "UI" : "worker");
                summary += line;
                char **names = backtrace_symbols(g_sites[i], g_siteDepths[i]);
                for (int frame = 0; names && frame < g_siteDepths[i]; frame++)
                    summary += std::string("    ") + names[frame] + "\n";
                free(names);
            }
        }
        snprintf(line, sizeof line, "  %s thread: %d outside the stand-in", ui ? "UI" : "worker", outside);
        summary += line;
        for (const auto &entry : byCall) {
            snprintf(line, sizeof line, ", %d in its %s", entry.second, entry.first.c_str());
            summary += line;
        }
        summary += "\n";
    }
    if (g_sitesKept.load() > kKeptSites) {
        snprintf(line, sizeof line, "  (only the first %d allocations were looked at)\n", kKeptSites);
        summary += line;
    }
    return summary;
}

namespace {

// ---------------------------------------------------------------------------------------
// Small helpers.

const long long kDefaultSize = 1024LL * 1024 * 1024;
// The set whose restore measures parcelon-restore's fixed cost: three pieces of 10,000 bytes.
const long long kTinySize = 30000;
const int kPieces = 3;
const size_t kCallSize = 1024;

double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

[[noreturn]] void Fail(const char *format, const char *detail)
{
    fprintf(stderr, "parcelon-bench: ");
    fprintf(stderr, format, detail);
    fputc('\n', stderr);
    exit(1);
}

bool Exists(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

void MakeFolders(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            Fail("cannot create the folder %s", part.c_str());
    }
}

std::string AbsolutePath(const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char here[4096];
    if (getcwd(here, sizeof here) == NULL)
        Fail("cannot read the current folder%s", "");
    return std::string(here) + "/" + path;
}

// Runs a program and waits for it; its standard output goes to outputPath when given,
// and with errorPath its standard error goes there and its standard input is /dev/null.
int Run(const std::vector<std::string> &arguments, const char *outputPath, const char *errorPath = NULL)
{
    std::vector<char *> argv;
    for (const std::string &a : arguments)
        argv.push_back((char *)a.c_str());
    argv.push_back(NULL);
    // What this program printed so far comes before what the child prints.
    fflush(stdout);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputPath)
        posix_spawn_file_actions_addopen(&actions, 1, outputPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (errorPath) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errorPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t child;
    int failed = posix_spawnp(&child, argv[0], &actions, NULL, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed)
        Fail("cannot start %s", argv[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FirstLineOf(const char *path, const char *prefix)
{
    FILE *file = fopen(path, "r");
    if (!file)
        return "";
    char line[1024];
    std::string found;
    while (fgets(line, sizeof line, file)) {
        if (strncmp(line, prefix, strlen(prefix)) == 0) {
            const char *colon = strchr(line, ':');
            found = colon ? colon + 1 : line;
            break;
        }
    }
    fclose(file);
    while (!found.empty() && (found.back() == '\n' || found[0] == ' ' || found[0] == '\t')) {
        if (found.back() == '\n')
            found.pop_back();
        else
            found.erase(0, 1);
    }
    return found;
}

void PrintMachine()
{
    printf("machine: %ld processors online, %s\n", sysconf(_SC_NPROCESSORS_ONLN),
           FirstLineOf("/proc/cpuinfo", "model name").c_str());
}

// ---------------------------------------------------------------------------------------
// The end-to-end comparison.

struct Options {
    std::string work;
    std::string split = PARCELON_SPLIT;
    std::string restore = PARCELON_RESTORE;
    std::string winBuild = std::string(PARCELON_SOURCE_DIR) + "/build-win";
    long long size = kDefaultSize;
    int rounds = 5;
    bool crcOnly = false;
    bool endToEndOnly = false;
    bool peerOnly = false;
    bool wine = false;
    std::string sevenZip = "7zz";
    // The stand-in's file buffer sizes the engine is timed with; 0 reads and writes straight
    // through, 1024 bytes a call, as the stub does on Windows.
    std::vector<unsigned> buffers = {0, 64 << 10, 256 << 10, 1 << 20, 4 << 20};
};

// A cached split set: its folder, executable, piece files and the input it was made from.
struct CachedSet {
    std::string folder;
    std::string input;
    std::vector<std::string> pieces; // the executable first
};

void WriteRandomFile(const std::string &path, long long size)
{
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0)
        Fail("cannot create %s", path.c_str());
    std::vector<unsigned long long> block(128 * 1024);
    unsigned long long state = 0x2545F4914F6CDD1Dull;
    long long left = size;
    while (left > 0) {
        for (unsigned long long &word : block) {
            // splitmix64
            unsigned long long z = (state += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
        size_t n = (size_t)std::min<long long>(left, (long long)(block.size() * sizeof block[0]));
        if (write(file, block.data(), n) != (ssize_t)n)
            Fail("cannot write %s", path.c_str());
        left -= (long long)n;
    }
    close(file);
}

// Makes the set once under work/set-SIZE with parcelon-split and reuses it afterwards; the
// file "complete" is written last, so a set cut short is made again.
CachedSet PrepareSet(const Options &o, const std::string &stub, const std::string &tag)
{
    CachedSet set;
    set.folder = o.work + "/" + tag + "-" + std::to_string(o.size);
    set.input = set.folder + "/input.bin";
    for (int i = 1; i <= kPieces; i++) {
        char name[32];
        if (i == 1)
            snprintf(name, sizeof name, "/Data.exe");
        else
            snprintf(name, sizeof name, "/Data.d%02d", i);
        set.pieces.push_back(set.folder + name);
    }
    std::string complete = set.folder + "/complete";
    if (Exists(complete))
        return set;

    MakeFolders(set.folder);
    printf("making the %lld-byte set in %s (once)...\n", o.size, set.folder.c_str());
    fflush(stdout);
    WriteRandomFile(set.input, o.size);
    long long each = o.size / kPieces;
    std::string counts;
    for (int i = 0; i < kPieces; i++) {
        long long count = i == kPieces - 1 ? o.size - each * (kPieces - 1) : each;
        counts += (i ? "," : "") + std::to_string(count);
    }
    int status = Run({o.split, "--stub", stub, "--data-counts", counts, "--out", set.folder, "--base", "Data",
                      "--name", "restored.bin", set.input},
                     NULL);
    if (status != 0)
        Fail("parcelon-split failed for %s", set.folder.c_str());
    for (const std::string &piece : set.pieces)
        if (!Exists(piece))
            Fail("parcelon-split made no %s", piece.c_str());
    FILE *mark = fopen(complete.c_str(), "w");
    if (!mark)
        Fail("cannot write %s", complete.c_str());
    fprintf(mark, "%s\n", counts.c_str());
    fclose(mark);
    return set;
}

// A stub for the native runs: any file of the first-piece offset's size does, since the
// engine starts reading at that offset.
std::string NativeStub(const Options &o)
{
    std::string path = o.work + "/native-stub.bin";
    if (Exists(path))
        return path;
    MakeFolders(o.work);
    std::string bytes(53248, 'S');
    FILE *file = fopen(path.c_str(), "wb");
    if (!file || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        Fail("cannot write %s", path.c_str());
    fclose(file);
    return path;
}

// A thread that only waits for its pipe to close.
void *WaitForPipe(void *pipeEnd)
{
    char byte;
    while (read(*(int *)pipeEnd, &byte, 1) < 0 && errno == EINTR) {
    }
    return NULL;
}

// How the bare loop runs: alone; with an idle second thread beside it, as the program has
// one (the kernel's read and write then take a reference on the file and its position lock
// on every call); and with that thread and the CRC-16 of every block, the work the program
// does beyond copying.
enum LoopKind { kLoopAlone, kLoopWithThread, kLoopWithThreadAndCrc };

volatile WORD g_loopCrc; // the last piece's CRC-16 in the loop that computes it, kept

// (c): every piece file, 1024 bytes per read(), each block written with write().
double TimeCopyLoop(const CachedSet &set, const std::string &destination, LoopKind kind)
{
    static char block[kCallSize];
    int wake[2] = {-1, -1};
    pthread_t idle;
    const bool idleThread = kind != kLoopAlone;
    if (idleThread && (pipe(wake) != 0 || pthread_create(&idle, NULL, WaitForPipe, &wake[0]) != 0))
        Fail("cannot start the idle thread%s", "");
    double begin = Now();
    int out = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        Fail("cannot create %s", destination.c_str());
    for (const std::string &piece : set.pieces) {
        int in = open(piece.c_str(), O_RDONLY);
        if (in < 0)
            Fail("cannot open %s", piece.c_str());
        WORD crc = 0;
        for (;;) {
            ssize_t got = read(in, block, sizeof block);
            if (got < 0)
                Fail("cannot read %s", piece.c_str());
            if (got == 0)
                break;
            if (kind == kLoopWithThreadAndCrc)
                crc = Crc16Compute(crc, block, (size_t)got);
            if (write(out, block, (size_t)got) != got)
                Fail("cannot write %s", destination.c_str());
        }
        close(in);
        g_loopCrc = crc;
    }
    close(out);
    double seconds = Now() - begin;
    if (idleThread) {
        close(wake[1]);
        pthread_join(idle, NULL);
        close(wake[0]);
    }
    return seconds;
}

// (b): parcelon-restore --yes as a process, from its start to its exit; false when it did not
// exit with 0 (what it wrote to standard error is then in errorLog).
bool TimeRestoreProgram(const Options &o, const CachedSet &set, const std::string &destination,
                        const std::string &errorLog, double *seconds)
{
    double begin = Now();
    int status = Run({o.restore, "--yes", "-o", destination, set.pieces[0]}, "/dev/null", errorLog.c_str());
    *seconds = Now() - begin;
    return status == 0;
}

// (d): cat of the piece files into the destination.
double TimeCat(const CachedSet &set, const std::string &destination)
{
    std::vector<std::string> arguments = {"cat"};
    arguments.insert(arguments.end(), set.pieces.begin(), set.pieces.end());
    double begin = Now();
    if (Run(arguments, destination.c_str()) != 0)
        Fail("cat failed into %s", destination.c_str());
    return Now() - begin;
}

// Whether two files hold the same bytes.
bool SameBytes(const std::string &a, const std::string &b)
{
    FILE *fa = fopen(a.c_str(), "rb");
    FILE *fb = fopen(b.c_str(), "rb");
    bool same = fa && fb;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (same) {
        size_t na = fread(ba.data(), 1, ba.size(), fa);
        size_t nb = fread(bb.data(), 1, bb.size(), fb);
        if (na != nb || memcmp(ba.data(), bb.data(), na) != 0)
            same = false;
        if (na == 0)
            break;
    }
    if (fa)
        fclose(fa);
    if (fb)
        fclose(fb);
    return same;
}

// CPU seconds (user and system) this process, or its waited-for children, have used so far.
double CpuSeconds(int who)
{
    rusage usage;
    getrusage(who, &usage);
    return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 + (double)usage.ru_stime.tv_sec +
           (double)usage.ru_stime.tv_usec / 1e6;
}

long MaxResidentKiB()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The fixed cost of one parcelon-restore run: start, start-up load, a restore of a set of a
// few bytes and exit, median of `runs`.
double RestoreProgramFixedCost(const Options &o, int runs)
{
    Options tiny = o;
    tiny.size = kTinySize;
    CachedSet set = PrepareSet(tiny, NativeStub(o), "tiny");
    std::string destination = set.folder + "/restored.bin";
    std::string log = set.folder + "/restore-errors.txt";
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        unlink(destination.c_str());
        double seconds;
        if (!TimeRestoreProgram(o, set, destination, log, &seconds))
            Fail("parcelon-restore failed on the small set; see %s", log.c_str());
        times.push_back(seconds);
    }
    unlink(destination.c_str());
    return Median(times);
}

// One way of copying the set, timed round after round: MB/s and CPU seconds per round.
struct Series {
    explicit Series(const char *name) : label(name) {}
    const char *label;
    std::vector<double> speeds, cpu;
    void Add(double megabytes, double seconds, double cpuSeconds)
    {
        speeds.push_back(megabytes / seconds);
        cpu.push_back(cpuSeconds);
    }
    double Speed() const { return Median(speeds); }
};

void BenchEndToEnd(const Options &o)
{
    CachedSet set = PrepareSet(o, NativeStub(o), "set");
    std::string destination = set.folder + "/restored.bin";
    std::string errorLog = set.folder + "/restore-errors.txt";
    double megabytes = (double)o.size / 1e6;
    Series engine("(a) engine"), program("(b) parcelon-restore"), loop("(c) read/write loop"),
        threadedLoop("(c2) with an idle thread"), crcLoop("(c3) and the CRC-16"), cat("(d) cat");
    AllocationCount most = {0, 0, 0}; // the round with the most allocations off the UI thread
    int mostRound = 0;
    std::string mostSummary;
    long residentBefore = MaxResidentKiB();
    bool engineRan = EngineAvailable();
    bool verified = false, matches = false, programMatches = false;

    printf("\nEnd to end, %lld bytes in %d pieces, warm page cache, %d rounds of a b c c2 c3 d\n", o.size, kPieces,
           o.rounds);
    printf("MB/s = the restored file's bytes / wall time (10^6 bytes/s); the loops and cat also copy the\n"
           "53,248-byte stub and the piece headers; the engine and parcelon-restore check each piece's CRC.\n"
           "(a) the engine in this process, Start to idle; (b) parcelon-restore --yes -o DEST as a\n"
           "process, start to exit, a fresh destination each round; (c) read(1024)/write(1024); (c2) the\n"
           "same with an idle second thread in the process, as the program has one; (c3) the same with\n"
           "the CRC-16 of every block, the program's work beyond copying; (d) cat.\n");
    printf("parcelon-restore's fixed cost (start, load, a %lld-byte restore, exit), median of 5: %.1f ms\n",
           kTinySize, RestoreProgramFixedCost(o, 5) * 1e3);
    if (!engineRan)
        printf("(a) the restore engine: %s\n", EngineUnavailableReason());
    for (int round = 1; round <= o.rounds; round++) {
        double seconds;
        AllocationCount roundAllocations = {0, 0, 0}; // worker + UI thread, printed per round
        if (engineRan) {
            unlink(destination.c_str());
            double cpu = CpuSeconds(RUSAGE_SELF);
            EngineResult result = RunEngine(set.pieces[0], destination, kShimDefaultFileBuffer);
            roundAllocations = result.allocations;
            if (!result.finished)
                Fail("the restore engine did not finish: %s", result.problem.c_str());
            engine.Add(megabytes, result.seconds, CpuSeconds(RUSAGE_SELF) - cpu);
            if (round == 1 || result.allocations.otherThreads > most.otherThreads ||
                (result.allocations.otherThreads == most.otherThreads &&
                 result.allocations.uiThread > most.uiThread)) {
                most = result.allocations;
                mostRound = round;
                mostSummary = SummarizeAllocations();
            }
            if (!verified) {
                matches = SameBytes(destination, set.input);
                verified = true;
            }
        }
        unlink(destination.c_str());
        double cpu = CpuSeconds(RUSAGE_CHILDREN);
        if (!TimeRestoreProgram(o, set, destination, errorLog, &seconds))
            Fail("parcelon-restore did not restore the set; see %s", errorLog.c_str());
        program.Add(megabytes, seconds, CpuSeconds(RUSAGE_CHILDREN) - cpu);
        if (round == 1)
            programMatches = SameBytes(destination, set.input);
        const struct {
            Series *series;
            LoopKind kind;
        } loops[] = {{&loop, kLoopAlone}, {&threadedLoop, kLoopWithThread}, {&crcLoop, kLoopWithThreadAndCrc}};
        for (const auto &each : loops) {
            unlink(destination.c_str());
            cpu = CpuSeconds(RUSAGE_SELF);
            seconds = TimeCopyLoop(set, destination, each.kind);
            each.series->Add(megabytes, seconds, CpuSeconds(RUSAGE_SELF) - cpu);
        }
        unlink(destination.c_str());
        cpu = CpuSeconds(RUSAGE_CHILDREN);
        seconds = TimeCat(set, destination);
        cat.Add(megabytes, seconds, CpuSeconds(RUSAGE_CHILDREN) - cpu);
        unlink(destination.c_str());
        printf("  round %d:", round);
        if (engineRan)
            printf(" engine %5.0f MB/s (%.2f s CPU, %lu+%lu allocs)", engine.speeds.back(), engine.cpu.back(),
                   roundAllocations.otherThreads, roundAllocations.uiThread);
        printf("  parcelon-restore %5.0f (%.2f)  loop %5.0f (%.2f)  +thread %5.0f (%.2f)  +CRC %5.0f (%.2f)  cat %5.0f "
               "(%.2f)\n",
               program.speeds.back(), program.cpu.back(), loop.speeds.back(), loop.cpu.back(),
               threadedLoop.speeds.back(), threadedLoop.cpu.back(), crcLoop.speeds.back(), crcLoop.cpu.back(),
               cat.speeds.back(), cat.cpu.back());
        fflush(stdout);
    }
    printf("medians, MB/s (CPU seconds):\n");
    for (const Series *series : {&engine, &program, &loop, &threadedLoop, &crcLoop, &cat})
        if (!series->speeds.empty())
            printf("  %-28s %5.0f (%.2f)\n", series->label, series->Speed(), Median(series->cpu));
    printf("ratios: parcelon-restore/loop %.2f, parcelon-restore/(loop with an idle thread) %.2f,\n"
           "        parcelon-restore/(loop with an idle thread and the CRC-16) %.2f",
           program.Speed() / loop.Speed(), program.Speed() / threadedLoop.Speed(), program.Speed() / crcLoop.Speed());
    if (engineRan)
        printf(", engine/loop %.2f, engine/cat %.2f", engine.Speed() / loop.Speed(), engine.Speed() / cat.Speed());
    printf("\nrestored file equal to the input: parcelon-restore %s", programMatches ? "yes" : "NO");
    if (engineRan)
        printf(", engine %s", matches ? "yes" : "NO");
    printf("\n");
    if (engineRan) {
        printf("heap allocations from Start to the end of the run, round %d (the most): %lu on the worker\n"
               "thread, %lu on the UI thread, %lu bytes in all; where they were made:\n%s",
               mostRound, most.otherThreads, most.uiThread, most.bytes, mostSummary.c_str());
        printf("peak resident memory (ru_maxrss): %ld KiB before the rounds, %ld KiB after\n", residentBefore,
               MaxResidentKiB());
    }
}

// ---------------------------------------------------------------------------------------
// Side by side with 7-Zip, which a Linux user would otherwise use for a file in pieces: a
// store-only archive of the same bytes in three volumes.

// The program's path when it can be run: as given when it has a "/", else from PATH.
std::string FindProgram(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : "";
    const char *path = getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    size_t from = 0;
    while (from <= folders.size()) {
        size_t to = folders.find(':', from);
        if (to == std::string::npos)
            to = folders.size();
        std::string candidate = folders.substr(from, to - from) + "/" + name;
        if (to > from && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        from = to + 1;
    }
    return "";
}

// Makes the archive once beside the set (7zz a -mx0 -vN b): volumes a little larger than a
// third of the data, in whole megabytes, so that there are three; answers the first volume.
std::string PreparePeerArchive(const Options &o, const CachedSet &set, const std::string &sevenZip)
{
    const std::string folder = set.folder + "/7z";
    const std::string first = folder + "/input.7z.001";
    const std::string complete = folder + "/complete";
    if (Exists(complete))
        return first;
    MakeFolders(folder);
    const long long volume = (o.size / kPieces + 65536 + 999999) / 1000000 * 1000000;
    printf("making the store-only 7-Zip archive in volumes of %lld bytes in %s (once)...\n", volume,
           folder.c_str());
    fflush(stdout);
    const std::string log = folder + "/errors.txt";
    if (Run({sevenZip, "a", "-mx0", "-v" + std::to_string(volume) + "b", folder + "/input.7z", set.input},
            "/dev/null", log.c_str()) != 0)
        Fail("7zz a failed; see %s", log.c_str());
    FILE *mark = fopen(complete.c_str(), "w");
    if (!mark)
        Fail("cannot write %s", complete.c_str());
    fclose(mark);
    return first;
}

// Wall seconds of one program run; fails the benchmark when it does not exit with 0.
double TimeRun(const std::vector<std::string> &arguments, const std::string &errorLog)
{
    double begin = Now();
    if (Run(arguments, "/dev/null", errorLog.c_str()) != 0)
        Fail("%s", (arguments[0] + " " + arguments[1] + " failed; see " + errorLog).c_str());
    return Now() - begin;
}

std::string BufferName(unsigned bytes)
{
    if (bytes == 0)
        return "none";
    if (bytes % (1 << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (1 << 10) == 0)
        return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " B";
}

void BenchPeer(const Options &o)
{
    CachedSet set = PrepareSet(o, NativeStub(o), "set");
    const std::string sevenZip = FindProgram(o.sevenZip);
    const std::string destination = set.folder + "/restored.bin";
    const std::string peerOut = set.folder + "/7z-out";
    const std::string errorLog = set.folder + "/peer-errors.txt";
    const double megabytes = (double)o.size / 1e6;

    printf("\nSide by side with 7-Zip, %lld bytes, warm page cache, %d rounds, wall seconds\n", o.size, o.rounds);
    if (sevenZip.empty()) {
        printf("7-Zip (%s) is not installed: scripts/setup.sh --bench installs it\n", o.sevenZip.c_str());
    } else {
        const std::string archive = PreparePeerArchive(o, set, sevenZip);
        printf("restore: parcelon-restore --yes -o DEST (fresh DEST); 7zz x -y of the three volumes (fresh\n"
               "folder; checks its CRC-32 too); dd bs=1M of the input file. check: parcelon-restore --check;\n"
               "7zz t of the three volumes.\n");
        std::vector<double> restore, extract, dd, check, test;
        for (int round = 1; round <= o.rounds; round++) {
            unlink(destination.c_str());
            restore.push_back(TimeRun({o.restore, "--yes", "-o", destination, set.pieces[0]}, errorLog));
            if (round == 1 && !SameBytes(destination, set.input))
                Fail("%s", "parcelon-restore did not restore the input exactly");
            unlink(destination.c_str());
            Run({"rm", "-rf", peerOut}, NULL);
            extract.push_back(TimeRun({sevenZip, "x", "-y", "-o" + peerOut, archive}, errorLog));
            if (round == 1 && !SameBytes(peerOut + "/input.bin", set.input))
                Fail("%s", "7zz x did not give the input back");
            Run({"rm", "-rf", peerOut}, NULL);
            dd.push_back(TimeRun({"dd", "if=" + set.input, "of=" + destination, "bs=1M"}, errorLog));
            unlink(destination.c_str());
            check.push_back(TimeRun({o.restore, "--check", set.pieces[0]}, errorLog));
            test.push_back(TimeRun({sevenZip, "t", archive}, errorLog));
            printf("  round %d: parcelon-restore %.3f  7zz x %.3f  dd bs=1M %.3f  --check %.3f  7zz t %.3f\n", round,
                   restore.back(), extract.back(), dd.back(), check.back(), test.back());
            fflush(stdout);
        }
        printf("medians, seconds (MB/s):\n");
        const struct {
            const char *label;
            const std::vector<double> *times;
        } rows[] = {{"parcelon-restore --yes", &restore}, {"7zz x", &extract}, {"dd bs=1M", &dd},
                    {"parcelon-restore --check", &check}, {"7zz t", &test}};
        for (const auto &row : rows)
            printf("  %-26s %6.3f (%5.0f)\n", row.label, Median(*row.times), megabytes / Median(*row.times));
        printf("ratios of the medians: parcelon-restore / 7zz x %.2f, parcelon-restore --check / 7zz t %.2f,\n"
               "                       parcelon-restore / dd bs=1M %.2f, 7zz x / dd bs=1M %.2f\n",
               Median(restore) / Median(extract), Median(check) / Median(test), Median(restore) / Median(dd),
               Median(extract) / Median(dd));
    }

    if (!EngineAvailable())
        return;
    printf("\nThe engine in this process by the stand-in's file buffer size (read-ahead and write-behind),\n"
           "%d rounds of every size, Start to idle, wall seconds (MB/s):\n", o.rounds);
    std::vector<std::vector<double>> times(o.buffers.size());
    for (int round = 1; round <= o.rounds; round++) {
        for (size_t i = 0; i < o.buffers.size(); i++) {
            unlink(destination.c_str());
            EngineResult result = RunEngine(set.pieces[0], destination, o.buffers[i]);
            if (!result.finished)
                Fail("the restore engine did not finish: %s", result.problem.c_str());
            times[i].push_back(result.seconds);
        }
    }
    unlink(destination.c_str());
    for (size_t i = 0; i < o.buffers.size(); i++)
        printf("  %-8s median %.3f (%5.0f), fastest %.3f, slowest %.3f\n", BufferName(o.buffers[i]).c_str(),
               Median(times[i]), megabytes / Median(times[i]), *std::min_element(times[i].begin(), times[i].end()),
               *std::max_element(times[i].begin(), times[i].end()));
    printf("  (parcelon-restore uses %s)\n", BufferName(kShimDefaultFileBuffer).c_str());
}

// ---------------------------------------------------------------------------------------
// --wine: the real stub under Wine, through the end-to-end driver's helpers.

int BenchWine(const Options &o)
{
#if defined(PARCELON_WINCOPY) && defined(PARCELON_WINCRC)
    std::string runner = std::string(PARCELON_SOURCE_DIR) + "/bench/wine_bench.py";
    return Run({"python3", runner, "--win-build", o.winBuild, "--split", o.split, "--wincopy", PARCELON_WINCOPY,
                "--wincrc", PARCELON_WINCRC, "--work", o.work, "--size", std::to_string(o.size), "--rounds",
                std::to_string(o.rounds)},
               NULL);
#else
    (void)o;
    printf("--wine: not available: no MinGW compiler was found when the benchmark was built\n");
    return 0;
#endif
}

long long ParseSize(const char *text)
{
    char *end;
    long long value = strtoll(text, &end, 10);
    if (*end == 'K' || *end == 'k')
        value <<= 10, end++;
    else if (*end == 'M' || *end == 'm')
        value <<= 20, end++;
    else if (*end == 'G' || *end == 'g')
        value <<= 30, end++;
    if (*end != 0 || value < kPieces || value >= (1LL << 40))
        Fail("not a size from 3 bytes to below 1 TiB: %s", text);
    return value;
}

const char kUsage[] =
    "usage: parcelon-bench [--crc-only | --e2e-only | --peer-only] [--work DIR] [--rounds N] [--size BYTES[K|M|G]]\n"
    "                      [--split PATH] [--restore PATH] [--7zz PATH] [--buffers SIZE,...]\n"
    "       parcelon-bench --wine [--win-build DIR] [--work DIR] [--rounds N] [--size BYTES[K|M|G]]\n"
    "\n"
    "Prints the CRC variants' speeds and the recovery rows' field multiply-add, then times a\n"
    "whole restore natively, by the engine in\n"
    "this process and by parcelon-restore --yes as a process (--restore names it; default the\n"
    "one built beside this program), against a bare read(1024)/write(1024) loop (alone, with\n"
    "an idle second thread beside it, and with that thread and the CRC-16 of every block) and\n"
    "cat over the same pieces, alternating over the rounds (default 5), with\n"
    "parcelon-restore's fixed cost per run and the heap allocations\n"
    "and peak memory of the restore. The set (default 1 GiB of random data in 3 pieces) is\n"
    "made once under --work (default build/bench-data in the source folder). --wine times\n"
    "the real stub under Wine against a Win32 1024-byte ReadFile/WriteFile loop instead;\n"
    "--win-build names the Windows build folder (default build-win in the source folder).\n"
    "Last, side by side with 7-Zip (--7zz names it; default 7zz from PATH): parcelon-restore\n"
    "--yes against 7zz x of a store-only archive of the same bytes in three volumes and dd\n"
    "bs=1M, parcelon-restore --check against 7zz t, medians and ratios; then the engine in\n"
    "this process with each of the stand-in's file buffer sizes (--buffers, default\n"
    "0,64K,256K,1M,4M; 0 reads and writes straight through). --peer-only runs only these.\n";

Options ParseOptions(int argc, char **argv)
{
    Options o;
    o.work = std::string(PARCELON_SOURCE_DIR) + "/build/bench-data";
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--crc-only")
            o.crcOnly = true;
        else if (a == "--e2e-only")
            o.endToEndOnly = true;
        else if (a == "--peer-only")
            o.peerOnly = true;
        else if (a == "--7zz" && hasValue)
            o.sevenZip = argv[++i];
        else if (a == "--buffers" && hasValue) {
            o.buffers.clear();
            std::string list = argv[++i];
            for (size_t from = 0; from <= list.size();) {
                size_t to = list.find(',', from);
                if (to == std::string::npos)
                    to = list.size();
                std::string item = list.substr(from, to - from);
                long long bytes = item == "0" ? 0 : ParseSize(item.c_str());
                if (bytes > (long long)kShimMaxFileBuffer)
                    Fail("a buffer of at most 4M, not %s", item.c_str());
                o.buffers.push_back((unsigned)bytes);
                from = to + 1;
            }
        }
        else if (a == "--wine")
            o.wine = true;
        else if (a == "--work" && hasValue)
            o.work = AbsolutePath(argv[++i]);
        else if (a == "--split" && hasValue)
            o.split = AbsolutePath(argv[++i]);
        else if (a == "--restore" && hasValue)
            o.restore = AbsolutePath(argv[++i]);
        else if (a == "--win-build" && hasValue)
            o.winBuild = AbsolutePath(argv[++i]);
        else if (a == "--size" && hasValue)
            o.size = ParseSize(argv[++i]);
        else if (a == "--rounds" && hasValue) {
            o.rounds = atoi(argv[++i]);
            if (o.rounds < 1 || o.rounds > 1000)
                Fail("--rounds takes 1 to 1000, not %s", argv[i]);
        } else {
            fputs(kUsage, a == "--help" ? stdout : stderr);
            exit(a == "--help" ? 0 : 2);
        }
    }
    return o;
}

} // namespace

// MB/s of input of the field's multiply-add that makes and rebuilds recovery rows, by byte
// shuffles where the processor has them and the plain way, at the worker's 1024-byte block
// and the splitter's 1 MiB; the median of 5 runs of 0.2 s.
void PrintFieldSpeeds()
{
    Gf16Build();
    std::vector<BYTE> from(1 << 20), to(1 << 20);
    for (size_t i = 0; i < from.size(); i++)
        from[i] = (BYTE)(i * 2654435761u >> 13);
    printf("\nGF(2^16) multiply-add (a recovery row's work), MB/s of input, median of 5 runs of 0.2 s\n");
    printf("%-38s%9s%9s\n", "way \\ bytes per call", "1024", "1048576");
    const struct {
        const char *name;
        void (*call)(BYTE *, const BYTE *, size_t, WORD);
    } ways[] = {{"Gf16MultiplyAdd (the program's choice)", Gf16MultiplyAdd}, {"Gf16MultiplyAddPlain", Gf16MultiplyAddPlain}};
    for (const auto &way : ways) {
        printf("%-38s", way.name);
        for (size_t size : {(size_t)1024, from.size()}) {
            std::vector<double> rates;
            for (int run = 0; run < 5; run++) {
                const double start = Now();
                double done = 0;
                WORD c = 0x1234;
                while (Now() - start < 0.2) {
                    for (size_t at = 0; at + size <= from.size(); at += size)
                        way.call(to.data() + at, from.data() + at, size, c);
                    done += (double)from.size();
                    c = (WORD)(c * 3 + 1) | 2;
                }
                rates.push_back(done / (Now() - start) / 1e6);
            }
            std::sort(rates.begin(), rates.end());
            printf("%9.0f", rates[2]);
        }
        printf("\n");
    }
}

int main(int argc, char **argv)
{
    Options o = ParseOptions(argc, argv);
    PrintMachine();
    if (o.wine)
        return BenchWine(o);
    if (o.peerOnly) {
        BenchPeer(o);
        return 0;
    }
    if (!o.endToEndOnly) {
        PrintCrcSpeeds();
        PrintFieldSpeeds();
    }
    if (!o.crcOnly) {
        BenchEndToEnd(o);
        BenchPeer(o);
    }
    return 0;
}
