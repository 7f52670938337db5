// SPDX-License-Identifier: MIT
// The capture: lines read back as written, the 10 MB bound dropping the oldest chunks first, and
// the file whole and private.
#include "capture.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

class TestCapture : public QObject
{
    Q_OBJECT

private slots:
    void linesReadBack();
    void boundDropsOldestFirst();
    void savedFileIsPrivate();
};

void TestCapture::linesReadBack()
{
    TCapture capture;
    capture.Clock = [] { return int64_t{1700000000123}; };
    const std::string binary("\x1b[2J\0\xff\r\n\"\\", 10);
    capture.Record(false, binary);
    capture.Record(true, "******\r");
    QCOMPARE(capture.Lines().size(), size_t{2});
    TCaptureChunk chunk;
    QVERIFY(ParseCaptureLine(capture.Lines()[0], chunk));
    QCOMPARE(chunk.TimeMs, int64_t{1700000000123});
    QVERIFY(!chunk.Typed);
    QCOMPARE(chunk.Bytes, binary);
    QVERIFY(ParseCaptureLine(capture.Lines()[1], chunk));
    QVERIFY(chunk.Typed);
    QCOMPARE(chunk.Bytes, std::string("******\r"));
    QVERIFY(!ParseCaptureLine("{\"t\":1,\"dir\":\"router\",\"data\":\"!!\"}", chunk));
    QVERIFY(!ParseCaptureLine("not a capture", chunk));
}

void TestCapture::boundDropsOldestFirst()
{
    TCapture capture;
    int64_t now = 0;
    capture.Clock = [&now] { return now++; };
    const std::string chunk(1460, 'x');
    // About 12 MB of lines.
    for (int i = 0; i < 6000; ++i)
        capture.Record(i % 2 == 1, chunk);
    QVERIFY(capture.Size() <= TCapture::kMaxBytes);
    QVERIFY(capture.Size() > TCapture::kMaxBytes - 2100);
    TCaptureChunk first, last;
    QVERIFY(ParseCaptureLine(capture.Lines().front(), first));
    QVERIFY(ParseCaptureLine(capture.Lines().back(), last));
    QCOMPARE(last.TimeMs, int64_t{5999});
    QCOMPARE(first.TimeMs, int64_t{6000 - static_cast<int64_t>(capture.Lines().size())});
    // One chunk beyond the bound keeps its newest bytes.
    capture.Record(false, std::string(TCapture::kMaxBytes, 'a') + "end");
    QCOMPARE(capture.Lines().size(), size_t{1});
    QVERIFY(ParseCaptureLine(capture.Lines().front(), last));
    QVERIFY(last.Bytes.ends_with("aend"));
}

void TestCapture::savedFileIsPrivate()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.capture"));
    TCapture capture;
    capture.Record(false, "Password: ");
    QString error;
    QVERIFY2(capture.Save(path, error), qPrintable(error));
    // 0600: the owner's bits (Qt's "user" bits name whoever runs the test) and nobody else's.
    const QFile::Permissions others =
        QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFileInfo(path).permissions() & (others | QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner),
             QFile::ReadOwner | QFile::WriteOwner);
    std::ifstream in(path.toStdString());
    std::string line;
    TCaptureChunk chunk;
    QVERIFY(std::getline(in, line) && ParseCaptureLine(line, chunk));
    QCOMPARE(chunk.Bytes, std::string("Password: "));
    QVERIFY(!capture.Save(dir.filePath(QStringLiteral("missing/session.capture")), error));
    QVERIFY(!error.isEmpty());
}

QTEST_APPLESS_MAIN(TestCapture)
#include "tst_capture.moc"
