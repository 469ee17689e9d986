#include "net/WSockBuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(int size) { SetBufSize(size); }

TBuffer::~TBuffer() = default;

void TBuffer::SetBufSize(int size) {
    if (size <= 0) size = 1514;
    if (size == FSize) return;
    if (FWrPos == FRdPos) {
        // Nothing unread: start over with fresh storage.
        FData = std::make_unique<char[]>(static_cast<size_t>(size));
        FSize = size;
        FWrPos = FRdPos = 0;
        return;
    }
    auto fresh = std::make_unique<char[]>(static_cast<size_t>(size));
    int keep = std::min(FWrPos, size);
    std::memcpy(fresh.get(), FData.get(), static_cast<size_t>(keep));
    FData = std::move(fresh);
    FSize = size;
    // A shrink below the held bytes keeps what fits and never points past it.
    FWrPos = keep;
    FRdPos = std::min(FRdPos, FWrPos);
}

int TBuffer::Write(const void* data, int len) {
    int room = FSize - FWrPos;
    if (room <= 0 || len <= 0) return 0;
    int n = std::min(room, len);
    std::memcpy(FData.get() + FWrPos, data, static_cast<size_t>(n));
    FWrPos += n;
    return n;
}

const char* TBuffer::Peek(int& len) const {
    int unread = FWrPos - FRdPos;
    if (unread > 0) {
        len = unread;
        return FData.get() + FRdPos;
    }
    len = 0;
    return nullptr;
}

int TBuffer::Remove(int len) {
    int unread = FWrPos - FRdPos;
    if (unread <= 0 || len <= 0) return 0;
    int n = std::min(len, unread);
    FRdPos += n;
    if (FRdPos >= FWrPos) FRdPos = FWrPos = 0;
    return n;
}
