// The control FIFO of vqsim: lines "detach N" and "attach N" that take unit N off its line and put a fresh
// one on, as an operator swaps boards in a fixture, and "dump N FILE" that writes unit N's flash before it
// goes.
#pragma once

#include "simulator.h"

#include <memory>
#include <string>
#include <vector>

class ControlFifo {
public:
    ControlFifo() = default;
    ~ControlFifo();
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;

    /// Makes the FIFO at path (one already there is used; any other file is refused) and opens it without
    /// waiting for a writer; false with the reason.
    bool open(const std::string& path, std::string& error);
    /// Waits at most ms for lines and carries out the whole ones on the controllers; a line that is no
    /// command is reported on standard error and skipped.
    void serve(const std::vector<std::unique_ptr<vqsim::Simulator>>& sims, int ms);
    /// Closes the FIFO and removes it if this process made it.
    void close();

    bool binaryDump = false; ///< "dump N FILE" writes the raw address space (--dump-format bin)

private:
    void execute(const std::string& line, const std::vector<std::unique_ptr<vqsim::Simulator>>& sims);
    std::string path;
    bool made = false;
    int fd = -1;
    std::string pending; ///< text read after the last whole line
};
