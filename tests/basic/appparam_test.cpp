#include <vor/basic/appparam.h>

#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using Vor::Basic::AppParam;

TEST(AppParamTest, CommandLinesAndTextsGiveTheirNamesAndCountOnlyNewOnes)
{
    // Each case parses `argv`, or `text` when argv is empty, into fresh
    // parameters; `present` lists name=value, `absent` names that must not
    // appear. Element 0 / the first word stands for the program.
    using Pairs = std::vector<std::pair<char const*, char const*>>;
    struct Case { std::vector<char const*> argv; char const* text; char prefix; unsigned int count;
                  Pairs present; std::vector<char const*> absent; };
    Case const cases[] = {
        {{"prog", "--debug", "-level", "3"}, nullptr, '-', 2, {{"debug", ""}, {"level", "3"}}, {}},
        {{"-prog", "-", "--", "stray", nullptr, "-a", nullptr, "-b", "x", "y", "-c"}, nullptr, '-', 3,
         {{"a", ""}, {"b", "x"}, {"c", ""}}, {"prog", "", "stray", "y"}},
        {{"prog", "-k", "1", "-k", "2"}, nullptr, '-', 1, {{"k", "1"}}, {}},
        {{"prog", "/x", "v"}, nullptr, '/', 1, {{"x", "v"}}, {}},
        {{"prog", "", "-z"}, nullptr, '\0', 0, {}, {"z", "", "-z"}}, // a NUL prefix matches nothing
        {{}, "prog  -q \"it's here\"   -w'x y'", '-', 2, {{"q", "it's here"}, {"w", "x y"}}, {}},
        {{}, "prog -e '' -f", '-', 2, {{"e", ""}, {"f", ""}}, {}},
        {{}, "prog -g \"open to the end", '-', 1, {{"g", "open to the end"}}, {}},
        {{}, "'''\"\"\"   ", '-', 0, {}, {}},
        {{}, "-first", '-', 0, {}, {"first"}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.argv.empty() ? c.text : c.argv.back());
        auto params = Vor::Core::New<AppParam>();
        EXPECT_EQ(c.count, c.argv.empty() ? params->AddParam(c.text, c.prefix)
                                          : params->AddParam(static_cast<int>(c.argv.size()),
                                                             const_cast<char**>(c.argv.data()), c.prefix));
        for (auto const& nv : c.present)
            EXPECT_TRUE(params->HasParam(nv.first) && params->GetParam(nv.first) == nv.second) << nv.first;
        for (char const* name : c.absent)
            EXPECT_FALSE(params->HasParam(name)) << name;
    }
    auto params = Vor::Core::New<AppParam>();
    for (int argc : {0, -3, 5})
        EXPECT_EQ(params->AddParam(argc, nullptr, '-'), 0u) << argc;
    EXPECT_EQ(params->AddParam(static_cast<char const*>(nullptr), '-'), AppParam::INVALID_COUNT);
    EXPECT_EQ(params->AddParam(static_cast<wchar_t const*>(nullptr), L'-'), AppParam::INVALID_COUNT);
}

TEST(AppParamTest, PairsKeepTheFirstValueMergesAddAbsentNamesAndNullNamesAreRefused)
{
    auto a = Vor::Core::New<AppParam>(), b = Vor::Core::New<AppParam>(), c = Vor::Core::New<AppParam>();
    EXPECT_TRUE(a->AddParam("x", "a") && b->AddParam("x", "b") && b->AddParam("y", nullptr) && c->AddParam("z", "c"));
    EXPECT_FALSE(a->AddParam("x", "2") || a->SetParam("absent", "x") || a->AddParam(L"w", L"1"));
    *a += *b;
    *a += *a;
    *c = *b;
    *c = *c;
    EXPECT_EQ(a->GetParam("x") + a->GetParam("y") + c->GetParam("x"), "ab");
    EXPECT_TRUE(a->HasParam("y") && !c->HasParam("z"));
    auto copy = Vor::Core::New<AppParam>(*a);
    EXPECT_TRUE(a->SetParam("x", "changed") && a->DelParam("absent"));
    EXPECT_EQ(copy->GetParam("x"), "a");
    char const* none = nullptr;
    EXPECT_FALSE(a->AddParam(none, "v") || a->SetParam(none, "v") || a->HasParam(none) || a->HasParam(""));
    EXPECT_EQ(a->GetParam(none), "");
    EXPECT_TRUE(a->DelParam(none));
}

TEST(AppParamTest, CrossMergingFinishesWithinABound)
{
    // a += b racing b += a must not take the two locks in opposite orders.
    auto a = Vor::Core::New<AppParam>(), b = Vor::Core::New<AppParam>();
    for (int i = 0; i < 20; ++i) {
        a->AddParam("a" + std::to_string(i), "1");
        b->AddParam("b" + std::to_string(i), "2");
    }
    std::atomic<int> finished{0};
    std::thread one([&] {
        for (int i = 0; i < 5000; ++i)
            *a += *b, *a = *a;
        ++finished;
    });
    std::thread two([&] {
        for (int i = 0; i < 5000; ++i)
            *b += *a, b->AddParam("late" + std::to_string(i % 7), "x");
        ++finished;
    });
    if (!VorTest::WaitUntil([&] { return finished.load() == 2; }, std::chrono::milliseconds(20000))) {
        ADD_FAILURE() << "cross merge deadlocked";
        std::_Exit(1); // the threads cannot be joined
    }
    one.join();
    two.join();
    EXPECT_EQ(a->GetParam("b3"), "2");
    EXPECT_EQ(b->GetParam("a3"), "1");
}
