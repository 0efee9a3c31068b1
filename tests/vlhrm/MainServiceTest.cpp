// The service object of this system: its names, log options and start type, and the image
// path that /INSTALL registers.
#include "Services/SyncClients/VLHRM/MainService.h"

#include "service/SvcObject.h"

#include <gtest/gtest.h>

using namespace keyrix;
using namespace keyrix::platform;

TEST(ServiceProperties, ThisSystemsService) {
    TKeyrixSyncVLRM service;
    EXPECT_EQ(service.ServiceName(), "KeyrixSyncVLRM");
    EXPECT_EQ(service.DisplayName(), "Keyrix Sync Client (VLHRM)");
    EXPECT_EQ(service.Description(), "Veltrona HRM users sync");
    EXPECT_EQ(service.LogOptions.EventLogName, "Keyrix");
    EXPECT_EQ(service.LogOptions.MessagesLibrary, "KeyrixMessages.dll");
    EXPECT_TRUE(service.LogOptions.UseCustomEventLog);
    EXPECT_EQ(service.StartType, TStartType::stAuto);
    EXPECT_TRUE(static_cast<bool>(service.OnExecute));
    const std::string image = service.ImagePath();
    EXPECT_EQ(image.substr(image.size() - 5), " /SVC");
    EXPECT_EQ(image.front(), '/') << "the full path, unquoted without blanks";
}
