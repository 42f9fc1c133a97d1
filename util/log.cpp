#include <vor/util/log.h>

#include "platform/calendar.h"
#include "util/internal/logline.h"

#include <vor/core/thread.h>
#include <vor/system/system.h>
#include <vor/util/loghandle.h>

#include <utility>
#include <vector>

namespace Vor {
namespace Util {

namespace {

// The registry behind Log's tables, made at its first use and never freed.
// The library reaches it only through here, never through the members
// bound to it below: a statement from another file's static initialiser
// may come before those bindings are made.
struct Tables {
    System::HashMap<unsigned int, Io::IoHandle, 1> m_Modules;
    System::HashMap<unsigned int, unsigned int, 1> m_Levels;
    Core::Lock m_Lock{Core::Lock::READ_WRITE_LOCK};
};

Tables& TheTables()
{
    static Tables* s_pTables = new Tables;
    return *s_pTables;
}

System::HashMap<unsigned int, Io::IoHandle, 1>& Modules() { return TheTables().m_Modules; }
System::HashMap<unsigned int, unsigned int, 1>& Levels() { return TheTables().m_Levels; }
Core::Lock& RegistryLock() { return TheTables().m_Lock; }

} // namespace

System::HashMap<unsigned int, Io::IoHandle, 1>& Log::s_ModuleList = Modules();
System::HashMap<unsigned int, unsigned int, 1>& Log::s_LevelList = Levels();
Core::Lock& Log::s_Lock = RegistryLock();
std::atomic<unsigned long long> Log::s_uFilter[Log::FAST_MODULES];

// ------------------------------------------------------------- line prefix

namespace Internal {

std::atomic<LogClock> g_LogClock{nullptr};

std::string LevelName(unsigned int level)
{
    switch (level) {
    case Log::FATAL_LEVEL:
        return "FATAL";
    case Log::ERROR_LEVEL:
        return "ERROR";
    case Log::WARN_LEVEL:
        return "WARN ";
    case Log::INFO_LEVEL:
        return "INFO ";
    case Log::DEBUG_LEVEL:
        return "DEBUG";
    case Log::TRACE_LEVEL:
        return "TRACE";
    default:
        return System::Num2Str<char>(level);
    }
}

namespace {

// Decimal digits of `value`, at least `width` of them.
void AppendNumber(std::string& out, unsigned long long value, unsigned int width)
{
    char digits[24];
    unsigned int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < width && count < sizeof digits)
        digits[count++] = '0';
    while (count > 0)
        out.push_back(digits[--count]);
}

// The date and time text of one second, made again only when the second
// changes. Kept per thread, so formatting lines of different modules at
// once needs no lock.
struct SecondsText {
    unsigned long long second = ~0ull;
    std::string text;
};

thread_local SecondsText t_Seconds;

bool MakeSecondsText(unsigned long long second, std::string& text)
{
    Platform::CalendarTime local;
    if (!Platform::LocalTimeAt(static_cast<long long>(second), local))
        return false;
    text.clear();
    AppendNumber(text, local.year, 4);
    text.push_back('-');
    AppendNumber(text, local.month, 2);
    text.push_back('-');
    AppendNumber(text, local.day, 2);
    text.push_back(' ');
    AppendNumber(text, local.hour, 2);
    text.push_back(':');
    AppendNumber(text, local.minute, 2);
    text.push_back(':');
    AppendNumber(text, local.second, 2);
    return !text.empty() && text.size() <= 60;
}

} // namespace

void AppendLinePrefix(std::string& line, unsigned int level)
{
    // One reading serves the seconds and the milliseconds: two readings
    // around a second's end would stamp a line with the old second and the
    // new milliseconds, and time would seem to run backwards.
    LogClock clock = g_LogClock.load(std::memory_order_relaxed);
    unsigned long long now = clock != nullptr ? clock() : System::GetTime64();
    unsigned long long second = now / 1000;
    SecondsText& cache = t_Seconds;
    if (cache.second != second || cache.text.empty()) {
        cache.second = ~0ull;
        if (!MakeSecondsText(second, cache.text))
            return; // no prefix for this line
        cache.second = second;
    }
    unsigned int id = Core::Thread::GetID();
    if (id == Core::Thread::INVALID_ID)
        id = 0;

    std::size_t start = line.size();
    line.push_back('[');
    line += cache.text;
    line.push_back(',');
    AppendNumber(line, now % 1000, 3);
    line += "] [";
    line += LevelName(level);
    line += "] [";
    AppendNumber(line, id, 4);
    line += "] ";
    if (line.size() - start > 127)
        line.resize(start);
}

} // namespace Internal

// ---------------------------------------------------------------- registry

bool Log::Init(std::list<Param> const& modules)
{
    for (Param const& module : modules) {
        if (!AddModule(module))
            return false;
    }
    return true;
}

void Log::SetFilter(unsigned int module, unsigned long long bound)
{
    if (module < FAST_MODULES)
        s_uFilter[module].store(bound, std::memory_order_relaxed);
}

bool Log::AddModule(Param const& param)
{
    LogDevice device;
    if (!device.Open(param))
        return false;
    Io::IoHandle handle = device.GetHandle();
    {
        Core::Lock local(RegistryLock());
        local.EnterWrite();
        if (!Modules().emplace(param.m_uModule, handle).second)
            return true; // the registered module stays; the new outputs go with `handle`, outside the lock
        Levels()[param.m_uModule] = param.m_uLevel;
        SetFilter(param.m_uModule, static_cast<unsigned long long>(param.m_uLevel) + 1);
    }
    return true;
}

bool Log::DelModule(unsigned int module)
{
    // The handle is released after the lock is left: closing a file must
    // not hold up every statement of every module.
    Io::IoHandle removed;
    Core::Lock local(RegistryLock());
    local.EnterWrite();
    auto found = Modules().find(module);
    if (found != Modules().end()) {
        removed = found->second;
        Modules().erase(found);
    }
    Levels().erase(module);
    SetFilter(module, 0);
    local.Leave();
    return true;
}

bool Log::UnInit()
{
    System::HashMap<unsigned int, Io::IoHandle, 1> removed;
    Core::Lock local(RegistryLock());
    local.EnterWrite();
    removed.swap(Modules());
    Levels().clear();
    for (auto& filter : s_uFilter)
        filter.store(0, std::memory_order_relaxed);
    local.Leave();
    return true;
}

bool Log::Backup(std::string const& suffix, bool compress)
{
    if (suffix.empty())
        return false;
    std::vector<Io::IoHandle> handles;
    {
        Core::Lock local(RegistryLock());
        local.EnterRead();
        handles.reserve(Modules().size());
        for (auto const& module : Modules())
            handles.push_back(module.second);
    }
    LogDevice::Backup(handles, suffix, compress);
    return true;
}

bool Log::CheckLevel(unsigned int level, unsigned int module)
{
    Core::Lock local(RegistryLock());
    local.EnterRead();
    auto found = Levels().find(module);
    return found != Levels().end() && level <= found->second;
}

Io::WriteHandle Log::GetHandle(unsigned int module)
{
    Core::Lock local(RegistryLock());
    local.EnterRead();
    auto found = Modules().find(module);
    if (found == Modules().end())
        return Io::WriteHandle();
    return Io::WriteHandle(found->second);
}

namespace {

template <class Char>
Core::Guard<LogWriter<Char>> StartStatement(Io::WriteHandle const& output, Char const* format, unsigned int level,
                                            Char marker)
{
    if (!output.IsValid())
        return LogWriter<Char>::GetNull();
    return LogWriter<Char>::Write(output, format, level, marker);
}

} // namespace

Core::Guard<LogWriter<char>> Log::Write(unsigned int module, unsigned int level, char const* format, char marker)
{
    if (!IsEnabled(module, level))
        return LogWriter<char>::GetNull();
    return StartStatement(GetHandle(module), format, level, marker);
}

Core::Guard<LogWriter<wchar_t>> Log::Write(unsigned int module, unsigned int level, wchar_t const* format,
                                           wchar_t marker)
{
    if (!IsEnabled(module, level))
        return LogWriter<wchar_t>::GetNull();
    return StartStatement(GetHandle(module), format, level, marker);
}

} // namespace Util
} // namespace Vor
