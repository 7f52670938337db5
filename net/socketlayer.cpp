// The socket event layer's endpoints and components; see socketlayer.h.
#include "socketlayer.h"

TCustomWinSocket::TCustomWinSocket(QObject *Parent) : QObject(Parent) {}
TCustomWinSocket::~TCustomWinSocket() = default;
int TCustomWinSocket::SendString(const std::string &)
{
    return 0;
}
std::string TCustomWinSocket::ReceivePending()
{
    return {};
}
void TCustomWinSocket::CloseConnection() {}
int TCustomWinSocket::LocalPort() const
{
    return 0;
}
void TCustomWinSocket::DoError(TErrorEvent, int &) {}

TClientWinSocket::TClientWinSocket(TClientSocket *Owner) : TCustomWinSocket(Owner), FOwner(Owner) {}
QObject *TClientWinSocket::EventSender() const
{
    return FOwner;
}
void TClientWinSocket::DoConnect() {}
void TClientWinSocket::DoRead() {}
void TClientWinSocket::DoDisconnect() {}
void TClientWinSocket::DoError(TErrorEvent, int &) {}

TServerClientWinSocket::TServerClientWinSocket(TServerWinSocket *Server, int)
    : TCustomWinSocket(Server), FServer(Server)
{
}
TServerClientWinSocket::~TServerClientWinSocket() = default;
QObject *TServerClientWinSocket::EventSender() const
{
    return nullptr;
}
void TServerClientWinSocket::DoRead() {}
void TServerClientWinSocket::DoDisconnect() {}
void TServerClientWinSocket::DoError(TErrorEvent, int &) {}

TServerWinSocket::TServerWinSocket(TServerSocket *Owner) : TCustomWinSocket(Owner), FOwner(Owner) {}
TServerWinSocket::~TServerWinSocket() = default;
TServerClientWinSocket *TServerWinSocket::ClientConnections(int Index) const
{
    if (Index < 0 || Index >= ActiveConnections())
        throw ESocketError("List index out of bounds (" + std::to_string(Index) + ")");
    return FConnections[Index];
}
QObject *TServerWinSocket::EventSender() const
{
    return FOwner;
}
void TServerWinSocket::DoAccept() {}

TClientSocket::TClientSocket(QObject *Parent) : QObject(Parent), FSocket(new TClientWinSocket(this)) {}
TClientSocket::~TClientSocket() = default;
void TClientSocket::SetActive(bool) {}
void TClientSocket::SetAddress(const std::string &Value)
{
    FAddress = Value;
}
void TClientSocket::SetPort(int Value)
{
    FPort = Value;
}

TServerSocket::TServerSocket(QObject *Parent) : QObject(Parent), FSocket(new TServerWinSocket(this)) {}
TServerSocket::~TServerSocket() = default;
void TServerSocket::SetActive(bool) {}
void TServerSocket::SetPort(int Value)
{
    FPort = Value;
}
