#include <vor/util/logwriter.h>

#include <string>

namespace Vor {

template <>
Util::LogWriter<char>* Core::Guard<Util::LogWriter<char>>::s_pNull = nullptr;
template <>
Util::LogWriter<wchar_t>* Core::Guard<Util::LogWriter<wchar_t>>::s_pNull = nullptr;
namespace Util {

bool LogLevelParam::Copy(Io::IoParam const& other)
{
    LogLevelParam const* source = dynamic_cast<LogLevelParam const*>(&other);
    if (source == nullptr)
        return false;
    m_uLevel = source->m_uLevel;
    return true;
}

namespace {

// The whole text goes to the output as the argument of a fixed format, so a
// marker or conversion sign in the text is printed as it stands.
bool PrintText(Io::WriteHandle const& output, Io::IoParam& param, std::string const& text)
{
    return output.Printf(param, "%s", text.c_str());
}

bool PrintText(Io::WriteHandle const& output, Io::IoParam& param, std::wstring const& text)
{
    return output.Printf(param, L"%ls", text.c_str());
}

} // namespace

// The null writer is uncounted (references to it change nothing) and has no
// text it could change: every thread's filtered statements share it.
template <class Char>
LogWriter<Char>::LogWriter(NullTag)
    : LocalRef(1, false), m_Param(0), m_uNext(0), m_bNull(true), m_bOpen(false)
{
}

template <class Char>
LogWriter<Char>::LogWriter(Io::WriteHandle const& output, unsigned int level)
    : m_Param(level), m_Output(output), m_uNext(0), m_bNull(false), m_bOpen(true)
{
}

template <class Char>
Core::Guard<LogWriter<Char>> LogWriter<Char>::GetNull()
{
    // Never destroyed: statements on threads that outlive static
    // destruction still reach it.
    static LogWriter* s_pNullWriter = [] {
        LogWriter* null = new LogWriter(NullTag());
        Core::Guard<LogWriter>::SetNull(null);
        return null;
    }();
    return Core::Guard<LogWriter>(s_pNullWriter);
}

template <class Char>
Core::Guard<LogWriter<Char>> LogWriter<Char>::Write(Io::WriteHandle const& output, Char const* format,
                                                    unsigned int level, Char marker)
{
    if (format == nullptr)
        return GetNull();
    // Each thread keeps one writer for its next statement: building a
    // string stream costs more than the rest of a statement together. The
    // spare is taken only while nobody else holds it (a caller may keep a
    // statement's guard).
    static thread_local Core::Guard<LogWriter> t_Spare;
    Core::Guard<LogWriter> guard;
    if (t_Spare.IsValid() && t_Spare->GetRef() == 1) {
        guard = t_Spare;
        guard->Restart(output, level);
    } else {
        LogWriter* writer = new LogWriter(output, level);
        guard = writer;
        writer->DecRef(); // the guard is now the only owner
        if (!t_Spare.IsValid())
            t_Spare = guard;
    }
    guard->Parse(format, marker);
    guard->PutLiterals();
    return guard;
}

template <class Char>
void LogWriter<Char>::Restart(Io::WriteHandle const& output, unsigned int level)
{
    m_Param.m_uLevel = level;
    m_Output = output;
    m_Pieces.clear();
    m_Text.str(std::basic_string<Char>());
    m_Text.clear();
    m_Text.flags(std::ios_base::skipws | std::ios_base::dec);
    m_Text.precision(6);
    m_Text.width(0);
    m_Text.fill(m_Text.widen(' '));
    m_uNext = 0;
    m_bOpen = true;
}

template <class Char>
void LogWriter<Char>::Parse(Char const* format, Char marker)
{
    Char const* start = format;
    Char const* at = format;
    while (*at != Char(0)) {
        if (*at != marker) {
            ++at;
            continue;
        }
        if (at[1] == marker) {
            // A doubled marker: the literal runs up to and including the
            // first one, the second is skipped.
            m_Pieces.emplace_back(start, static_cast<unsigned int>(at + 1 - start));
            at += 2;
        } else {
            m_Pieces.emplace_back(start, static_cast<unsigned int>(at - start));
            m_Pieces.emplace_back(nullptr, TO_END);
            at += 1;
        }
        start = at;
    }
    m_Pieces.emplace_back(start, TO_END);
}

template <class Char>
void LogWriter<Char>::PutLiterals()
{
    while (m_uNext < m_Pieces.size() && m_Pieces[m_uNext].first != nullptr) {
        Piece const& piece = m_Pieces[m_uNext++];
        if (piece.second == TO_END)
            m_Text << piece.first;
        else
            m_Text.write(piece.first, static_cast<std::streamsize>(piece.second));
    }
}

template <class Char>
void LogWriter<Char>::FillPlace()
{
    if (m_uNext >= m_Pieces.size())
        return; // past the last place: values are appended
    ++m_uNext;  // the place just filled
    PutLiterals();
}

template <class Char>
bool LogWriter<Char>::Finish()
{
    if (!m_bOpen)
        return false;
    m_bOpen = false;
    // Places nobody filled stay empty; the literals after them still count.
    while (m_uNext < m_Pieces.size()) {
        if (m_Pieces[m_uNext].first == nullptr)
            ++m_uNext;
        else
            PutLiterals();
    }
    bool printed = PrintText(m_Output, m_Param, m_Text.str());
    // A finished writer must not keep the module's handle (and its file)
    // alive while it waits for the thread's next statement.
    m_Output.Clear();
    return printed;
}

template class LogWriter<char>;
template class LogWriter<wchar_t>;

} // namespace Util
} // namespace Vor
