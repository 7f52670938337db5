// SPDX-License-Identifier: MIT
// The modal error box; see errorbox.h.
#include "errorbox.h"

#include "apperror.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStringDecoder>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

bool boxOpen = false;
ErrorContextProvider contextProvider;

void showMessageBox(const QString &title, const QString &text, const QString &detail)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    // Shown at once, below the system's text: where and what to try are what a user looks for.
    box.setInformativeText(detail);
    // The box is as wide as its text needs, and a window manager cuts a caption that does not
    // fit: room for the caption in the title bar's bold font, with its icon and buttons.
    QFont captionFont = box.font();
    captionFont.setBold(true);
    const int captionWidth = QFontMetrics(captionFont).horizontalAdvance(title) + 160;
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addItem(new QSpacerItem(captionWidth, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(),
                      0, 1, grid->columnCount());
    box.exec();
}

// The parts of a socket layer message: "Asynchronous socket error N", or "Windows socket error:
// TEXT (N), on API 'NAME'". Code 0 when the message is neither.
struct TSocketMessage
{
    int Code = 0;
    bool NumberOnly = false; // the message gives the number without its meaning
    std::string Api;
};

TSocketMessage parseSocketMessage(const std::string &Message)
{
    TSocketMessage parsed;
    static const std::string asyncPrefix = "Asynchronous socket error ";
    if (Message.starts_with(asyncPrefix)) {
        parsed.Code = std::atoi(Message.c_str() + asyncPrefix.size());
        parsed.NumberOnly = true;
        return parsed;
    }
    static const std::string apiMark = "), on API '";
    const std::size_t mark = Message.rfind(apiMark);
    const std::size_t open = mark == std::string::npos ? std::string::npos : Message.rfind('(', mark);
    if (!Message.starts_with("Windows socket error: ") || open == std::string::npos)
        return parsed;
    parsed.Code = std::atoi(Message.c_str() + open + 1);
    const std::size_t apiStart = mark + apiMark.size();
    parsed.Api = Message.substr(apiStart, Message.find('\'', apiStart) - apiStart);
    return parsed;
}

QString fromBytes(const std::string &Text)
{
    return QString::fromLatin1(Text.data(), qsizetype(Text.size()));
}

QString routerDetail(const std::string &Message, const TSocketMessage &Socket, const TErrorContext &Context)
{
    QStringList lines;
    if (Context.RouterAddress.empty())
        lines << QCoreApplication::translate("ErrorBox", "Connection to the router.");
    else
        lines << QCoreApplication::translate("ErrorBox", "Connection to the router at %1:%2.")
                     .arg(fromBytes(Context.RouterAddress))
                     .arg(Context.RouterPort);
    if (Socket.NumberOnly && Socket.Code > 0)
        lines << QCoreApplication::translate("ErrorBox", "Error %1 means: %2.")
                     .arg(Socket.Code)
                     .arg(QString::fromLocal8Bit(std::strerror(Socket.Code)));
    switch (Socket.Code) {
    case ECONNREFUSED:
        lines << QCoreApplication::translate(
            "ErrorBox", "Nothing accepts connections at that address and port. Is the router on? Is the "
                        "address right? The router's console usually listens on port 23.");
        break;
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
        lines << QCoreApplication::translate(
            "ErrorBox", "No answer from that address. Is the router on and connected to this network? Is "
                        "the address right?");
        break;
    case ECONNRESET:
    case EPIPE:
        lines << QCoreApplication::translate("ErrorBox",
                                             "The router ended the connection. Is another console session open on it?");
        break;
    case EINVAL:
        lines << QCoreApplication::translate(
            "ErrorBox", "The address must be four numbers from 0 to 255 separated by dots, such as "
                        "192.168.0.1, and the port a number from 1 to 65535.");
        break;
    case 0:
        if (Message == "No address specified")
            lines << QCoreApplication::translate("ErrorBox",
                                                 "Type the router's address on the Settings tab, such as 192.168.0.1.");
        else if (Message.ends_with("is not a valid integer value") && Context.Origin == TErrorOrigin::User)
            lines << QCoreApplication::translate(
                "ErrorBox", "The router's port on the Settings tab must be a number from 1 to 65535.");
        else if (Context.Origin == TErrorOrigin::Router)
            lines[0] = QCoreApplication::translate("ErrorBox", "Sent by the router at %1:%2.")
                           .arg(fromBytes(Context.RouterAddress))
                           .arg(Context.RouterPort);
        break;
    default:
        lines << QCoreApplication::translate("ErrorBox", "Is the router on? Is the address right?");
    }
    return lines.join(QLatin1Char('\n'));
}

QString listenerDetail(const std::string &Message, const TSocketMessage &Socket, const QString &Service, int Port,
                       const std::string &Endpoint)
{
    const bool listening = Socket.Api == "bind" || Socket.Api == "listen";
    if (!listening) {
        if (Message.ends_with("is not a valid integer value"))
            return QCoreApplication::translate("ErrorBox",
                                               "The %1's port on the Settings tab must be a number from 1 to 65535.")
                .arg(Service);
        return QCoreApplication::translate("ErrorBox", "The %1 on port %2.").arg(Service).arg(Port);
    }
    // The system's text names no address; the socket layer knows the one it tried.
    QStringList lines{
        Endpoint.empty()
            ? QCoreApplication::translate("ErrorBox", "The %1 could not listen on port %2.").arg(Service).arg(Port)
            : QCoreApplication::translate("ErrorBox", "The %1 could not listen on %2.")
                  .arg(Service, fromBytes(Endpoint))};
    switch (Socket.Code) {
    case EADDRINUSE:
        lines << QCoreApplication::translate(
            "ErrorBox", "Another program already uses this port. Choose another port on the Settings tab, "
                        "or end that program.");
        break;
    case EACCES:
        lines << QCoreApplication::translate(
            "ErrorBox", "Ports below 1024 need administrator rights. Choose a port from 1024 to 65535 on "
                        "the Settings tab.");
        break;
    case EADDRNOTAVAIL:
        lines << QCoreApplication::translate("ErrorBox",
                                             "The address to listen on is not one of this computer's addresses.");
        break;
    case EINVAL:
        lines << QCoreApplication::translate("ErrorBox", "The port must be a number from 0 to 65535.");
        break;
    default:
        break;
    }
    return lines.join(QLatin1Char('\n'));
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

QString ErrorDetail(const std::string &Message, const TErrorContext &Context)
{
    const TSocketMessage socket = parseSocketMessage(Message);
    const TErrorPlace place = Context.Origin == TErrorOrigin::Router ? TErrorPlace::RouterConnection : Context.Place;
    switch (place) {
    case TErrorPlace::RouterConnection:
        return routerDetail(Message, socket, Context);
    case TErrorPlace::TelnetRelay:
        return listenerDetail(Message, socket, QCoreApplication::translate("ErrorBox", "telnet relay (remote console)"),
                              Context.TelnetRelayPort, Context.Endpoint);
    case TErrorPlace::WebServer:
        return listenerDetail(Message, socket, QCoreApplication::translate("ErrorBox", "web server (status page)"),
                              Context.WebPort, Context.Endpoint);
    case TErrorPlace::UpdateServer:
        return QCoreApplication::translate(
                   "ErrorBox", "Checking for a new version at %1.\nIs this computer connected to the Internet? A "
                               "firewall or proxy may be in the way. Try again later.")
            .arg(Context.UpdateServer.empty() ? QCoreApplication::translate("ErrorBox", "the update server")
                                              : fromBytes(Context.UpdateServer));
    case TErrorPlace::None:
        break;
    }
    return {};
}

ErrorContextProvider SetErrorContextProvider(ErrorContextProvider Provider)
{
    return std::exchange(contextProvider, std::move(Provider));
}

void InstallErrorBox(ErrorBoxShower Shower)
{
    if (!Shower) {
        InstallErrorBox(ErrorBoxDetailShower(showMessageBox));
        return;
    }
    InstallErrorBox(ErrorBoxDetailShower([Shower = std::move(Shower)](const QString &Title, const QString &Text,
                                                                      const QString &) { Shower(Title, Text); }));
}

void InstallErrorBox(ErrorBoxDetailShower Shower)
{
    if (!Shower)
        Shower = showMessageBox;
    SetErrorReporter([Shower = std::move(Shower)](const std::string &message) {
        const std::string text = ErrorBoxText(message);
        // The log says what failed in our words where the message's fixed text does not.
        const TErrorDescription &description = CurrentErrorDescription();
        WriteLogLine(description.Text.empty() ? text : description.Text);
        if (CurrentErrorOrigin() == TErrorOrigin::Router && routerRepeat(text))
            return;
        // A report that arrives while a box is open (its event loop keeps the sockets and the
        // timer going) is not stacked on top: standard error has it already.
        if (boxOpen || !QCoreApplication::instance())
            return;
        QString detail;
        if (contextProvider) {
            TErrorContext context = contextProvider();
            context.Origin = CurrentErrorOrigin();
            context.Place = CurrentErrorPlace();
            context.Endpoint = description.Endpoint;
            detail = ErrorDetail(message, context);
        }
        boxOpen = true;
        try {
            Shower(QString::fromLatin1(kApplicationTitle), MessageToDisplayText(text), detail);
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
