// The modal error box; see errorbox.h.
#include "errorbox.h"

#include "apperror.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringDecoder>

#include <chrono>

namespace {

bool boxOpen = false;

void showMessageBox(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// The router repeats a fault with every repaint of its screen: one box says it, and the same text
// raises no new box until it has been quiet this long.
constexpr auto kRouterRepeatQuiet = std::chrono::seconds(60);
std::string lastRouterText;
std::chrono::steady_clock::time_point lastRouterReport;

bool routerRepeat(const std::string &text)
{
    const auto now = std::chrono::steady_clock::now();
    const bool repeat = text == lastRouterText && now - lastRouterReport < kRouterRepeatQuiet;
    lastRouterText = text;
    lastRouterReport = now;
    return repeat;
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
        WriteLogLine(text);
        if (CurrentErrorOrigin() == TErrorOrigin::Router && routerRepeat(text))
            return;
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
