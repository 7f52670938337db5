// SPDX-License-Identifier: MIT
// The version check behind "Check Now": fetch the version file, keep a copy beside the program,
// read it with the INI rules and, when the published version sorts after ours, say so and show
// the new-version dialog. The window supplies its controls to the check through hooks.
#pragma once

#include "linewatchversion.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

inline constexpr char kVersionFileUrl[] = "http://www.brelwick.example/linewatch/linewatchver.txt";
inline constexpr char kVersionFileName[] = "linewatchver.txt";

// What the stored version file says about the newest published release.
struct TVersionInfo
{
    std::string Latest;                // [VERSION] Latest, "1.0.0.0" when absent
    std::string Date;                  // [<Latest>] Date, "1/1/00" when absent
    std::string Location;              // [VERSION] Location, "Location Not Found" when absent
    std::vector<std::string> Features; // [<Latest>] LINE1, LINE2, ... up to the first absent or "*"
};

// Bounds on what a version file may cost. The INI reader reads the whole file for every key, so
// the feature list stops after kMaxFeatureLines even when the file numbers on, and the fetch
// refuses a file larger than kMaxVersionFileSize; a real version file is a few hundred bytes.
inline constexpr std::size_t kMaxFeatureLines = 100;
inline constexpr std::size_t kMaxVersionFileSize = 64 * 1024;

// Reads the stored version file; a missing or foreign file gives the defaults.
TVersionInfo ReadVersionFile(const std::string &path);

// True when thisVersion sorts strictly before latest, comparing bytes by their codes and putting
// a text before any longer text it begins ("1.0.1.10" sorts before "1.0.1.3").
bool IsNewerVersion(const std::string &thisVersion, const std::string &latest);

// The lines of the feature list: Latest and a colon, then each feature after two blanks and a
// bullet. The file's bytes are shown as Latin-1.
QStringList FeatureLines(const TVersionInfo &info);

// The texts the new-version dialog shows.
struct TNewVersionTexts
{
    QString ThisVersion;    // lblThisVersion: the running version's caption
    QString CurrentVersion; // lblCurrentVersion: Latest, two blanks, Date
    QString Url;            // lblURL: the download page
    QStringList Features;   // mmoNewFeatures
};

TNewVersionTexts NewVersionTexts(const TVersionInfo &info, const std::string &thisVersionCaption);

// Writes body into path byte for byte, through a temporary file renamed over path, so a symbolic
// link at path is replaced by the file rather than followed. Raises std::runtime_error
// "Unable to write to <path>" when any step fails.
void StoreVersionFile(const std::string &path, const std::string &body);

// Fetches url with the HTTP client, answers kept in memory, and returns the body; a body larger
// than kMaxVersionFileSize is an error.
std::string FetchWithHttpClient(const std::string &url);

// One check at a time, run from the Check Now button, the "Current Line Use Color:" label and
// start-up. The hooks are the window's; Fetch defaults to FetchWithHttpClient.
class TVersionCheck
{
public:
    std::function<void(bool enabled)> SetCheckNowEnabled;
    std::function<void(const QString &text)> SetStatusText;            // the status bar's panel 0
    std::function<std::string()> AppDir;                               // ends in a path separator
    std::function<void(const TNewVersionTexts &texts)> ShowNewVersion; // modal, returns when closed
    std::function<std::string(const std::string &url)> Fetch;

    std::string ThisVersion = LINEWATCH_VERSION;
    std::string ThisVersionCaption = LINEWATCH_VERSION "  " LINEWATCH_RELEASE_DATE_MDY;
    std::string VersionFileUrl = kVersionFileUrl;

    // Runs the check to its end; the event loop turns while the fetch waits. Never throws: a
    // failure enables the button again, puts "Update check failed" in panel 0 and goes to
    // ReportError. A call while a check is running does nothing.
    void btnCheckNowClick();

    bool Running() const { return m_running; }

private:
    void runCheck();

    bool m_running = false;
};
