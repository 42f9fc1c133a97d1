// Named text parameters of an application, filled from a command line.
//
//     Guard<AppParam> params = New<AppParam>();
//     params->AddParam(argc, argv, '-');    // prog -port 80 --debug
//     params->GetParam("port");             // "80"
#pragma once

#include <vor/core/export.h>

#include <vor/core/guard.h>
#include <vor/core/lock.h>

#include <map>
#include <string>

namespace Vor {
namespace Basic {

// Name-to-value pairs, one value per name, names compared byte-wise. A
// parameter given without a value has the empty value. Every operation
// takes the set's reader/writer lock, so a set may be shared by threads.
//
// A null name is refused (false, or nothing found); a null value is the
// empty value. The wide-character forms keep no data: they refuse every
// pair, find nothing, and their parsers count 0 added.
class VOR_API AppParam : public Core::GlobalRef {
public:
    // The count the text parser returns for a null text.
    static constexpr unsigned int INVALID_COUNT = 0xFFFFFFFFu;

    AppParam();
    // Starts empty and copies other's pairs.
    AppParam(AppParam const& other);
    // Replaces the whole content with a copy of other's pairs.
    AppParam& operator=(AppParam const& other);
    // Adds every pair of other whose name is absent here.
    AppParam& operator+=(AppParam const& other);

    // Inserts the pair when the name is absent; false (value unchanged)
    // when it exists.
    bool AddParam(std::string const& name, std::string const& value);
    bool AddParam(char const* name, char const* value);
    // Replaces the value of an existing name; false (nothing inserted) when
    // the name is absent.
    bool SetParam(std::string const& name, std::string const& value);
    bool SetParam(char const* name, char const* value);
    // The value, or the empty string when the name is absent.
    std::string GetParam(std::string const& name) const;
    std::string GetParam(char const* name) const;
    bool HasParam(std::string const& name) const;
    bool HasParam(char const* name) const;
    // Removes the name if present. Always true.
    bool DelParam(std::string const& name);
    bool DelParam(char const* name);

    // Parses a command line: elements 1 .. count - 1 of argv (element 0,
    // the program, is not looked at). An element starting with the prefix
    // names a parameter (all leading prefix characters stripped; one made
    // only of them is skipped); its value is the next element when that
    // exists and does not start with the prefix. Other elements are
    // ignored. Returns how many parameters were newly added.
    unsigned int AddParam(int count, char** const argv, char prefix);
    // Splits the text into words at spaces; a word in single or double
    // quotes may hold spaces and the other quote. The words are parsed as a
    // command line, the first standing for the program. INVALID_COUNT for a
    // null text.
    unsigned int AddParam(char const* text, char prefix);

    bool AddParam(std::wstring const& name, std::wstring const& value);
    bool AddParam(wchar_t const* name, wchar_t const* value);
    bool SetParam(std::wstring const& name, std::wstring const& value);
    bool SetParam(wchar_t const* name, wchar_t const* value);
    std::wstring GetParam(std::wstring const& name) const;
    std::wstring GetParam(wchar_t const* name) const;
    bool HasParam(std::wstring const& name) const;
    bool HasParam(wchar_t const* name) const;
    bool DelParam(std::wstring const& name);
    bool DelParam(wchar_t const* name);
    unsigned int AddParam(int count, wchar_t** const argv, wchar_t prefix);
    unsigned int AddParam(wchar_t const* text, wchar_t prefix);

protected:
    ~AppParam() override;

private:
    using Map = std::map<std::string, std::string>;

    // A copy of the pairs, taken under this set's lock for reading.
    Map Snapshot() const;

    Map m_Params;
    mutable Core::Lock m_Lock;
};

} // namespace Basic
} // namespace Vor
