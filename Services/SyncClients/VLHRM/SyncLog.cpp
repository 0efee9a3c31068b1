// The sync log: one line per call to the file beside the executable and to the console.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/Progress.h"

#include "common/Exceptions.h"
#include "platform/LogFile.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"

namespace keyrix {

bool TDataModule1::LogToFile() { return Settings().LogToFile; }

void TDataModule1::AppendLogLine(const std::string& text) {
    platform::AppendToFileExclusive(FLogFilePath, text + "\r\n");
}

void TDataModule1::LogError(const std::string& text) {
    if (Progress != nullptr) Progress->Erase();
    ConsoleWrite(text, false, 1);
    if (LogToFile()) AppendLogLine(text);
}

void TDataModule1::LogInfo(const std::string& text) {
    if (LogToFile()) AppendLogLine(text);
    if (Progress != nullptr) Progress->Erase();
    ConsoleWrite(text, false, 1);
}

void TDataModule1::LogDebug(const std::string& text) {
    if (LogToFile() && DebugLogging) AppendLogLine(text);
    if (Progress != nullptr) Progress->Erase();
    ConsoleWrite(text, false, 1);
}

}  // namespace keyrix
