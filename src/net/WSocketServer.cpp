// TCustomWSocket, the server and datagram side: listening, accepting, taking
// over an accepted socket, and datagrams to and from a given address.
#include "net/WSocket.h"

using namespace WSock;

void TCustomWSocket::Listen() {
    if (!FPortAssigned) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!FProtoAssigned) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!FAddrAssigned) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }
    if (!ResolveEndpoint(true)) return;
    ClearSendQueue();
    FHSocket = socket(FAddrFormat, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    if (FType == SOCK_DGRAM && ReuseAddr && !SetOption(SOL_SOCKET, SO_REUSEADDR, -1, "SO_REUSEADDR")) return;
    if (bind(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin) == SOCKET_ERROR) {
        // The socket is released before the report so that it cannot leak
        // when the report raises.
        int err = WSAGetLastError();
        closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        WSASetLastError(err);
        ReportSocketError("Bind");
        Close();
        return;
    }
    SetState(wsBound);
    if (FType == SOCK_DGRAM && MultiCast) {
        ip_mreq mreq{};
        mreq.imr_multiaddr.s_addr = inet_addr(MultiCastAddrStr.c_str());
        mreq.imr_interface.s_addr = FSin.sin_addr.s_addr;
        if (!SetOption(IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq, "IP MULTICAST")) return;
    }
    if (FType == SOCK_STREAM) {
        if (listen(FHSocket, 5) == SOCKET_ERROR) {
            ReportSocketError("Listen");
            return;
        }
        SetState(wsListening);
    } else if (FType == SOCK_DGRAM || FType == SOCK_RAW) {
        SetState(wsListening);
        SetState(wsConnected);
        NotifySessionConnected(0);
    } else {
        RaiseError("Listen: unexpected protocol.");
        return;
    }
    FSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FSelectEvent) == SOCKET_ERROR)
        ReportSocketError("WSAASyncSelect");
}

SOCKET TCustomWSocket::Accept() {
    if (FState != wsListening) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    int len = sizeof FSin;
    FASocket = accept(FHSocket, reinterpret_cast<sockaddr*>(&FSin), &len);
    if (FASocket == INVALID_SOCKET) {
        ReportSocketError("Accept");
        return INVALID_SOCKET;
    }
    return FASocket;
}

void TCustomWSocket::Dup(SOCKET NewHSocket) {
    if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (FState != wsClosed) {
        if (closesocket(FHSocket) == SOCKET_ERROR) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        SetState(wsClosed);
    }
    FHSocket = NewHSocket;
    ApplyLinger();
    FSelectEvent = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FSelectEvent) == SOCKET_ERROR) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    SetState(wsConnected);
}

// --- datagrams -------------------------------------------------------------

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len) {
    int n = sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags, reinterpret_cast<const sockaddr*>(&Dest),
                   DestLen);
    if (n > 0) NotifySendData(n);
    return n;
}

int TCustomWSocket::RecvFromRaw(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
    return recvfrom(FHSocket, static_cast<char*>(Buffer), BufferSize, 0, reinterpret_cast<sockaddr*>(&From),
                    &FromLen);
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
    int n = RecvFromRaw(Buffer, BufferSize, From, FromLen);
    if (n < 0)
        FLastError = WSAGetLastError();
    else
        FReadCount += n;
    return n;
}
