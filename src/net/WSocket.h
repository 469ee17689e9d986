// The event-driven IPv4/IPv6 socket component and its helpers.
//
// TCustomWSocket owns one socket and one hidden window. The socket layer of
// the platform posts readiness notifications to that window and the component
// turns them into events (OnSessionConnected, OnDataAvailable, OnDataSent,
// OnSessionClosed, ...). Every operation returns at once; results arrive as
// events from the message loop. The layers above it add SOCKS negotiation
// (TCustomSocksWSocket), TLS (TCustomTlsWSocket), line assembly
// (TCustomLineWSocket) and a wait that pumps messages (TCustomSyncWSocket);
// TWSocket is the component to use.
//
// Also here: the host, port and protocol resolution functions and
// SocketErrorText, the text of a socket error number.
#pragma once

#include "framework/Classes.h"
#include "net/WSockBuf.h"
#include "platform/Sockets.h"
#include "platform/WinTypes.h"

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Types

enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };

enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// Options are bits of TWSocketOptions.
enum TWSocketOption : unsigned { wsoNoReceiveLoop = 1, wsoTcpNoDelay = 2 };
using TWSocketOptions = unsigned;

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };

// The step of a SOCKS negotiation: idle (none running or done), the
// version 5 greeting and method choice (from the connect to the proxy on),
// the version 5 user code/password exchange, and the connect request.
enum TSocksState { socksIdle, socksGreeting, socksAuthenticating, socksRequesting };

enum TSocksAuthState { socksAuthBegun, socksAuthAccepted, socksAuthRejected, socksAuthSkipped };

using TDataAvailable = std::function<void(TObject* Sender, WORD Error)>;
using TDataSent = std::function<void(TObject* Sender, WORD Error)>;
using TSessionClosed = std::function<void(TObject* Sender, WORD Error)>;
using TSessionAvailable = std::function<void(TObject* Sender, WORD Error)>;
using TSessionConnected = std::function<void(TObject* Sender, WORD Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, WORD Error)>;
using TSendData = std::function<void(TObject* Sender, int BytesSent)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TObject* Sender, const std::exception& E, bool& CanClose)>;
using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;
using TLineLimitEvent = std::function<void(TObject* Sender, int RcvdLength, bool& ClearData)>;

class ESocketException : public Exception {
public:
    explicit ESocketException(const std::string& message) : Exception(message) {}
};

// ---------------------------------------------------------------------------
// Socket library, resolution and error texts

// Starts the socket library if it is not started yet; raises ESocketException
// "wsock32.dll: WSAStartup error #N" when the start-up fails. Called by every
// operation of this unit that needs the library.
void LoadSocketLibrary();
// Cleans the library up (it starts again on the next use) and sets the socket
// instance count to 0.
void UnloadSocketLibrary();
bool SocketLibraryLoaded();

// The number of live socket components.
int WSocketGCount();

// IPv4 address in network byte order of a dotted address or a host name.
WSock::u_long WSocketResolveHost(const std::string& InAddr);
// Port number (host order) of a decimal text or a service name.
WORD WSocketResolvePort(const std::string& Port, const std::string& Proto);
// Protocol number of a decimal text or a protocol name.
int WSocketResolveProto(const std::string& Proto);
bool IsDottedAddress(const std::string& Text);

// One remote or local address of either family with its port (network
// order), as the socket functions take it.
struct TSocketAddress {
    WSock::sockaddr_storage Record{};
    int Length = 0;  // 16 (IPv4) or 28 (IPv6); 0: none
    int Family() const { return Record.ss_family; }
    const WSock::sockaddr* Sockaddr() const { return reinterpret_cast<const WSock::sockaddr*>(&Record); }
    // Dotted IPv4 or RFC 5952 IPv6 text (without brackets or port).
    std::string Text() const;
    void SetPort(WORD PortNetworkOrder);
};

// An address of either family given as text: dotted IPv4 (as
// IsDottedAddress takes it), or IPv6, bare or in brackets (blanks around
// it allowed). False for anything else, names included.
bool ParseAddressLiteral(const std::string& Text, TSocketAddress& Address);
bool IsIPv6Literal(const std::string& Text);
// The text trimmed, and without the brackets of a bracketed IPv6 literal.
std::string StripAddressBrackets(const std::string& Text);
// Every address of a literal or host name (blocking lookup for a name), in
// the resolver's order; raises like WSocketResolveHost.
std::vector<TSocketAddress> WSocketResolveHostAll(const std::string& InAddr);
// The order in which a connection tries a name's addresses: the families
// alternate, IPv6 first, each family in the resolver's order.
std::vector<TSocketAddress> InterleaveAddressFamilies(const std::vector<TSocketAddress>& Addresses);
int ParseLeadingNumber(const std::string& Text);
std::string SocketErrorText(int ErrCode);

// ---------------------------------------------------------------------------
// TCustomWSocket

// Messages of the component's hidden window.
constexpr UINT WM_ASYNCSELECT = WM_USER + 1;
constexpr UINT WM_ASYNCGETHOSTBYNAME = WM_USER + 2;
constexpr UINT WM_ASYNCGETHOSTBYADDR = WM_USER + 3;
constexpr UINT WM_CLOSE_DELAYED = WM_USER + 4;
constexpr UINT WM_WSOCKET_RELEASE = WM_USER + 5;
constexpr UINT WM_TRIGGER_EXCEPTION = WM_USER + 6;
constexpr UINT WM_TRIGGER_DATA_AVAILABLE = WM_USER + 20;

// Why one attempt of a connection to a name with several addresses began:
// the first one, the stagger delay of the one before ran out, or the one
// before failed.
enum TConnectStart { csFirst, csStagger, csAfterFailure };

struct TConnectAttempt {
    std::string Address;  // text of the address tried
    int Family = 0;       // WSock::AF_INET or WSock::AF_INET6
    TConnectStart Start = csFirst;
    int Error = 0;        // its failure; 0 while it ran, when it won or was dropped
    bool Won = false;
};

class TCustomWSocket : public TComponent {
public:
    explicit TCustomWSocket(TComponent* AOwner = nullptr);
    ~TCustomWSocket() override;
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    // --- operations
    virtual void Connect();
    virtual void Close();
    virtual void CloseLater();
    virtual void FreeLater();
    virtual void Abort();
    virtual void Flush();
    virtual void WaitUntilClosed();
    virtual void Listen();
    virtual WSock::SOCKET Accept();
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveText();
    virtual int ReceiveFrom(void* Buffer, int BufferSize, WSock::sockaddr_in& From, int& FromLen);
    virtual int Send(const void* Data, int Len);
    virtual int SendTo(const WSock::sockaddr_in& Dest, int DestLen, const void* Data, int Len);
    virtual int SendText(const std::string& Str);
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelLookup();
    virtual int GetPeerName(WSock::sockaddr_in& Name, int NameLen);
    virtual int GetLocalName(WSock::sockaddr_in& Name, int NameLen);
    virtual std::string LocalPortText();
    // Dotted IPv4 text, or IPv6 text for a socket bound over IPv6.
    virtual std::string LocalAddrText();
    virtual void Dup(WSock::SOCKET NewHSocket);
    virtual void Shutdown(int How);
    virtual void Pause();
    virtual void Resume();
    virtual bool TimeIsSet(const WSock::timeval& tvp);
    virtual void TimeClear(WSock::timeval& tvp);
    virtual bool TimeCompare(const WSock::timeval& tvp, const WSock::timeval& uvp, bool Equal);
    // Processes every message waiting for this thread's windows and returns;
    // it does not wait (a wait loop blocks with Application->WaitMessage).
    void PumpThreadMessages();
    // Processes one waiting message; false when there was none.
    bool PumpOneMessage();
    void ReportSocketError(const std::string& FunctionName);

    // --- properties
    std::string Addr() const { return FAddrStr; }
    void SetAddr(const std::string& Value);
    std::string Port() const { return FPortStr; }
    virtual void SetPort(const std::string& Value);
    std::string Proto() const { return FProtoStr; }
    virtual void SetProto(const std::string& Value);
    std::string LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value);
    std::string LocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string& Value);
    // Dotted IPv4 text, or IPv6 text for a connection over IPv6.
    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    std::string DnsResult() const { return FDnsResult; }
    const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    int ReadCount() const { return FReadCount; }
    virtual int RcvdCount();
    int LastError() const { return FLastError; }
    TSocketSendFlags SendFlags() const;
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
    int LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int Value) { FLingerTimeout = Value; }
    // The socket handle (INVALID_SOCKET when there is none) and the hidden
    // window that receives its notifications.
    WSock::SOCKET HSocket() const { return FHSocket; }
    HWND Handle() const { return FWindowHandle; }
    bool AllSent() const { return FAllSent; }
    // The blocks of the send queue, oldest first (for inspection).
    const std::vector<std::unique_ptr<TBuffer>>& SendQueue() const { return FBufList; }
    // The attempts of the last Connect to a name with several addresses, in
    // the order they began (empty for a single address).
    const std::vector<TConnectAttempt>& ConnectAttempts() const { return FConnectAttempts; }
    // When every attempt failed: the last error of each family with its
    // address, IPv6 first. Empty otherwise.
    const std::string& ConnectErrorText() const { return FConnectErrorText; }
    // Milliseconds between the starts of two attempts when the earlier one
    // has neither failed nor won yet.
    int ConnectAttemptDelay = 250;
    // True once the thread's quit message has been seen by PumpOneMessage.
    bool Terminated() const { return FTerminated; }

    bool MultiThreaded = false;
    bool MultiCast = false;
    std::string MultiCastAddrStr;
    int MultiCastIpTTL = 1;
    bool ReuseAddr = false;
    TWSocketOptions ComponentOptions = 0;
    // TCP keepalive timing of the next connection, in seconds of quiet before
    // the first probe, seconds between probes, and probes unanswered before
    // the connection fails; 0 keeps the system's value. A connection held
    // open for long (waiting for news from a server) finds a vanished peer
    // with them.
    int KeepAliveIdle = 0;
    int KeepAliveInterval = 0;
    int KeepAliveProbes = 0;
    int FlushTimeout = 60;

    // Component name and tag.
    std::string Name;
    int Tag = 0;

    // --- events
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TSessionConnected OnSocksConnected;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    virtual void WindowProcedure(TMessage& Msg);
    virtual void AllocateWindow();
    virtual void ReleaseWindow();
    virtual void ResetDefaults();
    virtual void DoClose(bool bShut, WORD Error);
    virtual void BindLocal();
    virtual int SendChunk(const void* Data, int Len);
    virtual void RaiseErrorFmt(const std::string& Text);
    virtual void RaiseError(const std::string& Msg);
    void AssignEndpointText(const char* what, const std::string& Value, std::string& text, bool& assigned,
                            bool& resolved);
    // The start of a lookup: cancels one still pending and clears the results.
    void BeginLookup();
    // The bound address of the socket (bound, connected or listening); false
    // otherwise or when the system cannot tell.
    bool LocalName(WSock::sockaddr_in& local);
    bool LocalAddress(TSocketAddress& local);
    virtual void HandleBackgroundError(const std::exception& E);
    // Each answers false when no handler is assigned.
    virtual bool NotifyDataAvailable(WORD Error);
    virtual void NotifySessionAvailable(WORD Error);
    virtual void NotifySessionConnected(WORD Error);
    virtual void NotifySessionClosed(WORD Error);
    virtual void NotifyDataSent(WORD Error);
    virtual void NotifyChangeState(TSocketState OldState, TSocketState NewState);
    virtual void NotifyDnsLookupDone(WORD Error);
    virtual void NotifyError();
    virtual void NotifySendData(int BytesSent);
    virtual int RecvRaw(void* Buffer, int BufferSize, int Flags);
    virtual int RecvFromRaw(void* Buffer, int BufferSize, WSock::sockaddr_in& From, int& FromLen);
    virtual void YieldToMessages();

    // True while a layer below the caller is still negotiating its own
    // exchange on the connection (a proxy, a handshake): received bytes are
    // that layer's then, not data.
    virtual bool NegotiationInProgress() const { return false; }

    void SetState(TSocketState NewState);
    // Resolves the protocol, remote port and address (and for a connect the
    // local port) not resolved yet; false after reporting a failure.
    bool ResolveEndpoint(bool ForListen);
    // setsockopt on the socket; a failure is reported as
    // "setsockopt(<What>)" and answers false.
    bool SetOption(int Level, int Name, const void* Value, int Size, const char* What);
    bool SetOption(int Level, int Name, int Value, const char* What);
    // The options a new datagram or stream socket gets before it is used.
    bool PrepareDatagram();
    bool PrepareStream();
    // BindLocal, answering whether the socket was bound.
    bool BindLocalChecked();
    void ApplyLinger();
    void DrainReceive(WORD Error, TWSocketOptions Options);
    void QueueSendData(const void* Data, int Len);
    void ClearSendQueue();
    void TryToSend();
    bool ComponentDestroying() const { return FDestroying; }

    // Handlers of the hidden window's messages.
    void Do_FD_Events(TMessage& Msg);
    // Connecting to a name with several addresses: attempts begin one after
    // the other (at once after a failure, else after ConnectAttemptDelay);
    // the first to connect becomes the component's socket.
    void StartRace();
    void StartNextAttempt(TConnectStart Why);
    void RaceTimer();
    // A connect notification for a racing socket; afterwards the socket is
    // the component's own when it won, or when it was the last to fail.
    void RaceConnectEvent(WSock::SOCKET Socket, WORD Error);
    void FinishRaceFailed(int Error);
    void AbandonRace();
    std::string RaceErrorText() const;
    // The remote address record of the next single connect (IPv4 or IPv6).
    const WSock::sockaddr* RemoteRecord(int& Length);
    void SetRemote(const TSocketAddress& Address);
    void WMAsyncGetHostByName(TMessage& Msg);
    void WMAsyncGetHostByAddr(TMessage& Msg);

    WSock::SOCKET FHSocket = WSock::INVALID_SOCKET;
    HWND FWindowHandle = 0;
    WSock::sockaddr_in FSin{};
    WSock::sockaddr_in6 FSin6{};  // the remote address when FAddrFormat is PF_INET6
    int FAddrFormat = WSock::PF_INET;
    int FType = WSock::SOCK_STREAM;
    int FProto = WSock::IPPROTO_TCP;
    WORD FPortNum = 0;
    WORD FLocalPortNum = 0;
    std::string FAddrStr;
    std::string FPortStr;
    std::string FProtoStr = "tcp";
    std::string FLocalAddr = "0.0.0.0";
    std::string FLocalPortStr = "0";
    bool FAddrAssigned = false;
    bool FPortAssigned = false;
    bool FProtoAssigned = true;
    bool FAddrResolved = false;
    bool FPortResolved = false;
    bool FProtoResolved = false;
    bool FLocalPortResolved = false;
    std::vector<std::unique_ptr<TBuffer>> FBufList;
    int FBufSize = 1460;
    bool FAllSent = true;
    WSock::HANDLE FDnsLookupHandle = 0;
    std::unique_ptr<char[]> FDnsLookupBuffer;
    WSock::addrinfo* FDnsAddrInfo = nullptr;  // the answer of the pending lookup
    std::string FDnsLookupName;                // the name FDnsAddrs belong to
    std::string FDnsPendingName;
    std::vector<TSocketAddress> FDnsAddrs;
    std::vector<TSocketAddress> FCandidates;   // a race's addresses, in order
    size_t FNextCandidate = 0;
    struct TRaceSocket {
        WSock::SOCKET Socket;
        size_t Candidate;
        size_t Attempt;
    };
    std::vector<TRaceSocket> FRacing;
    std::vector<TConnectAttempt> FConnectAttempts;
    std::string FConnectErrorText;
    TMessage FDnsLookupTempMsg{};
    bool FDnsLookupTempMsgFlag = false;
    long FSelectEvent = 0;
    bool FPaused = false;
    bool FCloseInvoked = false;
    bool FTerminated = false;
    int FSendFlags = 0;
    WSock::SOCKET FASocket = WSock::INVALID_SOCKET;
    TSocketState FState = wsClosed;
    int FReadCount = 0;
    int FLastError = 0;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    bool FDestroying = false;
    bool FInTryToSend = false;
};

// ---------------------------------------------------------------------------
// TCustomSocksWSocket: SOCKS 4, 4A and 5 negotiation through a proxy.

class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(TComponent* AOwner = nullptr);
    ~TCustomSocksWSocket() override;

    void Connect() override;
    void Listen() override;
    int RcvdCount() override;

    std::string SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string& Value);
    std::string SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string& Value);
    std::string SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& Value);
    std::string SocksUsercode;
    std::string SocksPassword;
    TSocksAuthentication SocksAuthentication = socksNoAuthentication;
    // The bound address and port the version 5 proxy reported.
    std::string BoundAddr() const { return FBoundAddr; }
    std::string BoundPort() const { return FBoundPort; }

    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void WindowProcedure(TMessage& Msg) override;
    void ResetDefaults() override;
    bool NotifyDataAvailable(WORD Error) override;
    void NotifySessionConnected(WORD Error) override;
    void NotifySessionClosed(WORD Error) override;
    int RecvRaw(void* Buffer, int BufferSize, int Flags) override;
    bool NegotiationInProgress() const override;
    // Milliseconds the whole negotiation (from the connection to the proxy
    // to its final reply) may take; 0: no limit. Past it the negotiation
    // fails with error 20018, "socks negotiation timed out".
    virtual int NegotiationTimeout() const { return 0; }
    virtual void NotifySocksConnected(WORD Error);
    virtual void NotifySocksError(int Error, const std::string& Msg);
    virtual void NotifySocksAuthState(TSocksAuthState AuthState);

    void SocksDoConnect();
    void SocksDoAuthenticate();
    void SocksFailure(int Error, const std::string& Msg);
    // The failure a proxy's reply code stands for, by the version's table.
    void SocksReplyFailure(bool Version4, int Reply);
    bool SocksSuccess();
    void SocksSend(const std::string& Request);
    // Reads up to Room more reply bytes; false when none came.
    bool SocksReceive(int Room);
    bool SocksInProgress() const { return FSocksState != socksIdle; }

    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksLevel = "5";
    bool FSocksServerAssigned = false;
    bool FSocksPortAssigned = false;
    TSocksState FSocksState = socksIdle;
    int FSocksMethod = 0;
    // Room for the longest reply: a version 5 reply with a 255-byte domain
    // name (4 + 1 + 255 + 2 bytes).
    static constexpr int kSocksReplyMax = 4 + 1 + 255 + 2;
    char FRcvBuf[kSocksReplyMax] = {};
    int FRcvCnt = 0;
    WORD FSocksDestPort = 0;
    std::string FBoundAddr;
    std::string FBoundPort;

protected:
    // Bytes that came with the proxy's final reply, past its end, and that
    // nobody has read yet: the connection's first data.
    int SocksHeldBytes() const { return FSocksRcvdCnt; }

private:
    int FSocksRcvdCnt = 0;
    int FSocksRcvdPtr = 0;
};

// ---------------------------------------------------------------------------
// TCustomTlsWSocket: TLS between the SOCKS layer and line mode.
//
// Off by default: every call passes through unchanged. With TlsMode
// tlsImplicit the handshake starts as soon as the (SOCKS) session is
// connected, and the layers above hear of the connection only once the
// handshake and the certificate check passed; a failure reaches them as a
// connect error (TlsErrorText says what went wrong). With tlsExplicit the
// connection starts in plain text and StartTls() begins the handshake later;
// OnTlsDone reports its end. Above this layer everything is plain text.
// OpenSSL runs over memory buffers and is fed by the socket's readiness
// messages, like every other layer.

enum TTlsMode { tlsNone, tlsImplicit, tlsExplicit };

// The most a TLS session holds of what it received and the layer above has
// not taken yet: ciphertext waiting to be decrypted plus plaintext. Past it
// nothing more is read from the socket, and TCP's flow control holds the
// server back.
constexpr std::size_t kTlsReceiveLimit = 256 * 1024;

// Error number of a failed handshake or certificate check.
constexpr WORD WSOCKET_TLS_ERROR = 20100;

// The hidden window's message that begins a handshake StartTls asked for.
constexpr UINT WM_TLS_START = WM_USER + 7;

// The server certificate as the handshake saw it.
struct TTlsCertInfo {
    std::string Sha256;     // 64 upper-case hex digits of the DER form's SHA-256
    std::string Subject;    // one-line distinguished names
    std::string Issuer;
    std::string NotBefore;  // "YYYY-MM-DD HH:MM:SS UTC"
    std::string NotAfter;
    bool Trusted = false;    // the system store (and the host name check) accepts it;
                             // not asked, so false, when a fingerprint pins it
    std::string VerifyText;  // why not, when not trusted
};

// A fingerprint as settings hold it (hex digits, colons and case ignored)
// in its normal form, 64 lower-case hex digits; false when it is not one.
bool NormalizeTlsFingerprint(const std::string& Text, std::string& Normalized);

struct TTlsSession;

class TCustomTlsWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomTlsWSocket(TComponent* AOwner = nullptr);
    ~TCustomTlsWSocket() override;

    int Send(const void* Data, int Len) override;
    int RcvdCount() override;

    TTlsMode TlsMode() const { return FTlsMode; }
    void SetTlsMode(TTlsMode Value);
    // The name the certificate must carry and the SNI name; empty: Addr.
    std::string TlsHost() const { return FTlsHost; }
    void SetTlsHost(const std::string& Value);
    // SHA-256 of the certificate's DER form; when set, a certificate is
    // accepted if and only if it has this fingerprint (chain and name are
    // not checked, and the system store is not read). Raises for a value that is not 64 hex digits.
    std::string TlsFingerprint() const { return FTlsFingerprint; }
    void SetTlsFingerprint(const std::string& Value);
    // False accepts any certificate and only records it (TlsCertInfo says
    // whether the store trusts it); for inspecting a server.
    bool TlsVerify = true;

    // Starts the handshake on a connected plain-text session. The start
    // waits for the current message to be handled; bytes received before it
    // (held by a layer or waiting in the socket) fail it as an injection.
    void StartTls();
    bool TlsActive() const;       // a handshake was started and has not ended in failure
    bool TlsEstablished() const;  // the handshake and the check passed
    const std::string& TlsErrorText() const { return FTlsErrorText; }
    const TTlsCertInfo& TlsCertInfo() const { return FTlsCertInfo; }
    std::string TlsVersion() const;
    // What the session holds of what it received and the layer above has
    // not taken yet (never more than kTlsReceiveLimit).
    std::size_t TlsBufferedBytes() const;

    TSessionConnected OnTlsDone;

protected:
    void WindowProcedure(TMessage& Msg) override;
    void ResetDefaults() override;
    void DoClose(bool bShut, WORD Error) override;
    void NotifySessionConnected(WORD Error) override;
    void NotifyDataSent(WORD Error) override;
    bool NotifyDataAvailable(WORD Error) override;
    int RecvRaw(void* Buffer, int BufferSize, int Flags) override;
    // Also while a TLS start is pending or its handshake runs.
    bool NegotiationInProgress() const override;
    virtual void NotifyTlsDone(WORD Error);
    // Bytes a layer above holds that were received but not yet handed out.
    virtual int HeldBytes() { return 0; }

private:
    void BeginHandshake();
    void ContinueHandshake(bool PeerClosed);
    void FailTls(const std::string& Text);
    bool CheckCertificate();
    // Moves what the socket holds into the TLS engine while the session
    // holds less than kTlsReceiveLimit (PumpCipherIn; true when it stopped
    // at the limit) and decrypts what can be decrypted (PumpIn).
    bool PumpCipherIn();
    void PumpIn();
    // Posts the server's end of the session (close_notify, or the end of the
    // TCP stream) as the socket's close notification, once.
    void ReportPeerClose();
    // Offers what is held to the layer above while it takes some, before a
    // close is reported.
    void DeliverHeld();
    void FlushOut();
    void ReleaseSession();

    TTlsMode FTlsMode = tlsNone;
    std::string FTlsHost;
    std::string FTlsFingerprint;
    std::string FTlsErrorText;
    TTlsCertInfo FTlsCertInfo;
    std::unique_ptr<TTlsSession> FTls;
};

// ---------------------------------------------------------------------------
// TCustomLineWSocket: delivers received data line by line when LineMode is on.

// Line mode reaches the layers below only through TLayerBelow and the
// virtual hooks (RecvRaw, RcvdCount, NotifyDataAvailable, NotifySessionClosed,
// NegotiationInProgress, Send), so the TLS layer sits in between.
class TCustomLineWSocket : public TCustomTlsWSocket {
    using TLayerBelow = TCustomTlsWSocket;

public:
    explicit TCustomLineWSocket(TComponent* AOwner = nullptr);
    ~TCustomLineWSocket() override;

    int RcvdCount() override;

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool Value);
    int LineLimit = 65536;
    std::string LineEnd = "\r\n";
    bool LineEcho = false;
    bool LineEdit = false;

    TLineLimitEvent OnLineLimitExceeded;

protected:
    void WindowProcedure(TMessage& Msg) override;
    bool NotifyDataAvailable(WORD Error) override;
    void NotifySessionClosed(WORD Error) override;
    int RecvRaw(void* Buffer, int BufferSize, int Flags) override;
    virtual void NotifyLineLimitExceeded(int Cnt, bool& ClearData);
    virtual void EditLine(int& Len);
    int HeldBytes() override { return FRcvdCnt; }

    void WMTriggerDataAvailable(TMessage& Msg);
    // Reads what is pending into the receive buffer and delivers every
    // complete line; HeldBytesToo searches the held bytes also when nothing
    // new could be read.
    void ReadAndDeliverLines(bool HeldBytesToo);
    void DeliverLines(int SearchFrom);
    void DeliverCurrentLine();
    void GrowBuffer(int Size);

    bool FLineMode = false;
    std::vector<char> FRcvdPtr;  // receive buffer (held bytes + a zero byte)
    int FRcvBufSize = 0;
    int FRcvdCnt = 0;
    int FLineLength = 0;
    bool FLineClearData = false;
    bool FLineReceivedFlag = false;
};

// ---------------------------------------------------------------------------
// TCustomSyncWSocket: waits for a flag while processing messages.

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(TComponent* AOwner = nullptr);
    ~TCustomSyncWSocket() override;

    // Sets Flag false, runs Proc (when given) and waits: 0 once Flag is true,
    // 12001 when the wait ended otherwise (time-out, application ending).
    virtual int RunAndWait(bool& Flag, const std::function<void()>& Proc);
    virtual int WaitForFlag(bool& Flag);

    // Wait limit in milliseconds; 0 waits without limit. Also the limit of a
    // SOCKS negotiation.
    int Timeout = 0;

protected:
    int NegotiationTimeout() const override { return Timeout; }
    DWORD FTimeStop = 0;
};

// ---------------------------------------------------------------------------

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(TComponent* AOwner = nullptr) : TCustomSyncWSocket(AOwner) {}
};
