#include <vor/util/loghandle.h>

#include "core/internal/diag.h"
#include "io/internal/format.h"
#include "io/internal/text.h"
#include "platform/file.h"
#include "platform/gzip.h"
#include "util/internal/compress.h"
#include "util/internal/logline.h"

#include <vor/basic/array.h>
#include <vor/io/file.h>
#include <vor/io/stdstream.h>

#include <cstdio>

namespace Vor {
namespace Util {

namespace Internal {

std::atomic<Compressor> g_Compressor{nullptr};

bool Compress(std::string const& name)
{
    Compressor compressor = g_Compressor.load();
    if (compressor != nullptr)
        return compressor(name);
    return Platform::GzipFile(name.c_str(), (name + ".gz").c_str());
}

bool CanCompress() { return Platform::CanGzip(); }

} // namespace Internal

namespace {

unsigned int LevelOf(Io::IoParam& param)
{
    LogLevelParam const* statement = dynamic_cast<LogLevelParam const*>(&param);
    return statement != nullptr ? statement->m_uLevel : 0;
}

// Appends the formatted message. Each attempt formats from its own copy of
// the arguments: a list once consumed cannot be read again.
bool AppendMessage(std::string& out, char const* format, std::va_list args)
{
    char first[512];
    std::va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(first, sizeof first, format, copy);
    va_end(copy);
    if (length < 0 || static_cast<unsigned int>(length) >= Basic::FORMAT_LIMIT)
        return false;
    if (static_cast<std::size_t>(length) < sizeof first) {
        out.append(first, static_cast<std::size_t>(length));
        return true;
    }
    std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(length) + 1);
    va_copy(copy, args);
    int again = std::vsnprintf(&out[at], static_cast<std::size_t>(length) + 1, format, copy);
    va_end(copy);
    if (again != length) {
        out.resize(at);
        return false;
    }
    out.resize(at + static_cast<std::size_t>(length));
    return true;
}

// Wide messages go into the file and the console as UTF-8.
bool AppendMessage(std::string& out, wchar_t const* format, std::va_list args)
{
    Basic::Array<wchar_t> text;
    unsigned int length = 0;
    if (!Io::Internal::FormatText(text, length, format, args))
        return false;
    if (length > 0)
        Io::Internal::AppendUtf8(out, text, length);
    return true;
}

// A record is one line: it ends in exactly one newline.
void EndLine(std::string& line, std::size_t messageAt)
{
    while (line.size() > messageAt && line.back() == '\n')
        line.pop_back();
    line.push_back('\n');
}

template <class Char>
bool ComposeLine(Io::IoParam& param, Char const* format, std::va_list args, std::string& line, std::size_t& messageAt)
{
    if (format == nullptr)
        return false;
    Internal::AppendLinePrefix(line, LevelOf(param));
    messageAt = line.size();
    if (!AppendMessage(line, format, args))
        return false;
    EndLine(line, messageAt);
    return line.size() <= 0xFFFFFFFFu;
}

} // namespace

// --------------------------------------------------------------- LogHandle

bool LogHandle::Status::Copy(Io::IoParam const& other)
{
    Status const* source = dynamic_cast<Status const*>(&other);
    if (source == nullptr)
        return false;
    *this = *source;
    return true;
}

LogHandle::LogHandle(Io::WriteHandle const& console, Io::WriteHandle const& file)
    : m_Lock(Core::Lock::MUTEX_LOCK), m_Console(console), m_File(file), m_bLost(false)
{
    SetAttrib(Io::IoParam::READABLE, false);
    SetAttrib(Io::IoParam::WRITABLE, true);
}

LogHandle::~LogHandle() = default;

unsigned int LogHandle::Read(void*, unsigned int, Io::IoParam&) const { return FAILED; }
unsigned int LogHandle::Read(void*, unsigned int) const { return FAILED; }
bool LogHandle::Write(void const* buffer, unsigned int n, Io::IoParam&) { return Write(buffer, n); }
bool LogHandle::Write(void const*, unsigned int) { return true; }

bool LogHandle::Close()
{
    Core::Lock local(m_Lock);
    local.Enter();
    m_File.Close();
    m_Console.Close();
    return true;
}

bool LogHandle::WriteLine(std::string const& line, std::size_t messageAt)
{
    Core::Lock local(m_Lock);
    local.Enter();
    if (m_File.IsValid()) {
        m_File.Write(line.data(), static_cast<unsigned int>(line.size()));
        m_File.Flush();
    }
    if (m_Console.IsValid())
        m_Console.Write(line.data() + messageAt, static_cast<unsigned int>(line.size() - messageAt));
    return true;
}

// The prefix and the message are made before the lock is taken; the lock
// covers only the writes.
template <class Char>
bool LogHandle::PrintLine(Io::IoParam& param, Char const* format, std::va_list args)
{
    // The line is composed in a buffer of the thread's own, kept between
    // lines unless a huge message made it large.
    static thread_local std::string t_Line;
    if (t_Line.capacity() > 65536)
        std::string().swap(t_Line);
    t_Line.clear();
    std::size_t messageAt = 0;
    return ComposeLine(param, format, args, t_Line, messageAt) && WriteLine(t_Line, messageAt);
}

bool LogHandle::Printf(Io::IoParam& param, char const* format, std::va_list args)
{
    return PrintLine(param, format, args);
}

bool LogHandle::Printf(Io::IoParam& param, wchar_t const* format, std::va_list args)
{
    return PrintLine(param, format, args);
}

std::string LogHandle::FileName() const
{
    Core::Guard<Io::IoParam> param = GetParam();
    Status const* status = dynamic_cast<Status const*>(param.Address());
    return status != nullptr ? status->m_FileName : std::string();
}

bool LogHandle::Reopen(std::string const& name)
{
    Io::File file;
    if (name.empty() || !file.Open(name, "a+"))
        return false;
    m_File = file.GetWriteHandle();
    return true;
}

bool LogHandle::Swap(Core::CallBack const& opener)
{
    Core::Lock local(m_Lock);
    local.Enter();
    std::string current = FileName();
    if (!m_File.IsValid()) {
        if (!m_bLost)
            return true; // a module without a file, or a closed handle
        // An earlier swap lost the file: take it up before swapping it.
        if (!Reopen(current)) {
            Core::Internal::ReportLine("Can not get new log file handle");
            return false;
        }
    }
    m_File.Close();
    m_File.Clear(); // even when its close failed: its stream is gone

    Io::WriteHandle fresh; // the null object unless the opener brings a file
    opener.CallBackR(fresh);
    if (!fresh.IsValid()) {
        Core::Internal::ReportLine("Can not get new log file handle");
        // Keep logging where the module was, so that its lines are not lost
        // until the next swap.
        m_bLost = !Reopen(current);
        return false;
    }
    m_File = fresh;
    m_bLost = false;
    return true;
}

// --------------------------------------------------------------- LogDevice

bool LogDevice::Open(Log::Param const& module) { return IoDevice::Open(Param(&module)); }

Io::IoObject* LogDevice::Create(Io::IoDevice::Param const& param)
{
    Param const* open = dynamic_cast<Param const*>(&param);
    if (open == nullptr || open->m_pModule == nullptr)
        return nullptr;
    Log::Param const& module = *open->m_pModule;

    Io::WriteHandle file;
    if (!module.m_FileName.empty()) {
        Io::File device;
        if (!device.Open(module.m_FileName, "a+"))
            return nullptr;
        file = device.GetWriteHandle();
    }
    Io::WriteHandle console;
    if (module.m_uConsole != 0) {
        Io::StdStream device;
        if (!device.Open(module.m_uConsole == 1 ? Io::StdStream::STD_OUT : Io::StdStream::STD_ERR)) {
            file.Close();
            return nullptr;
        }
        console = device.GetWriteHandle();
    }

    LogHandle* handle = new LogHandle(console, file);
    LogHandle::Status* status = new LogHandle::Status(module.m_uConsole, module.m_FileName);
    handle->SetParam(Core::Guard<Io::IoParam>(status));
    status->DecRef(); // the handle's parameter is now the only owner
    return handle;
}

Io::WriteHandle LogDevice::SwapFile(SwapParam* param)
{
    if (param == nullptr || param->m_Current.empty() || param->m_NewName.empty()) {
        Core::Internal::ReportLine("There are no enough params to swap log file");
        return Io::WriteHandle();
    }
    // Never over an existing file: a second backup with the same suffix
    // must not destroy the first.
    if (!Platform::RenameNoReplace(param->m_Current.c_str(), param->m_NewName.c_str())) {
        Core::Internal::Report() << "Can not rename log file " << param->m_Current << " to " << param->m_NewName;
        return Io::WriteHandle();
    }
    Io::File file;
    if (!file.Open(param->m_Current, "a+")) {
        Core::Internal::Report() << "Open new log file " << param->m_Current << " error";
        return Io::WriteHandle();
    }
    return file.GetWriteHandle();
}

std::string LogDevice::BackupName(std::string const& current, std::string const& suffix)
{
    std::size_t nameAt = current.find_last_of('/');
    nameAt = nameAt == std::string::npos ? 0 : nameAt + 1;
    std::size_t dot = current.find_last_of('.');
    if (dot == std::string::npos || dot <= nameAt)
        return current + "_" + suffix;
    return current.substr(0, dot) + "_" + suffix + current.substr(dot);
}

namespace {

void CompressBackups(std::vector<std::string> const& names)
{
    for (std::string const& name : names) {
        if (Io::File::GetFileSize(name) == 0)
            continue;
        if (!Internal::Compress(name)) {
            Core::Internal::Report() << "Compress backup log file " << name << " error";
            continue;
        }
        if (!Platform::RemovePath(name.c_str()))
            Core::Internal::Report() << "Remove temp backup log file " << name << " error";
    }
}

} // namespace

void LogDevice::Backup(std::vector<Io::IoHandle> const& handles, std::string const& suffix, bool compress)
{
    SwapParam names;
    Core::CallBack opener;
    opener.Bind(&LogDevice::SwapFile, &names);
    std::vector<std::string> moved;
    for (Io::IoHandle const& handle : handles) {
        Core::Guard<Io::IoParam> param = handle.GetParam();
        LogHandle::Status const* status = dynamic_cast<LogHandle::Status const*>(param.Address());
        Core::Guard<Io::IoObject> object = handle.GetObject();
        LogHandle* log = dynamic_cast<LogHandle*>(object.Raw());
        if (status == nullptr || status->m_FileName.empty() || log == nullptr)
            continue;
        names.m_Current = status->m_FileName;
        names.m_NewName = BackupName(names.m_Current, suffix);
        if (log->Swap(opener))
            moved.push_back(names.m_NewName);
        else
            Core::Internal::Report() << "Can not backup log file " << names.m_Current << " to " << names.m_NewName;
    }
    if (compress)
        CompressBackups(moved);
}

} // namespace Util
} // namespace Vor
