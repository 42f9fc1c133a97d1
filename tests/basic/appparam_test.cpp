#include <vor/basic/appparam.h>

#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

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

} // namespace

TEST(AppParamParsing, CommandLinesAndTextsGiveTheirNamesAndCountOnlyNewOnes)
{
    // Each case parses into fresh parameters; `present` lists name=value,
    // `absent` the names that must not appear. Element 0 / the first word
    // stands for the program and is never looked at.
    struct Case {
        std::vector<char const*> argv; // empty: parse `text` instead
        char const* text;
        char prefix;
        unsigned int count;
        std::vector<std::pair<char const*, char const*>> present;
        std::vector<char const*> absent;
    };
    Case const cases[] = {
        {{"prog", "-port", "80"}, nullptr, '-', 1, {{"port", "80"}}, {}},
        {{"prog", "--debug", "-level", "3"}, nullptr, '-', 2, {{"debug", ""}, {"level", "3"}}, {}},
        {{"-prog", "-", "--", "stray", nullptr, "-a", nullptr, "-b", "x", "y", "-c"}, nullptr, '-', 3,
         {{"a", ""}, {"b", "x"}, {"c", ""}}, {"prog", "", "stray", "y"}},
        {{"prog", "-k", "1", "-k", "2"}, nullptr, '-', 1, {{"k", "1"}}, {}},
        {{"prog"}, nullptr, '-', 0, {}, {}},
        {{"prog", "/x", "v"}, nullptr, '/', 1, {{"x", "v"}}, {}},
        {{"prog", "", "-z"}, nullptr, '\0', 0, {}, {"z", "", "-z"}}, // a NUL prefix matches nothing
        {{}, "prog -name 'a b' -v", '-', 2, {{"name", "a b"}, {"v", ""}}, {}},
        {{}, "prog  -q \"it's here\"   -w'x y'", '-', 2, {{"q", "it's here"}, {"w", "x y"}}, {}},
        {{}, "prog -e '' -f", '-', 2, {{"e", ""}, {"f", ""}}, {}},
        {{}, "prog -g \"open to the end", '-', 1, {{"g", "open to the end"}}, {}},
        {{}, "", '-', 0, {}, {}},
        {{}, "'''\"\"\"   ", '-', 0, {}, {}},
        {{}, "-first", '-', 0, {}, {"first"}},
    };
    int index = 0;
    for (Case const& c : cases) {
        auto params = NewParams();
        unsigned int count = c.argv.empty() ? params->AddParam(c.text, c.prefix)
                                            : params->AddParam(static_cast<int>(c.argv.size()),
                                                               const_cast<char**>(c.argv.data()), c.prefix);
        EXPECT_EQ(count, c.count) << "case " << index;
        for (auto const& nv : c.present) {
            EXPECT_TRUE(params->HasParam(nv.first)) << "case " << index << " " << nv.first;
            EXPECT_EQ(params->GetParam(nv.first), nv.second) << "case " << index << " " << nv.first;
        }
        for (char const* name : c.absent)
            EXPECT_FALSE(params->HasParam(name)) << "case " << index << " " << name;
        ++index;
    }
    auto params = NewParams();
    for (int argc : {0, -3, 5})
        EXPECT_EQ(params->AddParam(argc, nullptr, '-'), 0u) << argc;
    EXPECT_EQ(params->AddParam(static_cast<char const*>(nullptr), '-'), AppParam::INVALID_COUNT);
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
