#pragma once

// The loss matrix: the tool's session, as the command line runs it, against the simulated unit
// under one fault at a time, over both links. Every cell loads the unit, writes all 32 words
// changed and reads them back; the words the unit holds at the end are the judge. A cell ends
// with the exact words, or, where the loss is heavy enough for the links to give up, with the
// unit's failure (not responding, link lost, a read-back that ran out of time) and no verified
// write claimed.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "SimLu.h"
#include "UnitRun.h"

// What a simulator's closing lines say of the faults it played.
struct SimReport {
    bool seen = false;  // its summary line was there
    int droppedIn = 0;
    int droppedOut = 0;
    int duplicated = 0;
    int reordered = 0;
    int blackedOut = 0;
    bool restarted = false;
};

// Reads the summary ("... in: 3 dropped, 1 duplicated; out: ...") and the restart line out of
// a simulator's output.
SimReport ReadSimReport(const std::vector<std::string>& lines);

struct MatrixCell {
    std::string name;
    // The simulator's fault options, at the pace the matrix runs at.
    std::vector<std::string> faults;
    // Whether the fault was played at all: a cell whose fault never happened proved nothing.
    std::function<bool(const SimReport&)> happened;
    // Whether the links' rules allow giving up under it: five sends of one packet lost, eleven
    // frames given up. The other faults are ridden out, and must end with the exact words.
    bool mayFail = false;
};

// The cells at a pace: 1 is the unit's own, 0.1 ten times as fast (durations shrink with it).
std::vector<MatrixCell> LossMatrixCells(double pace);

struct MatrixOptions {
    double pace = 1.0;
    std::vector<unsigned> seeds{1};
    std::string luSim;  // the programs of the simulators
    std::string consoleSim;
    std::string workDir;  // the simulators' output and saved words go here
};

// One cell over one link with one seed.
struct CellRun {
    std::string cell;
    bool console = false;
    unsigned seed = 0;
    UnitResult result;
    // What the unit held at the end; empty when the simulator saved nothing.
    std::optional<SimLuWords> held;
    SimReport report;
    std::vector<std::string> simOutput;
    // Empty when the cell ended as it may; else what went wrong.
    std::string problem;
};

// The words every cell writes: each of the 32 differs from the unit's in both bytes.
WordMap MatrixImage();

// Judges one run: the fault happened, and the tool's claims match the unit's words.
std::string JudgeCellRun(const CellRun& run, const MatrixCell& cell, const WordMap& image);

// Runs every cell over both links for every seed, all at once, in this process: one fleet of
// units against one simulator process each. False with `error` when a simulator cannot start.
bool RunLossMatrix(const MatrixOptions& options, std::vector<CellRun>& runs, std::string& error);

// Per cell and link: loads that ended, min, median and max load time over the seeds, and how
// the runs ended.
std::string LoadTimeTable(const std::vector<CellRun>& runs);
