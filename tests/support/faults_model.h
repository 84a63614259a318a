// tests/support/faults_model.h: a reference of the start-up load and one restore run,
// written over files held in memory, as a second opinion on what the program must do
// with any set of files, fault switches included. The fault-injection test and the fuzz
// targets compare the program's run with it.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "support/faults_run.h"

using ModelBytes = std::vector<unsigned char>;

struct ModelFile {
    bool present = false;
    ModelBytes bytes;
};

// The stand-in's fault switches, numbered from the first call after the reset, as
// RunRequest::beforeLoad arms them (0: disarmed).
struct ModelFaults {
    DWORD failRead = 0;
    DWORD shortRead = 0, shortReadBytes = 0;
    DWORD failWrite = 0, failWriteFirst = 0;
    DWORD shortWrite = 0, shortWriteBytes = 0;
    long long diskBytes = -1;
};

struct ModelSet {
    ModelFile exe;
    std::vector<ModelFile> later; // later[0] is piece 2
    bool destinationExists = false;
    ModelBytes oldDestination; // what an existing destination holds before the run
    bool loadOnly = false;     // the start-up load alone
};

// A message and the file it names: 1 the executable, n the piece file of piece n, 0 the
// destination or none.
struct ModelMessage {
    Box kind;
    int piece;
};

struct ModelOutcome {
    bool loaded = false;
    long long totalSize = 0, firstPieceLength = 0;
    LONG headerLength = 0;
    BYTE setId[2] = {0, 0};
    WORD year = 0;
    DWORD packedTime = 0;
    std::string name, extension;

    bool ran = false;
    LONG state = 0;
    std::vector<ModelMessage> messages;
    ModelBytes destination; // what the destination holds at the end of a run
    std::vector<int> progress;
    bool timeApplied = false;
    DWORD readCalls = 0, writeCalls = 0;
};

ModelOutcome ModelRestore(const ModelSet &set, const AnswerPolicy &policy, const ModelFaults &faults = ModelFaults());

// The grouped decimal text of a value, "1,234,567", computed independently.
std::string GroupedReference(long long value);
// The proposed destination for a stored name: the own path upper-cased (a-z only; the
// paths of the tests are ASCII), cut at the last place of its upper-cased file name.
std::string ProposalFor(const std::string &ownPath, const std::string &name);
// The path of piece n's file: the own path with what follows its last "." made "d%02d".
std::string PieceFilePath(const std::string &ownPath, int piece);

// Compares a run of the program (RunRestore, with destination set) with the model's
// outcome; "" when they agree, else the first difference. The program's g_restoreInfo
// and the destination file are read here, so call it right after the run.
std::string CompareWithModel(const RunResult &run, const ModelOutcome &model, const std::string &ownPath,
                             const std::string &destination);
