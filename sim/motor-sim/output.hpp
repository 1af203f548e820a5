// The command's standard output through a pipe, for a recording (--tap --record) and a
// replay's verdict: what the command writes there is copied to motor-sim's own standard
// output as it comes, byte for byte and in order, and kept. A pipe, not a pseudo-terminal:
// the command's stdio then buffers its output fully, as when a CI job pipes it, in the
// recorded run and in the replay alike, so both print the same bytes at the same points of
// the run (at the exit, for renumber).
#pragma once

#include <string>

namespace sim {

struct CommandOutput {
    int read_end = -1;  // motor-sim's, non-blocking; -1 once closed
    int write_end = -1; // the command's standard output; -1 once the command has it
    std::string kept;   // everything the command wrote there
};

// The pipe; on failure, error names the call.
bool output_open(CommandOutput &output, std::string &error);

// The command has been started with the write end as its standard output: motor-sim's copy
// goes, so that the read end meets end of file once the command and its children are done.
void output_started(CommandOutput &output);

// Copies what the command has written since the last call to motor-sim's standard output and
// keeps it; returns it. Should motor-sim's standard output take no more, the pipe is closed,
// so that the command meets a closed pipe as it would have met motor-sim's.
std::string output_pump(CommandOutput &output);

// After the command has exited: what is left in the pipe (its stdio flushed at the exit), then
// the pipe closed. Processes it started that still write are not waited for.
std::string output_finish(CommandOutput &output);

} // namespace sim
