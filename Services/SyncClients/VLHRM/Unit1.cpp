#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/HttpClient.h"

#include "common/Exceptions.h"
#include "platform/LocalTime.h"
#include "platform/Process.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"

namespace keyrix {

bool DebugLogging = false;
TDataModule1* DataModule1 = nullptr;

namespace {

// "<prefix><class>\r\n<message>" for the error being handled.
std::string CriticalErrorText(const char* phase) {
    TErrorInfo error = DescribeCurrentException();
    return Format("Critical error on service %s:\r\n%s\r\n%s", phase, error.ClassName, error.Message);
}

}  // namespace

TDataModule1::TDataModule1(std::string logFilePath) : FLogFilePath(std::move(logFilePath)) {
    dbutils::SetDefaultDatabase(&dbDatabase);
    dbDatabase.SetLostConnectHandler([this](TFbConnection&, const EFirebirdError&) { dbDatabaseLostConnect(); });
}

TDataModule1::~TDataModule1() {
    // Cached statements and transactions go before the connection they belong to.
    try {
        dbutils::FreeQueries("");
        PassTransaction.reset();
        dbDatabase.CloseConnection();
    } catch (...) {
    }
    dbutils::SetDefaultDatabase(nullptr);
}

const TSetup& TDataModule1::Settings() {
    if (SetupInstance == nullptr) throw EBugCheckError("SetupInstance not assigned");
    return *SetupInstance;
}

std::string TDataModule1::DefaultLogFilePath() {
    return platform::ExecutableDirectory() + "VLHRMSync_log.txt";
}

void TDataModule1::RunService() {
    DebugLogging = FindSwitch("DEBUG");
    SyncLogFile("Sync started at %s", platform::DateTimeToStr(platform::LocalNow()));
    // Shut-down and the finish lines run however the phases ended.
    auto finish = [this] {
        ShutDown();
        SyncLogFile("Sync finished at %s", platform::DateTimeToStr(platform::LocalNow()));
        ServiceLogInfo("Keyrix sync server finished!");
    };
    try {
        if (StartUp()) {
            ServiceLogInfo("Keyrix sync server started!");
            Work();
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

bool TDataModule1::StartUp() {
    try {
        ConnectDatabase();
        PrepareSchema();
        return true;
    } catch (...) {
        ServiceLogError(CriticalErrorText("startup"));
        return false;
    }
}

void TDataModule1::Work() {
    try {
        SyncPass();
    } catch (...) {
        SyncLogError("ServiceRun exception: %s", DescribeCurrentException().Message);
        ServiceLogError(CriticalErrorText("work"));
    }
}

void TDataModule1::ShutDown() {
    try {
        DisconnectDatabase();
        FreeQueries("");
    } catch (...) {
        ServiceLogError(CriticalErrorText("shutdown"));
    }
}


}  // namespace keyrix
