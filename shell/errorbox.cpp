// The modal error box; see errorbox.h.
#include "errorbox.h"

#include "apperror.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringDecoder>

#include <cstdio>

namespace {

bool boxOpen = false;

void showMessageBox(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// One line per report: line breaks inside the message would split it.
void writeLine(const std::string &text)
{
    std::string line = text;
    for (char &c : line) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    std::fprintf(stderr, "linewatch: %s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace

QString MessageToDisplayText(const std::string &Message)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder(QByteArrayView(Message.data(), qsizetype(Message.size())));
    if (decoder.hasError())
        return QString::fromLatin1(Message.data(), qsizetype(Message.size()));
    return text;
}

void InstallErrorBox(ErrorBoxShower Shower)
{
    if (!Shower)
        Shower = showMessageBox;
    SetErrorReporter([Shower = std::move(Shower)](const std::string &message) {
        const std::string text = ErrorBoxText(message);
        writeLine(text);
        // A report that arrives while a box is open (its event loop keeps the sockets and the
        // timer going) is not stacked on top: standard error has it already.
        if (boxOpen || !QCoreApplication::instance())
            return;
        boxOpen = true;
        try {
            Shower(QString::fromLatin1(kApplicationTitle), MessageToDisplayText(text));
        } catch (...) {
            boxOpen = false;
            throw;
        }
        boxOpen = false;
    });
}

void RemoveErrorBox()
{
    SetErrorReporter({});
}

bool ErrorBoxOpen()
{
    return boxOpen;
}
