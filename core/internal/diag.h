// The library's diagnostic lines on std::cerr. Not part of the installed
// interface.
#pragma once

#include <vor/core/export.h>

#include "platform/mutex.h"

#include <cerrno>
#include <iostream>
#include <sstream>
#include <string>

namespace Vor {
namespace Core {
namespace Internal {

// Orders the diagnostic lines of every thread, so that no two ever mix.
// Never destroyed: a library thread may still report while the process
// exits.
inline Platform::RecursiveMutex& ReportLock()
{
    static Platform::RecursiveMutex* s_pLock = new Platform::RecursiveMutex;
    return *s_pLock;
}

// Writes `text` and one newline to std::cerr as one piece, then flushes.
// Through std::cerr rather than descriptor 2, so that an application that
// gives std::cerr another buffer gets the library's lines there too.
inline void ReportLine(std::string text)
{
    struct VOR_API Hold {
        Hold() { ReportLock().Lock(); }
        ~Hold() { ReportLock().Unlock(); } // also when a killed thread unwinds inside the write
    };
    int saved = errno; // a diagnostic must not disturb the error it reports
    text.push_back('\n');
    {
        Hold hold;
        std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
        std::cerr.flush();
    }
    errno = saved;
}

// Builds a line from streamed pieces and writes it whole when destroyed:
//     Internal::Report() << "Can not find handler " << id;
class VOR_API Report {
public:
    Report() = default;
    Report(Report const&) = delete;
    Report& operator=(Report const&) = delete;
    ~Report() { ReportLine(m_Line.str()); }

    template <class T>
    Report& operator<<(T const& value)
    {
        m_Line << value;
        return *this;
    }

private:
    std::ostringstream m_Line;
};

} // namespace Internal
} // namespace Core
} // namespace Vor
