#include "platform/Seam.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using keyrix::platform::TSeam;

namespace {

class IGreeter {
public:
    virtual ~IGreeter() = default;
    virtual std::string Name() const = 0;
};

class TNamed : public IGreeter {
public:
    explicit TNamed(std::string name) : FName(std::move(name)) {}
    std::string Name() const override { return FName; }

private:
    std::string FName;
};

std::atomic<int> RealsMade{0};

class TRealGreeter : public TNamed {
public:
    TRealGreeter() : TNamed("real") { ++RealsMade; }
};

// A seam of its own, so that no other test's object stands in it.
class IScreenLike {
public:
    virtual ~IScreenLike() = default;
};

}  // namespace

TEST(Seam, OverridesNestAndEachPutsBackWhatStoodBeforeIt) {
    using Seam = TSeam<IGreeter>;
    IGreeter* const real = &Seam::RealOne<TRealGreeter>();
    EXPECT_EQ(Seam::Find(), nullptr) << "nothing in place";
    EXPECT_EQ(&Seam::Get<TRealGreeter>(), real);
    TNamed outer("outer"), inner("inner");
    {
        Seam::TScoped first(outer);
        EXPECT_EQ(Seam::Get<TRealGreeter>().Name(), "outer");
        {
            Seam::TScoped second(inner);
            EXPECT_EQ(Seam::Get<TRealGreeter>().Name(), "inner");
            EXPECT_EQ(Seam::Find(), &inner);
        }
        EXPECT_EQ(Seam::Get<TRealGreeter>().Name(), "outer");
        EXPECT_EQ(&Seam::RealOne<TRealGreeter>(), real) << "the real one stays whatever is in place";
    }
    EXPECT_EQ(Seam::Find(), nullptr);
    EXPECT_EQ(Seam::Get<TRealGreeter>().Name(), "real");
}

TEST(Seam, WithoutARealOneNothingIsInPlaceButWhatAScopePuts) {
    using Seam = TSeam<IScreenLike>;
    EXPECT_EQ(Seam::Find(), nullptr);
    IScreenLike screen;
    {
        Seam::TScoped inPlace(screen);
        EXPECT_EQ(Seam::Find(), &screen);
    }
    EXPECT_EQ(Seam::Find(), nullptr);
}

TEST(Seam, ThreadsAskingAtOnceShareOneRealOneAndOneOverride) {
    using Seam = TSeam<IGreeter>;
    TNamed stand("stand-in");
    std::vector<const IGreeter*> seenReal(8), seenOverride(8);
    const auto askAll = [](std::vector<const IGreeter*>& seen) {
        std::atomic<bool> go{false};
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < seen.size(); ++i)
            threads.emplace_back([&, i] {
                while (!go) std::this_thread::yield();
                seen[i] = &Seam::Get<TRealGreeter>();
            });
        go = true;
    };
    askAll(seenReal);
    {
        // Put in place before the threads start and taken out after they are joined.
        Seam::TScoped inPlace(stand);
        askAll(seenOverride);
    }
    const IGreeter* const real = &Seam::RealOne<TRealGreeter>();
    for (std::size_t i = 0; i < seenReal.size(); ++i) {
        EXPECT_EQ(seenReal[i], real) << i;
        EXPECT_EQ(seenOverride[i], &stand) << i;
    }
    EXPECT_EQ(RealsMade.load(), 1) << "made once, by whichever thread asked first";
}
