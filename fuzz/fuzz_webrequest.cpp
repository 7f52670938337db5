// SPDX-License-Identifier: MIT
// The bytes of one read on the web port through the read handler's logic to the answers. Every
// answer must be framed whole, a 404 page must carry the requested path escaped (the only "<",
// ">" and double quotes in it are the page's own), the live page's files and the event stream's
// opening come out as built, and one read yields a bounded number of answers.
#include "eventstream.h"
#include "statuspage.h"
#include "webserver.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

size_t markupCount(std::string_view text)
{
    size_t n = 0;
    for (char c : text)
        n += c == '<' || c == '>' || c == '"';
    return n;
}

const std::string kOkHead = "HTTP/1.0 200 OK\r\n";
const std::string kNotFoundHead = "HTTP/1.0 404 Not Found\r\n";

// The live page's answers carry their own headers (security policy, caching): each must be whole,
// its header lines free of NUL bytes and each a "name: value" line, so that nothing from the
// request can start another header or answer.
void checkLiveAnswer(std::string_view head, std::string_view document)
{
    if (head.find('\0') != std::string_view::npos ||
        head.find("Content-Length: " + std::to_string(document.size()) + "\r\n") == std::string_view::npos)
        std::abort();
    size_t lines = 0;
    for (size_t at = head.find("\r\n"); at != std::string_view::npos; at = head.find("\r\n", at + 2)) {
        const size_t next = head.find("\r\n", at + 2);
        if (next != std::string_view::npos && head.substr(at + 2, next - at - 2).find(": ") == std::string_view::npos)
            std::abort();
        ++lines;
    }
    if (lines > 16)
        std::abort();
}

void checkAnswer(const std::string &answer, const std::string &statusPage, size_t notFoundMarkup)
{
    if (answer == TEventStreams::Headers())
        return;
    const size_t headEnd = answer.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        std::abort();
    const std::string_view head = std::string_view(answer).substr(0, headEnd + 2);
    const std::string_view document = std::string_view(answer).substr(headEnd + 4);
    if (head.find("\r\nContent-Security-Policy: ") != std::string_view::npos) {
        checkLiveAnswer(head, document);
        return;
    }
    // Exactly four header lines: nothing from the request reaches the header.
    size_t lines = 0;
    for (size_t at = head.find("\r\n"); at != std::string_view::npos; at = head.find("\r\n", at + 2))
        ++lines;
    if (lines != 4 || head.find('\0') != std::string_view::npos)
        std::abort();
    if (head.find("Content-Length: " + std::to_string(document.size()) + "\r\n") == std::string_view::npos)
        std::abort();
    if (head.starts_with(kOkHead)) {
        if (document != statusPage)
            std::abort();
    } else if (head.starts_with(kNotFoundHead)) {
        if (markupCount(document) != notFoundMarkup)
            std::abort();
    } else {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string statusPage = [] {
        int32_t hits = 0;
        return BuildStatusPage(TStatusPageInputs{}, hits);
    }();
    static const size_t notFoundMarkup = markupCount(BuildNotFoundPage("/x"));

    TWebServer server;
    server.StatusPage = [] { return statusPage; };
    int answers = 0;
    server.AnswerRequest(
        std::string_view(reinterpret_cast<const char *>(data), size), [] { return true; },
        [&](const std::string &answer) {
            ++answers;
            checkAnswer(answer, statusPage, notFoundMarkup);
        });
    if (answers > TWebServer::kMaxAnswersPerRead)
        std::abort();

    // The word cutter on its own: words never hold a separator, and the two overloads agree.
    std::string source(reinterpret_cast<const char *>(data), size);
    std::string_view view(reinterpret_cast<const char *>(data), size);
    for (;;) {
        const std::string word = ExtractWord(source);
        const std::string_view viewWord = ExtractWord(view);
        if (word != viewWord || source != view)
            std::abort();
        if (word.find_first_of(" \r\n") != std::string::npos)
            std::abort();
        if (word.empty())
            break;
    }
    return 0;
}
