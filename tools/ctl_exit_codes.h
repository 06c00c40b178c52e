#pragma once

// kgupdate-ctl's exit codes (its --help lists them).
enum ExitCode {
    kOk = 0,             // completed, or the question answered
    kUpdateFailed = 1,   // the update failed
    kNoResponse = 2,     // no update has begun, no answer, or the begin was not the one that runs
    kUnreachable = 3,    // the worker could not be reached
    kUsage = 4,          // the command line is not understood
    kInterrupted = 130,  // Ctrl-C while following; the update goes on
};
