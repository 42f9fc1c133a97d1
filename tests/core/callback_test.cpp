#include <vor/core/callback.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

using namespace Vor::Core;

namespace {

int g_Calls = 0;
void Count() { ++g_Calls; }
unsigned int Seven() { return 7; }
std::string Join(std::string const& bound, std::string call) { return bound + "+" + call; }

class Account {
public:
    void Deposit(int amount) { m_iBalance += amount; }
    int Balance() const { return m_iBalance; }
    int Scaled(int factor) const { return m_iBalance * factor; }
    void Move(Account* to, int amount)
    {
        m_iBalance -= amount;
        to->m_iBalance += amount;
    }

private:
    int m_iBalance = 0;
};

class Tracked : public LocalRef {
public:
    explicit Tracked(std::atomic<int>* deaths) : m_pDeaths(deaths) {}
    ~Tracked() override { ++*m_pDeaths; }

private:
    std::atomic<int>* m_pDeaths;
};

void Touch(Guard<Tracked> guard) { EXPECT_TRUE(guard.IsValid()); }

} // namespace

TEST(CallBackTest, EmptyRebindAndWrongSignatureCallsAreRefusedNotMiscalled)
{
    CallBack empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_FALSE(empty.CallBackV());
    int result = 3;
    EXPECT_FALSE(empty.CallBackR(result));
    EXPECT_EQ(result, 3);

    CallBack seven;
    ASSERT_TRUE(seven.Bind(&Seven));
    EXPECT_FALSE(seven.Bind(&Count)) << "binding twice keeps the first body";
    EXPECT_FALSE(seven.CallBackV());
    EXPECT_FALSE(seven.CallBackA(5));
    EXPECT_FALSE(seven.CallBackR(result)) << "int is not unsigned int";
    EXPECT_TRUE((seven.Accepts<void, unsigned int>()));
    unsigned int seen = 0;
    EXPECT_TRUE(seven.CallBackR(seen));
    EXPECT_EQ(seen, 7u);

    CallBack none;
    ASSERT_TRUE(none.Bind(static_cast<unsigned int (*)()>(nullptr)));
    seen = 99;
    EXPECT_TRUE(none.CallBackR(seen)) << "a null function gives the default result";
    EXPECT_EQ(seen, 99u);
}

TEST(CallBackTest, CopiesShareOneBodyAndSeparateBindingsDiffer)
{
    CallBack a, b;
    ASSERT_TRUE(a.Bind(&Count));
    ASSERT_TRUE(b.Bind(&Count));
    CallBack copy(a);
    EXPECT_TRUE(copy == a);
    EXPECT_TRUE(a != b);
    g_Calls = 0;
    EXPECT_TRUE(copy.CallBackV());
    EXPECT_EQ(g_Calls, 1);
    copy.Clear();
    EXPECT_FALSE(copy.IsValid());
    EXPECT_TRUE(a.IsValid());
}

TEST(CallBackTest, BoundArgumentComesBeforeTheCallArgumentAndMembersRunOnTheirObject)
{
    CallBack join;
    ASSERT_TRUE(join.Bind(&Join, std::string("bound")));
    std::string joined;
    EXPECT_TRUE(join.CallBackAR(std::string("call"), joined));
    EXPECT_EQ(joined, "bound+call");

    Account from, to;
    CallBack deposit;
    ASSERT_TRUE(deposit.Bind(&from, &Account::Deposit));
    EXPECT_TRUE(deposit.CallBackA(100));
    CallBack move;
    ASSERT_TRUE(move.Bind(&from, &Account::Move, &to));
    EXPECT_TRUE(move.CallBackA(30));
    EXPECT_EQ(from.Balance(), 70);
    EXPECT_EQ(to.Balance(), 30);
    CallBack scaled;
    ASSERT_TRUE(scaled.Bind(static_cast<Account const*>(&from), &Account::Scaled));
    int result = 0;
    EXPECT_TRUE(scaled.CallBackAR(2, result));
    EXPECT_EQ(result, 140);
}

TEST(CallBackTest, BoundGuardKeepsItsObjectAliveAsLongAsTheCallback)
{
    std::atomic<int> deaths{0};
    Tracked* raw = new Tracked(&deaths);
    CallBack task;
    {
        Guard<Tracked> guard(raw);
        raw->DecRef();
        ASSERT_TRUE(task.Bind(&Touch, guard));
        EXPECT_EQ(raw->GetRef(), 2u);
    }
    EXPECT_EQ(deaths.load(), 0);
    CallBack copy(task);
    EXPECT_TRUE(task.CallBackV());
    EXPECT_EQ(raw->GetRef(), 1u); // the call's own copy is gone again
    task.Clear();
    EXPECT_EQ(deaths.load(), 0);
    copy.Clear();
    EXPECT_EQ(deaths.load(), 1);
}
