// A hive file of its own for each test, reached through KEYRIX_REGISTRY as the program
// reaches it.
#pragma once

#include "platform/Registry.h"
#include "platform/Env.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace keyrix::test {

inline const std::string SettingsKey = "Software\\Keyrix\\Synchronizer\\Clients\\VLHRM";

class HiveFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KEYRIX_REGISTRY", HivePath.c_str(), 1);
        platform::ReloadEnvironment();
    }
    void TearDown() override {
        ::unsetenv("KEYRIX_REGISTRY");
        platform::ReloadEnvironment();
    }

    // Writes a hive holding the given sections and values (regedit syntax, without header).
    void WriteHive(const std::string& body) {
        WriteFile(HivePath, "Windows Registry Editor Version 5.00\r\n\r\n" + body);
    }
    static std::string Section(const std::string& subKey = "") {
        return "[HKEY_LOCAL_MACHINE\\" + SettingsKey + (subKey.empty() ? "" : "\\" + subKey) + "]\r\n";
    }
    // Opens a settings key for reading; fails the test when it is missing.
    std::unique_ptr<platform::TRegistry> Open(const std::string& subKey = "") {
        auto registry = std::make_unique<platform::TRegistry>(platform::TRegAccess::Read);
        EXPECT_TRUE(registry->OpenKeyReadOnly("\\" + SettingsKey + (subKey.empty() ? "" : "\\" + subKey)))
            << subKey;
        return registry;
    }

    TTempDir Dir;
    std::string HivePath = Dir.File("registry.reg");
};

}  // namespace keyrix::test
