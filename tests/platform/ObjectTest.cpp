#include "platform/Object.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// Records its own destruction (by name) and what it saw of its owner.
class TTracked : public TComponent {
public:
    TTracked(TComponent* owner, std::string name, std::vector<std::string>* log)
        : TComponent(owner), FLog(log)
    {
        SetName(std::move(name));
    }
    ~TTracked() override
    {
        FLog->push_back(Name() + (Owner() && Owner()->IsDestroying() ? " (owner going)" : ""));
    }

private:
    std::vector<std::string>* FLog;
};

// An owner that records the notifications it receives.
class TWatchingOwner : public TComponent {
public:
    std::vector<std::pair<TComponent*, TOperation>> Seen;

protected:
    void Notification(TComponent* component, TOperation operation) override
    {
        Seen.emplace_back(component, operation);
        TComponent::Notification(component, operation);
    }
};

// A derived destructor body runs before the base frees the components the
// object owns, so "first" is logged before its own child.
TEST(ComponentTest, OwnerFreesOwnedComponentsLastInsertedFirst)
{
    std::vector<std::string> log;
    auto* owner = new TComponent;
    auto* first = new TTracked(owner, "first", &log);
    new TTracked(first, "grandchild", &log);
    new TTracked(owner, "second", &log);
    new TTracked(owner, "third", &log);
    ASSERT_EQ(owner->ComponentCount(), 3);
    EXPECT_EQ(owner->Components(0), first);
    EXPECT_EQ(first->Owner(), owner);

    delete owner;
    EXPECT_EQ(log, (std::vector<std::string>{"third (owner going)", "second (owner going)",
                                             "first (owner going)", "grandchild (owner going)"}));
}

TEST(ComponentTest, ComponentFreedFirstLeavesItsOwnerAndOwnerIsTold)
{
    std::vector<std::string> log;
    TWatchingOwner owner;
    auto* a = new TTracked(&owner, "a", &log);
    auto* b = new TTracked(&owner, "b", &log);
    ASSERT_EQ(owner.Seen.size(), 2u);
    EXPECT_EQ(owner.Seen[0], std::make_pair(static_cast<TComponent*>(a), TOperation::opInsert));

    // Compared as an address only: the object is gone.
    const auto removed = reinterpret_cast<uintptr_t>(static_cast<TComponent*>(a));
    delete a;
    EXPECT_EQ(log, std::vector<std::string>{"a"});
    ASSERT_EQ(owner.ComponentCount(), 1);
    EXPECT_EQ(owner.Components(0), b);
    ASSERT_EQ(owner.Seen.size(), 3u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(owner.Seen[2].first), removed);
    EXPECT_EQ(owner.Seen[2].second, TOperation::opRemove);
    EXPECT_THROW(owner.Components(1), std::out_of_range);
    // owner going out of scope frees b once; a must not be freed again
    // (the sanitizer build catches a double free).
}

TEST(ComponentTest, InsertingIntoAnotherOwnerMovesTheComponent)
{
    std::vector<std::string> log;
    TWatchingOwner from;
    TWatchingOwner to;
    auto* c = new TTracked(&from, "c", &log);
    to.InsertComponent(c);
    EXPECT_EQ(c->Owner(), &to);
    EXPECT_EQ(from.ComponentCount(), 0);
    EXPECT_EQ(to.ComponentCount(), 1);
    ASSERT_EQ(from.Seen.size(), 2u);
    EXPECT_EQ(from.Seen[1].second, TOperation::opRemove);
    // Inserting again into the same owner changes nothing.
    to.InsertComponent(c);
    EXPECT_EQ(to.ComponentCount(), 1);
    EXPECT_EQ(to.Seen.size(), 1u);

    to.RemoveComponent(c);
    EXPECT_EQ(c->Owner(), nullptr);
    delete c;
    EXPECT_EQ(log, std::vector<std::string>{"c"});
}

TEST(ComponentTest, NameAndTag)
{
    TComponent component;
    EXPECT_EQ(component.Name(), "");
    EXPECT_EQ(component.Tag(), 0);
    component.SetName("WSocket1");
    component.SetTag(-42);
    EXPECT_EQ(component.Name(), "WSocket1");
    EXPECT_EQ(component.Tag(), -42);
    EXPECT_STREQ(component.ClassName(), "TComponent");
    EXPECT_STREQ(static_cast<const TObject&>(component).ClassName(), "TComponent");
}

// A derived destructor that marks the object as going before tearing down,
// the way the socket classes do.
class TTearingDown : public TComponent {
public:
    explicit TTearingDown(bool* seenDuringTeardown) : FSeen(seenDuringTeardown) {}
    ~TTearingDown() override
    {
        Destroying();
        TearDown();
    }

private:
    void TearDown() { *FSeen = IsDestroying(); }
    bool* FSeen;
};

TEST(ComponentTest, IsDestroyingSeenByDerivedDestructor)
{
    bool seen = false;
    auto* object = new TTearingDown(&seen);
    EXPECT_FALSE(object->IsDestroying());
    delete object;
    EXPECT_TRUE(seen);
}

class ETestException : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ETestException"; }
};

TEST(ExceptionTest, ClassNameAndMessage)
{
    Exception plain("plain text");
    EXPECT_STREQ(plain.ClassName(), "Exception");
    EXPECT_EQ(plain.Message(), "plain text");
    EXPECT_STREQ(plain.what(), "plain text");
    plain.SetMessage("changed");
    EXPECT_STREQ(plain.what(), "changed");

    try {
        throw ETestException("Test exception in WSocket");
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "ETestException");
        EXPECT_EQ(e.Message(), "Test exception in WSocket");
    }

    TObject object;
    EXPECT_STREQ(object.ClassName(), "TObject");
}

} // namespace
