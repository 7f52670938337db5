// SPDX-License-Identifier: MIT
// The live page's files; see livepage.h. The files are read from the resource once; the page's
// few per-request parts (language, colours) are put into its text by replacing markers.
#include "livepage.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <cctype>

// The resource lives in a static library: registered by hand, outside any namespace as the macro
// asks.
static void initLiveResource()
{
    Q_INIT_RESOURCE(live);
}

namespace {

struct TLiveFiles
{
    std::string Html, Script, Style;
    // A digest of each file for its URL, so browsers may keep them until the program changes.
    std::string ScriptVersion, StyleVersion;
};

std::string readResource(const char *Name)
{
    QFile file(QString::fromLatin1(Name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::string digest(const std::string &Bytes)
{
    const QByteArray hash =
        QCryptographicHash::hash(QByteArrayView(Bytes.data(), qsizetype(Bytes.size())), QCryptographicHash::Sha256);
    return hash.toHex().left(16).toStdString();
}

const TLiveFiles &liveFiles()
{
    static const TLiveFiles files = [] {
        initLiveResource();
        TLiveFiles f;
        f.Html = readResource(":/live/live.html");
        f.Script = readResource(":/live/live.js");
        f.Style = readResource(":/live/live.css");
        f.ScriptVersion = digest(f.Script);
        f.StyleVersion = digest(f.Style);
        return f;
    }();
    return files;
}

// Scripts and styles from this server only, nothing inline, nothing framed; the page talks to its
// own origin alone (/events, /calls.json).
constexpr std::string_view kSecurityHeaders =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n";

void replaceAll(std::string &Text, std::string_view Marker, std::string_view Value)
{
    for (std::size_t at = Text.find(Marker); at != std::string::npos; at = Text.find(Marker, at + Value.size()))
        Text.replace(at, Marker.size(), Value);
}

std::string colorText(uint32_t Color)
{
    // Red is the stored value's low byte.
    static const char digits[] = "0123456789abcdef";
    std::string text = "#";
    for (int k = 0; k < 3; ++k) {
        const unsigned byte = (Color >> (8 * k)) & 0xFF;
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

std::string colorsText(const TChannelColors &C)
{
    return colorText(C.CLUColor) + ' ' + colorText(C.CLUBackgroundColor) + ' ' + colorText(C.ALUColor) + ' ' +
           colorText(C.ALUBackgroundColor);
}

char lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool equalNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trim(std::string_view Text)
{
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t'))
        Text.remove_prefix(1);
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t' || Text.back() == '\r'))
        Text.remove_suffix(1);
    return Text;
}

// A "q=0.8" weight in thousandths; 1000 without one, 0 for a malformed one.
int weight(std::string_view Params)
{
    const std::size_t q = Params.find("q=");
    if (q == std::string_view::npos)
        return 1000;
    std::string_view value = Params.substr(q + 2);
    if (value.empty() || (value[0] != '0' && value[0] != '1'))
        return 0;
    int result = (value[0] - '0') * 1000;
    if (value.size() > 1 && value[1] == '.') {
        int scale = 100;
        for (std::size_t k = 2; k < value.size() && k < 5 && std::isdigit(static_cast<unsigned char>(value[k])); ++k) {
            result += (value[k] - '0') * scale;
            scale /= 10;
        }
    }
    return std::min(result, 1000);
}

} // namespace

bool IsLivePath(std::string_view Path)
{
    Path = Path.substr(0, Path.find('?'));
    return Path == kLivePath || Path == "/live/" || Path == "/live/live.js" || Path == "/live/live.css";
}

std::string_view LiveLanguage(std::string_view AcceptLanguage)
{
    // The first of the highest weight among the page's languages wins.
    int best = 0;
    std::string_view language = "en";
    while (!AcceptLanguage.empty()) {
        const std::size_t comma = AcceptLanguage.find(',');
        const std::string_view item = AcceptLanguage.substr(0, comma);
        AcceptLanguage.remove_prefix(comma == std::string_view::npos ? AcceptLanguage.size() : comma + 1);
        const std::size_t semicolon = item.find(';');
        const std::string_view tag = trim(item.substr(0, semicolon));
        const int w = semicolon == std::string_view::npos ? 1000 : weight(item.substr(semicolon));
        const std::string_view primary = tag.substr(0, tag.find('-'));
        const bool german = equalNoCase(primary, "de"), english = equalNoCase(primary, "en");
        if ((german || english) && w > best) {
            best = w;
            language = german ? "de" : "en";
        }
    }
    return language;
}

std::string_view RequestHeader(std::string_view Block, std::string_view Name)
{
    while (!Block.empty()) {
        const std::size_t end = Block.find('\n');
        const std::string_view line = Block.substr(0, end);
        Block.remove_prefix(end == std::string_view::npos ? Block.size() : end + 1);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && equalNoCase(trim(line.substr(0, colon)), Name))
            return trim(line.substr(colon + 1));
    }
    return {};
}

std::optional<std::string> LivePageAnswer(std::string_view Path, const TLivePageInputs &Inputs)
{
    if (!IsLivePath(Path))
        return std::nullopt;
    const std::size_t question = Path.find('?');
    const std::string_view query = question == std::string_view::npos ? std::string_view() : Path.substr(question + 1);
    Path = Path.substr(0, question);
    const TLiveFiles &files = liveFiles();
    std::string headers(kSecurityHeaders);
    // A file asked for by the page's own versioned URL never changes; anything else is checked.
    const auto fileCaching = [&](const std::string &Version) {
        headers += query == "v=" + Version ? "Cache-Control: public, max-age=31536000, immutable\r\n"
                                           : "Cache-Control: no-cache\r\n";
    };
    if (Path == "/live/live.js") {
        fileCaching(files.ScriptVersion);
        return HttpAnswer(THttpStatus::Ok, "text/javascript; charset=utf-8", files.Script, headers);
    }
    if (Path == "/live/live.css") {
        fileCaching(files.StyleVersion);
        return HttpAnswer(THttpStatus::Ok, "text/css; charset=utf-8", files.Style, headers);
    }
    const std::string_view language = LiveLanguage(Inputs.AcceptLanguage);
    std::string page = files.Html;
    replaceAll(page, "@LANG@", language);
    replaceAll(page, "@NOSCRIPT@",
               language == "de" ? "Diese Seite braucht JavaScript. Ohne JavaScript zeigt die klassische Statusseite "
                                  "dieselben Werte:"
                                : "This page needs JavaScript. Without it, the classic status page shows the same "
                                  "figures:");
    replaceAll(page, "@CLASSIC@", language == "de" ? "Klassische Statusseite" : "Classic status page");
    replaceAll(page, "@COLORS@", colorsText(Inputs.B1Colors) + ' ' + colorsText(Inputs.B2Colors));
    replaceAll(page, "@CALLS@", Inputs.CallHistory);
    replaceAll(page, "@JSV@", files.ScriptVersion);
    replaceAll(page, "@CSSV@", files.StyleVersion);
    headers += "Cache-Control: no-cache\r\nVary: Accept-Language\r\n";
    return HttpAnswer(THttpStatus::Ok, "text/html; charset=utf-8", page, headers);
}
