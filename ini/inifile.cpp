// SPDX-License-Identifier: MIT
// INI (profile) file reading and atomic writing; see inifile.h for the rules.
#include "inifile.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::string_view kBlanks = " \t";

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view s)
{
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    }
    return true;
}

bool isQuote(char c)
{
    return c == '"' || c == '\'';
}

bool enclosedInQuotes(std::string_view s)
{
    return s.size() >= 2 && isQuote(s.front()) && s.back() == s.front();
}

// What one line of the file is. Names and values are views into the line.
struct ParsedLine
{
    enum class Kind { Other, Section, Key } kind = Kind::Other;
    std::string_view name;
    std::string_view rawValue; // everything after the first "=", untrimmed
    std::size_t nameEnd = 0;   // end of the key name within the line (before blanks and "=")
};

ParsedLine parseLine(std::string_view line)
{
    ParsedLine parsed;
    const std::string_view body = trimBlanks(line);
    if (body.empty() || body.front() == ';')
        return parsed;
    if (body.front() == '[') {
        const auto close = body.find(']');
        if (close != std::string_view::npos) {
            parsed.kind = ParsedLine::Kind::Section;
            parsed.name = trimBlanks(body.substr(1, close - 1));
        }
        return parsed;
    }
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return parsed;
    const std::string_view key = trimBlanks(line.substr(0, eq));
    if (key.empty())
        return parsed;
    parsed.kind = ParsedLine::Kind::Key;
    parsed.name = key;
    parsed.rawValue = line.substr(eq + 1);
    parsed.nameEnd = static_cast<std::size_t>(key.data() - line.data()) + key.size();
    return parsed;
}

// Where a key is, or where it would go.
struct Location
{
    std::optional<std::size_t> section; // line of the section's header
    std::optional<std::size_t> key;     // line of the key
    std::size_t insertAt = 0;           // after the section's last non-blank line
};

Location locate(const std::vector<std::string> &lines, std::string_view section, std::string_view key)
{
    Location where;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine parsed = parseLine(lines[i]);
        if (parsed.kind == ParsedLine::Kind::Section) {
            if (where.section)
                break; // left the first matching section: later duplicates do not count
            if (sameName(parsed.name, section)) {
                where.section = i;
                where.insertAt = i + 1;
            }
            continue;
        }
        if (!where.section)
            continue;
        if (!trimBlanks(lines[i]).empty())
            where.insertAt = i + 1;
        if (parsed.kind == ParsedLine::Kind::Key && sameName(parsed.name, key)) {
            where.key = i;
            return where;
        }
    }
    return where;
}

std::vector<std::string> splitLines(std::string_view content)
{
    std::vector<std::string> lines;
    while (!content.empty()) {
        const auto nl = content.find('\n');
        std::string_view line = content.substr(0, nl);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.emplace_back(line);
        if (nl == std::string_view::npos)
            break;
        content.remove_prefix(nl + 1);
    }
    return lines;
}

enum class LoadResult { Loaded, Missing, Unreadable };

// Reads the whole file. A FIFO or device never blocks or floods us: only regular files up to
// kMaxFileSize are read.
LoadResult loadLines(const std::string &path, std::vector<std::string> &lines)
{
    lines.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return (errno == ENOENT || errno == ENOTDIR) ? LoadResult::Missing : LoadResult::Unreadable;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > TIniFile::kMaxFileSize) {
        ::close(fd);
        return LoadResult::Unreadable;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || content.size() + static_cast<std::size_t>(n) > TIniFile::kMaxFileSize) {
            ::close(fd);
            return LoadResult::Unreadable;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    lines = splitLines(content);
    return LoadResult::Loaded;
}

std::string valueFromRaw(std::string_view raw)
{
    std::string_view value = trimBlanks(raw);
    if (enclosedInQuotes(value))
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, TIniFile::kMaxValueLength));
}

// The text to put after "=" so that reading gives `value` back (up to its first line break).
std::string valueForFile(const std::string &value)
{
    std::string_view v = value;
    v = v.substr(0, v.find_first_of(std::string_view("\0\r\n", 3)));
    const bool changedByReading = !v.empty() && (isBlank(v.front()) || isBlank(v.back()) || enclosedInQuotes(v));
    if (changedByReading)
        return "\"" + std::string(v) + "\"";
    return std::string(v);
}

bool validName(std::string_view name, char forbidden)
{
    return !name.empty() && trimBlanks(name).size() == name.size() &&
           name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos &&
           name.find(forbidden) == std::string_view::npos;
}

bool writeAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string directoryOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A save that was killed between creating its temporary file and renaming it leaves the file
// behind. The next save removes those of processes that no longer run; a temporary file of a
// live process may still be on its way to becoming the settings file and is left alone.
void removeStaleTemporaries(const std::string &target)
{
    const std::string dir = directoryOf(target);
    const auto slash = target.rfind('/');
    const std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp";
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return;
    while (const dirent *entry = ::readdir(d)) {
        const std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
            continue;
        const std::string_view rest = name.substr(prefix.size());
        const auto dash = rest.find('-');
        if (dash == 0 || dash == std::string_view::npos || dash > 9)
            continue;
        long pid = 0;
        bool digits = true;
        for (char c : rest.substr(0, dash)) {
            digits = digits && c >= '0' && c <= '9';
            pid = pid * 10 + (c - '0');
        }
        if (!digits || pid <= 0 || pid == ::getpid())
            continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            (void)::unlink((dir + "/" + std::string(name)).c_str());
    }
    ::closedir(d);
}

// The path that a chain of symbolic links starting at path ends in: a regular file, or a name
// that does not exist yet. Nothing when the chain ends in anything else (a directory, a FIFO, a
// device) or is too long to be anything but a loop.
std::optional<std::string> resolveLinks(std::string path)
{
    constexpr int kMaxLinks = 40; // the kernel's own limit for a path
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        struct stat st
        {
        };
        if (::lstat(path.c_str(), &st) != 0)
            return errno == ENOENT ? std::optional(path) : std::nullopt;
        if (S_ISREG(st.st_mode))
            return path;
        if (!S_ISLNK(st.st_mode))
            return std::nullopt;
        std::string link(std::size_t(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size())
            return std::nullopt;
        link.resize(static_cast<std::size_t>(n));
        path = link.front() == '/' ? link : directoryOf(path) + "/" + link;
    }
    return std::nullopt;
}

} // namespace

bool replaceFile(const std::string &path, const std::string &content, std::optional<mode_t> mode)
{
    static unsigned counter = 0;
    std::string temp;
    int fd = -1;
    // O_EXCL never follows a link that someone put in the temporary file's place.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode ? *mode : 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    bool ok = !mode || ::fchmod(fd, *mode) == 0;
    ok = ok && writeAll(fd, content) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    // rename replaces a link at path itself, never the file it points to.
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }

    // Make the rename itself durable; the new file is complete whatever happens here.
    const int dirFd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    removeStaleTemporaries(path);
    return true;
}

std::optional<int32_t> ParseIniInteger(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    unsigned base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return std::nullopt;
    const uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    uint64_t value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        value = value * base + digit;
        if (value > limit)
            return std::nullopt;
    }
    uint32_t bits = static_cast<uint32_t>(value);
    if (negative)
        bits = 0u - bits;
    return static_cast<int32_t>(bits); // modular since C++20
}

TIniFile::TIniFile(std::string path) : m_path(std::move(path)) {}

std::optional<std::string> TIniFile::lookup(const std::string &section, const std::string &key) const
{
    std::vector<std::string> fromDisk;
    if (!m_pending && loadLines(m_path, fromDisk) != LoadResult::Loaded)
        return std::nullopt;
    const std::vector<std::string> &lines = m_pending ? m_lines : fromDisk;
    const Location where = locate(lines, section, key);
    if (!where.key)
        return std::nullopt;
    return valueFromRaw(parseLine(lines[*where.key]).rawValue);
}

std::vector<std::string> TIniFile::SectionNames() const
{
    std::vector<std::string> fromDisk;
    if (!m_pending && loadLines(m_path, fromDisk) != LoadResult::Loaded)
        return {};
    std::vector<std::string> names;
    for (const std::string &line : m_pending ? m_lines : fromDisk) {
        const ParsedLine parsed = parseLine(line);
        if (parsed.kind == ParsedLine::Kind::Section)
            names.emplace_back(parsed.name);
    }
    return names;
}

std::string TIniFile::ReadString(const std::string &section, const std::string &key, const std::string &def) const
{
    return lookup(section, key).value_or(def);
}

int32_t TIniFile::ReadInteger(const std::string &section, const std::string &key, int32_t def) const
{
    const auto text = lookup(section, key);
    if (!text)
        return def;
    return ParseIniInteger(*text).value_or(def);
}

bool TIniFile::ReadBool(const std::string &section, const std::string &key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::beginWrite()
{
    if (m_pending)
        return;
    m_baseUnreadable = loadLines(m_path, m_lines) == LoadResult::Unreadable;
    m_pending = true;
}

void TIniFile::WriteString(const std::string &section, const std::string &key, const std::string &value)
{
    if (!validName(section, ']') || !validName(key, '=') || key.front() == '[' || key.front() == ';')
        throw std::invalid_argument("Invalid INI section or key name: [" + section + "] " + key);
    beginWrite();
    const std::string text = valueForFile(value);
    const Location where = locate(m_lines, section, key);
    if (where.key) {
        std::string &line = m_lines[*where.key];
        line = line.substr(0, parseLine(line).nameEnd) + "=" + text;
    } else if (where.section) {
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(where.insertAt), key + "=" + text);
    } else {
        m_lines.push_back("[" + section + "]");
        m_lines.push_back(key + "=" + text);
    }
}

void TIniFile::WriteInteger(const std::string &section, const std::string &key, int32_t value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string &section, const std::string &key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::UpdateFile()
{
    if (!m_pending)
        return;
    const std::string failure = "Unable to write to " + m_path;
    if (m_baseUnreadable)
        throw EIniFileError(failure);

    std::string content;
    for (const std::string &line : m_lines) {
        content += line;
        content += "\r\n";
    }

    // A link stays a link: what it leads to is replaced, as an editor does.
    const std::optional<std::string> target = resolveLinks(m_path);
    if (!target || !replaceFile(*target, content, S_IRUSR | S_IWUSR))
        throw EIniFileError(failure);
    m_pending = false;
    m_lines.clear();
}
