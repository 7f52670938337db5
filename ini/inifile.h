// SPDX-License-Identifier: MIT
// Reader and writer of INI (profile) text files with the Windows profile rules, in plain C++.
// Serves the settings file, the service names file and the stored version file. Writes collect in
// memory and reach the disk all at once through UpdateFile(), by a temporary file renamed over the
// old one, so a crash or a full disk never leaves half a file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

// Raised by TIniFile::UpdateFile() with the text "Unable to write to <path>".
class EIniFileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The integer rule of the profile files: decimal, or hexadecimal after "$", "0x" or "0X", with an
// optional sign in front. Decimal must fit 32 bits signed; hexadecimal may use all 32 bits and
// wraps ("$FFFFFFFF" is -1). Anything else, empty included, gives no value.
std::optional<int32_t> ParseIniInteger(std::string_view text);

// Writes content to a new file in path's directory and renames it over path, so that a reader sees
// the old file or the new one, never a part of either. A symbolic link at path is replaced by the
// new file, never followed. The new file gets exactly mode when one is given (the umask does not
// widen or narrow it), else what the umask leaves of 0666. False, with path untouched and no
// temporary file left, when any step fails.
bool replaceFile(const std::string &path, const std::string &content, std::optional<mode_t> mode);

// One INI file, named by its full path. Reading rules:
//  - a line "[name]" opens a section; a line "key=value" holds a value; lines starting with ";"
//    are comments; section and key names match without regard to (ASCII) case; the first
//    matching section and, in it, the first matching key count;
//  - the value is the text after the first "=" with blanks (space, tab) around it removed and one
//    pair of enclosing double or single quotes dropped, then cut to kMaxValueLength characters;
//  - a missing or unreadable file, section or key gives the caller's default.
// Lines may end in LF or CR LF; a file larger than kMaxFileSize is treated as unreadable, which
// bounds the memory and time any file can cost.
//
// Nothing is cached between calls while no write is pending: every read looks at the file on
// disk, so a change made by anyone else is seen at once. After the first write the object reads
// its own pending contents until UpdateFile() commits them; writes not committed are dropped.
class TIniFile
{
public:
    static constexpr std::size_t kMaxValueLength = 2047;
    static constexpr std::size_t kMaxFileSize = 8 * 1024 * 1024;

    explicit TIniFile(std::string path);

    const std::string &FileName() const { return m_path; }

    std::string ReadString(const std::string &section, const std::string &key, const std::string &def) const;
    // A value that ParseIniInteger rejects gives the default.
    int32_t ReadInteger(const std::string &section, const std::string &key, int32_t def) const;
    // An integer; any non-zero value is true.
    bool ReadBool(const std::string &section, const std::string &key, bool def) const;

    // The names of the file's sections in their order (its pending contents after a write);
    // none for a missing or unreadable file.
    std::vector<std::string> SectionNames() const;

    // Replaces the key's line in place, or appends the key after the last non-blank line of its
    // section, or appends the section (with the key) at the end of the file. The value is cut at
    // its first NUL, CR or LF, which could not be read back and would break the line apart; a
    // value that reading would change (blanks at either end, or enclosed in matching quotes) is
    // written inside double quotes so that it reads back exactly. Section and key names must be
    // non-empty single-line names without surrounding blanks, "=" in a key or "]" in a section;
    // others raise std::invalid_argument (they are programming errors, never user input).
    void WriteString(const std::string &section, const std::string &key, const std::string &value);
    void WriteInteger(const std::string &section, const std::string &key, int32_t value);
    void WriteBool(const std::string &section, const std::string &key, bool value);

    // Commits the pending writes: the whole file goes to a new file in the same directory, which
    // is flushed to the disk and renamed over the old one; every line ends in CR LF and every
    // line the writes did not touch keeps its bytes. The file is readable and writable by its
    // owner only (0600), whatever its mode was: the settings hold the router password. A path
    // that is a symbolic link (or a chain of them) stays one: the file it leads to is replaced,
    // or created when the link dangles. On any failure, when the file the path leads to exists
    // but is not a regular file, or when the existing file could not be read in full (so its
    // contents would be lost), raises EIniFileError "Unable to write to <path>", removes the
    // temporary file and leaves the old file as it was; the writes stay pending. Does nothing
    // when no write is pending.
    void UpdateFile();

private:
    std::optional<std::string> lookup(const std::string &section, const std::string &key) const;
    void beginWrite();

    std::string m_path;
    bool m_pending = false;        // m_lines holds the file with the writes applied
    bool m_baseUnreadable = false; // the file exists but could not be read in full
    std::vector<std::string> m_lines;
};
