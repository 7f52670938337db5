// SPDX-License-Identifier: MIT
// Settings saves killed half-way: a child process saves two different sets of settings in turn,
// without pause, and is killed with SIGKILL at random moments a few hundred times. Each time the
// file must be exactly one of the two complete files, never a mixture or a truncated one. And the
// file, which holds the router password, is never readable by anyone but its owner.
#include "inifile.h"
#include "settings.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using C = SettingControl;

class StoredControls : public ISettingsControls
{
public:
    explicit StoredControls(int variant)
    {
        const std::string v = std::to_string(variant);
        texts[C::edtTelnetAddress] = "10.0.0." + v;
        texts[C::edtTelnetPort] = variant ? "2323" : "23";
        texts[C::edtPassword] = variant ? std::string(" quoted \"pass\" ") : "~~~~";
        texts[C::edtTelnetAdminPort] = "23" + v;
        texts[C::edtWebAdminPort] = "80" + v;
        texts[C::edtWebAutoRefreshSeconds] = variant ? "5" : "10";
        for (C c : {C::chkMask, C::chkRememberPassword, C::chkConnectAtStartup, C::chkCheckForUpdates, C::chkShowStatus,
                    C::chkTelnetAdmin, C::chkWebAdmin, C::chkWebAutoRefresh})
            checks[c] = c == C::chkRememberPassword || (variant != 0) == (static_cast<int>(c) % 2 == 0);
        uint32_t color = variant ? 0x123456 : 0xABCDEF;
        for (C c : {C::pnlB1CLUColor, C::pnlB2CLUColor, C::pnlB1CLUBackgroundColor, C::pnlB2CLUBackgroundColor,
                    C::pnlB1GridColor, C::pnlB2GridColor, C::pnlB1ALUColor, C::pnlB2ALUColor,
                    C::pnlB1ALUBackgroundColor, C::pnlB2ALUBackgroundColor})
            colors[c] = color += 0x010101;
    }

    std::string Text(C c) const override { return texts.count(c) ? texts.at(c) : std::string(); }
    void SetText(C c, const std::string &text) override { texts[c] = text; }
    bool Checked(C c) const override { return checks.count(c) && checks.at(c); }
    void SetChecked(C c, bool checked) override { checks[c] = checked; }
    uint32_t Color(C c) const override { return colors.count(c) ? colors.at(c) : 0; }
    void SetColor(C c, uint32_t color) override { colors[c] = color; }
    void ApplyGraphColors() override {}

    std::map<C, std::string> texts;
    std::map<C, bool> checks;
    std::map<C, uint32_t> colors;
};

std::string fileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

class TestSettingsHardening : public QObject
{
    Q_OBJECT

private slots:
    void killedDuringSaveLeavesOldOrNewFile();
    void settingsFileWasWorldReadable_data();
    void settingsFileWasWorldReadable();
};

void TestSettingsHardening::settingsFileWasWorldReadable_data()
{
    QTest::addColumn<int>("oldMode"); // -1: no file yet
    QTest::addColumn<int>("umask");
    QTest::newRow("new file, usual umask") << -1 << 022;
    QTest::newRow("new file, no umask") << -1 << 0;
    QTest::newRow("old file 0644") << 0644 << 022;
    QTest::newRow("old file 0666, no umask") << 0666 << 0;
    QTest::newRow("old file 0400, owner-only umask") << 0400 << 077;
}

void TestSettingsHardening::settingsFileWasWorldReadable()
{
    QFETCH(int, oldMode);
    QFETCH(int, umask);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string path = dir.filePath(QString::fromLatin1(kSettingsFileName)).toStdString();
    if (oldMode >= 0) {
        std::ofstream(path) << "[Connection]\r\nPassword=old\r\n";
        QVERIFY(::chmod(path.c_str(), static_cast<mode_t>(oldMode)) == 0);
    }
    const mode_t previousUmask = ::umask(static_cast<mode_t>(umask));
    TIniFile ini(path);
    SaveSettings(ini, StoredControls(1));
    ::umask(previousUmask);
    struct stat st
    {
    };
    QVERIFY(::stat(path.c_str(), &st) == 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
}

void TestSettingsHardening::killedDuringSaveLeavesOldOrNewFile()
{
    constexpr int kKills = 300;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string path = dir.filePath(QString::fromLatin1(kSettingsFileName)).toStdString();
    const StoredControls variants[2] = {StoredControls(0), StoredControls(1)};

    // The two complete files, as saving one set over the other leaves them.
    std::string complete[2];
    for (int round = 0; round < 2; ++round) {
        for (int v = 0; v < 2; ++v) {
            TIniFile ini(path);
            SaveSettings(ini, variants[v]);
            complete[v] = fileBytes(path);
        }
    }
    QVERIFY(complete[0] != complete[1]);

    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> delayUs(0, 8000);
    int seen[2] = {0, 0};
    for (int kill = 0; kill < kKills; ++kill) {
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            for (unsigned n = 0;; ++n) {
                try {
                    TIniFile ini(path);
                    SaveSettings(ini, variants[n % 2]);
                } catch (...) {
                    ::_exit(2);
                }
            }
        }
        ::usleep(static_cast<useconds_t>(delayUs(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status), "the saving child stopped by itself: a save failed");

        const std::string now = fileBytes(path);
        if (now == complete[0])
            ++seen[0];
        else if (now == complete[1])
            ++seen[1];
        else
            QFAIL(qPrintable(QStringLiteral("kill %1 left a torn file of %2 bytes").arg(kill).arg(now.size())));
    }
    // Killed saves may leave their temporary files; they never take the settings file's name.
    const QStringList leftovers = QDir(dir.path()).entryList(QDir::Files).filter(QStringLiteral(".tmp"));
    qInfo("%d kills: old/new file %d/%d times, %lld temporary files left behind", kKills, seen[0], seen[1],
          static_cast<long long>(leftovers.size()));
    const TIniFile ini(path);
    QVERIFY(ini.ReadString("Connection", "TelnetAddress", "") == "10.0.0.0" ||
            ini.ReadString("Connection", "TelnetAddress", "") == "10.0.0.1");
}

QTEST_APPLESS_MAIN(TestSettingsHardening)
#include "tst_settingshardening.moc"
