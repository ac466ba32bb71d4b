#pragma once
// The exit codes norvik-ctl promises to scripts (documented in --help and the README).
namespace ctl {

enum ExitCode : int {
    ExitOk = 0,
    ExitController = 1,  // no answer, refused, mismatch, download failed, broken records found
    ExitUsage = 2,       // bad usage or argument
    ExitIo = 3,          // a file, port or socket could not be opened, read or written
    ExitRefused = 4,     // the file does not belong on the controller (type code, older version): nothing sent
    ExitDownloaded = 5,  // the download went through; the controller has not yet come back with it
    ExitInterrupted = 130,
};

} // namespace ctl
