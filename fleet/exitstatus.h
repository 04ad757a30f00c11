#pragma once

// Exit status of the programs (telvanor-ctl, telvanord), one per kind of failure.
enum ExitStatus {
    ExitOk = 0,
    ExitFailure = 1,     // anything not listed below
    ExitUsage = 2,       // unknown command or option, missing or extra argument
    ExitUnknownName = 3, // unknown field, value, tally state or target name
    ExitOutOfRange = 4,  // a number outside what its field, screen, slot or rate allows
    ExitWrongType = 5,   // the monitor's type lacks a field, or presets and copies of other types
    ExitPort = 6,        // the serial port or the network socket cannot be opened
    ExitNoReply = 7,     // a monitor did not answer in time
    ExitNotTaken = 8,    // --verify: the monitor did not take every field
    ExitFile = 9,        // a target, preset file cannot be read, written or understood
};
