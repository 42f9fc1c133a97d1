// The output side of logging: log handles, the device that opens them, and
// the swapping and backing up of log files.
//
// A LogDevice turns one module description into a LogHandle, an I/O object
// that writes each message as one prefixed line to the module's file
// (flushed at once) and the bare message to a console stream. A handle can
// swap its file for a fresh one while statements keep coming; the backup of
// all log files is a swap of every handle with a function that renames the
// current file and opens a new one under the old name.
#pragma once

#include <vor/core/export.h>

#include <vor/core/callback.h>
#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/util/log.h>

#include <string>
#include <vector>

namespace Vor {
namespace Util {

// The object a log handle writes through: one module's message stream.
class VOR_API LogHandle : public Io::IoObject {
public:
    // The parameter a LogDevice sets on each handle it creates.
    class VOR_API Status : public Io::IoParam {
    public:
        Status(unsigned int console, std::string fileName) : m_uConsole(console), m_FileName(std::move(fileName)) {}
        Status(Status const& other) : IoParam(other), m_uConsole(other.m_uConsole), m_FileName(other.m_FileName) {}
        Status& operator=(Status const& other)
        {
            m_uConsole = other.m_uConsole;
            m_FileName = other.m_FileName;
            return *this;
        }
        ~Status() override = default;

        // Succeeds only for another Status.
        bool Copy(Io::IoParam const& other) override;

        unsigned int m_uConsole;
        std::string m_FileName; // empty when the module has no file
    };

    // Either output may be an empty handle.
    LogHandle(Io::WriteHandle const& console, Io::WriteHandle const& file);
    LogHandle(LogHandle const&) = delete;
    LogHandle& operator=(LogHandle const&) = delete;

    using IoObject::Printf;
    using IoObject::Read;
    using IoObject::Write;

    // Nothing can be read from a log.
    unsigned int Read(void* buffer, unsigned int n, Io::IoParam& param) const override;
    unsigned int Read(void* buffer, unsigned int n) const override;
    // Raw bytes are not logged: true, and nothing is written.
    bool Write(void const* buffer, unsigned int n, Io::IoParam& param) override;
    bool Write(void const* buffer, unsigned int n) override;
    // Closes both outputs; an output that refuses to close is kept.
    bool Close() override;

    // One log line: the prefix (with the level of a LogLevelParam, 0 for any
    // other parameter) and the message to the file, then the flush, then the
    // message alone to the console. The message is formatted once and ends
    // in exactly one newline. Wide text is written as UTF-8.
    bool Printf(Io::IoParam& param, wchar_t const* format, std::va_list args) override;
    bool Printf(Io::IoParam& param, char const* format, std::va_list args) override;

    // Replaces the file output with the handle that `opener` (a callback
    // returning an Io::WriteHandle, taking no call-time argument) returns,
    // after closing the current one. When no new file comes back, the
    // current file is taken up again and the result is false; a handle that
    // lost its file that way takes it up again on its next swap.
    virtual bool Swap(Core::CallBack const& opener);

protected:
    ~LogHandle() override;

private:
    template <class Char>
    bool PrintLine(Io::IoParam& param, Char const* format, std::va_list args);
    bool WriteLine(std::string const& line, std::size_t messageAt);
    std::string FileName() const;
    // Opens the module's file again for appending; false when it cannot.
    bool Reopen(std::string const& name);

    // Recursive: lines, swaps and closing each hold it, so a swap or close
    // waits for the line in progress and no line sees an output change
    // under it. An opener run by a swap may log to this same module (its
    // line finds no file then, only the console) without locking itself
    // out, which a reader/writer lock would do.
    Core::Lock m_Lock;
    Io::WriteHandle m_Console;
    Io::WriteHandle m_File;
    // The file output is missing because a swap could not replace it (as
    // opposed to a module without a file, or a closed handle).
    bool m_bLost;
};

// The device that opens log handles for module descriptions.
class VOR_API LogDevice : public Io::IoDevice {
public:
    // Names the module description being opened (not owned).
    class VOR_API Param : public Io::IoDevice::Param {
    public:
        explicit Param(Log::Param const* module = nullptr) : m_pModule(module) {}

        Log::Param const* m_pModule;
    };

    // What the swap function needs: the file's name and the name it moves to.
    class VOR_API SwapParam {
    public:
        std::string m_Current;
        std::string m_NewName;
    };

    LogDevice() = default;

    bool Open() override { return IoDevice::Open(); }
    // Opens the module's file (mode "a+") and console stream; true when the
    // device then holds a log handle.
    virtual bool Open(Log::Param const& module);

    // The swap function of backups: renames the current file to the new
    // name (never over an existing file) and opens a fresh file under the
    // current name. An empty handle, with the reason on standard error, on
    // failure.
    static Io::WriteHandle SwapFile(SwapParam* param);
    // Swaps every handle that has a file to "<name>_<suffix><.ext>", and
    // compresses the moved files when asked. Reports problems on standard
    // error and goes on with the next file.
    static void Backup(std::vector<Io::IoHandle> const& handles, std::string const& suffix, bool compress);
    // The name with "_" + suffix before the file name's last '.' (a dot
    // that starts the file name or lies in a folder name does not count),
    // or appended when there is none.
    static std::string BackupName(std::string const& current, std::string const& suffix);

protected:
    using IoDevice::Open;
    Io::IoObject* Create(Io::IoDevice::Param const& param) override;
};

} // namespace Util
} // namespace Vor
