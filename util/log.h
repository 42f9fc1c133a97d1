// The process-wide log registry and the log statement.
//
// An application registers modules, each known by a number, with a level
// threshold and its outputs (a file, a console stream, or both). A statement
// names a module and a level; it passes when its level is at most the
// module's threshold and is then written by the module's log handle as one
// line with the prefix
//
//     [2009-12-08 16:54:12,045] [INFO ] [0412] message
//
// The statement reads like streaming; the format's marker '%' stands for an
// argument place ("%%" for a '%' itself), and values beyond the places are
// appended:
//
//     VOR_LOG(kNet, Log::WARN_LEVEL, "peer % closed after % ms") << peer << ms << Log::End();
//     VOR_LOG(kNet, Log::INFO_LEVEL) << "queue length " << n << Log::End();
//
// A filtered statement costs one relaxed load and a comparison (for module
// numbers below FAST_MODULES): its arguments are not even evaluated. The
// macro names its module and level twice, so both should be plain values.
#pragma once

#include <vor/core/export.h>

#include <vor/core/hashmap.h>
#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/util/logwriter.h>

#include <atomic>
#include <list>
#include <string>

namespace Vor {
namespace Util {

// The process's log: modules with thresholds, writing levelled messages
// to swappable log files (see above).
class VOR_API Log {
public:
    // Levels; a message passes a module whose threshold is at least its
    // level. Any other value is a level too, printed as its number.
    static constexpr unsigned int FATAL_LEVEL = 0;
    static constexpr unsigned int ERROR_LEVEL = 8;
    static constexpr unsigned int WARN_LEVEL = 16;
    static constexpr unsigned int INFO_LEVEL = 32;
    static constexpr unsigned int DEBUG_LEVEL = 64;
    static constexpr unsigned int TRACE_LEVEL = 128;

    // Module numbers below this are filtered without taking the registry
    // lock.
    static constexpr unsigned int FAST_MODULES = 256;

    // The description of one module.
    class VOR_API Param {
    public:
        Param() = default;
        Param(unsigned int module, unsigned int level, unsigned int console, std::string fileName)
            : m_uModule(module), m_uLevel(level), m_uConsole(console), m_FileName(std::move(fileName))
        {
        }

        unsigned int m_uModule = 0;
        unsigned int m_uLevel = 0;
        // 0: no console; 1: also standard output; other: also standard error.
        unsigned int m_uConsole = 0;
        // Opened for appending; empty: no file.
        std::string m_FileName;
    };

    // AddModule for each element in order; false at the first failure
    // (modules added before stay registered).
    static bool Init(std::list<Param> const& modules);
    // Opens the module's outputs and registers them. False, registering
    // nothing, when an output cannot be opened. A module number that is
    // already registered keeps its outputs and level (the new outputs are
    // released); the result is then true.
    static bool AddModule(Param const& param);
    // Later statements of the module are dropped; a statement already
    // holding its handle finishes its line.
    static bool DelModule(unsigned int module);
    static bool UnInit();
    // Moves every module's file to its name with "_" + suffix before the
    // file name's extension, continuing in a fresh file, and (when asked)
    // compresses the moved files. Problems are reported on standard error
    // and do not fail the call; false only for an empty suffix.
    static bool Backup(std::string const& suffix, bool compress);
    static LogEnd End() { return LogEnd(); }

    // Whether a statement of `level` for `module` would be written. Exact
    // but unsynchronised for modules below FAST_MODULES (a registration on
    // another thread is seen a moment later), a registry lookup otherwise.
    static bool IsEnabled(unsigned int module, unsigned int level)
    {
        if (module < FAST_MODULES)
            return level < s_uFilter[module].load(std::memory_order_relaxed);
        return CheckLevel(level, module);
    }

    // The writer of one statement, or the null writer when the statement is
    // filtered out or the module is unknown.
    static Core::Guard<LogWriter<char>> Write(unsigned int module, unsigned int level, char const* format = "",
                                              char marker = '%');
    static Core::Guard<LogWriter<wchar_t>> Write(unsigned int module, unsigned int level, wchar_t const* format,
                                                 wchar_t marker = L'%');

    // module -> the module's log handle, and module -> threshold; both
    // guarded by s_Lock (lookups read, changes write). They are made once
    // and never destroyed: a thread may still log while the process exits.
    static System::HashMap<unsigned int, Io::IoHandle, 1>& s_ModuleList;
    static System::HashMap<unsigned int, unsigned int, 1>& s_LevelList;
    static Core::Lock& s_Lock;

private:
    Log();
    ~Log();

    static bool CheckLevel(unsigned int level, unsigned int module);
    // A handle on the null object for an unknown module.
    static Io::WriteHandle GetHandle(unsigned int module);
    static void SetFilter(unsigned int module, unsigned long long bound);

    // Per small module number: its threshold + 1, or 0 when unregistered.
    // Written under s_Lock for writing, read without it.
    static std::atomic<unsigned long long> s_uFilter[FAST_MODULES];
};

namespace Detail {
// Turns a finished statement into void, so that the statement macro is one
// conditional expression (no dangling else around it).
struct VOR_API LogStatement {
    template <class Char>
    void operator&(Core::Guard<LogWriter<Char>> const&) const
    {
    }
};
} // namespace Detail

} // namespace Util
} // namespace Vor

#define VOR_LOG_LEVEL_(level, ...) (level)

// VOR_LOG(module, level) or VOR_LOG(module, level, format[, marker]),
// followed by insertions and Log::End().
#define VOR_LOG(module, ...)                                                                   \
    !::Vor::Util::Log::IsEnabled((module), VOR_LOG_LEVEL_(__VA_ARGS__, 0))                     \
        ? (void)0                                                                              \
        : ::Vor::Util::Detail::LogStatement() & ::Vor::Util::Log::Write((module), __VA_ARGS__)
