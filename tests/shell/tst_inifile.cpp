// SPDX-License-Identifier: MIT
// Tests of the INI reader and writer: the profile reading rules, in-place and appended writes that
// keep every other byte, and the atomic save that never damages the old file.
#include "inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void writeBytes(const std::string &path, const QByteArray &bytes)
{
    QFile f(QString::fromStdString(path));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

// The message of the EIniFileError that committing raises, or "" when it succeeds.
QString updateError(TIniFile &ini)
{
    try {
        ini.UpdateFile();
    } catch (const EIniFileError &e) {
        return QString::fromStdString(e.what());
    }
    return {};
}

QByteArray readBytes(const std::string &path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestIniFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::string path(const char *name) const { return m_dir.filePath(name).toStdString(); }

    // The temporary directory holds only the named files: no temporary file was left behind.
    void verifyOnlyFiles(const QStringList &names)
    {
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System), names);
    }

private slots:
    void init() { QVERIFY(m_dir.isValid()); }
    void cleanup()
    {
        for (const QString &f : QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System))
            QFile::remove(m_dir.filePath(f));
    }

    // Each row reads key K of section S from the content.
    void readString_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char *name, const QByteArray &content, const QByteArray &expected) {
            QTest::newRow(name) << content << expected;
        };
        row("exact, CR LF", "[S]\r\nK=10.0.0.1\r\n", "10.0.0.1");
        row("names in other case", "[s]\nk=1\n", "1");
        row("blanks around", "  [ S ]  \n\t K \t=  \t v a l \t \n", "v a l");
        row("double quotes", "[S]\nK= \"  x  \" \n", "  x  ");
        row("single quotes", "[S]\nK='x'\n", "x");
        row("one pair only", "[S]\nK=\"\"x\"\"\n", "\"x\"");
        row("mismatched quotes kept", "[S]\nK=\"x'\n", "\"x'");
        row("lone quote kept", "[S]\nK=\"\n", "\"");
        row("empty value is not the default", "[S]\nK=\n", "");
        row("first = splits", "[S]\nK=a=b\n", "a=b");
        row("missing key", "[S]\nJ=1\n", "<def>");
        row("missing section", "[T]\nK=1\n", "<def>");
        row("key in an earlier section", "[T]\nK=1\n[S]\nJ=2\n", "<def>");
        row("key before any section", "K=1\n[S]\n", "<def>");
        row("comment is no key", "[S]\n;K=1\n", "<def>");
        row("first key wins", "[S]\nK=1\nk=2\n", "1");
        row("first section wins", "[S]\nJ=1\n[s]\nK=2\n", "<def>");
        row("no final line end", "[S]\r\nK=last", "last");
        row("cut to 2047", "[S]\nK=\"" + QByteArray(3000, 'v') + "\"\n", QByteArray(2047, 'v'));
        row("megabyte line without =", "[S]\n" + QByteArray(1 << 20, '[') + "\nK=after\n", "after");
    }
    void readString()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, expected);
        writeBytes(path("r.ini"), content);
        QCOMPARE(QByteArray::fromStdString(TIniFile(path("r.ini")).ReadString("S", "K", "<def>")), expected);
    }

    void readMissingOrUnusableFile()
    {
        QCOMPARE(TIniFile(path("absent.ini")).ReadString("S", "K", "d"), std::string("d"));
        QCOMPARE(TIniFile(path("absent.ini/below.ini")).ReadInteger("S", "K", 7), 7);
        QCOMPARE(TIniFile(m_dir.path().toStdString()).ReadString("S", "K", "d"), std::string("d"));
    }

    void readInteger_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("expected");
        const int def = -77;
        QTest::newRow("decimal") << QByteArray("32768") << 32768;
        QTest::newRow("0x hex") << QByteArray("0x00FF00") << 65280;
        QTest::newRow("0X hex") << QByteArray("0Xff") << 255;
        QTest::newRow("dollar hex") << QByteArray("$8000") << 32768;
        QTest::newRow("signs") << QByteArray("-12") << -12;
        QTest::newRow("plus") << QByteArray("+7") << 7;
        QTest::newRow("negative hex") << QByteArray("-$10") << -16;
        QTest::newRow("blanks trimmed") << QByteArray("  42\t") << 42;
        QTest::newRow("int min") << QByteArray("-2147483648") << int(-2147483647 - 1);
        QTest::newRow("hex uses 32 bits") << QByteArray("$FFFFFFFF") << -1;
        QTest::newRow("word") << QByteArray("green") << def;
        QTest::newRow("empty") << QByteArray("") << def;
        QTest::newRow("trailing junk") << QByteArray("12abc") << def;
        QTest::newRow("prefix only") << QByteArray("0x") << def;
        QTest::newRow("sign after prefix") << QByteArray("0x-1") << def;
        QTest::newRow("decimal overflow") << QByteArray("2147483648") << def;
        QTest::newRow("hex overflow") << QByteArray("0x100000000") << def;
        QTest::newRow("long digit run") << QByteArray(5000, '9') << def;
    }
    void readInteger()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, expected);
        writeBytes(path("i.ini"), "[Graphs]\r\nB1GridColor=" + text + "\r\n");
        const TIniFile ini(path("i.ini"));
        QCOMPARE(ini.ReadInteger("Graphs", "B1GridColor", -77), expected);
        QCOMPARE(ini.ReadBool("Graphs", "B1GridColor", true), expected != 0);
    }

    void writes_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("expected");
        // Each row writes [S] K=new, then [T] A=1.
        QTest::newRow("new file") << QByteArray("<missing>") << QByteArray("[S]\r\nK=new\r\n[T]\r\nA=1\r\n");
        QTest::newRow("in place, others byte for byte")
            << QByteArray("; top\n[S]\n  k = old ; x\n Other = \"q\" \n[T]\r\nA=0\r\n")
            << QByteArray("; top\r\n[S]\r\n  k=new\r\n Other = \"q\" \r\n[T]\r\nA=1\r\n");
        QTest::newRow("append before trailing blank lines")
            << QByteArray("[S]\r\nJ=1\r\n; note\r\n\r\n\r\n[T]\r\n")
            << QByteArray("[S]\r\nJ=1\r\n; note\r\nK=new\r\n\r\n\r\n[T]\r\nA=1\r\n");
        QTest::newRow("append to empty section")
            << QByteArray("[S]\r\n[T]\r\nA=0") << QByteArray("[S]\r\nK=new\r\n[T]\r\nA=1\r\n");
        QTest::newRow("new sections at the end")
            << QByteArray("[U]\r\nX=1\r\n") << QByteArray("[U]\r\nX=1\r\n[S]\r\nK=new\r\n[T]\r\nA=1\r\n");
        QTest::newRow("first of duplicate sections")
            << QByteArray("[S]\r\n[s]\r\nK=dup\r\n") << QByteArray("[S]\r\nK=new\r\n[s]\r\nK=dup\r\n[T]\r\nA=1\r\n");
    }
    void writes()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, expected);
        if (before != "<missing>")
            writeBytes(path("w.ini"), before);
        TIniFile ini(path("w.ini"));
        ini.WriteString("S", "K", "new");
        ini.WriteInteger("T", "A", 1);
        QCOMPARE(readBytes(path("w.ini")), before); // nothing reaches the disk before UpdateFile
        QCOMPARE(ini.ReadString("S", "K", ""), std::string("new"));
        ini.UpdateFile();
        QCOMPARE(readBytes(path("w.ini")), expected);
        verifyOnlyFiles({"w.ini"});
    }

    void writtenValuesReadBackExactly_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("readBack");
        QTest::newRow("blanks at the ends") << QByteArray(" a\t") << QByteArray("K=\" a\t\"") << QByteArray(" a\t");
        QTest::newRow("enclosed in quotes") << QByteArray("'a'") << QByteArray("K=\"'a'\"") << QByteArray("'a'");
        QTest::newRow("inner quotes") << QByteArray("a\"b'") << QByteArray("K=a\"b'") << QByteArray("a\"b'");
        QTest::newRow("line break cut") << QByteArray("a\r\n[X]\r\nK=evil") << QByteArray("K=a") << QByteArray("a");
        QTest::newRow("NUL cut") << QByteArray("a\0b", 3) << QByteArray("K=a") << QByteArray("a");
    }
    void writtenValuesReadBackExactly()
    {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, readBack);
        TIniFile writer(path("v.ini"));
        writer.WriteString("S", "K", value.toStdString());
        writer.UpdateFile();
        QCOMPARE(readBytes(path("v.ini")), "[S]\r\n" + line + "\r\n");
        QCOMPARE(QByteArray::fromStdString(TIniFile(path("v.ini")).ReadString("S", "K", "")), readBack);
    }

    void readerSeesChangesOnDisk()
    {
        writeBytes(path("c.ini"), "[S]\nK=1\n");
        const TIniFile reader(path("c.ini"));
        QCOMPARE(reader.ReadInteger("S", "K", 0), 1);
        TIniFile writer(path("c.ini"));
        writer.WriteInteger("S", "K", 2);
        writer.UpdateFile();
        QCOMPARE(reader.ReadInteger("S", "K", 0), 2);
    }

    // The file's mode is not kept: whatever it was, the saved file is the owner's alone.
    void saveKeepsSymlinkButNotMode()
    {
        writeBytes(path("target.ini"), "[S]\r\nK=1\r\n");
        QVERIFY(::chmod(path("target.ini").c_str(), 0640) == 0);
        QVERIFY(::symlink("target.ini", path("link.ini").c_str()) == 0);
        TIniFile ini(path("link.ini"));
        ini.WriteInteger("S", "K", 2);
        ini.UpdateFile();
        struct stat st
        {
        };
        QVERIFY(::lstat(path("link.ini").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
        QVERIFY(::stat(path("target.ini").c_str(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, 0600u);
        QCOMPARE(readBytes(path("target.ini")), QByteArray("[S]\r\nK=2\r\n"));
        verifyOnlyFiles({"link.ini", "target.ini"});
    }

    // link.ini points at target, where a thing of the given kind stands (or nothing).
    void linkedFileReplacedOrWrittenThrough_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("kind"); // "none", "dir" or "fifo"
        QTest::addColumn<bool>("saved");
        QTest::newRow("dangling link") << "new.ini"
                                       << "none" << true;
        QTest::newRow("link to a directory") << "dir.ini"
                                             << "dir" << false;
        QTest::newRow("link to a FIFO") << "fifo.ini"
                                        << "fifo" << false;
        QTest::newRow("link to itself") << "link.ini"
                                        << "none" << false;
    }

    void linkedFileReplacedOrWrittenThrough()
    {
        QFETCH(QString, target);
        QFETCH(QString, kind);
        QFETCH(bool, saved);
        const std::string targetPath = path(qPrintable(target));
        if (kind == "dir")
            QVERIFY(::mkdir(targetPath.c_str(), 0700) == 0);
        else if (kind == "fifo")
            QVERIFY(::mkfifo(targetPath.c_str(), 0600) == 0);
        QVERIFY(::symlink(qPrintable(target), path("link.ini").c_str()) == 0);

        TIniFile ini(path("link.ini"));
        ini.WriteInteger("S", "K", 2);
        const QString error = updateError(ini);

        QCOMPARE(QFileInfo(QString::fromStdString(path("link.ini"))).symLinkTarget(),
                 QFileInfo(QString::fromStdString(targetPath)).absoluteFilePath());
        struct stat st
        {
        };
        if (saved) {
            QCOMPARE(error, QString());
            QCOMPARE(readBytes(targetPath), QByteArray("[S]\r\nK=2\r\n"));
            QVERIFY(::stat(targetPath.c_str(), &st) == 0);
            QCOMPARE(st.st_mode & 07777, 0600u);
        } else {
            QCOMPARE(error, QString::fromStdString("Unable to write to " + path("link.ini")));
            const bool kept = kind == "dir"    ? ::lstat(targetPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                              : kind == "fifo" ? ::lstat(targetPath.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)
                                               : true;
            QVERIFY(kept);
        }
        QVERIFY(QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System).filter(".tmp").isEmpty());
        if (kind == "dir")
            QVERIFY(QDir(QString::fromStdString(targetPath)).removeRecursively());
    }

    void failedSaveLeavesOldFile()
    {
        // The directory does not exist: a file stands where it should be.
        writeBytes(path("plain"), "x");
        const std::string below = path("plain") + "/linewatch.ini";
        TIniFile lost(below);
        lost.WriteString("S", "K", "v");
        QCOMPARE(updateError(lost), QString::fromStdString("Unable to write to " + below));

        // An old file too large to read in full would be cut short by a save: refuse it.
        QByteArray huge = "[S]\r\nK=1\r\n" + QByteArray(TIniFile::kMaxFileSize, ';');
        writeBytes(path("huge.ini"), huge);
        TIniFile big(path("huge.ini"));
        QCOMPARE(big.ReadString("S", "K", "d"), std::string("d"));
        big.WriteString("S", "K", "2");
        QCOMPARE(updateError(big), QString::fromStdString("Unable to write to " + path("huge.ini")));
        QVERIFY(readBytes(path("huge.ini")) == huge);
        verifyOnlyFiles({"huge.ini", "plain"});
    }

    // A full disk, played by a file size limit (which binds root too): the half-written new file
    // goes away and the old one stays whole.
    void fullDiskLeavesOldFile()
    {
        const QByteArray old = "[S]\r\nK=1\r\n";
        writeBytes(path("full.ini"), old);
        TIniFile ini(path("full.ini"));
        ini.WriteString("S", "K", std::string(4096, 'v'));
        struct rlimit saved
        {
        };
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = 1024;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const QString message = updateError(ini);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
        QCOMPARE(message, QString::fromStdString("Unable to write to " + path("full.ini")));
        QCOMPARE(readBytes(path("full.ini")), old);
        verifyOnlyFiles({"full.ini"});
    }

    // A save killed before its rename leaves its temporary file; the next save clears those of
    // processes that are gone and nothing else.
    void killedSaveLeftoversAreRemoved()
    {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        QVERIFY(child > 0);
        QCOMPARE(::waitpid(child, nullptr, 0), child);
        const std::string dead = std::to_string(child);
        const std::string own = std::to_string(::getpid());
        const std::string leftovers[] = {"k.ini.tmp" + dead + "-3", "k.ini.tmp" + own + "-900", "k.ini.tmpx",
                                         "other.ini.tmp" + dead + "-1"};
        for (const std::string &name : leftovers)
            writeBytes(path(name.c_str()), "half");
        TIniFile ini(path("k.ini"));
        ini.WriteString("S", "K", "v");
        ini.UpdateFile();
        verifyOnlyFiles({"k.ini", QString::fromStdString("k.ini.tmp" + own + "-900"), "k.ini.tmpx",
                         QString::fromStdString("other.ini.tmp" + dead + "-1")});
    }

    void readOnlyDirectory()
    {
        if (::geteuid() == 0)
            QSKIP("root ignores directory permissions, so the save would succeed");
        const QByteArray old = "; mine\r\n[S]\r\nK=1\r\n";
        writeBytes(path("ro.ini"), old);
        QVERIFY(::chmod(m_dir.path().toLocal8Bit().constData(), 0555) == 0);
        TIniFile ini(path("ro.ini"));
        ini.WriteString("S", "K", "2");
        const QString message = updateError(ini);
        QVERIFY(::chmod(m_dir.path().toLocal8Bit().constData(), 0755) == 0);
        QCOMPARE(message, QString::fromStdString("Unable to write to " + path("ro.ini")));
        QCOMPARE(readBytes(path("ro.ini")), old);
        verifyOnlyFiles({"ro.ini"});
    }
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
