// The object behind one log statement.
//
// A statement names a format in which a marker character stands for an
// argument place ("user % logged in from %" with the marker '%'); a doubled
// marker stands for the marker itself. The writer splits the format once
// into literal pieces and argument places, and every inserted value fills
// the next place; values beyond the last place are appended. Inserting
// LogEnd completes the text and hands it to the module's log handle as one
// line, carrying the statement's level in the writer's parameter.
//
//     Guard<LogWriter<char>> line = LogWriter<char>::Write(output, "x=% y=%", Log::INFO_LEVEL, '%');
//     line << x << y << LogEnd();
//
// Statements that are filtered out, or that fail, get the shared null writer,
// which ignores every insertion and is never destroyed: filtered statements
// of every thread reach it at the same time.
#pragma once

#include <vor/core/export.h>

#include <vor/core/guard.h>
#include <vor/io/iobase.h>

#include <ios>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace Vor {
namespace Util {

// The end-of-statement marker.
struct LogEnd {};

// The level a statement carries to the log handle.
class VOR_API LogLevelParam : public Io::IoParam {
public:
    explicit LogLevelParam(unsigned int level = 0) : m_uLevel(level) {}
    LogLevelParam(LogLevelParam const& other) : IoParam(other), m_uLevel(other.m_uLevel) {}
    LogLevelParam& operator=(LogLevelParam const& other)
    {
        m_uLevel = other.m_uLevel;
        return *this;
    }
    ~LogLevelParam() override = default;

    // Succeeds only for another LogLevelParam.
    bool Copy(Io::IoParam const& other) override;

    unsigned int m_uLevel;
};

// Char is char or wchar_t. A writer belongs to the one thread that runs its
// statement; only the null writer is shared, and it changes nothing.
template <class Char>
class VOR_API LogWriter : public Core::LocalRef {
public:
    using Param = LogLevelParam;
    // A literal piece (pointer into the format, length) or an argument place
    // (null pointer, TO_END).
    using Piece = std::pair<Char const*, unsigned int>;
    // The length of a piece that runs to the end of the format.
    static constexpr unsigned int TO_END = 0xFFFFFFFFu;

    // A writer for one statement on `output`. The format must outlive the
    // statement (a literal, or text kept until LogEnd). A null format gives
    // the null writer.
    static Core::Guard<LogWriter> Write(Io::WriteHandle const& output, Char const* format, unsigned int level,
                                        Char marker);
    // The shared null writer.
    static Core::Guard<LogWriter> GetNull();

    // Puts the value's text into the next argument place (after the last
    // place: at the end). Ignored by the null writer and after LogEnd.
    template <class T>
    LogWriter& Insert(T const& value)
    {
        if (!m_bOpen)
            return *this;
        m_Text << value;
        FillPlace();
        return *this;
    }
    // Stream manipulators (std::hex, std::setw's relatives that are
    // functions) change how later values are written.
    LogWriter& Insert(std::ios_base& (*manipulator)(std::ios_base&))
    {
        if (m_bOpen)
            m_Text << manipulator;
        return *this;
    }

    // Completes the text (places left unfilled stay empty) and writes it as
    // one line. Later calls and insertions do nothing. False for the null
    // writer, a finished writer, or an output that refused the line.
    bool Finish();

    bool IsNull() const { return m_bNull; }
    std::vector<Piece> const& GetPieces() const { return m_Pieces; }
    Param const& GetParam() const { return m_Param; }
    // The text assembled so far.
    std::basic_string<Char> GetText() const { return m_Text.str(); }

private:
    struct NullTag {};

    explicit LogWriter(NullTag);
    LogWriter(Io::WriteHandle const& output, unsigned int level);
    ~LogWriter() override = default;
    LogWriter(LogWriter const&) = delete;
    LogWriter& operator=(LogWriter const&) = delete;

    // Makes a finished writer ready for a new statement.
    void Restart(Io::WriteHandle const& output, unsigned int level);
    void Parse(Char const* format, Char marker);
    // Copies literal pieces into the text up to the next argument place.
    void PutLiterals();
    void FillPlace();

    Param m_Param;
    Io::WriteHandle m_Output;
    std::vector<Piece> m_Pieces;
    std::basic_stringstream<Char> m_Text;
    std::size_t m_uNext;
    bool const m_bNull;
    bool m_bOpen;
};

extern template class LogWriter<char>;
extern template class LogWriter<wchar_t>;

} // namespace Util

// The null writers live in the library: one for the library and every
// program that uses it.
template <>
VOR_API Util::LogWriter<char>* Core::Guard<Util::LogWriter<char>>::s_pNull;
template <>
VOR_API Util::LogWriter<wchar_t>* Core::Guard<Util::LogWriter<wchar_t>>::s_pNull;

namespace Util {

// The streaming form of a statement: Write(...) << a << b << LogEnd().
template <class Char, class T>
Core::Guard<LogWriter<Char>> const& operator<<(Core::Guard<LogWriter<Char>> const& writer, T const& value)
{
    if (LogWriter<Char>* w = writer.Raw())
        w->Insert(value);
    return writer;
}

template <class Char>
Core::Guard<LogWriter<Char>> const& operator<<(Core::Guard<LogWriter<Char>> const& writer,
                                              std::ios_base& (*manipulator)(std::ios_base&))
{
    if (LogWriter<Char>* w = writer.Raw())
        w->Insert(manipulator);
    return writer;
}

template <class Char>
Core::Guard<LogWriter<Char>> const& operator<<(Core::Guard<LogWriter<Char>> const& writer, LogEnd)
{
    if (LogWriter<Char>* w = writer.Raw())
        w->Finish();
    return writer;
}

} // namespace Util
} // namespace Vor
