// The call time-out: a database call that waits on a frozen network path is ended by the
// watchdog, and calls that answer in time are left alone. Real server, reached through a
// relay on loopback that can stop forwarding without closing anything.
#include "db/FbQuery.h"

#include "db/DBUtils.h"
#include "db/FbWatchdog.h"
#include "tests/db/DbFixture.h"
#include "tests/support/TcpRelay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace keyrix;
using namespace keyrix::dbutils;
using keyrix::test::DbTest;
using keyrix::test::TTcpRelay;
using namespace std::chrono_literals;

namespace {

const char* const InsertDepartmentSql = "insert into departments (id, name) values (:id, :name)";

class DbCallTimeout : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        const keyrix::test::TFbServer& server = keyrix::test::TFbServer::Get();
        Relay = std::make_unique<TTcpRelay>("127.0.0.1", std::stoi(server.Port));
        Database().Configure(Remote);
        const std::string file = Database().Path().substr(Database().Path().find(':'));
        Remote.SetDatabaseName("127.0.0.1/" + std::to_string(Relay->Port()) + file);
        Remote.SetLostConnectHandler([this](TFbConnection&, const EFirebirdError&) { ++LostHandlerRuns; });
    }
    void TearDown() override {
        Relay->Resume();
        Remote.CloseConnection();
        Relay.reset();
        DbTest::TearDown();
    }
    PQuery Insert(const std::shared_ptr<TFbTransaction>& transaction) {
        auto query = std::make_shared<TFbQuery>(transaction);
        query->SetSQL(InsertDepartmentSql);
        query->SetCached(true);
        return query;
    }

    std::unique_ptr<TTcpRelay> Relay;
    TFbConnection Remote{"dbDatabase", "DataModule1"};
    int LostHandlerRuns = 0;
};

}  // namespace

TEST_F(DbCallTimeout, StalledCallIsAbortedAndTheServerRollsBack) {
    // The server learns of the abort when the path carries the close again, or is closed.
    for (const bool resume : {false, true}) {
        SCOPED_TRACE(resume ? "path resumes" : "path is closed");
        const std::int32_t key = resume ? 711 : 701;
        Relay->Resume();
        LostHandlerRuns = 0;
        Remote.SetCallTimeout(2s);
        Remote.OpenConnection();
        auto transaction = std::make_shared<TFbTransaction>(Remote, WriteTransactionParams());
        PQuery insert = Insert(transaction);
        insert->ExecuteWith({TValue(key), "written before the stall"});

        Relay->Pause(15s);  // well past the limit, and bounded
        const auto start = std::chrono::steady_clock::now();
        try {
            insert->ExecuteWith({TValue(key + 1), "sent into the stall"});
            ADD_FAILURE() << "the call returned over a frozen path";
        } catch (const EFirebirdError& error) {
            const std::string message = error.Message();
            EXPECT_NE(message.find("Database call did not return within 2 seconds"), std::string::npos) << message;
            EXPECT_NE(message.find("\"Call time-out seconds\""), std::string::npos) << message;
            EXPECT_NE(message.find("the connection to " + Remote.DatabaseName() + " was aborted"), std::string::npos)
                << message;
            // The time-out first, then what the client library made of the abort.
            EXPECT_EQ(message.rfind("Database call did not return", 0), 0u) << message;
            EXPECT_TRUE(error.ConnectionLost()) << message;
        }
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, 1900ms);
        EXPECT_LT(waited, 10s) << "the abort did not end the wait promptly";
        EXPECT_EQ(LostHandlerRuns, 1);
        EXPECT_FALSE(Remote.IsConnected());
        EXPECT_FALSE(transaction->IsActive());
        EXPECT_THROW(transaction->Commit(), EDatabaseError);
        insert->Free();

        // Another attachment writing the same key: refused while the orphaned transaction
        // holds it, accepted once the server has rolled that back.
        auto direct = OpenSecondConnection();
        auto tryKey = [&](std::string& error) {
            auto probe = std::make_shared<TFbTransaction>(*direct, WriteTransactionParams());
            bool inserted = false;
            try {
                Insert(probe)->ExecuteWith({TValue(key), "probe"});
                inserted = true;
            } catch (const EFirebirdError& e) {
                error = e.Message();
            }
            probe->Rollback();
            return inserted;
        };
        std::string lastError;
        EXPECT_FALSE(tryKey(lastError)) << "the frozen attachment's row was not held";
        if (resume)
            Relay->Resume();
        else
            Relay->CutAll();
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        bool inserted = false;
        while (!(inserted = tryKey(lastError)) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(inserted) << "the orphaned transaction still holds its row: " << lastError;
        direct->CloseConnection();
    }
    EXPECT_EQ(Scalar("select count(*) from departments").ToString(), "0");
}

// Every kind of call that waits on the server is bounded, not only the execution.
TEST_F(DbCallTimeout, EachKindOfCallIsBounded) {
    struct TCase {
        const char* Name;
        // Runs the call that meets the frozen path.
        std::function<void(TFbConnection&, const std::shared_ptr<TFbTransaction>&, const PQuery&)> Call;
        bool Raises = true;
    };
    const TCase cases[] = {
        {"start transaction", [](TFbConnection&, const auto& t, const PQuery&) { t->StartTransaction(); }},
        {"prepare",
         [](TFbConnection&, const auto& t, const PQuery&) {
             t->StartTransaction();
             auto query = std::make_shared<TFbQuery>(t);
             query->SetSQL("select count(*) from users");
             query->Prepare();
         }},
        {"execute", [](TFbConnection&, const auto&, const PQuery& q) { q->ExecuteWith({TValue(std::int32_t{1}), "x"}); }},
        {"savepoint", [](TFbConnection&, const auto& t, const PQuery&) { t->SetSavepoint("S1"); }},
        {"commit", [](TFbConnection&, const auto& t, const PQuery&) { t->Commit(); }},
        // The client takes a rollback or a detach over a broken connection as done (the server
        // rolls back what the attachment left): they report nothing, but must end all the same.
        {"rollback", [](TFbConnection&, const auto& t, const PQuery&) { t->Rollback(); }, false},
        {"detach", [](TFbConnection& c, const auto&, const PQuery&) { c.CloseConnection(); }, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Relay->Resume();
        Remote.SetCallTimeout(1s);
        Remote.OpenConnection();
        auto transaction = std::make_shared<TFbTransaction>(Remote, WriteTransactionParams());
        PQuery insert = Insert(transaction);
        if (std::string(c.Name) != "start transaction" && std::string(c.Name) != "prepare") {
            insert->Prepare();
            insert->ExecuteWith({TValue(std::int32_t{601}), "before the stall"});
        }
        Relay->Pause(10s);
        const auto start = std::chrono::steady_clock::now();
        bool raised = false;
        try {
            c.Call(Remote, transaction, insert);
        } catch (const EFirebirdError& error) {
            raised = true;
            EXPECT_EQ(error.Message().find("Database call did not return within 1 second (\"Database\""), 0u) << error.Message();
        }
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(raised, c.Raises);
        EXPECT_GE(waited, 900ms);
        EXPECT_LT(waited, 8s);
        if (Remote.IsConnected()) {
            // The aborted attachment is dead: the next call says why, at once.
            const auto next = std::chrono::steady_clock::now();
            try {
                transaction->StartTransaction();
                ADD_FAILURE() << "a call went through an aborted attachment";
            } catch (const EFirebirdError& error) {
                EXPECT_EQ(error.Message().find("Database call did not return within 1 second (\"Database\""), 0u)
                    << error.Message();
            }
            EXPECT_LT(std::chrono::steady_clock::now() - next, 900ms);
        }
        EXPECT_FALSE(Remote.IsConnected());
        insert->Free();
        Remote.CloseConnection();
        Relay->CutAll();
    }
    EXPECT_EQ(Scalar("select count(*) from departments").ToString(), "0");
}

TEST_F(DbCallTimeout, CallsThatAnswerInTimeAreNotCancelled) {
    Remote.SetCallTimeout(1500ms);
    Remote.OpenConnection();
    auto transaction = std::make_shared<TFbTransaction>(Remote, WriteTransactionParams());
    PQuery insert = Insert(transaction);
    // The limit is per call: a connection busy for longer than it in total is fine.
    for (int id = 801; id <= 803; ++id) {
        insert->ExecuteWith({TValue(std::int32_t{id}), "in time"});
        std::this_thread::sleep_for(700ms);
    }
    // A call held up for less than the limit is not cancelled either.
    Relay->Pause();
    std::thread resume([this] {
        std::this_thread::sleep_for(700ms);
        Relay->Resume();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(insert->ExecuteWith({TValue(std::int32_t{804}), "held up"}));
    resume.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms) << "the relay did not hold the call";
    insert->Free();
    transaction->Commit();
    EXPECT_TRUE(Remote.IsConnected());
    EXPECT_EQ(LostHandlerRuns, 0);
    EXPECT_GT(Relay->Forwarded(), 0u);
    EXPECT_EQ(Scalar("select count(*) from departments where id between 801 and 804").ToString(), "4");
}

TEST_F(DbCallTimeout, ZeroTimeOutWatchesNothing) {
    Remote.SetCallTimeout(0ms);
    Remote.OpenConnection();
    auto transaction = std::make_shared<TFbTransaction>(Remote, WriteTransactionParams());
    Relay->Pause();
    std::thread resume([this] {
        std::this_thread::sleep_for(500ms);
        Relay->Resume();
    });
    EXPECT_NO_THROW(Insert(transaction)->ExecuteWith({TValue(std::int32_t{901}), "unwatched"}));
    resume.join();
    transaction->Commit();
    EXPECT_EQ(LostHandlerRuns, 0);
}

namespace {

// The watchdog's abort, recorded instead of made, with the order of events: an abort of a
// call after that call's end would act on a handle that may be gone.
std::mutex EventsLock;
std::uint64_t EventSerial = 0;
struct TCancelEvent {
    isc_db_handle Handle;
    std::uint64_t Serial;
};
std::vector<TCancelEvent> Cancels;

ISC_STATUS RecordCancel(ISC_STATUS* status, isc_db_handle* handle, ISC_USHORT option) {
    std::lock_guard lock(EventsLock);
    if (option == fb_cancel_abort) Cancels.push_back({*handle, ++EventSerial});
    status[0] = isc_arg_gds;
    status[1] = 0;
    status[2] = isc_arg_end;
    return 0;
}

}  // namespace

TEST(DbCallWatchdog, AbortsOnlyCallsInProgressAndEachOnce) {
    Cancels.clear();
    TFbCallWatchdog watchdog;
    watchdog.SetTimeout(1ms);
    constexpr int Calls = 1500;
    std::vector<std::uint64_t> ended(Calls + 1, 0);
    std::vector<bool> long_(Calls + 1, false);
    std::mt19937 random(42);
    // Call lengths around the limit, so that calls end as the time-out fires.
    std::uniform_int_distribution<int> micros(0, 2000);
    for (isc_db_handle handle = 1; handle <= Calls; ++handle) {
        {
            TFbCallWatchdog::TCall call(watchdog, RecordCancel, handle);
            const int length = handle % 100 == 0 ? 30000 : micros(random);
            long_[handle] = length >= 30000;
            std::this_thread::sleep_for(std::chrono::microseconds(length));
        }
        std::lock_guard lock(EventsLock);
        ended[handle] = ++EventSerial;
    }
    std::lock_guard lock(EventsLock);
    std::vector<int> aborts(Calls + 1, 0);
    for (const TCancelEvent& cancel : Cancels) {
        ASSERT_GE(cancel.Handle, 1u);
        ASSERT_LE(cancel.Handle, static_cast<isc_db_handle>(Calls));
        EXPECT_LT(cancel.Serial, ended[cancel.Handle]) << "aborted call " << cancel.Handle << " after it ended";
        ++aborts[cancel.Handle];
    }
    for (int handle = 1; handle <= Calls; ++handle) {
        EXPECT_LE(aborts[handle], 1) << "call " << handle << " aborted more than once";
        if (long_[handle]) {
            EXPECT_EQ(aborts[handle], 1) << "call " << handle << " (30 ms) never aborted";
        }
    }
    EXPECT_TRUE(watchdog.Fired());
    watchdog.Rearm();
    EXPECT_FALSE(watchdog.Fired());
}

TEST(DbCallWatchdog, AttachAndZeroLimitAreNotWatched) {
    Cancels.clear();
    TFbCallWatchdog watchdog;
    watchdog.SetTimeout(1ms);
    { TFbCallWatchdog::TCall attach(watchdog, RecordCancel, 0); std::this_thread::sleep_for(20ms); }
    watchdog.SetTimeout(0ms);
    { TFbCallWatchdog::TCall unlimited(watchdog, RecordCancel, 7); std::this_thread::sleep_for(20ms); }
    std::lock_guard lock(EventsLock);
    EXPECT_TRUE(Cancels.empty());
    EXPECT_FALSE(watchdog.Fired());
}

// A connection that reconnects with a shorter limit: the thread is waiting for the long
// deadline of an earlier call and must look at the new, sooner one.
TEST(DbCallWatchdog, ShorterLimitTakesEffectAtTheNextCall) {
    Cancels.clear();
    TFbCallWatchdog watchdog;
    watchdog.SetTimeout(std::chrono::minutes(10));
    { TFbCallWatchdog::TCall quick(watchdog, RecordCancel, 1); }
    watchdog.SetTimeout(20ms);
    const auto start = std::chrono::steady_clock::now();
    {
        TFbCallWatchdog::TCall stalled(watchdog, RecordCancel, 2);
        // Stands for the blocked call: it ends when the abort comes, or gives up.
        while (!watchdog.Fired() && std::chrono::steady_clock::now() - start < 5s) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(watchdog.Fired());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    std::lock_guard lock(EventsLock);
    ASSERT_EQ(Cancels.size(), 1u);
    EXPECT_EQ(Cancels[0].Handle, 2u);
}
