// The library's diagnostic lines on standard error. Not part of the installed
// interface.
#pragma once

#include "platform/console.h"

#include <sstream>
#include <string>

namespace Vor {
namespace Core {
namespace Internal {

// Writes `text` and one newline to standard error in a single write.
inline void ReportLine(std::string text)
{
    text.push_back('\n');
    Platform::WriteStandardError(text.data(), text.size());
}

// Builds a line from streamed pieces and writes it whole when destroyed:
//     Internal::Report() << "Can not find handler " << id;
class Report {
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
