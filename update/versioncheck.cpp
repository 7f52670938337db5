// SPDX-License-Identifier: MIT
// The version check; see versioncheck.h.
#include "versioncheck.h"

#include "apperror.h"
#include "httpclient.h"
#include "inifile.h"

#include <QCoreApplication>

#include <stdexcept>

namespace {

const char kVersionSection[] = "VERSION";
const char kNoFeature[] = "*";

// The bullet that starts each feature line.
constexpr char16_t kBullet = 0x2022;

QString latin1(const std::string &bytes)
{
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

} // namespace

TVersionInfo ReadVersionFile(const std::string &path)
{
    const TIniFile ini(path);
    TVersionInfo info;
    info.Latest = ini.ReadString(kVersionSection, "Latest", "1.0.0.0");
    info.Date = ini.ReadString(info.Latest, "Date", "1/1/00");
    info.Location = ini.ReadString(kVersionSection, "Location", "Location Not Found");
    for (std::size_t n = 1; n <= kMaxFeatureLines; ++n) {
        std::string line = ini.ReadString(info.Latest, "LINE" + std::to_string(n), kNoFeature);
        if (line == kNoFeature)
            break;
        info.Features.push_back(std::move(line));
    }
    return info;
}

bool IsNewerVersion(const std::string &thisVersion, const std::string &latest)
{
    // std::string compares char_traits<char>, whose order is that of unsigned char: byte codes.
    return thisVersion.compare(latest) < 0;
}

QStringList FeatureLines(const TVersionInfo &info)
{
    QStringList lines{latin1(info.Latest) + QLatin1Char(':')};
    for (const std::string &feature : info.Features)
        lines << QStringLiteral("  ") + QChar(kBullet) + latin1(feature);
    return lines;
}

TNewVersionTexts NewVersionTexts(const TVersionInfo &info, const std::string &thisVersionCaption)
{
    TNewVersionTexts texts;
    texts.ThisVersion = latin1(thisVersionCaption);
    texts.CurrentVersion = latin1(info.Latest + "  " + info.Date);
    texts.Url = latin1(info.Location);
    texts.Features = FeatureLines(info);
    return texts;
}

void StoreVersionFile(const std::string &path, const std::string &body)
{
    // A link in the copy's place is replaced, never written through: the server's bytes must not
    // land wherever the link points.
    if (!replaceFile(path, body, std::nullopt))
        throw std::runtime_error("Unable to write to " + path);
}

std::string FetchWithHttpClient(const std::string &url)
{
    THttpClient client;
    client.SetInputFileMode(false);
    client.SetOutputFileMode(false);
    client.SetMaxBodySize(kMaxVersionFileSize);
    client.FetchUrl(url);
    return client.Body();
}

void TVersionCheck::btnCheckNowClick()
{
    // A second request (the label stays clickable) while the first waits for the network.
    if (m_running)
        return;
    m_running = true;
    const auto restore = [this] {
        Guarded([this] {
            SetStatusText(QCoreApplication::translate("TVersionCheck", "Update check failed"));
            SetCheckNowEnabled(true);
        });
    };
    try {
        runCheck();
    } catch (const EHttpInterrupted &) {
        // The program is closing; there is nobody left to tell.
        restore();
    } catch (const std::exception &e) {
        const std::string message = e.what();
        restore();
        ReportError(message);
    } catch (...) {
        restore();
        ReportError("Unknown error");
    }
    m_running = false;
}

void TVersionCheck::runCheck()
{
    SetCheckNowEnabled(false);
    SetStatusText(QCoreApplication::translate("TVersionCheck", "Checking for new version"));

    const std::string body = Fetch ? Fetch(VersionFileUrl) : FetchWithHttpClient(VersionFileUrl);
    const std::string path = AppDir() + kVersionFileName;
    StoreVersionFile(path, body);

    const TVersionInfo info = ReadVersionFile(path);
    if (IsNewerVersion(ThisVersion, info.Latest)) {
        SetStatusText(QCoreApplication::translate("TVersionCheck", "New version found: ") + latin1(info.Latest));
        ShowNewVersion(NewVersionTexts(info, ThisVersionCaption));
    } else {
        SetStatusText(QCoreApplication::translate("TVersionCheck", "No new version found."));
    }
    SetCheckNowEnabled(true);
}
