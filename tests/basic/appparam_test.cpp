#include <vor/basic/appparam.h>
#include <vor/basic/mempool.h>

#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <type_traits>

using namespace Vor;
using Basic::AppParam;

namespace {

Core::Guard<AppParam> NewParams()
{
    AppParam* p = new AppParam;
    Core::Guard<AppParam> guard(p);
    p->DecRef();
    return guard;
}

unsigned int Parse(AppParam& params, std::initializer_list<char const*> elements, char prefix = '-')
{
    std::vector<char*> argv;
    for (char const* e : elements)
        argv.push_back(const_cast<char*>(e));
    return params.AddParam(static_cast<int>(argv.size()), argv.data(), prefix);
}

} // namespace

TEST(AppParamCommandLine, NameFollowedByValue)
{
    auto params = NewParams();
    EXPECT_EQ(Parse(*params, {"prog", "-port", "80"}), 1u);
    EXPECT_EQ(params->GetParam("port"), "80");
}

TEST(AppParamCommandLine, DoublePrefixAndEmptyValues)
{
    auto params = NewParams();
    EXPECT_EQ(Parse(*params, {"prog", "--debug", "-level", "3"}), 2u);
    EXPECT_TRUE(params->HasParam("debug"));
    EXPECT_EQ(params->GetParam("debug"), "");
    EXPECT_EQ(params->GetParam("level"), "3");
}

TEST(AppParamCommandLine, SkipsBarePrefixesStrayWordsAndNulls)
{
    auto params = NewParams();
    EXPECT_EQ(Parse(*params, {"-prog", "-", "--", "stray", nullptr, "-a", nullptr, "-b", "x", "y", "-c"}), 3u);
    EXPECT_FALSE(params->HasParam("prog")); // element 0 is never looked at
    EXPECT_FALSE(params->HasParam(""));
    EXPECT_FALSE(params->HasParam("stray"));
    EXPECT_EQ(params->GetParam("a"), "");
    EXPECT_EQ(params->GetParam("b"), "x");
    EXPECT_FALSE(params->HasParam("y"));
    EXPECT_EQ(params->GetParam("c"), "");
}

TEST(AppParamCommandLine, CountsOnlyNewNamesAndShortLines)
{
    auto params = NewParams();
    EXPECT_EQ(Parse(*params, {"prog", "-k", "1", "-k", "2"}), 1u);
    EXPECT_EQ(params->GetParam("k"), "1");
    EXPECT_EQ(Parse(*params, {"prog"}), 0u);
    EXPECT_EQ(params->AddParam(0, nullptr, '-'), 0u);
    EXPECT_EQ(params->AddParam(-3, nullptr, '-'), 0u);
    EXPECT_EQ(params->AddParam(5, nullptr, '-'), 0u);
    EXPECT_EQ(Parse(*params, {"prog", "/x", "v"}, '/'), 1u);
    EXPECT_EQ(params->GetParam("x"), "v");
    // A NUL prefix matches no element.
    EXPECT_EQ(Parse(*params, {"prog", "", "-z"}, '\0'), 0u);
}

TEST(AppParamText, QuotedWordsKeepSpacesAndTheOtherQuote)
{
    auto params = NewParams();
    EXPECT_EQ(params->AddParam("prog -name 'a b' -v", '-'), 2u);
    EXPECT_EQ(params->GetParam("name"), "a b");
    EXPECT_EQ(params->GetParam("v"), "");
    EXPECT_EQ(params->AddParam("prog  -q \"it's here\"   -w'x y'", '-'), 2u);
    EXPECT_EQ(params->GetParam("q"), "it's here");
    EXPECT_EQ(params->GetParam("w"), "x y");
}

TEST(AppParamText, EmptyQuotesUnterminatedQuotesAndNull)
{
    auto params = NewParams();
    EXPECT_EQ(params->AddParam("prog -e '' -f", '-'), 2u);
    EXPECT_EQ(params->GetParam("e"), "");
    EXPECT_EQ(params->AddParam("prog -g \"open to the end", '-'), 1u);
    EXPECT_EQ(params->GetParam("g"), "open to the end");
    EXPECT_EQ(params->AddParam("", '-'), 0u);
    EXPECT_EQ(params->AddParam("'''\"\"\"   ", '-'), 0u);
    EXPECT_EQ(params->AddParam(static_cast<char const*>(nullptr), '-'), AppParam::INVALID_COUNT);
    // The first word stands for the program.
    EXPECT_EQ(params->AddParam("-first", '-'), 0u);
    EXPECT_FALSE(params->HasParam("first"));
}

TEST(AppParamPairs, AddSetGetDel)
{
    auto params = NewParams();
    EXPECT_TRUE(params->AddParam("k", "1"));
    EXPECT_FALSE(params->AddParam("k", "2"));
    EXPECT_EQ(params->GetParam("k"), "1");
    EXPECT_TRUE(params->SetParam("k", "2"));
    EXPECT_EQ(params->GetParam("k"), "2");
    EXPECT_FALSE(params->SetParam("absent", "x"));
    EXPECT_FALSE(params->HasParam("absent"));
    EXPECT_TRUE(params->DelParam("absent"));
    EXPECT_EQ(params->GetParam("absent"), "");
    EXPECT_TRUE(params->DelParam("k"));
    EXPECT_FALSE(params->HasParam("k"));
    // Names are case-sensitive and kept as given.
    EXPECT_TRUE(params->AddParam("Name", "A"));
    EXPECT_TRUE(params->AddParam("name", "a"));
    EXPECT_EQ(params->GetParam("Name"), "A");
    EXPECT_TRUE(params->AddParam("nullvalue", nullptr));
    EXPECT_TRUE(params->HasParam("nullvalue"));
    EXPECT_TRUE(params->SetParam("nullvalue", nullptr));
}

TEST(AppParamPairs, NullNamesAreRefusedWithoutCrashing)
{
    auto params = NewParams();
    char const* none = nullptr;
    EXPECT_FALSE(params->AddParam(none, "v"));
    EXPECT_FALSE(params->SetParam(none, "v"));
    EXPECT_EQ(params->GetParam(none), "");
    EXPECT_FALSE(params->HasParam(none));
    EXPECT_TRUE(params->DelParam(none));
    EXPECT_FALSE(params->HasParam(""));
}

TEST(AppParamPairs, WideFormsKeepNothing)
{
    auto params = NewParams();
    EXPECT_FALSE(params->AddParam(std::wstring(L"a"), std::wstring(L"1")));
    EXPECT_FALSE(params->AddParam(L"a", L"1"));
    EXPECT_FALSE(params->SetParam(L"a", L"1"));
    EXPECT_FALSE(params->HasParam(L"a"));
    EXPECT_FALSE(params->DelParam(L"a"));
    EXPECT_EQ(params->GetParam(L"a"), L"");
    wchar_t const* argv[] = {L"prog", L"-a", L"1"};
    EXPECT_EQ(params->AddParam(3, const_cast<wchar_t**>(argv), L'-'), 0u);
    EXPECT_EQ(params->AddParam(L"prog -a 'x y'", L'-'), 0u);
    EXPECT_EQ(params->AddParam(static_cast<wchar_t const*>(nullptr), L'-'), AppParam::INVALID_COUNT);
    EXPECT_FALSE(params->HasParam("a"));
}

TEST(AppParamMerge, AddsAbsentNamesAndCopiesReplace)
{
    auto a = NewParams();
    auto b = NewParams();
    a->AddParam("x", "a");
    b->AddParam("x", "b");
    b->AddParam("y", "b");
    *a += *b;
    EXPECT_EQ(a->GetParam("x"), "a");
    EXPECT_EQ(a->GetParam("y"), "b");
    *a += *a;
    EXPECT_EQ(a->GetParam("x"), "a");

    auto c = NewParams();
    c->AddParam("z", "c");
    *c = *b;
    EXPECT_FALSE(c->HasParam("z"));
    EXPECT_EQ(c->GetParam("x"), "b");
    *c = *c;
    EXPECT_EQ(c->GetParam("y"), "b");

    AppParam* raw = new AppParam(*a);
    Core::Guard<AppParam> copy(raw);
    raw->DecRef();
    EXPECT_EQ(copy->GetParam("y"), "b");
    // The copy is independent of its source, lock included: changing one
    // while reading the other is fine.
    a->SetParam("y", "changed");
    EXPECT_EQ(copy->GetParam("y"), "b");
}

TEST(AppParamMerge, CrossMergingFinishesWithinABound)
{
    // a += b racing b += a took the two locks in opposite orders.
    auto a = NewParams();
    auto b = NewParams();
    for (int i = 0; i < 20; ++i) {
        a->AddParam("a" + std::to_string(i), "1");
        b->AddParam("b" + std::to_string(i), "2");
    }
    constexpr int kRounds = 5000;
    std::atomic<int> finished{0};
    std::thread one([&] {
        for (int i = 0; i < kRounds; ++i) {
            *a += *b;
            *a = *a;
        }
        ++finished;
    });
    std::thread two([&] {
        for (int i = 0; i < kRounds; ++i) {
            *b += *a;
            b->AddParam("late" + std::to_string(i % 7), "x");
        }
        ++finished;
    });
    if (!VorTest::WaitUntil([&] { return finished.load() == 2; }, std::chrono::milliseconds(20000))) {
        std::fprintf(stderr, "cross merge deadlocked\n");
        std::abort(); // the threads cannot be joined
    }
    one.join();
    two.join();
    EXPECT_EQ(a->GetParam("b3"), "2");
    EXPECT_EQ(b->GetParam("a3"), "1");
}

TEST(MemPoolLayout, CopiesShareTheLockAndCallbacks)
{
    static_assert(std::is_copy_constructible<Basic::MemPool>::value, "copied member-wise");
    static_assert(std::is_copy_assignable<Basic::MemPool>::value, "copied member-wise");
    Basic::MemPool pool;
    Basic::MemPool copy(pool);
    copy = pool;
    Basic::MemSlot* slot = new Basic::MemSlot;
    Core::Guard<Basic::MemSlot> guard(slot);
    slot->DecRef();
    EXPECT_TRUE(guard.IsValid());
    EXPECT_EQ(slot->GetRef(), 1u);
}
