// SPDX-License-Identifier: MIT
// Server answers through the HTTP client's parsing: status line, header lines with Set-Cookie and
// Location, redirects and the URL parser, in the order the client's fetch loop takes them. The
// request built for every hop must be the fixed lines with CR LF ends: no CR, LF or NUL from an
// answer may reach it.
#include "httpclient.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kMaxHeaderValueLength = 256;
constexpr size_t kMaxPathLength = 256;

// The answer's lines as the client's ReadLine hands them out: each with its LF, the last one
// without when the server closes.
std::vector<std::string> answerLines(std::string_view answer)
{
    std::vector<std::string> lines;
    while (!answer.empty()) {
        const size_t nl = answer.find('\n');
        const size_t length = nl == std::string_view::npos ? answer.size() : nl + 1;
        lines.emplace_back(answer.substr(0, length));
        answer.remove_prefix(length);
    }
    return lines;
}

void checkValue(const std::optional<std::string> &value)
{
    if (value && (value->size() > kMaxHeaderValueLength ||
                  value->find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos))
        std::abort();
}

void checkRequest(const std::string &request, const THttpTarget &target, const std::string &cookie)
{
    if (request.find('\0') != std::string::npos)
        std::abort();
    std::vector<std::string_view> lines;
    std::string_view rest = request;
    while (!rest.empty()) {
        const size_t crlf = rest.find("\r\n");
        if (crlf == std::string_view::npos)
            std::abort();
        const std::string_view line = rest.substr(0, crlf);
        if (line.find_first_of("\r\n") != std::string_view::npos)
            std::abort();
        lines.push_back(line);
        rest.remove_prefix(crlf + 2);
    }
    const size_t expected = cookie.empty() ? 6 : 7;
    if (lines.size() != expected || !lines.back().empty())
        std::abort();
    if (!lines[0].starts_with("GET /") || !lines[0].ends_with(" HTTP/1.0") || !lines[1].starts_with("Host: ") ||
        !lines[expected - 2].starts_with("Content-type: "))
        std::abort();
    if (!cookie.empty() && lines[4] != "Cookie: " + cookie)
        std::abort();
    if (target.Path.empty() || target.Path.size() > kMaxPathLength || target.Port < 1 || target.Port > 65535)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    std::string next = provider.ConsumeRandomLengthString(300);
    THttpTarget target;
    std::string cookie;
    for (int redirects = 0; redirects <= THttpClient::kMaxRedirects; ++redirects) {
        try {
            ParseHttpUrl(next, target);
        } catch (const EHttpError &) {
            return 0;
        }
        if (target.Url.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos)
            std::abort();
        checkRequest(BuildHttpRequest(target, cookie), target, cookie);

        const std::vector<std::string> lines = answerLines(provider.ConsumeRandomLengthString(4096));
        if (lines.empty())
            return 0;
        const int16_t status = ParseStatusCode(lines[0]);
        if (status < 0)
            std::abort();
        std::optional<std::string> newCookie;
        std::string location;
        for (size_t k = 1; k < lines.size(); ++k) {
            const std::string &line = lines[k];
            if (line == "\n" || line == "\r\n")
                break;
            const std::optional<std::string> setCookie = HeaderValue(line, "SET-COOKIE:");
            checkValue(setCookie);
            if (setCookie) {
                newCookie = setCookie;
                continue;
            }
            const std::optional<std::string> where = HeaderValue(line, "LOCATION:");
            checkValue(where);
            if (where)
                location = *where;
        }
        if (status < 300 || status > 302 || location.empty())
            return 0;
        if (newCookie)
            cookie = *newCookie;
        next = RedirectUrl(location, target);
    }
    return 0;
}
