// Tests of the INI reader and writer: the profile reading rules, in-place and appended writes that
// keep every other byte, and the atomic save that never damages the old file.
#include "inifile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeBytes(const std::string &path, const QByteArray &bytes)
{
    QFile f(QString::fromStdString(path));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
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

    void readString_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("exact") << QByteArray("[Connection]\r\nTelnetAddress=10.0.0.1\r\n") << QByteArray("Connection")
                               << QByteArray("TelnetAddress") << QByteArray("10.0.0.1");
        QTest::newRow("lower-case names")
            << QByteArray("[connection]\r\ntelnetaddress=10.0.0.1\r\n") << QByteArray("Connection")
            << QByteArray("TelnetAddress") << QByteArray("10.0.0.1");
        QTest::newRow("blanks around") << QByteArray("  [ Graphs ]  \n\t Key \t=  \t v a l \t \n")
                                       << QByteArray("graphs") << QByteArray("KEY") << QByteArray("v a l");
        QTest::newRow("double quotes") << QByteArray("[S]\nK= \"  x  \" \n") << QByteArray("S") << QByteArray("K")
                                       << QByteArray("  x  ");
        QTest::newRow("single quotes") << QByteArray("[S]\nK='x'\n") << QByteArray("S") << QByteArray("K")
                                       << QByteArray("x");
        QTest::newRow("one pair only") << QByteArray("[S]\nK=\"\"x\"\"\n") << QByteArray("S") << QByteArray("K")
                                       << QByteArray("\"x\"");
        QTest::newRow("mismatched quotes kept")
            << QByteArray("[S]\nK=\"x'\n") << QByteArray("S") << QByteArray("K") << QByteArray("\"x'");
        QTest::newRow("lone quote kept") << QByteArray("[S]\nK=\"\n") << QByteArray("S") << QByteArray("K")
                                         << QByteArray("\"");
        QTest::newRow("empty value is not the default")
            << QByteArray("[S]\nK=\n") << QByteArray("S") << QByteArray("K") << QByteArray("");
        QTest::newRow("first = splits") << QByteArray("[S]\nK=a=b\n") << QByteArray("S") << QByteArray("K")
                                        << QByteArray("a=b");
        QTest::newRow("missing key") << QByteArray("[S]\nK=1\n") << QByteArray("S") << QByteArray("J")
                                     << QByteArray("<def>");
        QTest::newRow("missing section") << QByteArray("[S]\nK=1\n") << QByteArray("T") << QByteArray("K")
                                         << QByteArray("<def>");
        QTest::newRow("key in another section")
            << QByteArray("[T]\nK=1\n[S]\nJ=2\n") << QByteArray("S") << QByteArray("K") << QByteArray("<def>");
        QTest::newRow("key before any section")
            << QByteArray("K=1\n[S]\n") << QByteArray("S") << QByteArray("K") << QByteArray("<def>");
        QTest::newRow("comment is no key")
            << QByteArray("[S]\n;K=1\n") << QByteArray("S") << QByteArray("K") << QByteArray("<def>");
        QTest::newRow("first key wins") << QByteArray("[S]\nK=1\nk=2\n") << QByteArray("S") << QByteArray("K")
                                        << QByteArray("1");
        QTest::newRow("first section wins")
            << QByteArray("[S]\nJ=1\n[s]\nK=2\n") << QByteArray("S") << QByteArray("K") << QByteArray("<def>");
        QTest::newRow("no final line end")
            << QByteArray("[S]\r\nK=last") << QByteArray("S") << QByteArray("K") << QByteArray("last");
        QTest::newRow("cut to 2047") << QByteArray("[S]\nK=\"" + QByteArray(3000, 'v') + "\"\n") << QByteArray("S")
                                     << QByteArray("K") << QByteArray(2047, 'v');
        QTest::newRow("megabyte line without =") << QByteArray("[S]\n" + QByteArray(1 << 20, '[') + "\nK=after\n")
                                                 << QByteArray("S") << QByteArray("K") << QByteArray("after");
    }
    void readString()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, section);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, expected);
        writeBytes(path("r.ini"), content);
        const TIniFile ini(path("r.ini"));
        QCOMPARE(QByteArray::fromStdString(ini.ReadString(section.toStdString(), key.toStdString(), "<def>")),
                 expected);
    }

    void readMissingOrUnusableFile()
    {
        QCOMPARE(TIniFile(path("absent.ini")).ReadString("S", "K", "d"), std::string("d"));
        QCOMPARE(TIniFile(path("absent.ini/below.ini")).ReadInteger("S", "K", 7), 7);
        QCOMPARE(TIniFile(m_dir.path().toStdString()).ReadString("S", "K", "d"), std::string("d"));
        QByteArray huge = "[S]\nK=1\n";
        huge.append(QByteArray(TIniFile::kMaxFileSize, ';'));
        writeBytes(path("huge.ini"), huge);
        QCOMPARE(TIniFile(path("huge.ini")).ReadString("S", "K", "d"), std::string("d"));
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
        QTest::newRow("int max") << QByteArray("2147483647") << 2147483647;
        QTest::newRow("int min") << QByteArray("-2147483648") << int(-2147483647 - 1);
        QTest::newRow("hex uses 32 bits") << QByteArray("$FFFFFFFF") << -1;
        QTest::newRow("word") << QByteArray("green") << def;
        QTest::newRow("empty") << QByteArray("") << def;
        QTest::newRow("trailing junk") << QByteArray("12abc") << def;
        QTest::newRow("inner blank") << QByteArray("1 2") << def;
        QTest::newRow("prefix only") << QByteArray("0x") << def;
        QTest::newRow("dollar only") << QByteArray("$") << def;
        QTest::newRow("sign only") << QByteArray("-") << def;
        QTest::newRow("sign after prefix") << QByteArray("0x-1") << def;
        QTest::newRow("hex digits in decimal") << QByteArray("1F") << def;
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
        QTest::newRow("plain") << QByteArray("a b") << QByteArray("K=a b") << QByteArray("a b");
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

    void badNamesRejected()
    {
        TIniFile ini(path("n.ini"));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, ini.WriteString("S", "K=1", "v"));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, ini.WriteString("S]", "K", "v"));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, ini.WriteString("S", "K\nJ", "v"));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, ini.WriteString("", "K", "v"));
    }

    void saveKeepsModeAndSymlink()
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
        QCOMPARE(st.st_mode & 07777, 0640u);
        QCOMPARE(readBytes(path("target.ini")), QByteArray("[S]\r\nK=2\r\n"));
        verifyOnlyFiles({"link.ini", "target.ini"});
    }

    void failedSaveLeavesOldFile()
    {
        // The directory does not exist: a file stands where it should be.
        writeBytes(path("plain"), "x");
        const std::string below = path("plain") + "/linewatch.ini";
        TIniFile lost(below);
        lost.WriteString("S", "K", "v");
        try {
            lost.UpdateFile();
            QFAIL("no error raised");
        } catch (const EIniFileError &e) {
            QCOMPARE(std::string(e.what()), "Unable to write to " + below);
        }

        // An old file too large to read in full would be cut short by a save: refuse it.
        QByteArray huge = "[S]\r\nK=1\r\n" + QByteArray(TIniFile::kMaxFileSize, ';');
        writeBytes(path("huge.ini"), huge);
        TIniFile big(path("huge.ini"));
        big.WriteString("S", "K", "2");
        QVERIFY_THROWS_EXCEPTION(EIniFileError, big.UpdateFile());
        QVERIFY(readBytes(path("huge.ini")) == huge);
        verifyOnlyFiles({"huge.ini", "plain"});
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
        QString message;
        try {
            ini.UpdateFile();
        } catch (const EIniFileError &e) {
            message = QString::fromStdString(e.what());
        }
        QVERIFY(::chmod(m_dir.path().toLocal8Bit().constData(), 0755) == 0);
        QCOMPARE(message, QString::fromStdString("Unable to write to " + path("ro.ini")));
        QCOMPARE(readBytes(path("ro.ini")), old);
        verifyOnlyFiles({"ro.ini"});
    }
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
