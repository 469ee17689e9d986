// TCustomLineWSocket: received data delivered line by line.
#include "net/WSocket.h"

#include "platform/Window.h"

#include <algorithm>
#include <cstring>

using namespace WSock;

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TLayerBelow(AOwner) {
    LineEnd = "\r\n";
    FLineMode = false;
    LineLimit = 65536;
}

TCustomLineWSocket::~TCustomLineWSocket() = default;

void TCustomLineWSocket::SetLineMode(bool Value) {
    if (Value == FLineMode) return;
    FLineMode = Value;
    if (FRcvdCnt > 0 || FLineLength > 0) PostMessageA(FWindowHandle, WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

int TCustomLineWSocket::RcvdCount() {
    if (FLineMode) return FLineLength;
    return TLayerBelow::RcvdCount();
}

int TCustomLineWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags) {
    if (FLineMode && FLineLength > 0) {
        // Hand out the current line; what the caller leaves of it moves to
        // the front, inside the line's own place in the buffer.
        int n = std::min(BufferSize, FLineLength);
        if (n <= 0) return 0;
        std::memcpy(Buffer, FRcvdPtr.data(), static_cast<size_t>(n));
        if (n < FLineLength) {
            std::memmove(FRcvdPtr.data(), FRcvdPtr.data() + n, static_cast<size_t>(FLineLength - n));
            FLineLength -= n;
        } else {
            FLineLength = 0;
        }
        return n;
    }
    if (!FLineMode && FRcvdCnt > 0) {
        // Bytes left over from a line-mode period come first.
        int n = std::min(BufferSize, FRcvdCnt);
        if (n <= 0) return 0;
        std::memcpy(Buffer, FRcvdPtr.data(), static_cast<size_t>(n));
        std::memmove(FRcvdPtr.data(), FRcvdPtr.data() + n, static_cast<size_t>(FRcvdCnt - n + 1));
        FRcvdCnt -= n;
        return n;
    }
    return TLayerBelow::RecvRaw(Buffer, BufferSize, Flags);
}

void TCustomLineWSocket::GrowBuffer(int Size) {
    if (static_cast<int>(FRcvdPtr.size()) >= Size) return;
    size_t grown = std::max<size_t>(static_cast<size_t>(Size), FRcvdPtr.size() + FRcvdPtr.size() / 2);
    FRcvdPtr.resize(grown, '\0');
    FRcvBufSize = static_cast<int>(FRcvdPtr.size());
}

bool TCustomLineWSocket::NotifyDataAvailable(WORD Error) {
    if (!FLineMode || LineEnd.empty() || NegotiationInProgress()) return TLayerBelow::NotifyDataAvailable(Error);
    ReadAndDeliverLines(false);
    return true;
}

void TCustomLineWSocket::ReadAndDeliverLines(bool HeldBytesToo) {
    int n = TLayerBelow::RcvdCount();
    if (n < 0 && !HeldBytesToo) return;
    if (n <= 0) n = 255;
    GrowBuffer(FRcvdCnt + n + 1);
    int got = Receive(FRcvdPtr.data() + FRcvdCnt, n);
    int searchFrom = 0;
    if (got > 0) {
        FRcvdPtr[static_cast<size_t>(FRcvdCnt + got)] = '\0';
        int count = got;
        if (LineEdit) {
            EditLine(count);
        } else if (LineEcho) {
            try {
                Send(FRcvdPtr.data() + FRcvdCnt, got);
            } catch (const std::exception&) {
            }
        }
        // A terminator split across two reads starts before the new bytes.
        searchFrom = std::max(0, FRcvdCnt - static_cast<int>(LineEnd.size()));
        FRcvdCnt += count;
    } else if (!HeldBytesToo) {
        return;
    }
    DeliverLines(searchFrom);
    if (FRcvdPtr.empty()) return;  // closed from a handler
    if (FLineMode && LineLimit > 0 && FRcvdCnt > LineLimit) {
        FLineClearData = true;
        NotifyLineLimitExceeded(FRcvdCnt, FLineClearData);
        if (FLineClearData) {
            FRcvdCnt = 0;
            FLineLength = 0;
            if (!FRcvdPtr.empty()) FRcvdPtr[0] = '\0';
        }
        FLineClearData = false;
    }
}

void TCustomLineWSocket::DeliverLines(int SearchFrom) {
    const int endLen = static_cast<int>(LineEnd.size());
    for (;;) {
        if (!FLineMode || FRcvdPtr.empty()) return;
        const char* data = FRcvdPtr.data();
        const char* hit = std::search(data + SearchFrom, data + FRcvdCnt, LineEnd.begin(), LineEnd.end());
        if (hit == data + FRcvdCnt) return;
        const int lineTotal = static_cast<int>(hit - data) + endLen;
        FLineLength = lineTotal;
        DeliverCurrentLine();
        if (FRcvdPtr.empty()) return;  // closed from a handler
        if (FLineLength > 0) {
            // Line mode was switched off with part of the line unread: close
            // the gap, so that the unread part is followed directly by the
            // bytes after the line.
            std::memmove(FRcvdPtr.data() + FLineLength, FRcvdPtr.data() + lineTotal,
                         static_cast<size_t>(FRcvdCnt - lineTotal + 1));
            FRcvdCnt -= lineTotal - FLineLength;
            FLineLength = 0;
            return;
        }
        std::memmove(FRcvdPtr.data(), FRcvdPtr.data() + lineTotal, static_cast<size_t>(FRcvdCnt - lineTotal + 1));
        FRcvdCnt -= lineTotal;
        SearchFrom = 0;
    }
}

void TCustomLineWSocket::DeliverCurrentLine() {
    while (FLineMode && FLineLength > 0) {
        int before = FLineLength;
        if (!TLayerBelow::NotifyDataAvailable(0)) {
            FLineLength = 0;  // no handler: the line is dropped
            return;
        }
        if (FRcvdPtr.empty()) return;
        // A handler that takes nothing of the line would be called for ever:
        // the line is dropped instead.
        if (FLineMode && FLineLength == before) FLineLength = 0;
    }
}

void TCustomLineWSocket::WindowProcedure(TMessage& Msg) {
    if (Msg.Msg != WM_TRIGGER_DATA_AVAILABLE) {
        TLayerBelow::WindowProcedure(Msg);
        return;
    }
    try {
        WMTriggerDataAvailable(Msg);
    } catch (const Exception& E) {
        HandleBackgroundError(E);
    }
}

void TCustomLineWSocket::WMTriggerDataAvailable(TMessage&) {
    while (FRcvdCnt > 0) {
        int held = FRcvdCnt;
        int read = FReadCount;
        if (FLineMode && !LineEnd.empty() && !NegotiationInProgress()) {
            FLineLength = 0;
            ReadAndDeliverLines(true);
        } else if (!TLayerBelow::NotifyDataAvailable(0)) {
            break;  // no handler: the bytes stay
        }
        // A pass that neither consumed held bytes nor read new ones ends it.
        if (FRcvdCnt == held && FReadCount == read) break;
    }
}

void TCustomLineWSocket::NotifySessionClosed(WORD Error) {
    if (!FRcvdPtr.empty()) {
        if (FLineMode && FRcvdCnt > 0) {
            // What is held without a terminator is the last line.
            FLineLength = FRcvdCnt;
            DeliverCurrentLine();
        }
        FRcvdPtr.clear();
        FRcvdPtr.shrink_to_fit();
        FRcvBufSize = 0;
        FRcvdCnt = 0;
        FLineLength = 0;
    }
    TLayerBelow::NotifySessionClosed(Error);
}

void TCustomLineWSocket::NotifyLineLimitExceeded(int Cnt, bool& ClearData) {
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, Cnt, ClearData);
}

void TCustomLineWSocket::EditLine(int& Len) {
    const int held = FRcvdCnt;
    const int count = Len;
    std::vector<char> work;
    bool copying = false;
    int out = held;
    int lowest = held;
    auto startCopy = [&] {
        if (copying) return;
        copying = true;
        work.assign(FRcvdPtr.begin(), FRcvdPtr.begin() + out);
    };
    auto put = [&](char c) {
        if (static_cast<int>(work.size()) <= out) work.resize(static_cast<size_t>(out) + 256, '\0');
        work[static_cast<size_t>(out)] = c;
    };
    auto echo = [&](const char* p, int n) {
        if (!LineEcho) return;
        try {
            Send(p, n);
        } catch (const std::exception&) {
        }
    };
    for (int i = 0; i < count; ++i) {
        char c = FRcvdPtr[static_cast<size_t>(held + i)];
        if (c == '\b') {
            startCopy();
            if (out > 0) echo("\b \b", 3);
            if (out > 0) --out;
            lowest = std::min(lowest, out);
        } else if (c == '\t') {
            startCopy();
            do {
                put(' ');
                ++out;
                echo(" ", 1);
            } while (out % 8 != 0);
        } else {
            echo(&c, 1);
            if (copying) put(c);
            ++out;
        }
    }
    if (copying) {
        GrowBuffer(out + 1);
        std::memcpy(FRcvdPtr.data(), work.data(), static_cast<size_t>(out));
    }
    FRcvdPtr[static_cast<size_t>(out)] = '\0';
    FRcvdCnt = lowest;
    Len = out - lowest;
}
