#include "service/RegistryEx.h"

#include "tests/setup/HiveFixture.h"

using namespace keyrix;
using namespace keyrix::test;

namespace {
class RegistryEx : public HiveFixture {};
}  // namespace

TEST_F(RegistryEx, MultiStringsRoundTrip) {
    {
        TRegistryEx registry;
        ASSERT_TRUE(registry.OpenKey("\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Keyrix", true));
        registry.WriteMultiSz("Sources", {"Keyrix", "KeyrixSyncVLRM", "M\xfcller"});
        registry.WriteMultiSz("Empty", {});
    }
    TRegistryEx registry(platform::TRegAccess::Read);
    ASSERT_TRUE(registry.OpenKeyReadOnly("\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Keyrix"));
    EXPECT_EQ(registry.ReadMultiSz("Sources"), (std::vector<std::string>{"Keyrix", "KeyrixSyncVLRM", "M\xfcller"}));
    EXPECT_TRUE(registry.ReadMultiSz("Empty").empty());
    EXPECT_NE(ReadFile(HivePath).find("\"Sources\"=hex(7):"), std::string::npos) << "stored as REG_MULTI_SZ";
}

TEST_F(RegistryEx, ReadingStopsAtTheFirstEmptyString) {
    TRegistryEx registry;
    ASSERT_TRUE(registry.OpenKey("\\Software\\T", true));
    ASSERT_EQ(registry.SetRaw("List", platform::REG_MULTI_SZ, std::string("a\0\0b\0\0", 6)), platform::ERROR_SUCCESS);
    EXPECT_EQ(registry.ReadMultiSz("List"), std::vector<std::string>{"a"});
}

TEST_F(RegistryEx, ErrorsCarryTheirTexts) {
    TRegistryEx writer;
    ASSERT_TRUE(writer.OpenKey("\\Software\\T", true));
    writer.WriteString("Single", "x");

    try {
        writer.ReadMultiSz("Single");
        FAIL();
    } catch (const platform::ERegistryException& e) {
        EXPECT_EQ(e.Message(), "String list expected");
    }
    try {
        writer.ReadMultiSz("Missing");
        FAIL();
    } catch (const EExRegistryException& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
        EXPECT_EQ(e.Message(), "Error 2 : The system cannot find the file specified.:Unable read MULTI_SZ value");
    }
    TRegistryEx reader(platform::TRegAccess::Read);
    ASSERT_TRUE(reader.OpenKeyReadOnly("\\Software\\T"));
    try {
        reader.WriteMultiSz("Sources", {"a"});
        FAIL();
    } catch (const EExRegistryException& e) {
        EXPECT_EQ(e.ErrorCode(), 5);
        EXPECT_EQ(e.Message(), "Error 5 : Access is denied.:Unable to write MULTI_SZ value");
    }
    EXPECT_EQ(EExRegistryException(12345, "x").Message(), "Error 12345:x");
}
