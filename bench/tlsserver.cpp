// SPDX-License-Identifier: MIT
// A TLS listener on 127.0.0.1 that answers every request with one small fixed HTTP answer, for
// bench/tlshandshakes.sh. Prints its port, then serves until killed.
// Usage: lw_tlsserver CERT_FILE KEY_FILE
#include "socketlayer.h"
#include "tlscontext.h"

#include <QCoreApplication>

#include <cstdio>

#include <sys/socket.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: lw_tlsserver CERT_FILE KEY_FILE\n");
        return 2;
    }
    TTlsSettings settings;
    settings.CertFile = argv[1];
    settings.KeyFile = argv[2];
    std::string error;
    auto context = TTlsServerContext::Make(settings, error);
    if (!context) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nok\n";
    TServerSocket server;
    server.SetBindAddress("127.0.0.1");
    server.SetBacklog(SOMAXCONN);
    server.SetTls(context);
    server.OnClientRead = [&](QObject *, TCustomWinSocket *s) {
        if (s->ReceivePending().find("\r\n\r\n") != std::string::npos) {
            s->SendString(answer);
            s->CloseConnection();
        }
    };
    server.SetActive(true);
    std::printf("%d\n", server.Socket()->LocalPort());
    std::fflush(stdout);
    return app.exec();
}
