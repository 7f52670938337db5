// SPDX-License-Identifier: MIT
// A web status server with a fixed sample record, for looking at the page in a real browser
// (browser_check.sh). Prints "port N" once it listens and quits by itself after a bounded time.
#include "statuspage.h"
#include "webserver.h"

#include <QCoreApplication>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int lifetimeSeconds = argc > 1 ? std::atoi(argv[1]) : 60;

    TStatusPageInputs in;
    in.Router.Name = "office-gw";
    in.Router.Firmware = "V2.50(AP.0) | 06/15/00";
    in.Router.IPAddress = "127.0.0.1";
    in.Router.LANStatus = "10M/Half";
    in.Router.LANSent = 5123456789LL;
    in.Router.LANReceived = 1000000;
    in.Router.TotalOutcallTime = "12:34:56";
    in.Router.TriggerDestPort = 80;
    in.B1.Link = "PPP";
    in.B1.Speed = 64;
    in.B1.TX = 1234567;
    in.B1.CLU = 80;
    in.B1.ALU = 50;
    in.B1.UpTime = "0:12:34";
    in.B2.Link = "Idle";
    in.B2.ALU = 100;
    in.B2Colors.CLUBackgroundColor = kColorWhite;
    in.B2Colors.ALUBackgroundColor = kColorWhite;
    for (int i = 0; i <= 90; ++i) {
        in.Series1[i] = i;
        in.Series2[i] = 50 + 45 * std::sin(i / 9.0);
    }
    in.LookupServiceName = [](int32_t port) { return port == 80 ? std::string("www") : std::string("?"); };
    int32_t pageHits = 0;

    TWebServer server;
    server.StatusPage = [&] { return BuildStatusPage(in, pageHits); };
    server.edtWebAdminPortChange("0");
    if (server.chkWebAdminClick(true))
        return 1;
    std::printf("port %d\n", server.WebServerSocket.Socket()->LocalPort());
    std::fflush(stdout);

    QTimer::singleShot(lifetimeSeconds * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
