// The files a run writes, checked before any of them is opened and before the port is: each is a regular file
// or does not exist yet, and none is one of the firmware files read or another of them.
#include "downloader.h"
#include "image/output_file.h"

std::vector<Downloader::NamedFile> Downloader::outputFiles() const {
    std::vector<NamedFile> outputs;
    if (!readBackFile.empty()) outputs.push_back({"the --read file", readBackFile});
    if (logPath) outputs.push_back({"the --log file", logPath});
    if (!resultsPath.empty()) outputs.push_back({"the --results file", resultsPath});
    return outputs;
}

void Downloader::checkOutputs() {
    const std::vector<NamedFile> outputs = outputFiles();
    // A device, a FIFO or a link would be replaced by a regular file, or written into where it leads.
    for (const NamedFile& output : outputs) {
        if (const char* kind = specialFileKind(output.path))
            fatal(EXIT_USAGE, "ERROR: %s (%s) is %s, not a regular file.", output.path.c_str(), output.role,
                  kind);
    }
    // Compared as the system knows the files, not by their spelling: "./fw.s19" is "fw.s19". Firmware files
    // count only where they are read.
    std::vector<NamedFile> files = outputs;
    if (!wipeOnly && !listPorts)
        for (const std::string& name : fileNames)
            files.push_back({"a firmware file", name});
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (size_t j = i + 1; j < files.size(); ++j) {
            if (sameFileOnDisk(outputs[i].path, files[j].path))
                fatal(EXIT_USAGE, "ERROR: %s is both %s and %s.", outputs[i].path.c_str(), outputs[i].role,
                      files[j].role);
        }
    }
}
