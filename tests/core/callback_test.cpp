#include <vor/core/callback.h>

#include <gtest/gtest.h>

#include <string>

using namespace Vor::Core;

namespace {

int g_Deaths = 0;
unsigned int Seven() { return 7; }
std::string Join(std::string const& bound, std::string call) { return bound + "+" + call; }

struct Account {
    void Move(Account* to, int amount) { m_iBalance -= amount, to->m_iBalance += amount; }
    int m_iBalance = 100;
};

struct Tracked : LocalRef {
    ~Tracked() override { ++g_Deaths; }
};
void Touch(Guard<Tracked> guard) { EXPECT_TRUE(guard.IsValid()); }

struct Copies {
    Copies() = default;
    Copies(Copies const& other) : count(other.count + 1) {}
    int count = 0;
};
int g_Seen = -1;
void ByValue(Copies copies) { g_Seen = copies.count; }
void ByReference(Copies const& copies) { g_Seen = copies.count; }
void BoundByValue(Copies bound, int) { g_Seen = bound.count; }
void BoundByReference(Copies const& bound, int) { g_Seen = bound.count; }

} // namespace

// The call-time argument reaches a function that takes it by value as its
// own copy, and one that takes a reference to const as the caller's object.
// The bound argument is copied for the call unless the caller holds the body
// and the function takes a reference to const.
TEST(CallBackTest, ArgumentsAreCopiedOnlyWhereTheFunctionOrTheCallNeedsACopy)
{
    CallBack byValue, byReference;
    ASSERT_TRUE(byValue.Bind(&ByValue) && byReference.Bind(&ByReference));
    Copies original;
    EXPECT_TRUE(byValue.CallBackA(original));
    EXPECT_EQ(g_Seen, 1);
    EXPECT_TRUE(byReference.CallBackA(original));
    EXPECT_EQ(g_Seen, 0);

    CallBack boundByValue, boundByReference;
    ASSERT_TRUE(boundByValue.Bind(&BoundByValue, original) && boundByReference.Bind(&BoundByReference, original));
    EXPECT_TRUE(boundByReference.CallBackHeldA(1));
    int stored = g_Seen;
    EXPECT_TRUE(boundByReference.CallBackA(1));
    EXPECT_EQ(g_Seen, stored + 1);
    EXPECT_TRUE(boundByValue.CallBackA(1));
    int copied = g_Seen;
    EXPECT_TRUE(boundByValue.CallBackHeldA(1));
    EXPECT_EQ(g_Seen, copied) << "a function that takes the bound argument by value gets its copy";
    EXPECT_FALSE(boundByReference.CallBackHeldA(std::string("wrong signature")));
}

TEST(CallBackTest, CallsOfTheWrongSignatureAreRefusedAndBoundArgumentsComeFirst)
{
    CallBack empty, seven, none, join, move;
    int result = 3;
    EXPECT_FALSE(empty.CallBackV() || empty.CallBackR(result));
    ASSERT_TRUE(seven.Bind(&Seven));
    EXPECT_FALSE(seven.Bind(&Join, std::string())) << "binding twice keeps the first body";
    EXPECT_FALSE(seven.CallBackV() || seven.CallBackA(5));
    EXPECT_FALSE(seven.CallBackR(result)) << "int is not unsigned int";
    EXPECT_EQ(result, 3);
    unsigned int seen = 0;
    EXPECT_TRUE(seven.CallBackR(seen) && seen == 7);
    ASSERT_TRUE(none.Bind(static_cast<unsigned int (*)()>(nullptr)));
    EXPECT_TRUE(none.CallBackR(seen)) << "a null function gives the default result";
    EXPECT_EQ(seen, 7u);
    ASSERT_TRUE(join.Bind(&Join, std::string("bound")));
    std::string joined;
    EXPECT_TRUE(join.CallBackAR(std::string("call"), joined));
    EXPECT_EQ(joined, "bound+call");
    Account from, to;
    ASSERT_TRUE(move.Bind(&from, &Account::Move, &to));
    EXPECT_TRUE(move.CallBackA(30));
    EXPECT_EQ(from.m_iBalance + 60, to.m_iBalance);
}

TEST(CallBackTest, BoundGuardKeepsItsObjectAliveAsLongAsTheCallbackAndItsCopies)
{
    g_Deaths = 0;
    Tracked* raw = new Tracked;
    CallBack task;
    ASSERT_TRUE(task.Bind(&Touch, Guard<Tracked>(raw)));
    raw->DecRef();
    CallBack copy(task);
    EXPECT_TRUE(copy == task);
    EXPECT_TRUE(task.CallBackV());
    EXPECT_EQ(raw->GetRef(), 1u); // the call's own copy is gone again
    task.Clear();
    EXPECT_EQ(g_Deaths, 0);
    copy.Clear();
    EXPECT_EQ(g_Deaths, 1);
}
