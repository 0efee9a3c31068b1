// The settings the rest of the process reads. Every field holds its built-in default until
// the settings are loaded.
#pragma once

namespace keyrix {

class TSetup {
public:
    // "General" / "Log messages to file": the sync log's lines also go to the log file.
    bool LogToFile = false;
};

// The one settings object of the process, owned by the entry point; null outside a run.
extern TSetup* SetupInstance;

}  // namespace keyrix
