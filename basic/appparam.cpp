#include <vor/basic/appparam.h>

#include <cstddef>
#include <vector>

namespace Vor {
namespace Basic {

constexpr unsigned int AppParam::INVALID_COUNT;

namespace {

template <class Char>
std::basic_string<Char> OrEmpty(Char const* text)
{
    return text != nullptr ? std::basic_string<Char>(text) : std::basic_string<Char>();
}

// The command-line rules over count elements; `add(name, value)` inserts a
// pair and tells whether it was new.
template <class Char, class Add>
unsigned int ParseArguments(std::size_t count, Char const* const* argv, Char prefix, Add add)
{
    static Char const s_Empty[1] = {Char(0)};
    if (count < 2 || argv == nullptr)
        return 0;
    unsigned int added = 0;
    for (std::size_t i = 1; i < count; ++i) {
        Char const* element = argv[i];
        if (element == nullptr || element[0] != prefix)
            continue;
        Char const* name = element;
        while (*name != Char(0) && *name == prefix)
            ++name;
        if (*name == Char(0))
            continue;
        Char const* value = s_Empty;
        Char const* next = i + 1 < count ? argv[i + 1] : nullptr;
        if (next != nullptr && next[0] != prefix) {
            value = next;
            ++i;
        }
        if (add(name, value))
            ++added;
    }
    return added;
}

// Splits at spaces and quotes. After an opening quote the word runs to the
// same quote character; after the closing one all three delimit again.
// Stretches between adjacent delimiters give no word.
template <class Char>
std::vector<std::basic_string<Char>> SplitWords(Char const* text)
{
    std::vector<std::basic_string<Char>> words;
    Char quote = Char(0);
    Char const* p = text;
    while (*p != Char(0)) {
        Char const* start = p;
        while (*p != Char(0) && (quote != Char(0) ? *p != quote : *p != Char(' ') && *p != Char('"') && *p != Char('\'')))
            ++p;
        if (p != start)
            words.emplace_back(start, p);
        if (*p == Char(0))
            break;
        Char delimiter = *p++;
        if (quote != Char(0))
            quote = Char(0);
        else if (delimiter != Char(' '))
            quote = delimiter;
    }
    return words;
}

template <class Char, class Add>
unsigned int ParseText(Char const* text, Char prefix, Add add)
{
    if (text == nullptr)
        return AppParam::INVALID_COUNT;
    std::vector<std::basic_string<Char>> words = SplitWords(text);
    std::vector<Char const*> argv;
    argv.reserve(words.size());
    for (auto const& word : words)
        argv.push_back(word.c_str());
    return ParseArguments(argv.size(), argv.data(), prefix, add);
}

} // namespace

AppParam::AppParam() : m_Lock(Core::Lock::READ_WRITE_LOCK) {}

// The copy gets a lock of its own: a copied Lock would share the source's.
AppParam::AppParam(AppParam const& other)
    : Core::GlobalRef(other), m_Params(other.Snapshot()), m_Lock(Core::Lock::READ_WRITE_LOCK)
{
}

AppParam::~AppParam() = default;

AppParam::Map AppParam::Snapshot() const
{
    Core::Lock local(m_Lock);
    local.EnterRead();
    return m_Params;
}

// Merging copies the source under its own lock and only then takes this
// set's lock. Holding both at once would deadlock `a += b` against
// `b += a`, which take them in opposite orders.
AppParam& AppParam::operator=(AppParam const& other)
{
    if (&other == this)
        return *this;
    Map pairs = other.Snapshot();
    Core::Lock local(m_Lock);
    local.Enter();
    m_Params.swap(pairs);
    return *this;
}

AppParam& AppParam::operator+=(AppParam const& other)
{
    if (&other == this)
        return *this;
    Map pairs = other.Snapshot();
    Core::Lock local(m_Lock);
    local.Enter();
    for (auto& pair : pairs)
        m_Params.insert(std::move(pair)); // existing names keep their values
    return *this;
}

bool AppParam::AddParam(std::string const& name, std::string const& value)
{
    Core::Lock local(m_Lock);
    local.Enter();
    return m_Params.emplace(name, value).second;
}

bool AppParam::AddParam(char const* name, char const* value)
{
    return name != nullptr && AddParam(std::string(name), OrEmpty(value));
}

bool AppParam::SetParam(std::string const& name, std::string const& value)
{
    Core::Lock local(m_Lock);
    local.Enter();
    auto found = m_Params.find(name);
    if (found == m_Params.end())
        return false;
    found->second = value;
    return true;
}

bool AppParam::SetParam(char const* name, char const* value)
{
    return name != nullptr && SetParam(std::string(name), OrEmpty(value));
}

std::string AppParam::GetParam(std::string const& name) const
{
    Core::Lock local(m_Lock);
    local.EnterRead();
    auto found = m_Params.find(name);
    return found != m_Params.end() ? found->second : std::string();
}

std::string AppParam::GetParam(char const* name) const
{
    return name != nullptr ? GetParam(std::string(name)) : std::string();
}

bool AppParam::HasParam(std::string const& name) const
{
    Core::Lock local(m_Lock);
    local.EnterRead();
    return m_Params.find(name) != m_Params.end();
}

bool AppParam::HasParam(char const* name) const { return name != nullptr && HasParam(std::string(name)); }

bool AppParam::DelParam(std::string const& name)
{
    Core::Lock local(m_Lock);
    local.Enter();
    m_Params.erase(name);
    return true;
}

bool AppParam::DelParam(char const* name) { return name == nullptr || DelParam(std::string(name)); }

unsigned int AppParam::AddParam(int count, char** const argv, char prefix)
{
    if (count < 2)
        return 0;
    return ParseArguments(static_cast<std::size_t>(count), argv, prefix,
                          [this](char const* name, char const* value) { return AddParam(name, value); });
}

unsigned int AppParam::AddParam(char const* text, char prefix)
{
    return ParseText(text, prefix, [this](char const* name, char const* value) { return AddParam(name, value); });
}

// The wide forms keep no data.
bool AppParam::AddParam(std::wstring const&, std::wstring const&) { return false; }
bool AppParam::AddParam(wchar_t const*, wchar_t const*) { return false; }
bool AppParam::SetParam(std::wstring const&, std::wstring const&) { return false; }
bool AppParam::SetParam(wchar_t const*, wchar_t const*) { return false; }
std::wstring AppParam::GetParam(std::wstring const&) const { return std::wstring(); }
std::wstring AppParam::GetParam(wchar_t const*) const { return std::wstring(); }
bool AppParam::HasParam(std::wstring const&) const { return false; }
bool AppParam::HasParam(wchar_t const*) const { return false; }
bool AppParam::DelParam(std::wstring const&) { return false; }
bool AppParam::DelParam(wchar_t const*) { return false; }

unsigned int AppParam::AddParam(int count, wchar_t** const argv, wchar_t prefix)
{
    if (count < 2)
        return 0;
    return ParseArguments(static_cast<std::size_t>(count), argv, prefix,
                          [this](wchar_t const* name, wchar_t const* value) { return AddParam(name, value); });
}

unsigned int AppParam::AddParam(wchar_t const* text, wchar_t prefix)
{
    return ParseText(text, prefix, [this](wchar_t const* name, wchar_t const* value) { return AddParam(name, value); });
}

} // namespace Basic
} // namespace Vor
