// SPDX-License-Identifier: MIT
// Tests of loading and saving linewatch.ini through a stand-in for the window's controls, which
// records every change and runs handlers the way the window does; and of the stored password form.
#include "apperror.h"
#include "settings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <set>

namespace {

using C = SettingControl;

// The controls' names in the enumeration's order.
const QStringList kNames =
    QStringLiteral(
        "edtTelnetAddress edtTelnetPort chkMask chkRememberPassword edtPassword chkConnectAtStartup chkCheckForUpdates "
        "chkShowStatus edtTelnetAdminPort chkTelnetAdmin edtWebAdminPort chkWebAdmin edtWebAutoRefreshSeconds "
        "chkWebAutoRefresh pnlB1CLUColor pnlB2CLUColor pnlB1CLUBackgroundColor pnlB2CLUBackgroundColor pnlB1GridColor "
        "pnlB2GridColor pnlB1ALUColor pnlB2ALUColor pnlB1ALUBackgroundColor pnlB2ALUBackgroundColor")
        .split(' ');

QString name(C c)
{
    return kNames.at(static_cast<int>(c));
}

// The Settings tab in its design state. Handlers run only on a change, as the window's do; the
// listener handlers read their port box when they run, as the relay and web server do.
class FakeControls : public ISettingsControls
{
public:
    std::map<C, std::string> texts{
        {C::edtTelnetAddress, "192.168.0.1"}, {C::edtTelnetPort, "23"},   {C::edtPassword, ""},
        {C::edtTelnetAdminPort, "23"},        {C::edtWebAdminPort, "80"}, {C::edtWebAutoRefreshSeconds, "10"}};
    std::map<C, bool> checks{{C::chkShowStatus, true}};
    std::map<C, uint32_t> colors;
    QStringList log;     // every change, handler and listener, in order
    std::set<C> failing; // handlers that throw after their control changed
    std::string webPort = "80";

    std::string Text(C c) const override { return texts.at(c); }
    bool Checked(C c) const override { return checks.count(c) && checks.at(c); }
    uint32_t Color(C c) const override { return colors.count(c) ? colors.at(c) : 0; }
    void SetColor(C c, uint32_t color) override
    {
        colors[c] = color;
        log << name(c) + "=" + QString::number(color);
    }
    void ApplyGraphColors() override { log << "ApplyGraphColors"; }

    void SetText(C c, const std::string &text) override
    {
        if (texts.at(c) == text)
            return;
        texts[c] = text;
        log << name(c) + "=" + QString::fromStdString(text);
        handler(c);
    }
    void SetChecked(C c, bool checked) override
    {
        if (Checked(c) == checked)
            return;
        checks[c] = checked;
        log << name(c) + (checked ? "=1" : "=0");
        handler(c);
    }

private:
    void handler(C c)
    {
        if (failing.count(c))
            throw std::runtime_error(name(c).toStdString() + " failed");
        if (c == C::edtWebAdminPort)
            webPort = texts[c];
        if (c == C::chkTelnetAdmin && checks[c])
            log << "relay-listens:" + QString::fromStdString(texts[C::edtTelnetAdminPort]);
        if (c == C::chkWebAdmin && checks[c])
            log << "web-listens:" + QString::fromStdString(webPort);
    }
};

// What loading the graph colours logs when the file has none of them.
const QString kDefaultColors = "pnlB1CLUColor=65280 pnlB2CLUColor=65280 pnlB1CLUBackgroundColor=0 "
                               "pnlB2CLUBackgroundColor=0 pnlB1GridColor=32768 pnlB2GridColor=32768 "
                               "pnlB1ALUColor=65280 pnlB2ALUColor=65280 pnlB1ALUBackgroundColor=0 "
                               "pnlB2ALUBackgroundColor=0 ApplyGraphColors";

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QByteArray dataFile(const char *name)
{
    return readBytes(QStringLiteral(LW_TEST_DATA_DIR "/shell/") + QLatin1String(name));
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QStringList m_errors;

    std::string iniPath() const { return m_dir.filePath("linewatch.ini").toStdString(); }
    void writeIni(const QByteArray &bytes)
    {
        QFile f(QString::fromStdString(iniPath()));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QFile::remove(QString::fromStdString(iniPath()));
        m_errors.clear();
        SetErrorReporter([this](const std::string &m) { m_errors << QString::fromStdString(m); });
    }
    void cleanupTestCase() { SetErrorReporter({}); }

    void scramble()
    {
        QCOMPARE(ScramblePassword(""), std::string());
        QCOMPARE(ScramblePassword("AA"), std::string("^_"));         // the position counts
        QCOMPARE(ScramblePassword("!\"~"), std::string("\0\0#", 3)); // code 32 + i gives NUL
        QCOMPARE(ScramblePassword("\xC8"), std::string("\xD7"));     // low 8 bits of -41
    }

    // Applied twice it gives back codes 0 to 125 at any position, the tilde as 0; and no byte at
    // any position scrambles to a tilde, so the "~" mark can never begin an old stored value.
    void scrambleAtEveryPosition()
    {
        for (int pos = 1; pos <= 300; ++pos) {
            std::string s(static_cast<std::size_t>(pos), 'a');
            for (int c = 0; c < 256; ++c) {
                s.back() = static_cast<char>(c);
                const std::string once = ScramblePassword(s);
                QVERIFY(once.back() != '~');
                if (c <= 125)
                    QCOMPARE(ScramblePassword(once), s);
                if (c == 126)
                    QCOMPARE(ScramblePassword(once).back(), '\0');
            }
        }
    }

    void storedForm()
    {
        // An ordinary password keeps the original stored form, and an old file's value loads.
        QCOMPARE(EncodeStoredPassword("secret"), ScramblePassword("secret"));
        QCOMPARE(DecodeStoredPassword(ScramblePassword("secret")), std::string("secret"));
        // Those the original form loses take the "~" form; hand-damaged "~" values read as before.
        for (const std::string p : {"!", "~", "a\x80z"}) {
            QCOMPARE(EncodeStoredPassword(p).front(), '~');
            QCOMPARE(DecodeStoredPassword(EncodeStoredPassword(p)), p);
        }
        QCOMPARE(DecodeStoredPassword("~4G"), ScramblePassword("~4G"));
    }

    // Every printable character at every position up to 32 comes back through the file.
    void passwordGridRoundTrip()
    {
        for (int pos = 1; pos <= 32; ++pos) {
            TIniFile writer(iniPath());
            for (int c = 32; c <= 126; ++c)
                writer.WriteString("P", std::to_string(c), EncodeStoredPassword(std::string(pos - 1, 'a') + char(c)));
            writer.UpdateFile();
            const TIniFile reader(iniPath());
            for (int c = 32; c <= 126; ++c) {
                const std::string typed = std::string(pos - 1, 'a') + char(c);
                QCOMPARE(DecodeStoredPassword(reader.ReadString("P", std::to_string(c), "?")), typed);
            }
        }
    }

    void passwordThroughSaveAndLoad_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::newRow("plain") << QByteArray("Secret pass");
        QTest::newRow("scrambles to NUL") << QByteArray("x\"y");
        QTest::newRow("scrambles to LF and CR") << QByteArray("abcdefghijk\" ");
        QTest::newRow("scrambles to a trailing tab") << QByteArray("aaaaaaaa ");
        QTest::newRow("scrambles to quotes at both ends") << QByteArray("}" + QByteArray(32, 'a') + " ");
        QTest::newRow("tilde") << QByteArray("~~~");
    }
    void passwordThroughSaveAndLoad()
    {
        QFETCH(QByteArray, password);
        FakeControls before;
        before.checks[C::chkRememberPassword] = true;
        before.checks[C::chkMask] = true;
        before.texts[C::edtPassword] = password.toStdString();
        TIniFile out(iniPath());
        SaveSettings(out, before);
        FakeControls after;
        LoadSettings(TIniFile(iniPath()), after);
        QCOMPARE(QByteArray::fromStdString(after.texts[C::edtPassword]), password);
        QVERIFY(m_errors.isEmpty());
    }

    void firstRunWithoutFile()
    {
        FakeControls controls;
        const FakeControls design;
        TIniFile ini(iniPath());
        LoadSettings(ini, controls);
        const QStringList expected = ("chkWebAutoRefresh=1 " + kDefaultColors).split(' ');
        QCOMPARE(controls.log, expected); // only the auto-refresh box changes: nothing opens
        QVERIFY(controls.texts == design.texts);
        SaveSettings(ini, controls);
        QCOMPARE(readBytes(QString::fromStdString(iniPath())), dataFile("first_run.ini"));
    }

    void loadOrderAndHandlers()
    {
        writeIni("[RemoteAdmin]\r\nWeb=1\r\nWebPort=8080\r\nTelnet=1\r\nTelnetPort=2323\r\n"
                 "[connection]\r\nrememberpassword=1\r\npassword=" +
                 QByteArray::fromStdString(ScramblePassword("pw")) +
                 "\r\nmaskpassword=1\r\nTelnetPort=2300\r\n"
                 "[Graphs]\r\nB1GridColor=0x00FF00\r\nB2GridColor=green\r\nB1CLUColor=-1\r\n");
        FakeControls controls;
        LoadSettings(TIniFile(iniPath()), controls);
        const QStringList expected =
            ("edtTelnetPort=2300 chkMask=1 chkRememberPassword=1 edtPassword=pw edtTelnetAdminPort=2323 "
             "chkTelnetAdmin=1 relay-listens:2323 edtWebAdminPort=8080 chkWebAdmin=1 web-listens:8080 "
             "chkWebAutoRefresh=1 pnlB1CLUColor=16777215 " +
             kDefaultColors.mid(kDefaultColors.indexOf("pnlB2CLUColor"))
                 .replace("pnlB1GridColor=32768", "pnlB1GridColor=65280"))
                .split(' ');
        QCOMPARE(controls.log, expected);
    }

    void rememberPasswordOff()
    {
        writeIni("[Connection]\r\nRememberPassword=0\r\nPassword=" +
                 QByteArray::fromStdString(ScramblePassword("stale")) + "\r\n");
        FakeControls controls;
        controls.texts[C::edtPassword] = "typed earlier";
        TIniFile ini(iniPath());
        LoadSettings(ini, controls);
        QCOMPARE(controls.texts[C::edtPassword], std::string());
        controls.texts[C::edtPassword] = "typed now";
        SaveSettings(ini, controls);
        QVERIFY(readBytes(QString::fromStdString(iniPath())).contains("\r\nPassword=\r\n"));
    }

    // A failing handler is reported; the rest still loads and the stored values survive a save.
    void handlerFailureContinues()
    {
        writeIni("[RemoteAdmin]\r\nTelnetPort=abc\r\nTelnet=1\r\nWeb=1\r\nWebPort=81\r\n"
                 "[Graphs]\r\nB2ALUBackgroundColor=255\r\n");
        FakeControls controls;
        controls.failing = {C::chkTelnetAdmin, C::edtWebAdminPort};
        TIniFile ini(iniPath());
        LoadSettings(ini, controls);
        QCOMPARE(m_errors, QStringList({"chkTelnetAdmin failed", "edtWebAdminPort failed"}));
        QVERIFY(controls.Checked(C::chkWebAdmin));
        QCOMPARE(controls.colors[C::pnlB2ALUBackgroundColor], 255u);
        QCOMPARE(controls.log.last(), QString("ApplyGraphColors"));
        SaveSettings(ini, controls);
        const QByteArray saved = readBytes(QString::fromStdString(iniPath()));
        QVERIFY(saved.contains("\r\nTelnetPort=abc\r\nTelnet=1\r\nWeb=1\r\nWebPort=81\r\n"));
    }

    void handEditedFileKeepsItsLines()
    {
        writeIni(dataFile("hand_edited.ini"));
        FakeControls controls;
        TIniFile ini(iniPath());
        LoadSettings(ini, controls);
        QCOMPARE(controls.texts[C::edtTelnetAddress], std::string("10.1.2.3"));
        controls.texts[C::edtTelnetAddress] = "10.9.9.9";
        SaveSettings(ini, controls);
        QCOMPARE(readBytes(QString::fromStdString(iniPath())), dataFile("hand_edited_saved.ini"));
    }

    void saveFailureRaises()
    {
        writeIni("[Connection]\r\n");
        TIniFile ini(iniPath() + "/linewatch.ini"); // below a file, not a directory
        QVERIFY_THROWS_EXCEPTION(EIniFileError, SaveSettings(ini, FakeControls()));
    }

    // Run as root, the installed program counted its writable directory as a portable copy and
    // wrote /usr/bin/linewatch.ini, which removing the package left behind.
    void installedProgramWroteBesideItself_data()
    {
        QTest::addColumn<QString>("exeDir");
        QTest::addColumn<bool>("iniThere");
        QTest::addColumn<QString>("expected");
        const QString config = QStringLiteral("/home/u/.config/linewatch/");
        QTest::newRow("package, run as root") << "/usr/bin" << false << config;
        QTest::newRow("package, file left by an old run") << "/usr/bin" << true << config;
        QTest::newRow("/usr/local") << "/usr/local/bin/" << true << config;
        QTest::newRow("writable, no file") << "/home/u/lw" << false << config;
        QTest::newRow("portable copy") << "/home/u/lw" << true << "/home/u/lw/";
        QTest::newRow("/usr-like name is no /usr") << "/usrlocal/lw" << true << "/usrlocal/lw/";
    }
    void installedProgramWroteBesideItself()
    {
        QFETCH(QString, exeDir);
        QFETCH(bool, iniThere);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(SettingsDirectory(exeDir.toStdString(), iniThere, "/home/u/.config/linewatch")),
                 expected);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
